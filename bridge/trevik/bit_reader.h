// Reads bits most significant first from a byte range the caller owns; never
// looks past the range.
#ifndef TREVIK_BIT_READER_H
#define TREVIK_BIT_READER_H

#include <cstddef>
#include <cstdint>

namespace trevik {

class BitReader {
 public:
  BitReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), bitCount_(size * 8) {}

  std::uint64_t BitsLeft() const { return bitCount_ - position_; }
  // Up to 32 bits; bits past the end read as zero and mark the reader as
  // overrun.
  std::uint32_t Read(int bits);
  // Whether a Read asked for bits past the end.
  bool Overran() const { return overran_; }
  // Advances by `bits`, stopping at the end; returns false when the range
  // ended first.
  bool Skip(std::uint64_t bits);

 private:
  const std::uint8_t* bytes_;
  std::uint64_t bitCount_;
  std::uint64_t position_ = 0;
  bool overran_ = false;
};

}  // namespace trevik

#endif  // TREVIK_BIT_READER_H
