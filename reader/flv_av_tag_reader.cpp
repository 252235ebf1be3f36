#include "reader/flv_av_tag_reader.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <new>
#include <thread>

#include "flv/flv_tag_constants.h"
#include "flv/flv_tag_parsing.h"
#include "shared/units_100ns.h"

namespace kelvra {

namespace {

constexpr std::uint8_t kAudioTagType = FLV_TAG_TYPE_AUDIO;
constexpr std::uint8_t kVideoTagType = FLV_TAG_TYPE_VIDEO;
constexpr double kMsPerSecond = 1000.0;
constexpr double kSecondsPerMs = 0.001;
constexpr double kBitsPerByte = 8.0;

void WaitBeforeRetry() {
  std::this_thread::sleep_for(std::chrono::milliseconds(FLVAVTagReader::kRetryDelayMs));
}

// Bit rates and durations are computed in floating point and stored in
// 32-bit fields; a value beyond the field's range (a huge byte total over a
// time line of a few milliseconds) is pinned to the range instead of being
// converted with undefined behaviour.
std::int32_t TruncateToInt32(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(value);
}

std::uint32_t TruncateToUInt32(double value) {
  if (!(value > 0.0)) return 0;
  if (value >= static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
    return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(value);
}

// Gap from one tag to the next of the same kind: the difference when time
// moves forward, else 1 ms so that every tag but the last plays a little.
std::uint32_t GapToNext(std::uint32_t previous, std::uint32_t next) {
  return next > previous ? next - previous : 1;
}

// A decoder configuration (AAC or AVC sequence header) that every later tag
// of its kind needs.
bool IsSequenceHeader(const FLVTag& tag) {
  if (tag.tagType == kAudioTagType) return IsAacSequenceHeader(tag);
  return tag.tagType == kVideoTagType && tag.codecId == kCodecH264 && tag.data != nullptr &&
         tag.videoData != nullptr && tag.videoDataSize > 0 &&
         tag.videoData[0] == kAvcSequenceHeader;
}

}  // namespace

FLVAVTagReader::FLVAVTagReader()
    : deliveredInfo_(EmptyFLVInfo()), computedInfo_(EmptyFLVInfo()) {
  parser_.SetMaxInterleavedTime(kParserMaxInterleavedTime);
  parser_.SetMaxFLVTagQueue(kParserMaxTagQueue);
  parser_.SetParserNotAudioVideoPacket(1);
  parser_.SetFLVInfoCallBack(&FLVAVTagReader::OnInfo, this);
  parser_.SetFLVAudioCallBack(&FLVAVTagReader::OnAudioTag, this);
  parser_.SetFLVVideoCallBack(&FLVAVTagReader::OnVideoTag, this);
  parser_.SetFLVNotAudioVideoPacketCallBack(&FLVAVTagReader::OnOtherTag, this);
}

FLVAVTagReader::~FLVAVTagReader() {
  ResetFileState();
  parser_.Stop();
}

// ---------------------------------------------------------------------------
// Opening

int FLVAVTagReader::Open(const char* path) {
  // A reader that is not open may still hold the index of an Assign whose
  // file could not be reopened; a new file starts from nothing either way.
  ResetFileState();
  ResetStatistics();
  if (path == nullptr) return 0;

  try {
    path_ = path;
  } catch (const std::bad_alloc&) {
    return 0;
  }
  OpenFile(path_);
  fileOffset_ = kUnknownOffset;  // the feed reads the whole file
  if (!file_) {
    path_.clear();
    return 0;
  }
  ReserveIndexFor(file_.get());

  const bool fed = FeedParser();
  FinishParser();
  if (!fed || feedFailed_) {
    ResetFileState();
    return 0;
  }

  ComputeInfoFromStatistics();
  open_ = true;
  if (!SetLastAudioDuration()) {
    ResetFileState();
    return 0;
  }
  SetLastVideoDuration();
  if (SeekToBegin() != FLV_READER_OK) {
    ResetFileState();
    return 0;
  }
  return 1;
}

// Room for the index before the first tag arrives, so that growing it never
// copies it: at least kIndexReserve entries, more for a large file. Reserved
// room that no tag fills is never touched and costs no memory.
void FLVAVTagReader::ReserveIndexFor(std::FILE* file) {
  std::size_t wanted = kIndexReserve;
  struct stat status {};
  if (fstat(fileno(file), &status) == 0 && status.st_size > 0) {
    const auto estimate = static_cast<std::uint64_t>(status.st_size) / kFileBytesPerIndexEntry;
    wanted = static_cast<std::size_t>(
        std::clamp<std::uint64_t>(estimate, kIndexReserve, kIndexReserveLimit));
  }
  if (index_.capacity() >= wanted) return;
  try {
    index_.reserve(wanted);
  } catch (const std::bad_alloc&) {
    // The index grows as tags arrive instead.
  }
}

bool FLVAVTagReader::FeedParser() {
  parser_.Stop();  // a parser left running by an interrupted open starts afresh
  parser_.Run();
  // Read, not mapped: a file that another process truncates under a
  // mapping would end the process with SIGBUS; a read just comes up short.
  const FeedResult result = FeedRead(0);
  return result != FeedResult::kFailed && !feedFailed_;
}

FLVAVTagReader::FeedResult FLVAVTagReader::FeedRead(std::uint64_t from) {
  if (from > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      fseeko(file_.get(), static_cast<off_t>(from), SEEK_SET) != 0) {
    return FeedResult::kFailed;
  }
  std::unique_ptr<std::uint8_t[]> block(new (std::nothrow) std::uint8_t[kFileReadBlockSize]);
  if (!block) return FeedResult::kFailed;
  for (;;) {
    const std::size_t got = std::fread(block.get(), 1, kFileReadBlockSize, file_.get());
    if (got < kFileReadBlockSize && std::ferror(file_.get())) {
      std::perror("Read error");
      return FeedResult::kFailed;
    }
    const FeedResult result = FeedBlock(block.get(), got);
    // kNotFLV: the rest of the file stays unread.
    if (result != FeedResult::kGoOn || feedFailed_) return result;
    if (got < kFileReadBlockSize) return FeedResult::kGoOn;  // end of file
  }
}

// Hands a block of the file to the parser in feed chunks.
FLVAVTagReader::FeedResult FLVAVTagReader::FeedBlock(const std::uint8_t* bytes,
                                                     std::size_t length) {
  for (std::size_t offset = 0; offset < length; offset += kFeedChunkSize) {
    const FeedResult result = FeedChunk(bytes + offset, std::min(kFeedChunkSize, length - offset));
    if (result != FeedResult::kGoOn) return result;
  }
  return FeedResult::kGoOn;
}

FLVAVTagReader::FeedResult FLVAVTagReader::FeedChunk(const std::uint8_t* bytes,
                                                     std::size_t length) {
  for (;;) {
    switch (parser_.DeliverData(bytes, static_cast<int>(length))) {
      case FLV_PARSER_QUEUE_FULL:
        WaitBeforeRetry();
        continue;
      case FLV_PARSER_OK:
      case FLV_PARSER_INFO_PENDING:
        return FeedResult::kGoOn;
      case FLV_PARSER_STREAM_ERROR:
        // The parser answers this to every later delivery, so the rest of
        // the file is not worth reading; the open still succeeds, with an
        // empty index.
        return FeedResult::kNotFLV;
      default:
        // Out of memory (or a parser that is not running): the rest of the
        // stream could no longer be parsed in step.
        return FeedResult::kFailed;
    }
  }
}

void FLVAVTagReader::FinishParser() {
  while (parser_.Flush() == 0) WaitBeforeRetry();
  parser_.Stop();  // a scan still under way at the end of the file is counted
  skipped_ = parser_.GetSkippedBytes();
}

void FLVAVTagReader::ComputeInfoFromStatistics() {
  if (stats_.largestTimestamp == 0) return;
  const double seconds = stats_.largestTimestamp * kSecondsPerMs;
  computedInfo_.duration = seconds;
  computedInfo_.audioBitRate =
      TruncateToInt32(static_cast<double>(stats_.audioBytes) * kBitsPerByte / seconds);
  computedInfo_.videoBitRate =
      TruncateToInt32(static_cast<double>(stats_.videoBytes) * kBitsPerByte / seconds);
  computedInfo_.frameRate = stats_.videoFrameCount / seconds;
}

// The last audio tag plays as long as its own payload: read it with its data
// and ask for its block duration.
bool FLVAVTagReader::SetLastAudioDuration() {
  if (lastAudioIndex_ == kNoTag) return true;
  const auto last = static_cast<std::size_t>(lastAudioIndex_);
  if (PositionAt(last) != FLV_READER_OK) return false;
  const int code = ReadEntryIntoOwnTag(index_[last], /*copyData=*/true);
  if (code != FLV_READER_OK) {
    ReleaseOwnTagData();
    return false;
  }
  std::uint32_t duration = 0;
  // A tag without payload (the parser's own, or a zero-length tag in the
  // file) plays for no time.
  if (tag_.storedSize != 0 && tag_.dataSize != 0 && tag_.data != nullptr) {
    const std::int64_t blockDuration = audioFormat_.BlockDuration(tag_);
    if (blockDuration != kNoBlockDuration && blockDuration > 0) {
      const std::int64_t ms = units100ns::ToMs(blockDuration);
      duration = ms > std::numeric_limits<std::uint32_t>::max()
                     ? std::numeric_limits<std::uint32_t>::max()
                     : static_cast<std::uint32_t>(ms);
    }
  }
  index_[last].duration = duration;
  ReleaseOwnTagData();
  return true;
}

// The last video tag plays for one frame at the file's frame rate; without a
// frame rate (no video data, or everything at time 0) it gets no duration.
void FLVAVTagReader::SetLastVideoDuration() {
  if (lastVideoIndex_ == kNoTag) return;
  const double frameRate = computedInfo_.frameRate;
  index_[static_cast<std::size_t>(lastVideoIndex_)].duration =
      frameRate > 0.0 ? TruncateToUInt32(kMsPerSecond / frameRate) : 0;
}

// ---------------------------------------------------------------------------
// Parser callbacks during Open

void FLVAVTagReader::OnInfo(void* user, FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  auto* self = static_cast<FLVAVTagReader*>(user);
  if (info != nullptr) {
    self->deliveredInfo_ = *info;
    self->computedInfo_.version = info->version;
  }
  // Index every audio and video tag, whatever the file header claims.
  if (decodeVideo != nullptr) *decodeVideo = 1;
  if (decodeAudio != nullptr) *decodeAudio = 1;
}

int FLVAVTagReader::OnAudioTag(void* user, FLVTag* tag) {
  auto* self = static_cast<FLVAVTagReader*>(user);
  if (tag != nullptr) self->AddAudioTag(*tag);
  self->parser_.RecycleTag(tag);
  return 1;
}

int FLVAVTagReader::OnVideoTag(void* user, FLVTag* tag) {
  auto* self = static_cast<FLVAVTagReader*>(user);
  if (tag != nullptr) self->AddVideoTag(*tag);
  self->parser_.RecycleTag(tag);
  return 1;
}

int FLVAVTagReader::OnOtherTag(void* user, FLVTag* tag) {
  auto* self = static_cast<FLVAVTagReader*>(user);
  if (tag != nullptr) self->AppendEntry(*tag, 0);
  self->parser_.RecycleTag(tag);
  return 1;
}

bool FLVAVTagReader::AppendEntry(const FLVTag& tag, std::uint8_t keyFrame) {
  if (feedFailed_) return false;
  FLVTagIndexEntry entry;
  entry.tagType = static_cast<std::uint8_t>(tag.tagType);
  entry.keyFrame = keyFrame;
  entry.timestamp = tag.timestamp;
  entry.filePosition = tag.filePosition > 0 ? static_cast<std::uint64_t>(tag.filePosition) : 0;
  entry.size = tag.storedSize > 0 ? static_cast<std::uint32_t>(tag.storedSize) : 0;
  entry.sequenceHeader = IsSequenceHeader(tag) ? 1 : 0;
  if (entry.sequenceHeader != 0) {
    (tag.tagType == kAudioTagType ? hasAudioHeaders_ : hasVideoHeaders_) = true;
  }
  try {
    index_.push_back(entry);
  } catch (const std::bad_alloc&) {
    // The callbacks run inside the parser: report through the flag rather
    // than throw across it.
    feedFailed_ = true;
    return false;
  }
  return true;
}

void FLVAVTagReader::AddAudioTag(const FLVTag& tag) {
  const std::ptrdiff_t previousAudio = lastAudioIndex_;
  if (!AppendEntry(tag, 0)) return;
  lastAudioIndex_ = static_cast<std::ptrdiff_t>(index_.size()) - 1;

  if (tag.dataSize != 0) {
    audioFormat_.Observe(tag);
    stats_.audioBytes += tag.dataSize;
    if (tag.timestamp > stats_.largestTimestamp) stats_.largestTimestamp = tag.timestamp;
    if (!stats_.audioInfoCaptured) {
      FillAudioInfoFromTag(tag, audioFormat_.FormatOf(tag), &computedInfo_);
      // An AAC stream's format is known from its first usable configuration
      // (writers put out empty ones too); until then the flags byte stands in.
      stats_.audioInfoCaptured = tag.soundFormat != kSoundFormatAac || audioFormat_.HasAacConfig();
    }
  }
  if (previousAudio != kNoTag) {
    index_[static_cast<std::size_t>(previousAudio)].duration =
        GapToNext(stats_.previousAudioTimestamp, tag.timestamp);
  }
  stats_.previousAudioTimestamp = tag.timestamp;
}

void FLVAVTagReader::AddVideoTag(const FLVTag& tag) {
  const std::ptrdiff_t previousVideo = lastVideoIndex_;
  if (!AppendEntry(tag, static_cast<std::uint8_t>(tag.frameType))) return;
  lastVideoIndex_ = static_cast<std::ptrdiff_t>(index_.size()) - 1;

  if (tag.dataSize != 0) {
    ++stats_.videoFrameCount;
    stats_.videoBytes += tag.dataSize;
    if (tag.timestamp > stats_.largestTimestamp) stats_.largestTimestamp = tag.timestamp;
    if (!stats_.videoInfoCaptured && DeclaresPictureSize(tag)) {
      FillVideoInfoFromTag(tag, &computedInfo_);
      stats_.videoInfoCaptured = true;
    }
  }

  if (stats_.firstVideo) {
    stats_.firstVideo = false;
  } else {
    // Wrapping difference: a step back in time gives a huge value, which
    // becomes the smallest interval only when it is the first one.
    const std::uint32_t difference = tag.timestamp - stats_.previousVideoTimestamp;
    if (stats_.firstInterval) {
      stats_.smallestVideoInterval = difference;
      stats_.firstInterval = false;
    } else if (difference < stats_.smallestVideoInterval) {
      stats_.smallestVideoInterval = difference;
    }
    if (previousVideo != kNoTag) {
      index_[static_cast<std::size_t>(previousVideo)].duration =
          GapToNext(stats_.previousVideoTimestamp, tag.timestamp);
    }
  }
  stats_.previousVideoTimestamp = tag.timestamp;
}

// ---------------------------------------------------------------------------
// State

void FLVAVTagReader::ResetFileState() {
  index_.clear();  // storage kept for the next file
  currentIndex_ = 0;
  ReleaseOwnTagData();
  readBuffer_.reset();
  readBufferCapacity_ = 0;
  open_ = false;
  file_.reset();
  fileOffset_ = kUnknownOffset;
  path_.clear();
  lastAudioIndex_ = kNoTag;
  lastVideoIndex_ = kNoTag;
}

void FLVAVTagReader::ResetStatistics() {
  stats_ = Statistics{};
  audioFormat_.Reset();
  deliveredInfo_ = EmptyFLVInfo();
  computedInfo_ = EmptyFLVInfo();
  lastAudioIndex_ = kNoTag;
  lastVideoIndex_ = kNoTag;
  hasAudioHeaders_ = false;
  hasVideoHeaders_ = false;
  feedFailed_ = false;
  skipped_ = FLVStreamParser::SkippedBytes{};
}

void FLVAVTagReader::Close() {
  if (!open_) return;
  ResetFileState();
}

int FLVAVTagReader::AssignTo(FLVAVTagReader& destination) const {
  if (&destination == this) return open_ ? 1 : 0;
  destination.ResetFileState();
  try {
    destination.index_ = index_;
    destination.path_ = path_;
  } catch (const std::bad_alloc&) {
    destination.ResetFileState();
    return 0;
  }
  destination.open_ = open_;
  destination.currentIndex_ = currentIndex_;
  destination.deliveredInfo_ = deliveredInfo_;
  destination.computedInfo_ = computedInfo_;
  destination.stats_ = stats_;
  destination.lastAudioIndex_ = lastAudioIndex_;
  destination.lastVideoIndex_ = lastVideoIndex_;
  destination.hasAudioHeaders_ = hasAudioHeaders_;
  destination.hasVideoHeaders_ = hasVideoHeaders_;
  destination.pendingAudioHeader_ = pendingAudioHeader_;
  destination.pendingVideoHeader_ = pendingVideoHeader_;
  destination.feedFailed_ = false;
  destination.skipped_ = skipped_;

  if (destination.open_ && !destination.path_.empty()) {
    destination.OpenFile(destination.path_);
    destination.fileOffset_ = 0;
    if (!destination.file_ || destination.PositionAt(currentIndex_) != FLV_READER_OK) {
      // The copy keeps its index but has no file to read it from.
      destination.open_ = false;
      destination.file_.reset();
    }
  }
  return destination.open_ ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Queries

int FLVAVTagReader::GetFLVInfo(FLVInfo* info) const {
  if (!open_) return 0;
  if (info != nullptr) *info = deliveredInfo_;
  return 1;
}

int FLVAVTagReader::GetFLVInfoEx(FLVInfo* info) const {
  if (!open_) return 0;
  if (info != nullptr) *info = computedInfo_;
  return 1;
}

int FLVAVTagReader::GetMinIntervaledFrameTime(int* interval) const {
  if (!open_) return 0;
  if (interval != nullptr) *interval = static_cast<int>(stats_.smallestVideoInterval);
  return 1;
}

void FLVAVTagReader::GetDuration(std::uint32_t* audioDuration,
                                 std::uint32_t* videoDuration) const {
  auto endOf = [this](std::ptrdiff_t last) -> std::uint32_t {
    if (last == kNoTag || static_cast<std::size_t>(last) >= index_.size()) return 0;
    const FLVTagIndexEntry& entry = index_[static_cast<std::size_t>(last)];
    return entry.timestamp + entry.duration;
  };
  if (audioDuration != nullptr) *audioDuration = endOf(lastAudioIndex_);
  if (videoDuration != nullptr) *videoDuration = endOf(lastVideoIndex_);
}

// ---------------------------------------------------------------------------
// Reading

void FLVAVTagReader::ReleaseOwnTagData() {
  // In caller-owned mode the record gives its block away when it is handed
  // out, so a block still here is always the reader's own.
  ReleaseFLVTagData(&tag_);
}

bool FLVAVTagReader::EnsureReadBuffer(std::uint32_t size) {
  if (readBufferCapacity_ >= size) return true;
  const std::uint64_t capacity = static_cast<std::uint64_t>(size) + size / 2;
  if (capacity > std::numeric_limits<std::uint32_t>::max()) return false;
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[capacity]);
  readBuffer_.reset();
  readBufferCapacity_ = 0;
  if (!buffer) return false;
  readBuffer_ = std::move(buffer);
  readBufferCapacity_ = static_cast<std::uint32_t>(capacity);
  return true;
}

bool FLVAVTagReader::MoveFileTo(std::uint64_t position) {
  if (!file_) return false;
  if (position == fileOffset_) return true;
  if (position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) ||
      fseeko(file_.get(), static_cast<off_t>(position), SEEK_SET) != 0) {
    fileOffset_ = kUnknownOffset;
    return false;
  }
  fileOffset_ = position;
  return true;
}

// Reading one kind of tag skips the other kind's between them: with stdio's
// default 4 KiB buffer that is a system call every few tags; with a read
// block, a skip mostly lands inside the buffer. glibc takes a size only with
// a buffer it is given, so the reader owns one; the old file is closed
// before the buffer serves a new one.
void FLVAVTagReader::OpenFile(const std::string& path) {
  file_.reset();
  if (!fileBuffer_) {
    fileBuffer_.reset(new (std::nothrow) char[kFileReadBlockSize]);
  }
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (file_ && fileBuffer_) {
    std::setvbuf(file_.get(), fileBuffer_.get(), _IOFBF, kFileReadBlockSize);
  }
}

int FLVAVTagReader::ReadEntryIntoOwnTag(const FLVTagIndexEntry& entry, bool copyData) {
  ReleaseOwnTagData();
  const std::uint32_t size = entry.size;
  if (!EnsureReadBuffer(size)) return FLV_READER_OUT_OF_MEMORY;

  if (size == 0) {
    // The parser's own empty tag: nothing in the file to read.
    tag_ = FLVTag{};
    tag_.tagType = entry.tagType;
  } else {
    // Reading from the entry's own offset keeps every read right even after
    // a failed read or a tag the index does not cover.
    if (!MoveFileTo(entry.filePosition)) return FLV_READER_READ_ERROR;
    std::uint8_t* bytes = readBuffer_.get();
    if (std::fread(bytes, 1, size, file_.get()) != size) {
      fileOffset_ = kUnknownOffset;
      return FLV_READER_READ_ERROR;
    }
    fileOffset_ += size;
    std::int64_t position = static_cast<std::int64_t>(entry.filePosition);
    std::uint32_t bytesToTagEnd = 0;
    if (!ParseFLVTagHeader(bytes, size, copyData, &tag_, &position, &bytesToTagEnd)) {
      return FLV_READER_READ_ERROR;
    }
    // The file changed under the index: its header no longer matches.
    if (kTagHeaderSize + bytesToTagEnd != size ||
        static_cast<std::uint8_t>(tag_.tagType) != entry.tagType) {
      ReleaseOwnTagData();
      return FLV_READER_READ_ERROR;
    }
    if (!ParseFLVTagBody(bytes + kTagHeaderSize, bytesToTagEnd, &tag_)) {
      return FLV_READER_READ_ERROR;
    }
  }
  tag_.filePosition = static_cast<std::int64_t>(entry.filePosition);
  tag_.timestamp = entry.timestamp;
  return FLV_READER_OK;
}

int FLVAVTagReader::ReadTag(int copyData, int typeFilter, FLVTag** tag,
                            std::uint32_t* duration) {
  if (!open_) return FLV_READER_NOT_OPEN;
  std::size_t header = 0;
  if (TakePendingHeader(typeFilter, &header)) {
    ReleaseOwnTagData();
    const int code = ReadEntryIntoOwnTag(index_[header], copyData != 0);
    if (code != FLV_READER_OK) return code;
    // Stamped with the landing tag's time, so that the time line the caller
    // sees starts where it sought and never runs backwards.
    if (currentIndex_ < index_.size()) SetFLVTagTimestamp(&tag_, index_[currentIndex_].timestamp);
    return HandOut(0, tag, duration);
  }
  for (;;) {
    ReleaseOwnTagData();
    if (currentIndex_ >= index_.size()) return FLV_READER_END;
    const FLVTagIndexEntry& entry = index_[currentIndex_];
    const int code = ReadEntryIntoOwnTag(entry, copyData != 0);
    if (code != FLV_READER_OK) return code;

    if (typeFilter != 0 && typeFilter != tag_.tagType) {
      ++currentIndex_;
      continue;  // skipped; its data is released at the top of the loop
    }
    const int result = HandOut(entry.duration, tag, duration);
    if (result == FLV_READER_OK) ++currentIndex_;
    return result;
  }
}

int FLVAVTagReader::HandOut(std::uint32_t entryDuration, FLVTag** tag, std::uint32_t* duration) {
  FLVTag* handedOut = &tag_;
  if (!autoRelease_) {
    handedOut = NewFLVTag();
    if (handedOut == nullptr) {
      // Nothing advanced: the same entry is read again next time.
      ReleaseOwnTagData();
      return FLV_READER_OUT_OF_MEMORY;
    }
    *handedOut = tag_;
    // The block and everything pointing into it now belong to the caller.
    tag_.block = nullptr;
    tag_.data = nullptr;
    if (tag_.tagType == kAudioTagType) {
      tag_.audioData = nullptr;
    } else if (tag_.tagType == kVideoTagType) {
      tag_.videoData = nullptr;
      tag_.vp6Data = nullptr;
      tag_.alphaData = nullptr;
    }
  }
  if (duration != nullptr) *duration = entryDuration;
  if (tag != nullptr) {
    *tag = handedOut;
  } else if (handedOut != &tag_) {
    DeleteFLVTag(handedOut);  // nobody to hand it to
  }
  return FLV_READER_OK;
}

bool FLVAVTagReader::TakePendingHeader(int typeFilter, std::size_t* entry) {
  for (std::ptrdiff_t* pending : {&pendingAudioHeader_, &pendingVideoHeader_}) {
    if (*pending == kNoTag) continue;
    const auto i = static_cast<std::size_t>(*pending);
    *pending = kNoTag;
    if (i < index_.size() && (typeFilter == 0 || typeFilter == index_[i].tagType)) {
      *entry = i;
      return true;
    }
  }
  return false;
}

std::ptrdiff_t FLVAVTagReader::SequenceHeaderBefore(std::size_t end, int tagType) const {
  const bool any = tagType == kAudioTagType ? hasAudioHeaders_ : hasVideoHeaders_;
  if (!any) return kNoTag;
  for (std::size_t i = std::min(end, index_.size()); i-- > 0;) {
    const FLVTagIndexEntry& entry = index_[i];
    if (entry.tagType == tagType && entry.sequenceHeader != 0) {
      return static_cast<std::ptrdiff_t>(i);
    }
  }
  return kNoTag;
}

// ---------------------------------------------------------------------------
// Positioning

int FLVAVTagReader::PositionAt(std::size_t i) {
  currentIndex_ = i;
  pendingAudioHeader_ = kNoTag;
  pendingVideoHeader_ = kNoTag;
  if (index_.empty() && i == 0) return FLV_READER_OK;
  if (i > index_.size()) return FLV_READER_READ_ERROR;
  std::uint64_t target = 0;
  if (i == index_.size()) {
    // At the end: ReadTag answers "no more tags" from here, so only the
    // file's place after the last tag is needed.
    const FLVTagIndexEntry& last = index_.back();
    target = last.filePosition + last.size;
  } else {
    target = index_[i].filePosition;
    // The parser's own tag has no bytes: the file stands at the tag after it.
    if (target == 0 && i + 1 < index_.size()) target = index_[i + 1].filePosition;
  }
  if (!file_) return FLV_READER_READ_ERROR;
  fileOffset_ = kUnknownOffset;  // positioning always moves the file
  return MoveFileTo(target) ? FLV_READER_OK : FLV_READER_READ_ERROR;
}

std::size_t FLVAVTagReader::UpperBound(std::uint32_t time) const {
  std::size_t low = 0;
  std::size_t high = index_.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (index_[middle].timestamp > time) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

std::size_t FLVAVTagReader::LowerBound(std::uint32_t time) const {
  std::size_t low = 0;
  std::size_t high = index_.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    if (index_[middle].timestamp >= time) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  return low;
}

int FLVAVTagReader::Seek(int tagType, std::uint32_t time) {
  if (!open_) return FLV_READER_NOT_OPEN;
  const std::size_t after = UpperBound(time);
  if (after == index_.size()) return FLV_READER_SEEK_NO_TAG_AFTER;
  if (tagType != FLV_TAG_TYPE_AUDIO && tagType != FLV_TAG_TYPE_VIDEO) {
    return FLV_READER_SEEK_NO_MATCH;
  }
  // From the first tag after the time back to the start: the nearest audio
  // tag or video key frame.
  for (std::size_t i = after + 1; i-- > 0;) {
    const FLVTagIndexEntry& entry = index_[i];
    const bool matches = tagType == FLV_TAG_TYPE_AUDIO
                             ? entry.tagType == kAudioTagType
                             : entry.tagType == kVideoTagType && entry.keyFrame == kKeyFrameType;
    if (matches) {
      if (PositionAt(i) != FLV_READER_OK) return FLV_READER_SEEK_NO_TAG_AFTER;
      // A landing tag that is itself a sequence header needs none before it.
      if (entry.sequenceHeader == 0 || entry.tagType != kAudioTagType) {
        pendingAudioHeader_ = SequenceHeaderBefore(i, kAudioTagType);
      }
      if (entry.sequenceHeader == 0 || entry.tagType != kVideoTagType) {
        pendingVideoHeader_ = SequenceHeaderBefore(i, kVideoTagType);
      }
      return FLV_READER_OK;
    }
  }
  return FLV_READER_SEEK_NO_MATCH;
}

int FLVAVTagReader::SeekToBegin() { return PositionAt(0); }

int FLVAVTagReader::GetNextKeyFrameTimeStamp(std::uint32_t time,
                                             std::uint32_t* timestamp) const {
  for (std::size_t i = LowerBound(time); i < index_.size(); ++i) {
    const FLVTagIndexEntry& entry = index_[i];
    if (entry.tagType == kVideoTagType && entry.keyFrame == kKeyFrameType &&
        entry.timestamp >= time) {
      if (timestamp != nullptr) *timestamp = entry.timestamp;
      return 1;
    }
  }
  return 0;
}

int FLVAVTagReader::SetAutoReleaseMemory(int flag) {
  autoRelease_ = flag != 0;
  return flag;
}

}  // namespace kelvra
