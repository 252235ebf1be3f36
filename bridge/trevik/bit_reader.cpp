#include "bit_reader.h"

namespace trevik {

bool BitReader::Read(int bits, std::uint32_t* value) {
  *value = 0;
  if (bits < 0 || static_cast<std::uint64_t>(bits) > BitsLeft()) {
    position_ = bitCount_;
    return false;
  }
  for (int i = 0; i < bits; ++i) {
    *value = (*value << 1) | ((bytes_[position_ / 8] >> (7 - position_ % 8)) & 1u);
    ++position_;
  }
  return true;
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
