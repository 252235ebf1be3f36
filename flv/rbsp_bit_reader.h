// A bounds-checked cursor over the bits of an H.264 parameter set (its RBSP:
// the NAL unit's bytes with the emulation-prevention bytes taken out), read
// most significant bit first. Read reports a short range as BufferReader's
// reads do (false, value 0). The flag and Exp-Golomb reads, which the
// parameter-set walk makes by the dozen, instead yield zeros past the end and
// set a sticky failure flag, so that walk reads on and checks Failed() once.
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

  // 0 to 32 bits into `*value`; false, with `*value` 0, when they are not all
  // there (which also sets the failure flag).
  [[nodiscard]] bool Read(int bits, std::uint32_t* value);
  bool ReadFlag();
  // Exp-Golomb codes; a code longer than 32 bits counts as a failure.
  std::uint32_t ReadUnsignedExpGolomb();
  std::int32_t ReadSignedExpGolomb();

  bool Failed() const { return failed_; }

 private:
  std::vector<std::uint8_t> rbsp_;
  std::size_t bitPosition_ = 0;
  bool failed_ = false;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_RBSP_BIT_READER_H
