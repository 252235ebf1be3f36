// Tag records made straight from FLV bytes, owning handles, a recorder of a
// decoder's callbacks, a gate to hold a worker, a probe decoder.
#ifndef KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H
#define KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "decoder/flv_stream_decoder.h"
#include "flv/flv_tag_parsing.h"
#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {

struct Deleter {
  void operator()(FLVTag* tag) const { kelvra::DeleteFLVTag(tag); }
  void operator()(::FLVStreamDecoder* d) const { FLVStreamDecoder_Delete(d); }
  void operator()(::FLVAVTagReader* reader) const { FLVAVTagReader_Delete(reader); }
  void operator()(::FLVStream* stream) const { FLVStream_Delete(stream); }
  void operator()(::AudioFrameReader* reader) const { AudioFrameReader_Delete(reader); }
};
using TagPtr = std::unique_ptr<FLVTag, Deleter>;
using DecoderPtr = std::unique_ptr<::FLVStreamDecoder, Deleter>;
using TagReaderPtr = std::unique_ptr<::FLVAVTagReader, Deleter>;
using StreamPtr = std::unique_ptr<::FLVStream, Deleter>;
using AudioFramesPtr = std::unique_ptr<::AudioFrameReader, Deleter>;

// Every whole tag (or those of one type: 8 audio, 9 video) up to the first
// one cut short, each with its own data block.
inline std::vector<TagPtr> ReadTags(const Bytes& bytes, int tagType = 0) {
  std::vector<TagPtr> tags;
  FLVHeaderFields header;
  if (!ParseFLVHeader(bytes.data(), bytes.size(), &header)) return tags;
  std::size_t position = static_cast<std::size_t>(header.firstTagPosition);
  while (position + kTagHeaderSize <= bytes.size()) {
    TagPtr tag(NewFLVTag());
    std::int64_t streamPosition = static_cast<std::int64_t>(position);
    std::uint32_t toTagEnd = 0;
    // The header fields first, then with the whole tag known to be there.
    auto header = [&](bool whole) {
      return ParseFLVTagHeader(bytes.data() + position, bytes.size() - position, whole, tag.get(),
                               &streamPosition, &toTagEnd);
    };
    const std::size_t bodyStart = position + kTagHeaderSize;
    if (!header(false) || bodyStart + tag->dataSize > bytes.size() || !header(true)) break;
    const std::size_t bodyLength = std::min<std::size_t>(toTagEnd, bytes.size() - bodyStart);
    if (!ParseFLVTagBody(bytes.data() + bodyStart, bodyLength, tag.get())) break;
    if (tagType == 0 || tag->tagType == tagType) tags.push_back(std::move(tag));
    position = bodyStart + toTagEnd;
  }
  return tags;
}
inline std::vector<TagPtr> ReadTagsOfFile(const std::string& path, int tagType = 0) {
  return ReadTags(ReadWholeFile(path), tagType);
}

struct OutputRecord {
  bool nullData = false;
  std::int32_t size = 0;
  std::int64_t timestamp = 0, duration = 0;
  std::int32_t firstFlag = 0, secondFlag = 0;
  Bytes bytes;  // only with keepBytes
};

// The output blocks, and the time stamps of the tags handed back (freed).
class Recorder {
 public:
  explicit Recorder(bool keepBytes = false) : keepBytes_(keepBytes) {}
  static void Output(void* self, const std::uint8_t* data, std::int32_t size,
                     std::int64_t timestamp, std::int64_t duration, std::int32_t firstFlag,
                     std::int32_t secondFlag) {
    auto* r = static_cast<Recorder*>(self);
    if (r->onOutput) r->onOutput();
    OutputRecord record{data == nullptr, size, timestamp, duration, firstFlag, secondFlag, {}};
    if (r->keepBytes_ && data != nullptr && size > 0) record.bytes.assign(data, data + size);
    std::lock_guard<std::mutex> lock(r->mutex_);
    r->records_.push_back(std::move(record));
  }
  static void Release(void* self, FLVTag* tag) {
    auto* r = static_cast<Recorder*>(self);
    if (r->onRelease) r->onRelease(tag);
    std::lock_guard<std::mutex> lock(r->mutex_);
    r->released_.push_back(tag->timestamp);
    kelvra::DeleteFLVTag(tag);
  }
  void Run(::FLVStreamDecoder* decoder) {  // with both callbacks set
    FLVStreamDecoder_SetOutputCallBack(decoder, &Output, this);
    FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &Release, this);
    ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
  }
  std::vector<OutputRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::vector<std::uint32_t> released() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return released_;
  }
  std::function<void()> onOutput;          // on the decoder thread, before recording
  std::function<void(FLVTag*)> onRelease;  // on the decoder thread, before the free

 private:
  bool keepBytes_;
  mutable std::mutex mutex_;
  std::vector<OutputRecord> records_;
  std::vector<std::uint32_t> released_;
};

// Holds the decoder threads that arrive until the test opens it.
class Gate {
 public:
  void Arrive() {
    if (!arrived_.exchange(true)) arrival_.set_value();
    opened_.wait();
  }
  void WaitForArrival() { arrival_.get_future().wait(); }
  void Open() { open_.set_value(); }

 private:
  std::atomic<bool> arrived_{false};
  std::promise<void> arrival_, open_;
  std::shared_future<void> opened_ = open_.get_future().share();
};

class ProbeDecoder : public kelvra::FLVStreamDecoder {
 public:
  ~ProbeDecoder() override { ShutDownWorker(); }
  int DecodeFLVTag(FLVTag*, std::uint8_t**, int*) override { return 0; }
  std::function<void(FLVTag*)> onTag;
  std::atomic<std::int64_t> filledMs{0};

 protected:
  void ThreadMain() override {
    RunWorkerLoop();
    MarkWorkerFinished();
  }
  void ProcessQueuedTag(FLVTag* tag) override {
    if (onTag) onTag(tag);
    ReleaseTag(tag);
  }
  void FillGap(std::int64_t leadMs) override {
    filledMs += leadMs;
    SetCurrentTime(GetCurrentTime() + leadMs * kUnitsPerMs);
    SyncWithBrother();
  }
};

inline FLVTag* MakeAudioTag(std::uint32_t timestamp, int soundFormat, int rateIndex, int soundSize,
                            int soundType, const Bytes& payload) {
  FlvBuilder builder;
  builder.Header().Audio(timestamp, soundFormat, rateIndex, soundSize, soundType, payload);
  return ReadTags(builder.bytes()).at(0).release();
}

// A flags byte and no payload: a hole marker.
inline FLVTag* MakeEmptyAudioTag(std::uint32_t timestamp) {
  return MakeAudioTag(timestamp, 2, 3, 1, 1, {});
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H
