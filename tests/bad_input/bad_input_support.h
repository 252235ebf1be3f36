// Shared by the bad-input tests: running sonex as a child process under a
// time and file-size limit, reading back a WAV file's length, and FLV
// streams made of PCM tags whose length is known exactly.
#ifndef KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
#define KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H

#include <cstdint>
#include <string>
#include <vector>

#include "support/flv_builder.h"

namespace kelvra::test {

struct SonexRun {
  int exitCode = -1;   // -1: killed (time limit) or not started
  bool timedOut = false;
  std::string out;     // standard output
  std::string err;     // standard error
};

// Runs the sonex program built beside the tests. The child may write at most
// `maxFileBytes` into any file (a run-away output fails instead of filling
// the disk) and is killed after `seconds`.
SonexRun RunSonexProgram(const std::vector<std::string>& args, int seconds = 120,
                         std::uint64_t maxFileBytes = 64u << 20);

// Length in milliseconds of the samples in a 16-bit PCM WAV file, -1 when
// the file is not a readable WAV file.
double WavDurationMs(const std::string& path);

// The arguments that write 44100 Hz stereo WAV quietly to `out`.
std::vector<std::string> WavOutputArgs(const std::string& out);

// A file's full path as sonex prints it in its per-file messages.
std::string FullPath(const std::string& path);

// 16-bit little-endian stereo PCM at 44100 Hz (sound format 3): `tags` tags
// of `samplesPerTag` sample frames each, stamped back to back from
// `firstTimestamp`. The payload is a quiet square wave.
FlvBuilder PcmStream(int tags, int samplesPerTag = 441, std::uint32_t firstTimestamp = 0);
// The audio length of such a stream in milliseconds.
double PcmStreamMs(int tags, int samplesPerTag = 441);

// `a` followed by `b`.
Bytes Concat(Bytes a, const Bytes& b);
// An audio-only file header declaring `offset` as its data offset.
Bytes HeaderWithOffset(std::uint32_t offset);
// The tags of PcmStream(tags) without its file header.
Bytes PcmTags(int tags);

// A fresh path in the test scratch folder.
std::string ScratchPath(const std::string& name);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BAD_INPUT_BAD_INPUT_SUPPORT_H
