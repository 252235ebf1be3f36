// The stream parser fed the input in pieces, with callbacks that take or
// refuse tags, small queue limits and the end of the stream (Flush until
// empty, Stop), twice on the same parser.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kelvra.h"

namespace {

using kelvra::fuzz::Check;

struct Consumer {
  std::uint32_t takePattern = 0;  // bit i: take the i-th offered tag (mod 32)
  std::uint32_t offered = 0;
  bool takeAll = false;  // set once the queue must drain
  bool decodeVideo = true;
  bool decodeAudio = true;
  std::vector<FLVTag*> held;  // released after the parser, which they outlive
};

int TakeOrRefuse(void* user, FLVTag* tag) {
  auto* consumer = static_cast<Consumer*>(user);
  kelvra::fuzz::CheckTag(tag);
  if (!consumer->takeAll && ((consumer->takePattern >> (consumer->offered++ % 32)) & 1) == 0)
    return 0;
  if (consumer->held.size() < 64) {
    consumer->held.push_back(tag);
  } else {
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  return 1;
}

void OnInfo(void* user, FLVInfo* info, int* decodeVideo, int* decodeAudio) {
  auto* consumer = static_cast<Consumer*>(user);
  Check(info != nullptr && decodeVideo != nullptr && decodeAudio != nullptr, "info arguments");
  Check(info->frameRate == info->frameRate && info->duration == info->duration, "NaN in info");
  *decodeVideo = consumer->decodeVideo ? 1 : 0;
  *decodeAudio = consumer->decodeAudio ? 1 : 0;
}

// Delivers until consumed, retrying after a full queue as a caller would
// (the retries flush and, when the callbacks keep refusing, start taking).
void Deliver(FLVStreamParser* parser, Consumer* consumer, const std::uint8_t* bytes, int length) {
  for (int attempt = 0;; ++attempt) {
    const int code = FLVStreamParser_DeliverData(parser, bytes, length);
    Check(kelvra::fuzz::IsDeliveryCode(code), "undocumented delivery code");
    Check(length > 0 || code == FLV_PARSER_NO_DATA || code == FLV_PARSER_NOT_RUNNING ||
              code == FLV_PARSER_STREAM_ERROR,
          "empty delivery");
    if (code != FLV_PARSER_QUEUE_FULL) return;
    Check(attempt < 4, "queue stays full while every tag is taken");
    FLVStreamParser_Flush(parser);
    if (attempt >= 1) consumer->takeAll = true;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  Consumer consumer;
  const std::uint32_t maxQueue = provider.ConsumeIntegralInRange<std::uint32_t>(0, 6);
  const std::uint32_t interleaved = provider.ConsumeIntegralInRange<std::uint32_t>(0, 10);
  const bool notAudioVideo = provider.ConsumeBool();
  consumer.takePattern = provider.ConsumeIntegral<std::uint32_t>();
  consumer.decodeVideo = provider.ConsumeBool();
  consumer.decodeAudio = provider.ConsumeBool();
  const int pieceMax = provider.ConsumeIntegralInRange<int>(1, 20000);
  const std::vector<std::uint8_t> stream = provider.ConsumeRemainingBytes<std::uint8_t>();

  FLVStreamParser* parser = FLVStreamParser_Create();
  Check(parser != nullptr, "create");
  Check(FLVStreamParser_DeliverData(parser, data, 1) == FLV_PARSER_NOT_RUNNING, "stopped parser");
  Check(FLVStreamParser_SetMaxFLVTagQueue(parser, maxQueue) == 1, "queue limit");
  Check(FLVStreamParser_SetMaxInterleavedTime(parser, interleaved) == 1, "interleaved time");
  FLVStreamParser_SetFLVInfoCallBack(parser, OnInfo, &consumer);
  FLVStreamParser_SetFLVAudioCallBack(parser, TakeOrRefuse, &consumer);
  FLVStreamParser_SetFLVVideoCallBack(parser, TakeOrRefuse, &consumer);
  FLVStreamParser_SetParserNotAudioVideoPacket(parser, notAudioVideo ? 1 : 0);
  FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(parser, TakeOrRefuse, &consumer);
  for (int run = 0; run < 2; ++run) {
    Check(FLVStreamParser_Run(parser) == 1, "run");
    Check(FLVStreamParser_Run(parser) == 0, "second run");
    Deliver(parser, &consumer, nullptr, 0);
    std::uint32_t cut = consumer.takePattern | 1;
    for (std::size_t at = 0, piece; at < stream.size(); at += piece) {
      piece = kelvra::fuzz::NextPiece(&cut, pieceMax, stream.size() - at);
      Deliver(parser, &consumer, stream.data() + at, static_cast<int>(piece));
    }
    int audio = -1;
    int video = -1;
    const int videoCount = FLVStreamParser_GetParsedPacketsCount(parser, &audio, &video);
    Check(videoCount == video && audio >= 0 && video >= 0, "packet counts");
    FLVStreamParser_GetTimeStamp(parser);
    consumer.takeAll = run == 1 || (consumer.takePattern & 0x80000000u) != 0;
    for (int flushes = 0; FLVStreamParser_Flush(parser) != 1; consumer.takeAll = true)
      Check(++flushes < 4, "flush never empties the queue");
    Check(FLVStreamParser_Stop(parser) == 1, "stop");
    Check(FLVStreamParser_Stop(parser) == 0, "second stop");
    Check(FLVStreamParser_Flush(parser) == 1, "flush when stopped");
  }
  FLVStreamParser_Delete(parser);
  for (FLVTag* tag : consumer.held) {
    kelvra::fuzz::CheckTag(tag);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  return 0;
}
