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

std::uint32_t RbspBitReader::ReadBits(int count) {
  if (count < 0 || count > kMaxBitsPerRead) {
    failed_ = true;
    return 0;
  }
  std::uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    const std::size_t byte = bitPosition_ / 8;
    std::uint32_t bit = 0;
    if (byte < rbsp_.size()) {
      bit = (rbsp_[byte] >> (7 - bitPosition_ % 8)) & 1u;
    } else {
      failed_ = true;
    }
    ++bitPosition_;
    value = (value << 1) | bit;
  }
  return value;
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
  return ((1u << leadingZeros) - 1u) + ReadBits(leadingZeros);
}

std::int32_t RbspBitReader::ReadSignedExpGolomb() {
  const std::uint32_t code = ReadUnsignedExpGolomb();
  // 1, 2, 3, 4 ... map to 1, -1, 2, -2 ...
  const auto magnitude = static_cast<std::int32_t>((code + 1) / 2);
  return (code & 1u) != 0 ? magnitude : -magnitude;
}

}  // namespace kelvra
