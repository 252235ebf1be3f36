#include "flv/rbsp_bit_reader.h"

namespace kelvra {

namespace {
constexpr int kMaxBitsPerRead = 32;
constexpr int kMaxExpGolombLeadingZeros = 31;
constexpr std::uint8_t kEmulationPreventionByte = 0x03;
constexpr int kZerosBeforeEmulationPrevention = 2;
}  // namespace

RbspBitReader::RbspBitReader(const std::uint8_t* nalUnit, std::size_t size) {
  if (nalUnit == nullptr) return;
  rbsp_.reserve(size);
  int zeros = 0;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t byte = nalUnit[i];
    if (zeros >= kZerosBeforeEmulationPrevention && byte == kEmulationPreventionByte) {
      zeros = 0;
      continue;
    }
    zeros = byte == 0 ? zeros + 1 : 0;
    rbsp_.push_back(byte);
  }
}

bool RbspBitReader::Read(int bits, std::uint32_t* value) {
  *value = 0;
  const std::size_t bitCount = rbsp_.size() * 8;
  if (bits < 0 || bits > kMaxBitsPerRead || bitPosition_ > bitCount ||
      static_cast<std::size_t>(bits) > bitCount - bitPosition_) {
    failed_ = true;
    bitPosition_ = bitCount;
    return false;
  }
  for (int i = 0; i < bits; ++i) {
    *value = (*value << 1) | ((rbsp_[bitPosition_ / 8] >> (7 - bitPosition_ % 8)) & 1u);
    ++bitPosition_;
  }
  return true;
}

bool RbspBitReader::ReadFlag() {
  std::uint32_t bit = 0;
  if (!Read(1, &bit)) return false;
  return bit != 0;
}

std::uint32_t RbspBitReader::ReadUnsignedExpGolomb() {
  int leadingZeros = 0;
  while (!ReadFlag()) {
    if (failed_ || ++leadingZeros > kMaxExpGolombLeadingZeros) {
      failed_ = true;
      return 0;
    }
  }
  if (leadingZeros == 0) return 0;
  std::uint32_t suffix = 0;
  if (!Read(leadingZeros, &suffix)) return 0;
  return ((1u << leadingZeros) - 1u) + suffix;
}

std::int32_t RbspBitReader::ReadSignedExpGolomb() {
  const std::uint32_t code = ReadUnsignedExpGolomb();
  // 1, 2, 3, 4 ... map to 1, -1, 2, -2 ...
  const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
  return (code & 1u) != 0 ? magnitude : -magnitude;
}

}  // namespace kelvra
