// Checks shared by the fuzz targets. A failed check aborts, which libFuzzer
// reports as a finding (and the replay as a crash).
#ifndef KELVRA_FUZZ_FUZZ_SUPPORT_H
#define KELVRA_FUZZ_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kelvra.h"

namespace kelvra::fuzz {

inline constexpr int kOutputRates[4] = {8000, 22050, 44100, 48000};

[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Sums the bytes, so that ASan sees every read and none is optimised away.
std::uint32_t TouchBytes(const std::uint8_t* bytes, std::int64_t size);

// Every pointer of the tag lies inside its data block and every byte of its
// ranges is read. A tag without a block may carry no pointers.
void CheckTag(const FLVTag* tag);

// One of the stream parser's delivery codes.
inline bool IsDeliveryCode(int code) {
  return (code >= FLV_PARSER_OK && code <= FLV_PARSER_NOT_RUNNING) ||
         code == FLV_PARSER_OUT_OF_MEMORY;
}

// The next piece length, 1 to pieceMax and at most `left`, drawn from
// `state` rather than from the input, so the input stays the stream itself.
inline std::size_t NextPiece(std::uint32_t* state, int pieceMax, std::size_t left) {
  *state = *state * 1103515245u + 12345u;
  return std::min<std::size_t>(left, 1 + (*state >> 8) % static_cast<std::uint32_t>(pieceMax));
}

}  // namespace kelvra::fuzz

#endif  // KELVRA_FUZZ_FUZZ_SUPPORT_H
