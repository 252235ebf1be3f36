// FLVAVTagReader gives random access to the tags of an FLV file on disk.
//
// Open runs the whole file once through an embedded stream parser and keeps
// an index with one entry per tag (audio, video and every other kind), the
// per-file statistics behind the computed FLVInfo, and the durations of the
// last audio and video tags. Afterwards tags are read one at a time straight
// from the file through the index, and the reader seeks by time on the
// parser's rebased time line (the first audio or video tag is at 0).
//
// No thread and no lock: the parser runs inside Open on the caller's thread,
// and a reader serves one thread at a time.
//
// Ownership of the records ReadTag hands out: with auto-release on (the
// default) it is the reader's own record, valid until the next ReadTag,
// Close, Open, Assign or destruction; with it off every record is a fresh
// one (made with NewFLVTag) that the caller owns with its data block and
// frees with DeleteFLVTag / FLVStreamParser_DeleteFLVTag.
#ifndef KELVRA_READER_FLV_AV_TAG_READER_H
#define KELVRA_READER_FLV_AV_TAG_READER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "flv/audio_format_tracker.h"
#include "flv/flv_stream_parser.h"
#include "kelvra.h"
#include "reader/flv_tag_index_entry.h"

namespace kelvra {

class FLVAVTagReader {
 public:
  // Chunk size in which Open hands the file to the parser: the parser takes
  // each tag from the chunk where it lies, and the tags of one chunk wait in
  // its queue until the chunk is done, so a chunk bounds that queue.
  static constexpr std::size_t kFeedChunkSize = 64 * 1024;
  // Open reads the file in blocks of this size and hands each on in feed
  // chunks: the system sees few large requests, never one per tag. A block
  // stays within the processor's second-level cache: the kernel's copy of a
  // 1 MiB block evicts it before the parser reads it, and the scan took
  // three to four times as long.
  static constexpr std::size_t kFileReadBlockSize = 64 * 1024;
  // An ordinary file is indexed without reallocation: the index is reserved
  // for at least this many entries, and for one entry per this many bytes of
  // the file (well below the average tag of real files), up to a limit.
  static constexpr std::size_t kIndexReserve = 32768;
  static constexpr std::uint64_t kFileBytesPerIndexEntry = 256;
  static constexpr std::size_t kIndexReserveLimit = std::size_t{1} << 22;
  static constexpr std::uint32_t kParserMaxInterleavedTime = 5;  // seconds
  static constexpr std::uint32_t kParserMaxTagQueue = 1000;
  // How long to wait before offering the parser the same bytes again.
  static constexpr int kRetryDelayMs = 10;

  // Throws std::bad_alloc when memory runs out.
  FLVAVTagReader();
  virtual ~FLVAVTagReader();

  FLVAVTagReader(const FLVAVTagReader&) = delete;
  FLVAVTagReader& operator=(const FLVAVTagReader&) = delete;

  // 1 opened and indexed, 0 failed (the reader is then closed).
  int Open(const char* path);
  // Makes `destination` an independent copy of this reader with its own file
  // handle, positioned at this reader's current index; answers the
  // destination's open flag.
  int AssignTo(FLVAVTagReader& destination) const;
  // 1 copied, 0 when not open (nothing written).
  int GetFLVInfo(FLVInfo* info) const;
  int GetFLVInfoEx(FLVInfo* info) const;
  int GetMinIntervaledFrameTime(int* interval) const;
  // End times of the audio and the video (last tag's time stamp plus its
  // duration), 0 for a kind without tags. Works in any state.
  void GetDuration(std::uint32_t* audioDuration, std::uint32_t* videoDuration) const;
  // Closes the file and empties the index (its storage is kept).
  void Close();

  // Answers an FLV_READER_ code; *tag and *duration are written only with
  // FLV_READER_OK. `tag` may be null: the tag is then read and dropped.
  int ReadTag(int copyData, int typeFilter, FLVTag** tag, std::uint32_t* duration);
  int Seek(int tagType, std::uint32_t time);
  int SeekToBegin();
  // 1 and *timestamp written when a video key frame lies at or after `time`.
  int GetNextKeyFrameTimeStamp(std::uint32_t time, std::uint32_t* timestamp) const;
  int SetAutoReleaseMemory(int flag);

  bool IsOpen() const { return open_; }
  // Damage the parser passed over while indexing the open file.
  FLVStreamParser::SkippedBytes skippedBytes() const {
    return open_ ? skipped_ : FLVStreamParser::SkippedBytes{};
  }
  // With auto-release off every record handed out belongs to the caller.
  bool autoReleaseMemory() const { return autoRelease_; }
  const std::vector<FLVTagIndexEntry>& index() const { return index_; }
  std::size_t currentIndex() const { return currentIndex_; }

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

  struct Statistics {
    bool audioInfoCaptured = false;
    bool videoInfoCaptured = false;
    std::uint64_t audioBytes = 0;
    std::uint64_t videoBytes = 0;
    std::uint32_t largestTimestamp = 0;  // over audio and video tags
    std::uint32_t videoFrameCount = 0;   // video tags with data
    std::uint32_t previousVideoTimestamp = 0;
    bool firstVideo = true;
    bool firstInterval = true;
    std::uint32_t smallestVideoInterval = 0;
    std::uint32_t previousAudioTimestamp = 0;
  };

