// Recorders for the decoder tests (their callbacks run on decoder threads),
// a gate to hold a worker, and a probe decoder whose tag work the test sets.
#ifndef KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H
#define KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "decoder/flv_stream_decoder.h"
#include "flv/flv_tag_parsing.h"
#include "decoder/tag_file_walker.h"
#include "kelvra.h"
#include "support/flv_builder.h"

namespace kelvra::test {

struct DecoderDeleter {
  void operator()(::FLVStreamDecoder* d) const { FLVStreamDecoder_Delete(d); }
};
using DecoderPtr = std::unique_ptr<::FLVStreamDecoder, DecoderDeleter>;

struct OutputRecord {
  bool nullData = false;
  std::int32_t size = 0;
  std::int64_t timestamp = 0, duration = 0;
  std::int32_t firstFlag = 0, secondFlag = 0;
  std::vector<std::uint8_t> bytes;  // only with keepBytes
};

class OutputRecorder {
 public:
  explicit OutputRecorder(bool keepBytes = false) : keepBytes_(keepBytes) {}
  static void CallBack(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t timestamp,
                       std::int64_t duration, std::int32_t firstFlag, std::int32_t secondFlag) {
    auto* recorder = static_cast<OutputRecorder*>(self);
    if (recorder->hook) recorder->hook();
    OutputRecord r{data == nullptr, size, timestamp, duration, firstFlag, secondFlag, {}};
    if (recorder->keepBytes_ && data != nullptr && size > 0) r.bytes.assign(data, data + size);
    std::lock_guard<std::mutex> lock(recorder->mutex_);
    recorder->records_.push_back(std::move(r));
  }
  std::vector<OutputRecord> records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }
  std::size_t count() const { return records().size(); }
  std::function<void()> hook;  // on the decoder thread, before recording

 private:
  bool keepBytes_;
  mutable std::mutex mutex_;
  std::vector<OutputRecord> records_;
};

// Frees each tag handed back and remembers its time stamp, in order.
class TagReleaser {
 public:
  static void CallBack(void* self, FLVTag* tag) {
    auto* releaser = static_cast<TagReleaser*>(self);
    if (releaser->hook) releaser->hook(tag);
    {
      std::lock_guard<std::mutex> lock(releaser->mutex_);
      releaser->timestamps_.push_back(tag->timestamp);
    }
    kelvra::DeleteFLVTag(tag);
  }
  std::function<void(FLVTag*)> hook;  // on the decoder thread, before the free
  std::vector<std::uint32_t> timestamps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timestamps_;
  }
  std::size_t count() const { return timestamps().size(); }

 private:
  mutable std::mutex mutex_;
  std::vector<std::uint32_t> timestamps_;
};

// Sets both recorders on a decoder and runs it.
inline void RunWith(::FLVStreamDecoder* decoder, OutputRecorder* recorder, TagReleaser* releaser) {
  FLVStreamDecoder_SetOutputCallBack(decoder, &OutputRecorder::CallBack, recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &TagReleaser::CallBack, releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
}

// Holds a decoder thread until the test opens it.
class Gate {
 public:
  void Arrive() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++arrived_;
    changed_.notify_all();
    changed_.wait(lock, [this] { return open_; });
  }
  void WaitForArrival() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return arrived_ > 0; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int arrived_ = 0;
  bool open_ = false;
};

class ProbeDecoder : public kelvra::FLVStreamDecoder {
 public:
  ~ProbeDecoder() override { ShutDownWorker(); }
  int DecodeFLVTag(FLVTag*, std::uint8_t**, int*) override { return 0; }
  std::function<void(FLVTag*)> onTag;
  std::atomic<std::int64_t> filledMs{0};
  std::atomic<int> fills{0};

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
    ++fills;
    SetCurrentTime(GetCurrentTime() + leadMs * kUnitsPerMs);
    SyncWithBrother();
  }
};

inline FLVTag* MakeAudioTag(std::uint32_t timestamp, int soundFormat, int rateIndex, int soundSize,
                            int soundType, const std::vector<std::uint8_t>& payload) {
  FlvBuilder builder;
  builder.Header().Audio(timestamp, soundFormat, rateIndex, soundSize, soundType, payload);
  return ReadTags(builder.bytes()).at(0).release();
}

// A flags byte and no payload: a hole marker.
inline FLVTag* MakeEmptyAudioTag(std::uint32_t timestamp) { return MakeAudioTag(timestamp, 2, 3, 1, 1, {}); }

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_DECODER_DECODER_TEST_SUPPORT_H
