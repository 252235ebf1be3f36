// The audio decode path on tags made from the input: the audio decoder in
// synchronous mode (with resampling to a chosen rate and channel count), or
// the bridge audio decoder directly. The first byte is the tag's flags byte
// (sound format, rate, size, type), the second chooses the path and the
// output format; then come payloads, each a 16-bit big-endian length and
// its bytes (in mixed mode a flags byte before the length).
#include <cstdint>
#include <vector>

#include "decoder/flv_audio_decoder.h"
#include "flv/flv_tag_parsing.h"
#include "fuzz/fuzz_support.h"
#include "kelvra.h"
#include "vexmar/vexmar.h"

namespace {

using kelvra::fuzz::Check;

// Sound formats by the flags byte's high nibble: every decoded format twice,
// and two that are not decoded (AAC, Speex).
constexpr int kFormatByNibble[16] = {0, 1, 2, 3, 4, 5, 6, 0, 1, 2, 3, 4, 5, 6, 10, 11};
constexpr int kOutputRates[4] = {8000, 22050, 44100, 48000};
constexpr int kMaxTags = 64;

// The input after the first two bytes, taken record by record; a record cut
// by the end of the input keeps what there is.
class Records {
 public:
  Records(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::vector<std::uint8_t> Payload() {
    std::size_t length = static_cast<std::size_t>(Byte()) << 8;
    length |= Byte();
    if (length > size_ - at_) length = size_ - at_;
    std::vector<std::uint8_t> payload(data_ + at_, data_ + at_ + length);
    at_ += length;
    return payload;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::uint8_t FlagsByte(std::uint8_t raw) {
  return static_cast<std::uint8_t>(kFormatByNibble[raw >> 4] << 4 | (raw & 0x0F));
}

// An audio tag record made the way the parser makes one: header, then body.
FLVTag* MakeTag(std::uint8_t flags, const std::vector<std::uint8_t>& payload,
                        std::uint32_t timestamp) {
  const std::uint32_t dataSize = static_cast<std::uint32_t>(payload.size() + 1);
  std::vector<std::uint8_t> bytes = {
      FLV_TAG_TYPE_AUDIO,
      static_cast<std::uint8_t>(dataSize >> 16), static_cast<std::uint8_t>(dataSize >> 8),
      static_cast<std::uint8_t>(dataSize),
      static_cast<std::uint8_t>(timestamp >> 16), static_cast<std::uint8_t>(timestamp >> 8),
      static_cast<std::uint8_t>(timestamp), static_cast<std::uint8_t>(timestamp >> 24),
      0, 0, 0, flags};
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  const std::uint32_t previous = dataSize + 11;
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes.push_back(static_cast<std::uint8_t>(previous >> shift));

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

void RunSyncDecoder(Records& records, std::uint8_t firstFlags, bool mixed, int rate,
                    int channels) {
  FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
  Check(decoder != nullptr, "decoder");
  Check(FLVStreamDecoder_SetSampleRate(decoder, rate) == 1, "rate");
  Check(FLVStreamDecoder_SetNumberOfChannels(decoder, channels) == 1, "channels");
  FLVStreamDecoder_SetDecodeSyncMode(decoder, 1);
  std::uint8_t flags = firstFlags;
  for (int i = 0; i < kMaxTags && !records.empty(); ++i) {
    if (mixed && i > 0) flags = FlagsByte(records.Byte());
    FLVTag* tag = MakeTag(flags, records.Payload(),
                          static_cast<std::uint32_t>(i) * 23u);
    std::uint8_t* pcm = nullptr;
    int size = -1;
    const int ok = FLVStreamDecoder_DecodeFLVTag(decoder, tag, &pcm, &size);
    Check(ok == 0 || ok == 1, "decode result");
    if (ok == 1) CheckPcm(pcm, size, channels);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  std::uint8_t* pcm = nullptr;
  int size = -1;
  if (FLVStreamDecoder_DecodeFLVTag(decoder, nullptr, &pcm, &size) == 1)
    CheckPcm(pcm, size, channels);
  FLVStreamDecoder_Delete(decoder);
}

void RunBridgeDecoder(Records& records, std::uint8_t firstFlags, bool mixed) {
  VexmarAudioDecoder* decoder = ADD_Create();
  Check(decoder != nullptr, "bridge decoder");
  int openCodec = -1;
  std::uint8_t flags = firstFlags;
  for (int i = 0; i < kMaxTags && !records.empty(); ++i) {
    if (mixed && i > 0) flags = FlagsByte(records.Byte());
    const int format = flags >> 4;
    const int codec = kelvra::AudioCodecIdFor(format, (flags >> 1) & 1);
    std::vector<std::uint8_t> payload = records.Payload();
    if (codec < 0) continue;
    if (codec != openCodec) {
      if (openCodec >= 0) ADD_Close(decoder);
      ADD_Open(decoder, codec);
      openCodec = codec;
    }
    int rate = kelvra::AudioSampleRateOf(format, (flags >> 2) & 3);
    int channels = kelvra::AudioChannelsOf(format, flags & 1);
    std::uint8_t* pcm = nullptr;
    int size = -1;
    if (ADD_Decode(decoder, payload.empty() ? nullptr : payload.data(),
                   static_cast<int>(payload.size()), &pcm, &size, &rate, &channels) != 0) {
      if (size > 0) Check(rate > 0, "rate of decoded audio");
      CheckPcm(pcm, size, channels);
    }
  }
  if (openCodec >= 0) {
    int rate = 44100;
    int channels = 2;
    std::uint8_t* pcm = nullptr;
    int size = -1;
    if (ADD_Decode(decoder, nullptr, 0, &pcm, &size, &rate, &channels) != 0) {
      CheckPcm(pcm, size, channels);
    }
    ADD_Close(decoder);
  }
  ADD_Delete(decoder);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::uint8_t flags = FlagsByte(data[0]);
  const std::uint8_t mode = data[1];
  Records records(data + 2, size - 2);
  const bool mixed = (mode & 0x10) != 0;
  if ((mode & 1) != 0) {
    RunSyncDecoder(records, flags, mixed, kOutputRates[(mode >> 1) & 3],
                   (mode & 0x08) != 0 ? 2 : 1);
  } else {
    RunBridgeDecoder(records, flags, mixed);
  }
  return 0;
}
