#include "mp3_frame_header.h"

#include <array>

namespace vexmar {
namespace {

constexpr uint32_t kSyncMask = 0xFFE00000;
constexpr int kLayer3 = 1;
constexpr int kVersionReserved = 1;
constexpr int kFreeFormatIndex = 0;
constexpr int kBadBitrateIndex = 15;
constexpr int kReservedRate = 3;
constexpr int kModeMono = 3;
constexpr int kBitrateShift = 12;
constexpr uint8_t kBitrateMask = 0xF0;

// kbit/s of layer III by bit rate index.
constexpr std::array<int, 15> kMpeg1Kbps = {0,   32,  40,  48,  56,  64,  80, 96,
                                            112, 128, 160, 192, 224, 256, 320};
constexpr std::array<int, 15> kMpeg2Kbps = {0,  8,  16, 24,  32,  40,  48, 56,
                                            64, 80, 96, 112, 128, 144, 160};
constexpr std::array<int, 3> kMpeg1Rates = {44100, 48000, 32000};
// A slot of 1152 (MPEG-1) or 576 samples: bytes = factor * kbit/s / rate.
constexpr int kMpeg1SlotFactor = 144000;
constexpr int kMpeg2SlotFactor = 72000;

constexpr int kMpeg1MainDataBeginBits = 9;
constexpr int kMpeg2MainDataBeginBits = 8;
constexpr int kPart23LengthBits = 12;
// Bits before the first granule's fields, and bits of one granule and
// channel's fields, by version and channel count.
constexpr int kMpeg1MonoLead = 9 + 5 + 4;
constexpr int kMpeg1StereoLead = 9 + 3 + 8;
constexpr int kMpeg2MonoLead = 8 + 1;
constexpr int kMpeg2StereoLead = 8 + 2;
constexpr int kMpeg1GranuleBits = 59;
constexpr int kMpeg2GranuleBits = 63;
constexpr int kMpeg1Granules = 2;
constexpr int kMpeg2Granules = 1;

// Reads `count` bits from bit `position` on; the caller has checked bounds.
int ReadBits(const uint8_t* data, int position, int count) {
  int value = 0;
  for (int i = 0; i < count; ++i) {
    const int bit = position + i;
    value = (value << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
  }
  return value;
}

void WriteBits(uint8_t* data, int position, int count, int value) {
  for (int i = 0; i < count; ++i) {
    const int bit = position + i;
    const auto mask = static_cast<uint8_t>(1 << (7 - bit % 8));
    if (((value >> (count - 1 - i)) & 1) != 0) {
      data[bit / 8] |= mask;
    } else {
      data[bit / 8] &= static_cast<uint8_t>(~mask);
    }
  }
}

}  // namespace

std::optional<Mp3FrameHeader> Mp3FrameHeader::Parse(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kHeaderBytes) return std::nullopt;
  const uint32_t word = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                        (uint32_t{data[2]} << 8) | data[3];
  Mp3FrameHeader header;
  header.version_ = static_cast<int>((word >> 19) & 3);
  const int layer = static_cast<int>((word >> 17) & 3);
  const bool noCrc = ((word >> 16) & 1) != 0;
  header.bitrateIndex_ = static_cast<int>((word >> kBitrateShift) & 0xF);
  const int rateIndex = static_cast<int>((word >> 10) & 3);
  header.padding_ = static_cast<int>((word >> 9) & 1);
  header.channels_ = ((word >> 6) & 3) == kModeMono ? 1 : 2;
  if ((word & kSyncMask) != kSyncMask || header.version_ == kVersionReserved || layer != kLayer3 ||
      !noCrc || header.bitrateIndex_ == kFreeFormatIndex ||
      header.bitrateIndex_ == kBadBitrateIndex || rateIndex == kReservedRate) {
    return std::nullopt;
  }
  // MPEG-2 halves the MPEG-1 rates, MPEG-2.5 quarters them.
  const int divisor = header.Mpeg1() ? 1 : header.version_ == 2 ? 2 : 4;
  header.sampleRate_ = kMpeg1Rates[static_cast<size_t>(rateIndex)] / divisor;
  for (int i = 0; i < kHeaderBytes; ++i) header.bytes_[i] = data[i];
  return header;
}

int Mp3FrameHeader::FrameBytes() const {
  const auto index = static_cast<size_t>(bitrateIndex_);
  const int kbps = Mpeg1() ? kMpeg1Kbps[index] : kMpeg2Kbps[index];
  const int factor = Mpeg1() ? kMpeg1SlotFactor : kMpeg2SlotFactor;
  return factor * kbps / sampleRate_ + padding_;
}

int Mp3FrameHeader::SideInfoBytes() const {
  if (Mpeg1()) return channels_ == 1 ? 17 : 32;
  return channels_ == 1 ? 9 : 17;
}

int Mp3FrameHeader::MaxReservoirBytes() const {
  const int bits = Mpeg1() ? kMpeg1MainDataBeginBits : kMpeg2MainDataBeginBits;
  return (1 << bits) - 1;
}

std::optional<Mp3FrameHeader> Mp3FrameHeader::WithBitrateIndex(int index) const {
  if (index <= kFreeFormatIndex || index >= kBadBitrateIndex) return std::nullopt;
  Mp3FrameHeader raised = *this;
  raised.bitrateIndex_ = index;
  raised.bytes_[2] = static_cast<uint8_t>((bytes_[2] & ~kBitrateMask) | (index << 4));
  return raised;
}

void Mp3FrameHeader::WriteTo(uint8_t* out) const {
  for (int i = 0; i < kHeaderBytes; ++i) out[i] = bytes_[i];
}

std::optional<int> Mp3FrameHeader::MainDataBegin(const uint8_t* sideInfo, size_t size) const {
  if (sideInfo == nullptr || size < static_cast<size_t>(SideInfoBytes())) return std::nullopt;
  return ReadBits(sideInfo, 0, Mpeg1() ? kMpeg1MainDataBeginBits : kMpeg2MainDataBeginBits);
}

bool Mp3FrameHeader::SetMainDataBegin(uint8_t* sideInfo, size_t size, int value) const {
  if (sideInfo == nullptr || size < static_cast<size_t>(SideInfoBytes()) || value < 0 ||
      value > MaxReservoirBytes()) {
    return false;
  }
  WriteBits(sideInfo, 0, Mpeg1() ? kMpeg1MainDataBeginBits : kMpeg2MainDataBeginBits, value);
  return true;
}

std::optional<int> Mp3FrameHeader::MainDataBits(const uint8_t* sideInfo, size_t size) const {
  if (sideInfo == nullptr || size < static_cast<size_t>(SideInfoBytes())) return std::nullopt;
  const bool mono = channels_ == 1;
  const int lead = Mpeg1() ? (mono ? kMpeg1MonoLead : kMpeg1StereoLead)
                           : (mono ? kMpeg2MonoLead : kMpeg2StereoLead);
  const int granuleBits = Mpeg1() ? kMpeg1GranuleBits : kMpeg2GranuleBits;
  const int granules = Mpeg1() ? kMpeg1Granules : kMpeg2Granules;
  // The granule and channel fields follow each other at a fixed stride:
  // both kinds of block (long, or switched windows) take the same bits.
  int bits = 0;
  for (int block = 0; block < granules * channels_; ++block) {
    bits += ReadBits(sideInfo, lead + block * granuleBits, kPart23LengthBits);
  }
  return bits;
}

}  // namespace vexmar
