// FLVStreamParser turns FLV bytes that arrive in pieces of any size into
// FLVTag records and hands them to an audio, a video and a not-audio/video
// callback, after reporting the stream's FLVInfo once to an information
// callback. Until that report parsed tags are held back in a queue.
//
// Audio and video time stamps are rebased to start at 0; audio time stamps
// are rebuilt from the running sum of audio block durations (a gap is marked
// by an empty audio tag and closed by the next real one) and video time
// stamps are shifted by the same amount.
//
// No thread and no lock: every operation, callbacks included, runs on the
// caller's thread, and one parser is used from one thread at a time.
//
// Ownership: queued tags and the tag being parsed belong to the parser; a tag
// callback that answers non-zero takes its tag.
#ifndef KELVRA_FLV_FLV_STREAM_PARSER_H
#define KELVRA_FLV_FLV_STREAM_PARSER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "flv/audio_format_tracker.h"
#include "flv/flv_tag_parsing.h"
#include "flv/tag_resync_scanner.h"
#include "flv/byte_buffer.h"
#include "kelvra.h"

namespace kelvra {

class FLVStreamParser {
 public:
  // Parse states within a run. Transitions:
  //   ReadHeader     -> SkipHeaderRest  (signature found)
  //   ReadHeader     -> Failed          (wrong signature)
  //   SkipHeaderRest -> ReadTagHeader   (header rest and first previous-tag-size skipped)
  //   ReadTagHeader  -> ReadTagBody     (tag record made, data block if wanted)
  //   ReadTagHeader  -> Resync          (the bytes cannot be a tag header)
  //   ReadTagHeader  -> Failed          (record or data block not allocated)
  //   SkipHeaderRest stays           (data offset of 5 or less: nothing to
  //                                     skip and no next piece; bytes dropped)
  //   ReadTagBody    -> ReadTagHeader   (tag dispatched or deleted)
  //   ReadTagBody    -> Resync          (its previous-tag-size field disagrees
  //                                     with its size: held until the next
  //                                     header confirms it)
  //   ReadTagBody    -> Failed          (no memory to queue the tag)
  //   Resync         -> ReadTagHeader   (the scanner found a confirmed tag; it
  //                                     is dispatched and the bytes read
  //                                     beyond it are parsed again)
  //   Resync         -> Failed          (no memory for the record)
  //   Failed         -> ReadHeader      (only through Stop and Run)
  enum class ParseState : std::int32_t {
    Failed = -1,
    ReadHeader = 1,
    SkipHeaderRest = 2,
    ReadTagHeader = 3,
    ReadTagBody = 4,
    // Bytes go to the resync scanner, not into pieces, until it finds a tag.
    Resync = 5,
  };

  // Damaged byte ranges passed over in this run.
  struct SkippedBytes {
    std::int64_t ranges = 0;
    std::int64_t bytes = 0;
    std::int64_t firstOffset = -1;  // stream offset of the first, -1 when none
  };

  // Source of the wall clock in whole seconds used for the information wait;
  // tests replace it to step time without sleeping.
  using SecondsClock = std::int64_t (*)();

  static constexpr std::uint32_t kDefaultMaxInterleavedTime = 300;  // seconds
  static constexpr std::uint32_t kDefaultMaxFLVTagQueue = 1000;

  FLVStreamParser();
  virtual ~FLVStreamParser();

  FLVStreamParser(const FLVStreamParser&) = delete;
  FLVStreamParser& operator=(const FLVStreamParser&) = delete;

  // Setters: 1 stored, 0 while running (nothing changes).
  int SetMaxInterleavedTime(std::uint32_t seconds);
  int SetMaxFLVTagQueue(std::uint32_t count);
  int SetFLVInfoCallBack(FLVInfoCallBack callBack, void* userData);
  int SetFLVVideoCallBack(FLVTagCallBack callBack, void* userData);
  int SetFLVAudioCallBack(FLVTagCallBack callBack, void* userData);
  int SetParserNotAudioVideoPacket(int flag);
  int SetFLVNotAudioVideoPacketCallBack(FLVTagCallBack callBack, void* userData);

  int Run();
  // Answers an FLV_PARSER_ code.
  int DeliverData(const std::uint8_t* bytes, int length);
  int Flush();
  int Stop();