  static constexpr std::ptrdiff_t kNoTag = -1;
  static constexpr std::uint64_t kUnknownOffset = ~std::uint64_t{0};

  // Empties everything that describes an opened file, whether or not the
  // reader counts as open: index, file, read buffer, own record's data.
  void ResetFileState();
  void ResetStatistics();

  // Open's steps after the file is open; false fails the open.
  enum class FeedResult { kGoOn, kNotFLV, kFailed };
  void ReserveIndexFor(std::FILE* file);
  bool FeedParser();
  // Feeds the mappable part of the file; *mapped says how far it got.
  // Feeds the file from byte `from` to its end through reads.
  FeedResult FeedRead(std::uint64_t from);
  FeedResult FeedBlock(const std::uint8_t* bytes, std::size_t length);
  FeedResult FeedChunk(const std::uint8_t* bytes, std::size_t length);
  void FinishParser();
  void ComputeInfoFromStatistics();
  bool SetLastAudioDuration();
  void SetLastVideoDuration();

  // The parser's callbacks; the reader is their user value.
  static void OnInfo(void* user, FLVInfo* info, int* decodeVideo, int* decodeAudio);
  static int OnAudioTag(void* user, FLVTag* tag);
  static int OnVideoTag(void* user, FLVTag* tag);
  static int OnOtherTag(void* user, FLVTag* tag);
  // Appends an entry; false (and the feed fails) when the index cannot grow.
  bool AppendEntry(const FLVTag& tag, std::uint8_t keyFrame);
  void AddAudioTag(const FLVTag& tag);
  void AddVideoTag(const FLVTag& tag);

  // Current index = i and the file at entry i's bytes: FLV_READER_OK, or
  // FLV_READER_READ_ERROR when the file cannot be positioned.
  int PositionAt(std::size_t i);
  // Reads the entry at the current index into the reader's own record.
  int ReadEntryIntoOwnTag(const FLVTagIndexEntry& entry, bool copyData);
  bool EnsureReadBuffer(std::uint32_t size);
  // Moves the file to `position` unless it stands there already.
  bool MoveFileTo(std::uint64_t position);
  void ReleaseOwnTagData();

  // The latest sequence header of `tagType` before entry `end`, or kNoTag.
  std::ptrdiff_t SequenceHeaderBefore(std::size_t end, int tagType) const;
  // Hands out the sequence headers a Seek left to deliver, one per call;
  // false when none is left for `typeFilter`.
  bool TakePendingHeader(int typeFilter, std::size_t* entry);
  // Hands the reader's record out (or a caller-owned copy of it).
  int HandOut(std::uint32_t entryDuration, FLVTag** tag, std::uint32_t* duration);

  // Opens path into file_ (null on failure) with fileBuffer_ as its buffer.
  void OpenFile(const std::string& path);
  // First entry with a time stamp above / not below `time`; index_.size()
  // when none. The index is searched as if sorted by time stamp.
  std::size_t UpperBound(std::uint32_t time) const;
  std::size_t LowerBound(std::uint32_t time) const;

  bool open_ = false;
  // The file's stdio buffer (see OpenFile); declared first, so it outlives
  // the file.
  std::unique_ptr<char[]> fileBuffer_;
  FilePtr file_;
  // Where the file stands, as far as the reader moved it; kUnknownOffset
  // after a failed read.
  std::uint64_t fileOffset_ = kUnknownOffset;
  std::string path_;
  FLVStreamParser parser_;
  std::vector<FLVTagIndexEntry> index_;
  std::size_t currentIndex_ = 0;
  // The record ReadTag fills. Its data block is the reader's while it holds
  // it; handing the record out in caller-owned mode moves the block away.
  FLVTag tag_{};
  std::unique_ptr<std::uint8_t[]> readBuffer_;
  std::uint32_t readBufferCapacity_ = 0;
  FLVInfo deliveredInfo_;
  FLVInfo computedInfo_;
  Statistics stats_;
  std::ptrdiff_t lastAudioIndex_ = kNoTag;
  std::ptrdiff_t lastVideoIndex_ = kNoTag;
  // The audio stream's real rate for the information and the last tag's
  // duration, following the tags in file order.
  AudioFormatTracker audioFormat_;
  bool autoRelease_ = true;
  // Sequence headers a Seek skipped over, delivered by ReadTag ahead of the
  // landing tag so that a decoder started there is configured; kNoTag when
  // none. Files without sequence headers never look for them.
  std::ptrdiff_t pendingAudioHeader_ = kNoTag;
  std::ptrdiff_t pendingVideoHeader_ = kNoTag;
  bool hasAudioHeaders_ = false;
  bool hasVideoHeaders_ = false;
  FLVStreamParser::SkippedBytes skipped_;
  // Set by a callback that could not record its tag; fails the open.
  bool feedFailed_ = false;
};

}  // namespace kelvra

#endif  // KELVRA_READER_FLV_AV_TAG_READER_H
