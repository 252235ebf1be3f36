#include "mpeg_audio_frames.h"

#include <array>

#include "shared/units_100ns.h"

namespace trevik {

namespace {

constexpr std::size_t kHeaderSize = 4;

enum Version { kMpeg25 = 0, kVersionReserved = 1, kMpeg2 = 2, kMpeg1 = 3 };
enum Layer { kLayerReserved = 0, kLayer3 = 1, kLayer2 = 2, kLayer1 = 3 };

constexpr int kBitRateFree = 0;
constexpr int kBitRateBad = 15;
constexpr int kSampleRateReserved = 3;

// kbit/s by [MPEG-1?][layer I, II, III][index].
constexpr int kBitRates[2][3][15] = {
    {// MPEG-2 and 2.5
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}},
    {// MPEG-1
     {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}}};

// Hz by [version][index].
constexpr int kSampleRates[4][3] = {
    {11025, 12000, 8000}, {0, 0, 0}, {22050, 24000, 16000}, {44100, 48000, 32000}};

constexpr int kLayer1Samples = 384;
constexpr int kLayer1SlotSize = 4;
constexpr int kLayer2Samples = 1152;
constexpr int kLayer3Mpeg1Samples = 1152;
constexpr int kLayer3LowRateSamples = 576;
// Frame length = coefficient x bit rate / sampling rate (+ padding), in
// 4-byte slots for layer I and bytes otherwise.
constexpr int kLayer1Coefficient = 12;
constexpr int kFullFrameCoefficient = 144;     // layer II, and layer III of MPEG-1
constexpr int kLayer3LowRateCoefficient = 72;  // layer III of MPEG-2 and 2.5

}  // namespace

std::optional<MpegAudioFrameHeader> ParseMpegAudioFrameHeader(const std::uint8_t* bytes,
                                                              std::size_t size) {
  if (bytes == nullptr || size < kHeaderSize) return std::nullopt;
  const std::uint32_t h = std::uint32_t{bytes[0]} << 24 | std::uint32_t{bytes[1]} << 16 |
                          std::uint32_t{bytes[2]} << 8 | bytes[3];
  if ((h >> 21) != 0x7FF) return std::nullopt;  // 11-bit frame sync
  const int version = (h >> 19) & 3;
  const int layer = (h >> 17) & 3;
  const int bitRateIndex = (h >> 12) & 0xF;
  const int sampleRateIndex = (h >> 10) & 3;
  const int padding = (h >> 9) & 1;
  if (version == kVersionReserved || layer == kLayerReserved || bitRateIndex == kBitRateFree ||
      bitRateIndex == kBitRateBad || sampleRateIndex == kSampleRateReserved) {
    return std::nullopt;
  }

  const bool mpeg1 = version == kMpeg1;
  const int layerNumber = 4 - layer;  // 1, 2 or 3
  const int bitRate = kBitRates[mpeg1 ? 1 : 0][layerNumber - 1][bitRateIndex] * 1000;
  MpegAudioFrameHeader header;
  header.sampleRate = kSampleRates[version][sampleRateIndex];
  int coefficient = kFullFrameCoefficient;
  int slotSize = 1;
  switch (layerNumber) {
    case 1:
      header.samples = kLayer1Samples;
      coefficient = kLayer1Coefficient;
      slotSize = kLayer1SlotSize;
      break;
    case 2:
      header.samples = kLayer2Samples;
      break;
    default:
      header.samples = mpeg1 ? kLayer3Mpeg1Samples : kLayer3LowRateSamples;
      if (!mpeg1) coefficient = kLayer3LowRateCoefficient;
      break;
  }
  header.length =
      static_cast<std::size_t>((coefficient * bitRate / header.sampleRate + padding) * slotSize);
  if (header.length < kHeaderSize) return std::nullopt;
  return header;
}

std::optional<std::int64_t> MpegAudioDuration(const std::uint8_t* bytes, std::size_t size) {
  // Samples are summed per sampling rate and converted once per rate, so
  // many frames add up without rounding drift.
  struct RateTotal {
    int rate = 0;
    std::int64_t samples = 0;
  };
  std::array<RateTotal, 9> totals{};  // at most nine distinct rates exist
  bool any = false;
  std::size_t position = 0;
  while (position < size) {
    const auto header = ParseMpegAudioFrameHeader(bytes + position, size - position);
    if (!header) break;
    any = true;
    for (auto& total : totals) {
      if (total.rate == 0 || total.rate == header->sampleRate) {
        total.rate = header->sampleRate;
        total.samples += header->samples;
        break;
      }
    }
    position += header->length;
  }
  if (!any) return std::nullopt;
  std::int64_t duration = 0;
  for (const auto& total : totals) {
    if (total.rate != 0) duration += units100ns::FromSamples(total.samples, total.rate);
  }
  return duration;
}

}  // namespace trevik
