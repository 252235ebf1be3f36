// FLV streams of 16-bit PCM tags whose length is known exactly, for the
// bad-input tests, and the scratch paths they are written to.
#ifndef KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
#define KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H

#include <cstdint>
#include <string>

#include "support/flv_builder.h"

namespace kelvra::test {

// 16-bit little-endian stereo PCM at 44100 Hz (sound format 3): `tags` tags
// of `samplesPerTag` sample frames each, stamped back to back from
// `firstTimestamp`. The payload is a quiet square wave.
FlvBuilder PcmStream(int tags, int samplesPerTag = 441, std::uint32_t firstTimestamp = 0);
// The audio length of such a stream in milliseconds.
double PcmStreamMs(int tags, int samplesPerTag = 441);
// The tags of PcmStream(tags) without its file header.
Bytes PcmTags(int tags);
// An audio-only file header declaring `offset` as its data offset.
Bytes HeaderWithOffset(std::uint32_t offset);
// `a` followed by `b`.
Bytes Concat(Bytes a, const Bytes& b);
// A fresh path in the test scratch folder.
std::string ScratchPath(const std::string& name);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
