// A bounds-checked cursor over the bits of an H.264 parameter set (its RBSP:
// the NAL unit's bytes with the emulation-prevention bytes taken out), read
// most significant bit first. Reading past the end sets a sticky failure
// flag and yields zeros, so a parser reads on and checks once at the end.
#ifndef KELVRA_FLV_RBSP_BIT_READER_H
#define KELVRA_FLV_RBSP_BIT_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

class RbspBitReader {
 public:
  // Copies `nalUnit` (header byte included) without its emulation-prevention
  // bytes (the 0x03 of each 0x00 0x00 0x03).
  RbspBitReader(const std::uint8_t* nalUnit, std::size_t size);

  std::uint32_t ReadBits(int count);  // 0 to 32 bits
  bool ReadFlag() { return ReadBits(1) != 0; }
  // Exp-Golomb codes; a code longer than 32 bits counts as a failure.
  std::uint32_t ReadUnsignedExpGolomb();
  std::int32_t ReadSignedExpGolomb();

  bool failed() const { return failed_ || bitPosition_ > rbsp_.size() * 8; }

 private:
  std::vector<std::uint8_t> rbsp_;
  std::size_t bitPosition_ = 0;
  bool failed_ = false;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_RBSP_BIT_READER_H
