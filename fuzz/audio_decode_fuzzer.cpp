// The audio decode path on tags made from the input: the audio decoder in
// synchronous mode (resampling to a chosen rate and channel count), or the
// bridge audio decoder directly. The first byte is the tag's flags byte, the
// second chooses the path and the output format; then come payloads, each a
// 16-bit big-endian length and its bytes (in mixed mode after a flags byte).
#include <algorithm>
#include <cstdint>
#include <vector>

#include "decoder/flv_audio_decoder.h"
#include "flv/flv_tag_parsing.h"
#include "fuzz/fuzz_support.h"
#include "kelvra.h"
#include "vexmar/vexmar.h"

namespace {

using kelvra::fuzz::Check;
using Payload = std::vector<std::uint8_t>;

// Sound formats by the flags byte's high nibble: every decoded format twice,
// and two that are not decoded (AAC, Speex).
constexpr int kFormatByNibble[16] = {0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 10, 11};

std::uint8_t FlagsByte(std::uint8_t raw) {
  return static_cast<std::uint8_t>(kFormatByNibble[raw >> 4] << 4 | (raw & 0x0F));
}

// Up to 64 records; one cut by the end of the input keeps what there is.
struct Records {
  const std::uint8_t* at;
  const std::uint8_t* end;
  std::uint8_t flags;
  bool mixed;
  int count = 0;
  std::uint8_t Byte() { return at < end ? *at++ : 0; }
  bool Next(Payload* payload) {
    if (at >= end || count == 64) return false;
    if (count++ > 0 && mixed) flags = FlagsByte(Byte());
    std::size_t length = static_cast<std::size_t>(Byte()) << 8;
    length |= Byte();
    length = std::min<std::size_t>(length, static_cast<std::size_t>(end - at));
    payload->assign(at, at + length);
    at += length;
    return true;
  }
};

// An audio tag record made the way the parser makes one: header, then body.
FLVTag* MakeTag(std::uint8_t flags, const Payload& payload, std::uint32_t time) {
  const std::uint32_t dataSize = static_cast<std::uint32_t>(payload.size() + 1);
  Payload bytes;
  const auto put = [&](std::uint32_t word) {
    for (int shift = 24; shift >= 0; shift -= 8)
      bytes.push_back(static_cast<std::uint8_t>(word >> shift));
  };
  put(std::uint32_t{FLV_TAG_TYPE_AUDIO} << 24 | dataSize);
  put(time << 8 | time >> 24);  // 24 bits, then the extension byte
  put(flags);                   // after a zero stream id
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  put(dataSize + 11);
  FLVTag* tag = kelvra::NewFLVTag();
  Check(tag != nullptr, "tag record");
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  Check(kelvra::ParseFLVTagHeader(bytes.data(), bytes.size(), true, tag, &position, &toEnd),
        "tag header");
  Check(kelvra::ParseFLVTagBody(bytes.data() + kelvra::kTagHeaderSize,
                                bytes.size() - kelvra::kTagHeaderSize, tag),
        "tag body");
  kelvra::fuzz::CheckTag(tag);
  return tag;
}

void CheckPcm(const std::uint8_t* pcm, int size, int channels) {
  Check(size >= 0, "negative output size");
  if (size == 0) return;
  Check(pcm != nullptr, "output size without output");
  Check(channels >= 1 && channels <= 8, "channel count");
  Check(size % (2 * channels) == 0, "output not whole sample frames");
  kelvra::fuzz::TouchBytes(pcm, size);
}

void RunSyncDecoder(Records& records, int rate, int channels) {
  FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
  Check(decoder != nullptr, "decoder");
  Check(FLVStreamDecoder_SetSampleRate(decoder, rate) == 1, "rate");
  Check(FLVStreamDecoder_SetNumberOfChannels(decoder, channels) == 1, "channels");
  FLVStreamDecoder_SetDecodeSyncMode(decoder, 1);
  const auto decode = [&](FLVTag* tag) {  // a null tag flushes
    std::uint8_t* pcm = nullptr;
    int size = -1;
    const int ok = FLVStreamDecoder_DecodeFLVTag(decoder, tag, &pcm, &size);
    Check(ok == 0 || ok == 1, "decode result");
    if (ok == 1) CheckPcm(pcm, size, channels);
  };
  Payload payload;
  for (std::uint32_t time = 0; records.Next(&payload); time += 23) {
    FLVTag* tag = MakeTag(records.flags, payload, time);
    decode(tag);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  decode(nullptr);
  FLVStreamDecoder_Delete(decoder);
}

void RunBridgeDecoder(Records& records) {
  VexmarAudioDecoder* decoder = ADD_Create();
  Check(decoder != nullptr, "bridge decoder");
  // A null input flushes; rate and channels go in nominal and come out real.
  const auto decode = [&](const Payload& payload, int rate, int channels) {
    std::uint8_t* pcm = nullptr;
    int size = -1;
    if (ADD_Decode(decoder, payload.empty() ? nullptr : payload.data(),
                   static_cast<int>(payload.size()), &pcm, &size, &rate, &channels) != 0) {
      Check(size <= 0 || rate > 0, "rate of decoded audio");
      CheckPcm(pcm, size, channels);
    }
  };
  int openCodec = -1;
  Payload payload;
  while (records.Next(&payload)) {
    const std::uint8_t flags = records.flags;
    const int format = flags >> 4;
    const int codec = kelvra::AudioCodecIdFor(format, (flags >> 1) & 1);
    if (codec < 0) continue;
    if (codec != openCodec) {
      if (openCodec >= 0) ADD_Close(decoder);
      ADD_Open(decoder, codec);
      openCodec = codec;
    }
    decode(payload, kelvra::AudioSampleRateOf(format, (flags >> 2) & 3),
           kelvra::AudioChannelsOf(format, flags & 1));
  }
  if (openCodec >= 0) {
    decode({}, 44100, 2);
    ADD_Close(decoder);
  }
  ADD_Delete(decoder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t mode = data[1];
  Records records{data + 2, data + size, FlagsByte(data[0]), (mode & 0x10) != 0};
  if ((mode & 1) != 0) {
    RunSyncDecoder(records, kelvra::fuzz::kOutputRates[(mode >> 1) & 3], (mode & 8) ? 2 : 1);
  } else {
    RunBridgeDecoder(records);
  }
  return 0;
}
