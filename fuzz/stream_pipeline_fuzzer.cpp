// The whole stream pipeline fed raw bytes in pieces: FLVStream's parser and
// both decoder threads (resampling, decoding and scaling pictures), while the
// feeding thread retries on a full queue as a caller would. The end of the
// stream is Flush until empty, then Stop; no thread may outlive the stream.
// The stream is driven as the library's own class, for Abandon.
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
using Clock = std::chrono::steady_clock;

// A pipeline that gives no output for this long while its queue stays full
// (or its flush or stop never ends) is stuck.
constexpr auto kMaxWait = std::chrono::seconds(10);
// Time stamps hours apart ask for hours of silence and repeated pictures:
// busy, not stuck. Such an input is abandoned after this many outputs.
constexpr int kMaxOutputs = 5000;

struct Outputs {
  std::atomic<std::uint32_t> sum{0};
  std::atomic<int> count{0};  // audio blocks and pictures
};

void OnOutput(void* user, const std::uint8_t* data, std::int32_t size, std::int64_t,
              std::int64_t, std::int32_t, std::int32_t) {
  auto* outputs = static_cast<Outputs*>(user);
  Check(size >= 0 && (size == 0 || data != nullptr), "audio block or picture");
  outputs->sum += kelvra::fuzz::TouchBytes(data, size);
  ++outputs->count;
}

// Waits a little while the pipeline works: false once the output cap is
// reached, a finding once no output has come for kMaxWait.
struct Watch {
  const Outputs& outputs;
  int last = outputs.count;
  Clock::time_point deadline = Clock::now() + kMaxWait;
  bool Wait(const char* stuck) {
    const int count = outputs.count;
    if (count >= kMaxOutputs) return false;
    if (count != last) {
      last = count;
      deadline = Clock::now() + kMaxWait;
    }
    Check(Clock::now() < deadline, stuck);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
};

// False when the input was stopped at the output cap.
bool Deliver(kelvra::FLVStream& stream, const Outputs& outputs, const std::uint8_t* bytes,
             int length) {
  for (Watch watch{outputs};;) {
    const int code = stream.DeliverData(bytes, length);
    Check(kelvra::fuzz::IsDeliveryCode(code), "undocumented delivery code");
    if (code != FLV_PARSER_QUEUE_FULL) return true;
    if (!watch.Wait("the pipeline never takes the bytes")) return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const int parserQueue = provider.ConsumeIntegralInRange<int>(1, 50);
  const int decoderQueue = provider.ConsumeIntegralInRange<int>(1, 20);
  const int rate = kelvra::fuzz::kOutputRates[provider.ConsumeIntegralInRange<int>(0, 3)];
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
  stream->SetOutputSize(64, 48);  // small pictures keep each input fast
  stream->SetGetAudioCallBack(OnOutput, &outputs);
  stream->SetGetVideoCallBack(OnOutput, &outputs);

  Check(stream->Run() == 1, "run");
  bool capped = false;
  std::uint32_t cut = static_cast<std::uint32_t>(pieceMax) | 1;
  for (std::size_t at = 0, piece; at < input.size() && !capped; at += piece) {
    piece = kelvra::fuzz::NextPiece(&cut, pieceMax, input.size() - at);
    capped = !Deliver(*stream, outputs, input.data() + at, static_cast<int>(piece));
  }
  for (Watch watch{outputs}; !capped && stream->Flush() != 1;)
    capped = !watch.Wait("flush never empties the queue");
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
    for (Watch watch{outputs}; !stopped;) {
      if (!watch.Wait("stop never ends")) {
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
