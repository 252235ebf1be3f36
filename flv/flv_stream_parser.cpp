#include "flv/flv_stream_parser.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "flv/flv_tag_parsing.h"
#include "shared/units_100ns.h"

namespace kelvra {

namespace {

// How far an audio hole may reach beyond the newest video tag: video running
// through a hole confirms it, and beyond that the time stamps alone are
// taken for this long at most. A longer hole comes from a damaged or foreign
// time stamp; taken whole it would have the decoders fill weeks of silence
// from a few bytes of input.
constexpr std::uint32_t kMaxUnconfirmedAudioGapMs = 60000;
// A stream carries audio and video: the frame rate is measured over at least
// this many video tags before the information is reported without waiting.
constexpr std::size_t kFrameRateTagCount = 30;
// Fewest video tags for a frame rate once the information is forced.
constexpr std::size_t kForcedFrameRateTagCount = 2;
constexpr double kFallbackFrameRate = 25.0;
// The longest piece ever held: a tag body of the largest data size (24 bits)
// with its previous-tag-size field.
constexpr std::size_t kMaxTagDataSize = 0xFFFFFF;
constexpr std::size_t kMaxPieceSize = kMaxTagDataSize + kPreviousTagSizeFieldSize;

std::int64_t SteadySeconds() {
  using std::chrono::steady_clock;
  return std::chrono::duration_cast<std::chrono::seconds>(steady_clock::now().time_since_epoch())
      .count();
}

bool IsAudio(const FLVTag& tag) { return tag.tagType == FLV_TAG_TYPE_AUDIO; }
bool IsVideo(const FLVTag& tag) { return tag.tagType == FLV_TAG_TYPE_VIDEO; }

}  // namespace

FLVStreamParser::FLVStreamParser() : dataBuffer(kMaxPieceSize), secondsClock(&SteadySeconds) {
  ResetRunFields();
}

FLVStreamParser::~FLVStreamParser() { ResetParser(); }

// ---------------------------------------------------------------------------
// Setters: only while stopped.

int FLVStreamParser::SetMaxInterleavedTime(std::uint32_t seconds) {
  if (!stopped) return 0;
  maxInterleavedTime = seconds;
  return 1;
}

int FLVStreamParser::SetMaxFLVTagQueue(std::uint32_t count) {
  if (!stopped) return 0;
  maxFLVTagQueue = count;
  return 1;
}

int FLVStreamParser::SetFLVInfoCallBack(FLVInfoCallBack callBack, void* userData) {
  if (!stopped) return 0;
  infoCallBack = callBack;
  infoCallBackUser = userData;
  return 1;
}

int FLVStreamParser::SetFLVVideoCallBack(FLVTagCallBack callBack, void* userData) {
  if (!stopped) return 0;
  videoCallBack = callBack;
  videoCallBackUser = userData;
  return 1;
}

int FLVStreamParser::SetFLVAudioCallBack(FLVTagCallBack callBack, void* userData) {
  if (!stopped) return 0;
  audioCallBack = callBack;
  audioCallBackUser = userData;
  return 1;
}

int FLVStreamParser::SetParserNotAudioVideoPacket(int flag) {
  if (!stopped) return 0;
  parseNotAudioVideo = flag;
  return 1;
}

int FLVStreamParser::SetFLVNotAudioVideoPacketCallBack(FLVTagCallBack callBack, void* userData) {
  if (!stopped) return 0;
  notAudioVideoCallBack = callBack;
  notAudioVideoCallBackUser = userData;
  return 1;
}

// ---------------------------------------------------------------------------
// Running state.

void FLVStreamParser::ResetRunFields() {
  audioFormat.Reset();
  wantVideo = 1;
  wantAudio = 1;
  bytesNeeded = static_cast<std::int32_t>(kFileHeaderSize);
  bytesHeld = 0;
  state = ParseState::ReadHeader;
  currentTag = nullptr;  // ResetParser has deleted any earlier one
  headerVersion = 0;
  headerHasVideo = 0;
  headerHasAudio = 0;
  baseTimestampSet = 0;
  baseTimestamp = 0;
  gapOpen = 0;
  gapStart = 0;
  newestVideoTimestamp = 0;
  audioClock = 0;
  clockOffset = 0;
  infoReady = 0;
  audioInfoFound = 0;
  videoInfoFound = 0;
  frameRateFound = 0;
  waitStarted = 0;
  waitStart = 0;
  info = EmptyFLVInfo();
  lastTimeStamp = 0;
  audioPacketsCount = 0;
  videoPacketsCount = 0;
  infoCallBackCalled = 0;
  haveGoodTimestamp = false;
  lastGoodTimestamp = 0;
  skipped = SkippedBytes{};
}

int FLVStreamParser::Run() {
  if (!stopped) return 0;
  ResetRunFields();
  stopped = 0;
  return 1;
}

int FLVStreamParser::Flush() {
  if (stopped) return 1;
  // A tag held for confirmation that ends exactly where the bytes end is
  // taken: no next header can confirm it if the stream ends here.
  if (state == ParseState::Resync && resync.AcceptAtEnd() && !AcceptResyncedTag()) {
    return tagQueue.empty() ? 1 : 0;
  }
  if (!infoCallBackCalled) {
    GatherFLVInfo(true);
    CallFLVInfoCallBack();
  }
  DeliverQueuedTags();
  // Bytes of an incomplete piece stay buffered: the stream may go on.
  return tagQueue.empty() ? 1 : 0;
}

int FLVStreamParser::Stop() {
  if (stopped) return 0;
  if (!infoCallBackCalled) {
    GatherFLVInfo(true);
    CallFLVInfoCallBack();
  }
  // A scan still under way ends here: everything it held was damage.
  if (state == ParseState::Resync && resync.Active()) {
    NoteSkipped(resync.RangeStart(), resync.EndOffset() - resync.RangeStart());
  }
  // Tags still queued now are deleted, not offered: owners flush first.
  ResetParser();
  stopped = 1;
  return 1;
}

void FLVStreamParser::ResetParser() {
  ClearTagQueue();
  dataBuffer.Clear();
  DeleteFLVTag(currentTag);
  currentTag = nullptr;
  scratch.reset();
  scratchCapacity = 0;
  resync.Clear();
  std::vector<std::uint8_t>().swap(replay);
  replayCursor = 0;
}

FLVStreamParser::SkippedBytes FLVStreamParser::GetSkippedBytes() const {
  SkippedBytes result = skipped;
  if (state == ParseState::Resync && resync.Active() && !stopped) {
    const std::int64_t length = resync.EndOffset() - resync.RangeStart();
    if (length > 0) {
      ++result.ranges;
      result.bytes += length;
      if (result.firstOffset < 0) result.firstOffset = resync.RangeStart();
    }
  }
  return result;
}

void FLVStreamParser::NoteSkipped(std::int64_t offset, std::int64_t length) {
  if (length <= 0) return;
  ++skipped.ranges;
  skipped.bytes += length;
  if (skipped.firstOffset < 0) skipped.firstOffset = offset;
}

int FLVStreamParser::GetParsedPacketsCount(int* audioCount, int* videoCount) const {
  if (audioCount != nullptr) *audioCount = audioPacketsCount;
  if (videoCount != nullptr) *videoCount = videoPacketsCount;
  return videoPacketsCount;
}

// ---------------------------------------------------------------------------
// Delivery.

bool FLVStreamParser::QueueIsFull() const {
  // An empty queue is never full, so that a limit of 0 cannot turn every
  // delivery into "queue full" for ever.
  return !tagQueue.empty() && tagQueue.size() >= maxFLVTagQueue;
}

int FLVStreamParser::DeliverData(const std::uint8_t* bytes, int length) {
  if (stopped) return FLV_PARSER_NOT_RUNNING;
  if (state == ParseState::Failed) return FLV_PARSER_STREAM_ERROR;
  if (bytes == nullptr || length <= 0) return FLV_PARSER_NO_DATA;

  if (QueueIsFull()) {
    if (!infoCallBackCalled) {
      GatherFLVInfo(true);
      CallFLVInfoCallBack();
    }
    DeliverQueuedTags();
    if (QueueIsFull()) return FLV_PARSER_QUEUE_FULL;
  }

  const bool allTaken = ConsumeBytes(bytes, static_cast<std::size_t>(length));
  if (state == ParseState::Failed) {
    ClearTagQueue();
    return FLV_PARSER_STREAM_ERROR;
  }
  if (!allTaken) return FLV_PARSER_OUT_OF_MEMORY;

  if (infoCallBackCalled) {
    DeliverQueuedTags();
    return FLV_PARSER_OK;
  }
  // The information may have become complete at a tag of this delivery;
  // it is announced now, at the end of the delivery.
  GatherFLVInfo(false);
  if (infoReady) {
    CallFLVInfoCallBack();
    return FLV_PARSER_OK;
  }
  return FLV_PARSER_INFO_PENDING;
}

// Bytes a resynchronisation read beyond the tag it found are parsed before
// the rest of the delivery (or of earlier such bytes): the stream is always
// parsed in order.
bool FLVStreamParser::ConsumeBytes(const std::uint8_t* bytes, std::size_t length) {
  for (;;) {
    const bool fromReplay = replayCursor < replay.size();
    const std::uint8_t* span = fromReplay ? replay.data() + replayCursor : bytes;
    std::size_t left = fromReplay ? replay.size() - replayCursor : length;
    if (left == 0) break;
    const std::size_t before = left;
    const bool taken = ConsumeSpan(span, left);
    if (fromReplay) {
      replayCursor += before - left;
    } else {
      bytes = span;
      length = left;
    }
    if (!taken) return false;
    if (state == ParseState::Failed) return true;
    if (resync.Found() && !AcceptResyncedTag()) return state == ParseState::Failed;
  }
  if (replayCursor > 0 && replayCursor == replay.size()) {
    replay.clear();
    replayCursor = 0;
  }
  return true;
}

bool FLVStreamParser::ConsumeSpan(const std::uint8_t*& bytes, std::size_t& length) {
  while (length > 0) {
    if (state == ParseState::Resync) {
      bool outOfMemory = false;
      const std::size_t taken = resync.Take(bytes, length, &outOfMemory);
      bytes += taken;
      length -= taken;
      if (outOfMemory) return false;
      if (resync.Found()) return true;
      continue;
    }
    // Only a header whose data offset leaves nothing to skip gets here with
    // nothing needed: there is no next piece, so the rest is dropped.
    if (bytesHeld >= bytesNeeded) {
      bytes += length;
      length = 0;
      return true;
    }
    const std::size_t missing = static_cast<std::size_t>(bytesNeeded - bytesHeld);

    if (state == ParseState::SkipHeaderRest) {
      // Skipped bytes are counted, not buffered: a header may declare a data
      // offset of up to 4 GB.
      const std::size_t skippedNow = missing < length ? missing : length;
      bytesHeld += static_cast<std::int32_t>(skippedNow);
      bytes += skippedNow;
      length -= skippedNow;
      if (bytesHeld == bytesNeeded) SkipHeaderRestPiece();
      continue;
    }

    if (length < missing) {
      // Bytes the data buffer could not take are not consumed (code 7)
      // rather than silently lost from the middle of a tag.
      if (!dataBuffer.Append(bytes, length)) return false;
      bytesHeld += static_cast<std::int32_t>(length);
      bytes += length;
      length = 0;
      return true;
    }

    // A piece that lies whole in the delivered bytes is parsed where it is;
    // one begun in an earlier delivery is assembled in the scratch first.
    const std::size_t held = dataBuffer.Size();
    const std::uint8_t* piece = bytes;
    const std::size_t pieceLength = held + missing;
    if (held > 0) {
      if (!EnsureScratch(pieceLength)) return false;
      dataBuffer.TakeAll(scratch.get());
      std::memcpy(scratch.get() + held, bytes, missing);
      piece = scratch.get();
    }
    bytes += missing;
    length -= missing;
    ParseStreamPiece(piece, pieceLength);
    if (state == ParseState::Failed) return true;
  }
  return true;
}

bool FLVStreamParser::EnsureScratch(std::size_t pieceLength) {
  if (pieceLength <= scratchCapacity) return true;
  const std::size_t capacity = pieceLength + pieceLength / 2;
  scratch.reset();
  scratchCapacity = 0;
  if (capacity > UINT32_MAX) return false;
  scratch.reset(new (std::nothrow) std::uint8_t[capacity]);
  if (!scratch) return false;
  scratchCapacity = static_cast<std::uint32_t>(capacity);
  return true;
}

// ---------------------------------------------------------------------------
// Parse states: one step per complete piece.

void FLVStreamParser::ParseStreamPiece(const std::uint8_t* piece, std::size_t length) {
  switch (state) {
    case ParseState::ReadHeader:
      ReadHeaderPiece(piece, length);
      break;
    case ParseState::SkipHeaderRest:
      SkipHeaderRestPiece();
      break;
    case ParseState::ReadTagHeader:
      ReadTagHeaderPiece(piece, length);
      break;
    case ParseState::ReadTagBody:
      ReadTagBodyPiece(piece, length);
      break;
    case ParseState::Resync:  // bytes go to the scanner, never into pieces
    case ParseState::Failed:
      break;  // deliveries answer 1 before any piece is assembled
  }
}

void FLVStreamParser::NextPiece(ParseState next, std::int32_t length) {
  state = next;
  bytesNeeded = length;
  bytesHeld = 0;
}

void FLVStreamParser::EnterFailed() { state = ParseState::Failed; }

void FLVStreamParser::ReadHeaderPiece(const std::uint8_t* piece, std::size_t length) {
  FLVHeaderFields header;
  if (!ParseFLVHeader(piece, length, &header)) {
    EnterFailed();
    return;
  }
  headerVersion = header.version;
  headerHasAudio = header.hasAudio;
  headerHasVideo = header.hasVideo;
  streamPosition = header.firstTagPosition;
  info.version = header.version;
  NextPiece(ParseState::SkipHeaderRest, header.bytesToSkip);
}

void FLVStreamParser::SkipHeaderRestPiece() {
  NextPiece(ParseState::ReadTagHeader, static_cast<std::int32_t>(kTagHeaderSize));
}

void FLVStreamParser::ReadTagHeaderPiece(const std::uint8_t* piece, std::size_t length) {
  if (!TagResyncScanner::IsPlausibleHeader(piece)) {
    EnterResync(streamPosition, piece, length, nullptr, 0,
                TagResyncScanner::Start::AfterBadHeader);
    return;
  }
  std::memcpy(lastHeader, piece, kTagHeaderSize);
  DeleteFLVTag(currentTag);  // never set here: a dispatched tag is handed on
  currentTag = TakeTagRecord();
  if (currentTag == nullptr) {
    // A record that cannot be allocated is treated like a data block that
    // cannot be: the stream fails and the delivery answers 1.
    EnterFailed();
    return;
  }
  std::uint32_t bytesToTagEnd = 0;
  // The first pass records the tag's stream offset and advances the stream
  // position; the second, for a wanted tag, gives it its data block.
  if (!ParseFLVTagHeader(piece, length, false, currentTag, &streamPosition, &bytesToTagEnd)) {
    EnterFailed();
    return;
  }
  const bool wanted = (IsAudio(*currentTag) && wantAudio) || (IsVideo(*currentTag) && wantVideo);
  if (wanted && !GiveTagBlock(piece) &&
      !ParseFLVTagHeader(piece, length, true, currentTag, &streamPosition, &bytesToTagEnd)) {
    EnterFailed();
    return;
  }
  NextPiece(ParseState::ReadTagBody, static_cast<std::int32_t>(bytesToTagEnd));
}

FLVTag* FLVStreamParser::TakeTagRecord() {
  if (spareRecords.empty()) return NewFLVTag();
  FLVTag* record = spareRecords.back().release();
  spareRecords.pop_back();
  *record = FLVTag{};
  return record;
}

// A spare block big enough for the current tag, if one was given back;
// false leaves the allocation to the header parse.
bool FLVStreamParser::GiveTagBlock(const std::uint8_t* header) {
  const std::uint32_t needed = currentTag->dataSize + kTagBlockExtraSize;
  for (auto spare = spareBlocks.begin(); spare != spareBlocks.end(); ++spare) {
    if (spare->capacity < needed) continue;
    InstallFLVTagBlock(currentTag, header, spare->bytes.release());
    spareBlocks.erase(spare);
    return true;
  }
  return false;
}

void FLVStreamParser::RecycleTag(FLVTag* tag) {
  if (tag == nullptr) return;
  // Every block this parser hands out holds at least dataSize +
  // kTagBlockExtraSize bytes (a reused one may hold more).
  const std::uint32_t capacity = tag->dataSize + kTagBlockExtraSize;
  if (tag->block != nullptr && capacity <= kMaxSpareBlockSize &&
      spareBlocks.size() < kMaxSpareTags) {
    try {
      spareBlocks.push_back(SpareBlock{std::unique_ptr<std::uint8_t[]>(tag->block), capacity});
      tag->block = nullptr;
    } catch (const std::bad_alloc&) {
      // The unique_ptr took the block and freed it in the unwinding.
      tag->block = nullptr;
    }
  }
  ReleaseFLVTagData(tag);
  if (spareRecords.size() >= kMaxSpareTags) {
    DeleteFLVTag(tag);
    return;
  }
  try {
    spareRecords.emplace_back(tag);
  } catch (const std::bad_alloc&) {
    // emplace_back made no unique_ptr: the record is still ours to free.
    DeleteFLVTag(tag);
  }
}

void FLVStreamParser::ReadTagBodyPiece(const std::uint8_t* piece, std::size_t length) {
  FLVTag* tag = currentTag;
  currentTag = nullptr;
  // The previous-tag-size field closes the piece. Writers put 11 + the data
  // size there, some 15 + it; anything else may mean the tag was cut short
  // and its "body" runs into the tags after it, so the next header decides.
  const std::size_t sizeField = length - kPreviousTagSizeFieldSize;
  const std::uint32_t previousTagSize = static_cast<std::uint32_t>(piece[sizeField]) << 24 |
                                        static_cast<std::uint32_t>(piece[sizeField + 1]) << 16 |
                                        static_cast<std::uint32_t>(piece[sizeField + 2]) << 8 |
                                        piece[sizeField + 3];
  if (previousTagSize != tag->dataSize + kTagHeaderSize &&
      previousTagSize != tag->dataSize + kTagOverheadSize) {
    const std::int64_t offset = tag->filePosition;
    DeleteFLVTag(tag);
    streamPosition = offset;
    EnterResync(offset, lastHeader, kTagHeaderSize, piece, length,
                TagResyncScanner::Start::AtUnconfirmedTag);
    return;
  }
  ParseTagBody(tag, piece, length);
}

void FLVStreamParser::ParseTagBody(FLVTag* tag, const std::uint8_t* piece, std::size_t length) {
  if (ParseFLVTagBody(piece, length, tag)) {
    if (IsAudio(*tag) || IsVideo(*tag)) {
      haveGoodTimestamp = true;
      lastGoodTimestamp = tag->timestamp;
    }
    DispatchTag(tag);
  } else {
    DeleteFLVTag(tag);
  }
  if (state != ParseState::Failed) {
    NextPiece(ParseState::ReadTagHeader, static_cast<std::int32_t>(kTagHeaderSize));
  }
}

void FLVStreamParser::EnterResync(std::int64_t offset, const std::uint8_t* first,
                                  std::size_t firstLength, const std::uint8_t* second,
                                  std::size_t secondLength, TagResyncScanner::Start start) {
  if (!resync.Begin(offset, first, firstLength, second, secondLength, start, haveGoodTimestamp,
                    lastGoodTimestamp)) {
    EnterFailed();
    return;
  }
  NextPiece(ParseState::Resync, 0);
}

bool FLVStreamParser::AcceptResyncedTag() {
  const std::int64_t damageLength = resync.FoundOffset() - resync.RangeStart();
  NoteSkipped(resync.RangeStart(), damageLength);
  if (damageLength > 0 && !MarkAudioGap()) return false;

  // The found tag is parsed straight from the scanner's buffer; its header is
  // plausible and it is confirmed, so neither step goes back to Resync.
  streamPosition = resync.FoundOffset();
  NextPiece(ParseState::ReadTagHeader, static_cast<std::int32_t>(kTagHeaderSize));
  ReadTagHeaderPiece(resync.FoundTag(), kTagHeaderSize);
  if (state == ParseState::Failed) return false;
  FLVTag* tag = currentTag;
  currentTag = nullptr;
  ParseTagBody(tag, resync.FoundTag() + kTagHeaderSize, resync.FoundTagLength() - kTagHeaderSize);
  if (state == ParseState::Failed) return false;

  try {
    std::vector<std::uint8_t> next;
    next.reserve(resync.TrailingLength() + (replay.size() - replayCursor));
    next.insert(next.end(), resync.Trailing(), resync.Trailing() + resync.TrailingLength());
    next.insert(next.end(), replay.begin() + static_cast<std::ptrdiff_t>(replayCursor),
                replay.end());
    replay.swap(next);
    replayCursor = 0;
  } catch (const std::bad_alloc&) {
    EnterFailed();
    return false;
  }
  resync.Clear();
  return true;
}

bool FLVStreamParser::MarkAudioGap() {
  // Nothing to mark before the first audio or video tag, when audio is not
  // wanted, or while a gap is open already.
  if (!wantAudio || !baseTimestampSet || gapOpen) return true;
  FLVTag* marker = NewFLVTag();
  if (marker == nullptr) {
    EnterFailed();
    return false;
  }
  marker->tagType = FLV_TAG_TYPE_AUDIO;
  // The audio clock and the rebased file time differ by clockOffset: the
  // audio ran out at this file time, and the next real audio tag's own time
  // stamp tells how much was lost.
  const std::int64_t fileTime = units100ns::ToMs(audioClock - clockOffset);
  gapOpen = 1;
  gapStart = fileTime < 0 ? 0u : static_cast<std::uint32_t>(fileTime);
  SetFLVTagTimestamp(marker, static_cast<std::uint32_t>(units100ns::ToMs(audioClock)));
  return Enqueue(marker);
}

// ---------------------------------------------------------------------------
// Dispatch and time stamps.

void FLVStreamParser::DispatchTag(FLVTag* tag) {
  if (IsAudio(*tag) && wantAudio) {
    ApplyAudioTimestampSteps(tag);
    const std::uint32_t timestamp = tag->timestamp;
    if (!Enqueue(tag)) return;
    lastTimeStamp = timestamp;
    ++audioPacketsCount;
    if (!infoReady) UpdateFLVInfoFromQueue();
  } else if (IsVideo(*tag) && wantVideo) {
    if (!ApplyVideoTimestampSteps(tag)) return;
    const std::uint32_t timestamp = tag->timestamp;
    if (!Enqueue(tag)) return;
    lastTimeStamp = timestamp;
    ++videoPacketsCount;
    if (!infoReady) UpdateFLVInfoFromQueue();
  } else if (!IsAudio(*tag) && !IsVideo(*tag) && parseNotAudioVideo) {
    // Kept as read: no data block, no time stamp change, not counted.
    Enqueue(tag);
  } else {
    DeleteFLVTag(tag);
  }
}

std::uint32_t FLVStreamParser::Rebase(std::uint32_t timestamp) const {
  return timestamp < baseTimestamp ? 0 : timestamp - baseTimestamp;
}

void FLVStreamParser::ApplyAudioTimestampSteps(FLVTag* tag) {
  if (!baseTimestampSet) {
    baseTimestamp = tag->timestamp;
    baseTimestampSet = 1;
  }
  const std::uint32_t timestamp = Rebase(tag->timestamp);
  // An empty audio tag marks a gap; the next real one closes it and the
  // clock jumps over the gap.
  const bool real = tag->dataSize != 0 && tag->audioDataSize != 0;
  if (real && gapOpen) {
    gapOpen = 0;
    // A real tag stamped before the gap began closes it without moving the
    // clock (an unsigned difference would throw it 49 days ahead).
    if (timestamp > gapStart) {
      const std::uint32_t confirmed =
          newestVideoTimestamp > gapStart ? newestVideoTimestamp - gapStart : 0;
      const std::int64_t gap =
          std::min<std::int64_t>(timestamp - gapStart,
                                 static_cast<std::int64_t>(confirmed) + kMaxUnconfirmedAudioGapMs);
      audioClock += units100ns::FromMs(gap);
    }
  } else if (!real && !gapOpen) {
    gapOpen = 1;
    gapStart = timestamp;
  }
  clockOffset = audioClock - units100ns::FromMs(timestamp);
  SetFLVTagTimestamp(tag, static_cast<std::uint32_t>(units100ns::ToMs(audioClock)));
  if (real) {
    audioFormat.Observe(*tag);
    // -1 means the duration is unknown: such a block adds nothing, so the
    // clock never runs below zero.
    const std::int64_t duration = audioFormat.BlockDuration(*tag);
    if (duration > 0) audioClock += duration;
  }
}

bool FLVStreamParser::ApplyVideoTimestampSteps(FLVTag* tag) {
  if (!baseTimestampSet) {
    baseTimestamp = tag->timestamp;
    baseTimestampSet = 1;
    // The audio receiver learns that the audio starts with a gap at 0.
    FLVTag* emptyAudio = NewFLVTag();
    if (emptyAudio == nullptr) {
      DeleteFLVTag(tag);
      EnterFailed();
      return false;
    }
    emptyAudio->tagType = FLV_TAG_TYPE_AUDIO;
    if (!Enqueue(emptyAudio)) {
      DeleteFLVTag(tag);
      return false;
    }
    gapOpen = 1;
    gapStart = 0;
  }
  newestVideoTimestamp = std::max(newestVideoTimestamp, Rebase(tag->timestamp));
  const std::int64_t shifted =
      static_cast<std::int64_t>(Rebase(tag->timestamp)) + units100ns::ToMs(clockOffset);
  // A shift that would take the time stamp below 0 stops at 0 instead of
  // wrapping round to the end of the 32-bit time line.
  SetFLVTagTimestamp(tag, shifted < 0 ? 0u : static_cast<std::uint32_t>(shifted));
  return true;
}

bool FLVStreamParser::Enqueue(FLVTag* tag) {
  try {
    tagQueue.push_back(tag);
  } catch (const std::bad_alloc&) {
    // Treated like a data block that cannot be allocated: the stream fails.
    DeleteFLVTag(tag);
    EnterFailed();
    return false;
  }
  if (IsVideo(*tag) && tag->dataSize != 0) {
    if (frameCount == 0) firstFrameTimestamp = tag->timestamp;
    lastFrameTimestamp = tag->timestamp;
    ++frameCount;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Stream information and hand-over.

void FLVStreamParser::GatherFLVInfo(bool force) {
  if (infoReady) return;
  if (!waitStarted) {
    waitStart = secondsClock();
    waitStarted = 1;
  }
  UpdateFLVInfoFromQueue();
  if (infoReady) return;

  const std::int64_t elapsed = secondsClock() - waitStart;
  if (elapsed < static_cast<std::int64_t>(maxInterleavedTime) && !force) return;

  // Complete with what there is.
  if (!audioInfoFound) info.audioFormat = -1;
  if (!videoInfoFound) {
    info.videoCodec = -1;
  } else if (!frameRateFound) {
    if (!ComputeFrameRate(&info.frameRate, kForcedFrameRateTagCount)) {
      info.frameRate = kFallbackFrameRate;
    }
  }
  infoReady = 1;
}

void FLVStreamParser::UpdateFLVInfoFromQueue() {
  if (!tagQueue.empty()) {
    // Newest first. Tags examined by an earlier call supplied nothing still
    // missing (or it would have been taken), so only newer ones are walked.
    const std::size_t oldestUnscanned =
        infoScannedCount < tagQueue.size() ? infoScannedCount : tagQueue.size();
    for (std::size_t i = tagQueue.size(); i > oldestUnscanned; --i) {
      if (audioInfoFound && videoInfoFound) break;
      const FLVTag& tag = *tagQueue[i - 1];
      if (IsAudio(tag) && tag.dataSize != 0 && !audioInfoFound) {
        FillAudioInfoFromTag(tag, audioFormat.FormatOf(tag), &info);
        audioInfoFound = 1;
      } else if (IsVideo(tag) && DeclaresPictureSize(tag) && !videoInfoFound) {
        FillVideoInfoFromTag(tag, &info);
        videoInfoFound = 1;
      }
    }
    infoScannedCount = tagQueue.size();
    if (videoInfoFound && !frameRateFound) {
      frameRateFound = ComputeFrameRate(&info.frameRate, kFrameRateTagCount) ? 1 : 0;
    }
  }
  infoReady = (audioInfoFound && frameRateFound) ? 1 : 0;
}

bool FLVStreamParser::ComputeFrameRate(double* destination, std::size_t minimumCount) const {
  *destination = 0.0;
  std::size_t count = frameCount;
  std::uint32_t first = firstFrameTimestamp;
  std::uint32_t last = lastFrameTimestamp;
  if (!frameStatsValid) {
    count = 0;
    for (const FLVTag* tag : tagQueue) {
      if (!IsVideo(*tag) || tag->dataSize == 0) continue;
      if (count == 0) first = tag->timestamp;
      last = tag->timestamp;
      ++count;
    }
  }
  if (count < minimumCount) return false;
  const std::uint32_t span = last - first;
  if (span == 0) return false;
  *destination = static_cast<double>(count - 1) * 1000.0 / span;
  return true;
}

void FLVStreamParser::CallFLVInfoCallBack() {
  if (infoCallBack != nullptr) {
    int video = headerHasVideo;
    int audio = headerHasAudio;
    infoCallBack(infoCallBackUser, &info, &video, &audio);
    wantAudio = audio;
    wantVideo = video;
  }
  infoCallBackCalled = 1;
  DeliverQueuedTags();
}

void FLVStreamParser::DeliverQueuedTags() {
  while (!tagQueue.empty()) {
    FLVTag* tag = tagQueue.front();
    FLVTagCallBack callBack = nullptr;
    void* user = nullptr;
    if (IsAudio(*tag)) {
      if (wantAudio) callBack = audioCallBack, user = audioCallBackUser;
    } else if (IsVideo(*tag)) {
      if (wantVideo) callBack = videoCallBack, user = videoCallBackUser;
    } else if (parseNotAudioVideo) {
      callBack = notAudioVideoCallBack, user = notAudioVideoCallBackUser;
    }
    if (callBack != nullptr) {
      if (callBack(user, tag) == 0) return;  // not now: it stays at the head
    } else {
      DeleteFLVTag(tag);
    }
    // The callback may have taken the tag; either way it leaves the queue.
    if (!tagQueue.empty() && tagQueue.front() == tag) tagQueue.pop_front();
    if (infoScannedCount > 0) --infoScannedCount;
    frameStatsValid = false;
  }
}

void FLVStreamParser::ClearTagQueue() {
  for (FLVTag* tag : tagQueue) DeleteFLVTag(tag);
  tagQueue.clear();
  infoScannedCount = 0;
  frameCount = 0;
  firstFrameTimestamp = 0;
  lastFrameTimestamp = 0;
  frameStatsValid = true;
}

}  // namespace kelvra
