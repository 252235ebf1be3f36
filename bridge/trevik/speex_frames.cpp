#include "speex_frames.h"

#include "bit_reader.h"

namespace trevik {

namespace {

// Bits of each narrowband mode after its 5-bit header (wideband flag and
// 4-bit mode); modes 9 to 12 do not exist.
constexpr int kNarrowbandModeBits[] = {0, 38, 114, 155, 215, 295, 359, 487, 74};
constexpr int kNarrowbandModeCount = 9;
// Bits of each wideband layer mode after its 4-bit header (flag and 3-bit
// mode); modes 5 to 7 do not exist.
constexpr int kWidebandModeBits[] = {0, 32, 108, 188, 348};
constexpr int kWidebandModeCount = 5;

constexpr int kNarrowbandHeaderBits = 5;
constexpr int kModeBits = 4;
constexpr int kWidebandModeFieldBits = 3;
constexpr std::uint32_t kModeTerminator = 15;
constexpr std::uint32_t kModeInBand = 14;
constexpr std::uint32_t kModeUserInBand = 13;

// Bits that follow an in-band request code.
int InBandRequestBits(std::uint32_t code) {
  if (code < 2) return 1;
  if (code < 8) return 4;
  if (code < 10) return 8;
  if (code < 12) return 16;
  if (code < 14) return 32;
  return 64;
}

constexpr int kUserInBandLengthBits = 4;
constexpr int kUserInBandExtraBits = 5;

}  // namespace

int CountSpeexFrames(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr || size == 0) return 0;
  BitReader reader(bytes, size);
  int frames = 0;
  // A field cut short by the payload's end ends the walk.
  while (reader.BitsLeft() >= kNarrowbandHeaderBits) {
    std::uint32_t wideband = 0;
    if (!reader.Read(1, &wideband)) break;
    if (wideband == 1) {
      // A wideband layer belongs to the narrowband frame before it.
      std::uint32_t mode = 0;
      if (!reader.Read(kWidebandModeFieldBits, &mode) || mode >= kWidebandModeCount) break;
      if (!reader.Skip(kWidebandModeBits[mode])) break;
      continue;
    }
    std::uint32_t mode = 0;
    if (!reader.Read(kModeBits, &mode) || mode == kModeTerminator) break;
    if (mode == kModeInBand) {
      std::uint32_t request = 0;
      if (!reader.Read(kModeBits, &request) || !reader.Skip(InBandRequestBits(request))) break;
      continue;
    }
    if (mode == kModeUserInBand) {
      std::uint32_t length = 0;
      if (!reader.Read(kUserInBandLengthBits, &length) ||
          !reader.Skip(kUserInBandExtraBits + 8 * length)) {
        break;
      }
      continue;
    }
    if (mode >= kNarrowbandModeCount) break;
    ++frames;  // a frame cut short by the payload's end still counts
    if (!reader.Skip(kNarrowbandModeBits[mode])) break;
  }
  return frames > 0 ? frames : 1;
}

}  // namespace trevik