  std::uint32_t GetTimeStamp() const { return lastTimeStamp; }
  int GetParsedPacketsCount(int* audioCount, int* videoCount) const;
  int HasCalledFLVInfoCallBack() const { return infoCallBackCalled; }
  // Closed ranges, and a scan still under way as a range reaching to the
  // last byte delivered.
  SkippedBytes GetSkippedBytes() const;

  void SetSecondsClock(SecondsClock clock) { secondsClock = clock; }

  // Takes back a tag that a callback of this parser was given and is done
  // with (the record and its data block), to be reused for the tags still
  // to come; a client that takes every tag only to look at it (the tag
  // reader's index scan) saves an allocation and a free per tag. Null is
  // ignored.
  void RecycleTag(FLVTag* tag);

 private:
  // One short step per parse state; each works on a complete piece.
  void ParseStreamPiece(const std::uint8_t* piece, std::size_t length);
  void ReadHeaderPiece(const std::uint8_t* piece, std::size_t length);
  void SkipHeaderRestPiece();
  void ReadTagHeaderPiece(const std::uint8_t* piece, std::size_t length);
  void ReadTagBodyPiece(const std::uint8_t* piece, std::size_t length);
  void NextPiece(ParseState next, std::int32_t length);
  void EnterFailed();
  // Hands the bytes held so far to the resync scanner.
  void EnterResync(std::int64_t offset, const std::uint8_t* first, std::size_t firstLength,
                   const std::uint8_t* second, std::size_t secondLength,
                   TagResyncScanner::Start start);
  // Parses the tag the scanner found, notes the skipped range, and puts the
  // bytes it read beyond the tag ahead of those still to be parsed.
  bool AcceptResyncedTag();
  // The audio lost in a hole becomes a gap, closed by the next real audio
  // tag as any other.
  bool MarkAudioGap();
  void NoteSkipped(std::int64_t offset, std::int64_t length);
  void ParseTagBody(FLVTag* tag, const std::uint8_t* piece, std::size_t length);

  // Assembles delivered bytes into pieces and parses each complete one.
  // False when memory ran out; the bytes from the failing piece on are then
  // not consumed.
  bool ConsumeBytes(const std::uint8_t* bytes, std::size_t length);
  // One run of bytes; stops early when the resync scanner has found a tag.
  bool ConsumeSpan(const std::uint8_t*& bytes, std::size_t& length);
  bool EnsureScratch(std::size_t pieceLength);

  void DispatchTag(FLVTag* tag);
  void ApplyAudioTimestampSteps(FLVTag* tag);
  bool ApplyVideoTimestampSteps(FLVTag* tag);
  std::uint32_t Rebase(std::uint32_t timestamp) const;
  // Appends a tag the parser owns; deletes it and fails the stream when the
  // queue cannot grow.
  bool Enqueue(FLVTag* tag);
  bool QueueIsFull() const;

  void GatherFLVInfo(bool force);
  // Looks at the tags queued since the last look for what the information
  // still lacks, and sets `infoReady` once audio and a frame rate are known.
  // Run after every kept audio or video tag, so the information is taken at
  // the very tag that completes it, however the bytes were cut into
  // deliveries.
  void UpdateFLVInfoFromQueue();
  bool ComputeFrameRate(double* destination, std::size_t minimumCount) const;
  void CallFLVInfoCallBack();
  void DeliverQueuedTags();
  void ClearTagQueue();
  void ResetParser();
  void ResetRunFields();

