// FLV streams of 16-bit PCM tags whose length is known exactly, and scratch
// paths to write them to.
#ifndef KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
#define KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H

#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {

inline Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// `tags` tags of 441 sample frames (10 ms) of 44100 Hz stereo, a quiet
// square wave, stamped back to back from `firstTimestamp`.
inline FlvBuilder PcmStream(int tags, std::uint32_t firstTimestamp = 0) {
  FlvBuilder flv;
  flv.Header(FlvHeaderOptions{.hasVideo = false});
  Bytes payload(441 * 4);
  for (std::size_t i = 0; i < payload.size(); i += 2) payload[i + 1] = (i / 200) % 2 == 0 ? 0x03 : 0xFC;
  for (int i = 0; i < tags; ++i) flv.Audio(firstTimestamp + static_cast<std::uint32_t>(i * 10), 3, 3, 1, 1, payload);
  return flv;
}

// The tags of PcmStream(tags) without its file header (13 bytes).
inline Bytes PcmTags(int tags) {
  const FlvBuilder flv = PcmStream(tags);
  return Bytes(flv.bytes().begin() + 13, flv.bytes().end());
}

// An audio-only file header declaring `offset` as its data offset.
inline Bytes HeaderWithOffset(std::uint32_t offset) {
  return FlvBuilder().Header(FlvHeaderOptions{.hasVideo = false, .dataOffset = offset}).bytes();
}

inline std::string ScratchPath(const std::string& name) {
  static int counter = 0;
  const std::string unique = std::to_string(getpid()) + "_" + std::to_string(++counter) + "_";
  return (std::filesystem::path(TestTempDir()) / (unique + name)).string();
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
