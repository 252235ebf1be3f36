// The whole stream pipeline fed raw bytes: FLVStream's parser splits the
// input (delivered in pieces the fuzzer chooses) into tags, and both decoder
// threads run, the audio one resampling and the video one decoding and
// scaling pictures, while the feeding thread retries on a full queue as a
// caller would. The end of the stream is Flush until empty, then Stop; no
// thread may outlive the stream. The stream is driven as the library's own
// class (its exports only forward to it), for Abandon.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kelvra.h"
#include "pipeline/flv_stream.h"

namespace {

using kelvra::fuzz::Check;

constexpr int kOutputRates[4] = {8000, 22050, 44100, 48000};
// Small pictures keep each input fast; the scaler still runs.
constexpr int kOutputWidth = 64;
constexpr int kOutputHeight = 48;
constexpr auto kRetryDelay = std::chrono::milliseconds(1);
// A pipeline that gives no output for this long while its queue stays full
// (or its flush never empties) is stuck.
constexpr auto kMaxWait = std::chrono::seconds(10);
// Time stamps hours apart ask the decoders for hours of silence and repeated
// pictures: busy, not stuck, and what the file asks for. Such an input is
// abandoned once it has given this many blocks and pictures (a path worth
// fuzzing too).
constexpr int kMaxOutputs = 5000;

struct Outputs {
  std::atomic<std::uint32_t> sum{0};
  std::atomic<int> audioBlocks{0};
  std::atomic<int> pictures{0};
  int Count() const { return audioBlocks + pictures; }
};

// Waits out a full queue: false once the output cap is reached. The wait
// fails only when no output comes for kMaxWait.
bool StillWaiting(const Outputs& outputs, int* lastCount,
                  std::chrono::steady_clock::time_point* deadline, const char* stuck) {
  const int count = outputs.Count();
  if (count >= kMaxOutputs) return false;
  if (count != *lastCount) {
    *lastCount = count;
    *deadline = std::chrono::steady_clock::now() + kMaxWait;
  }
  Check(std::chrono::steady_clock::now() < *deadline, stuck);
  std::this_thread::sleep_for(kRetryDelay);
  return true;
}

void OnAudio(void* user, const std::uint8_t* data, std::int32_t size, std::int64_t, std::int64_t,
             std::int32_t, std::int32_t) {
  auto* outputs = static_cast<Outputs*>(user);
  Check(size >= 0 && (size == 0 || data != nullptr), "audio block");
  outputs->sum += kelvra::fuzz::TouchBytes(data, size);
  ++outputs->audioBlocks;
}

void OnVideo(void* user, const std::uint8_t* data, std::int32_t size, std::int64_t, std::int64_t,
             std::int32_t, std::int32_t) {
  auto* outputs = static_cast<Outputs*>(user);
  Check(size >= 0 && (size == 0 || data != nullptr), "picture");
  outputs->sum += kelvra::fuzz::TouchBytes(data, size);
  ++outputs->pictures;
}

// False when the input was stopped at the output cap.
bool Deliver(kelvra::FLVStream& stream, const Outputs& outputs, const std::uint8_t* bytes,
             int length) {
  auto deadline = std::chrono::steady_clock::now() + kMaxWait;
  int lastCount = outputs.Count();
  for (;;) {
    const int code = stream.DeliverData(bytes, length);
    Check(kelvra::fuzz::IsDeliveryCode(code), "undocumented delivery code");
    if (code != FLV_PARSER_QUEUE_FULL) return true;
    if (!StillWaiting(outputs, &lastCount, &deadline, "the pipeline never takes the bytes")) {
      return false;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const int parserQueue = provider.ConsumeIntegralInRange<int>(1, 50);
  const int decoderQueue = provider.ConsumeIntegralInRange<int>(1, 20);
  const int rate = kOutputRates[provider.ConsumeIntegralInRange<int>(0, 3)];
  const int channels = provider.ConsumeIntegralInRange<int>(1, 2);
  const int interval = provider.ConsumeIntegralInRange<int>(50, 2000);
  const int pieceMax = provider.ConsumeIntegralInRange<int>(1, 20000);
  const std::vector<std::uint8_t> input = provider.ConsumeRemainingBytes<std::uint8_t>();

  Outputs outputs;
  const std::unique_ptr<kelvra::FLVStream> stream(kelvra::FLVStream::Create());
  Check(stream != nullptr, "create");
  stream->SetParserMaxFLVTagQueue(parserQueue);
  stream->SetParserMaxInterleavedTime(provider.ConsumeBool() ? 0 : 300);
  stream->SetAudioDecoderMaxFLVTagQueue(decoderQueue);
  stream->SetVideoDecoderMaxFLVTagQueue(decoderQueue);
  stream->SetDecoderMaxIntervalTime(interval);
  stream->SetSampleRate(rate);
  stream->SetNumberOfChannels(channels);
  stream->SetOutputSize(kOutputWidth, kOutputHeight);
  stream->SetGetAudioCallBack(OnAudio, &outputs);
  stream->SetGetVideoCallBack(OnVideo, &outputs);

  Check(stream->Run() == 1, "run");
  std::size_t at = 0;
  std::uint32_t cut = static_cast<std::uint32_t>(pieceMax) | 1;
  bool capped = false;
  while (at < input.size() && !capped) {
    cut = cut * 1103515245u + 12345u;
    std::size_t piece = 1 + (cut >> 8) % static_cast<std::uint32_t>(pieceMax);
    if (piece > input.size() - at) piece = input.size() - at;
    capped = !Deliver(*stream, outputs, input.data() + at, static_cast<int>(piece));
    at += piece;
  }
  auto deadline = std::chrono::steady_clock::now() + kMaxWait;
  int lastCount = outputs.Count();
  while (!capped && stream->Flush() != 1) {
    capped = !StillWaiting(outputs, &lastCount, &deadline, "flush never empties the queue");
  }
  if (capped) {
    stream->Abandon();
  } else {
    // Stop delivers what the decoders still owe, which the time stamps may
    // make hours long: a watch beside it abandons the rest at the cap.
    std::atomic<bool> stopped{false};
    int stopResult = 0;
    std::thread stopper([&] {
      stopResult = stream->Stop();
      stopped = true;
    });
    deadline = std::chrono::steady_clock::now() + kMaxWait;
    lastCount = outputs.Count();
    while (!stopped) {
      if (!StillWaiting(outputs, &lastCount, &deadline, "stop never ends")) {
        stream->Abandon();
        break;
      }
    }
    stopper.join();
    Check(stopResult == 1, "stop");
  }
  Check(stream->Stop() == (capped ? 1 : 0), "second stop");
  return 0;
}