  // Video tags are wanted (parsed with their data and queued); replaced by
  // the information callback's answer.
  std::int32_t wantVideo = 1;
  std::int32_t wantAudio = 1;
  std::uint32_t maxInterleavedTime = kDefaultMaxInterleavedTime;
  std::int64_t streamPosition = 0;  // stream offset of the next tag
  FLVInfoCallBack infoCallBack = nullptr;
  void* infoCallBackUser = nullptr;
  FLVTagCallBack videoCallBack = nullptr;
  void* videoCallBackUser = nullptr;
  FLVTagCallBack audioCallBack = nullptr;
  void* audioCallBackUser = nullptr;
  std::int32_t parseNotAudioVideo = 0;
  FLVTagCallBack notAudioVideoCallBack = nullptr;
  void* notAudioVideoCallBackUser = nullptr;
  // Length of the piece being assembled, and how much of it has arrived.
  // Those bytes wait in `dataBuffer`, except while the header rest is
  // skipped: skipped bytes are only counted.
  std::int32_t bytesNeeded = 0;
  std::int32_t bytesHeld = 0;
  ByteBuffer dataBuffer;  // the bytes of an incomplete piece
  ParseState state = ParseState::ReadHeader;
  FLVTag* currentTag = nullptr;  // owned until dispatched
  std::int32_t headerVersion = 0;
  std::int32_t headerHasVideo = 0;
  std::int32_t headerHasAudio = 0;
  std::deque<FLVTag*> tagQueue;  // owned tags, oldest first
  std::uint32_t maxFLVTagQueue = kDefaultMaxFLVTagQueue;
  // File time stamp of the first kept audio or video tag.
  std::int32_t baseTimestampSet = 0;
  std::uint32_t baseTimestamp = 0;
  // An audio gap has been open since rebased time `gapStart`.
  std::int32_t gapOpen = 0;
  std::uint32_t gapStart = 0;
  // Largest rebased time stamp of a kept video tag: how far video has run,
  // which confirms an audio gap up to there.
  std::uint32_t newestVideoTimestamp = 0;
  // The audio stream's real rate, for block durations and the information.
  AudioFormatTracker audioFormat;
  // Running sum of real audio block durations and gaps, 100-ns units.
  std::int64_t audioClock = 0;
  // audioClock minus the rebased time of the latest kept audio tag.
  std::int64_t clockOffset = 0;
  std::int32_t infoReady = 0;
  std::int32_t audioInfoFound = 0;
  std::int32_t videoInfoFound = 0;
  std::int32_t frameRateFound = 0;
  std::int32_t waitStarted = 0;
  std::int64_t waitStart = 0;  // whole seconds of `secondsClock`
  FLVInfo info{};
  std::int32_t stopped = 1;
  std::uint32_t lastTimeStamp = 0;
  std::int32_t audioPacketsCount = 0;
  std::int32_t videoPacketsCount = 0;
  std::int32_t infoCallBackCalled = 0;
  // A piece split over deliveries is assembled here before it is parsed;
  // grows to 1.5 times the largest such piece and stays until Stop.
  std::unique_ptr<std::uint8_t[]> scratch;
  std::uint32_t scratchCapacity = 0;

  // Records and data blocks given back through RecycleTag, kept until the
  // parser is destroyed. Bounded (kMaxSpareTags of each, blocks up to
  // kMaxSpareBlockSize): a delivery's tags are all queued before they are
  // handed out, so about that many come back at a time.
  struct SpareBlock {
    std::unique_ptr<std::uint8_t[]> bytes;
    std::uint32_t capacity = 0;  // at least this many bytes
  };
  static constexpr std::size_t kMaxSpareTags = 64;
  static constexpr std::uint32_t kMaxSpareBlockSize = 64 * 1024;
  FLVTag* TakeTagRecord();
  bool GiveTagBlock(const std::uint8_t* header);
  std::vector<std::unique_ptr<FLVTag>> spareRecords;
  std::vector<SpareBlock> spareBlocks;

  // The header of the tag being read, kept until its body confirms it.
  std::uint8_t lastHeader[kTagHeaderSize] = {};
  // File time stamp of the newest audio or video tag read whole.
  bool haveGoodTimestamp = false;
  std::uint32_t lastGoodTimestamp = 0;
  TagResyncScanner resync;
  // Bytes the scanner read beyond the tag it found: parsed before anything
  // delivered later, from `replayCursor` on.
  std::vector<std::uint8_t> replay;
  std::size_t replayCursor = 0;
  SkippedBytes skipped;

  SecondsClock secondsClock;

  // Caches that spare the information step a walk over the whole queue at
  // every delivery; the queue only grows until the information is ready.
  // Oldest queued tags already examined for the stream information.
  std::size_t infoScannedCount = 0;
  // Video tags with data in the queue, with the first and last time stamp;
  // valid while no tag has left the queue's front since it was emptied.
  std::size_t frameCount = 0;
  std::uint32_t firstFrameTimestamp = 0;
  std::uint32_t lastFrameTimestamp = 0;
  bool frameStatsValid = true;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_FLV_STREAM_PARSER_H
