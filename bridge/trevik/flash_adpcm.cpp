#include "flash_adpcm.h"

namespace trevik {

namespace {
// The packet opens with a 2-bit code size: 2 to 5 bits per sample.
constexpr int kCodeSizeBits = 2;
constexpr int kMinBitsPerSample = 2;
// Each block holds 4096 samples per channel: the first is the block
// header's 16-bit initial sample (with a 6-bit step index), the other 4095
// are codes.
constexpr std::int64_t kSamplesPerBlock = 4096;
constexpr std::int64_t kCodedSamplesPerBlock = kSamplesPerBlock - 1;
constexpr std::int64_t kChannelHeaderBits = 16 + 6;
}  // namespace

std::optional<std::int64_t> FlashAdpcmSampleCount(const std::uint8_t* bytes, std::size_t size,
                                                  int channels) {
  if (bytes == nullptr || size == 0 || channels < 1 || channels > 2) return std::nullopt;
  const std::int64_t bitsPerSample = (bytes[0] >> (8 - kCodeSizeBits)) + kMinBitsPerSample;
  const std::int64_t payloadBits = static_cast<std::int64_t>(size) * 8 - kCodeSizeBits;
  const std::int64_t headerBits = kChannelHeaderBits * channels;
  const std::int64_t blockBits = headerBits + kCodedSamplesPerBlock * bitsPerSample * channels;

  const std::int64_t fullBlocks = payloadBits / blockBits;
  const std::int64_t bitsLeft = payloadBits % blockBits;
  std::int64_t samples = fullBlocks * kSamplesPerBlock;
  // A partial last block counts its initial sample once its headers are
  // complete, then every whole code for all channels.
  if (bitsLeft >= headerBits) samples += 1 + (bitsLeft - headerBits) / (bitsPerSample * channels);
  return samples;
}

}  // namespace trevik
