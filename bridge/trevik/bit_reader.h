// Reads bits most significant first from a byte range the caller owns; never
// looks past the range. Reads report a short range as the library's byte and
// RBSP readers do: false, with the value 0.
#ifndef TREVIK_BIT_READER_H
#define TREVIK_BIT_READER_H

#include <cstddef>
#include <cstdint>

namespace trevik {

class BitReader {
 public:
  BitReader(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), bitCount_(size * 8) {}

  std::uint64_t BitsLeft() const { return bitCount_ - position_; }
  // Up to 32 bits into `*value`; false, with `*value` 0, when they are not
  // all there (the reader then stands at the end).
  [[nodiscard]] bool Read(int bits, std::uint32_t* value);
  // Advances by `bits`, stopping at the end; returns false when the range
  // ended first.
  bool Skip(std::uint64_t bits);

 private:
  const std::uint8_t* bytes_;
  std::uint64_t bitCount_;
  std::uint64_t position_ = 0;
};

}  // namespace trevik

#endif  // TREVIK_BIT_READER_H
