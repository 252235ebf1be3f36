#include "bit_reader.h"

namespace trevik {

std::uint32_t BitReader::Read(int bits) {
  std::uint32_t value = 0;
  for (int i = 0; i < bits; ++i) {
    std::uint32_t bit = 0;
    if (position_ < bitCount_) {
      bit = (bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u;
      ++position_;
    } else {
      overran_ = true;
    }
    value = (value << 1) | bit;
  }
  return value;
}

bool BitReader::Skip(std::uint64_t bits) {
  if (bits > BitsLeft()) {
    position_ = bitCount_;
    return false;
  }
  position_ += bits;
  return true;
}

}  // namespace trevik
