// Checks shared by the fuzz targets: a tag's media pointers stay inside its
// data block, and every byte they cover can be read (so ASan sees any
// pointer that walks off the block).
#ifndef KELVRA_FUZZ_FUZZ_SUPPORT_H
#define KELVRA_FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>

#include "kelvra.h"

namespace kelvra::fuzz {

// Aborts (a finding) with `what` on standard error.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Sums the bytes so that the reads cannot be optimised away.
std::uint32_t TouchBytes(const std::uint8_t* bytes, std::int64_t size);

// Every pointer of the tag lies inside [data, data + dataSize] and every
// byte of its ranges is read. A tag without a block may carry no pointers.
void CheckTag(const FLVTag* tag);

// One of the stream parser's delivery codes.
bool IsDeliveryCode(int code);

}  // namespace kelvra::fuzz

#endif  // KELVRA_FUZZ_FUZZ_SUPPORT_H
