// FLV files for tests: fixtures kept in tests/data/flv, and files made at
// test time with FFmpeg's encoders and FLV muxer from generated tones whose
// frequency identifies the file.
#ifndef KELVRA_TESTS_SUPPORT_FLV_FILES_H
#define KELVRA_TESTS_SUPPORT_FLV_FILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::test {

// The rate moves to the closest one the encoder and FFmpeg's FLV muxer take
// (ties to the lower): kMp3 and kAdpcmSwf 11025/22050/44100 Hz; kNellymoser
// mono, 8000 Hz (format 5), 16000 Hz (format 4), else format 6; kPcmS16le and
// kPcmU8 5512/11025/22050/44100 Hz; kAac 11025/22050/44100/48000 Hz; kSpeex
// 16000 Hz mono; the G.711 laws 8000 Hz mono.
enum class AudioCodec {
  kNone,
  kMp3,         // sound format 2
  kAdpcmSwf,    // sound format 1
  kNellymoser,  // sound format 4/5/6 by rate (16000, 8000, other)
  kPcmS16le,    // sound format 3
  kPcmU8,       // sound format 0, 8-bit
  kAac,         // sound format 10
  kSpeex,       // sound format 11
  kG711ALaw,    // sound format 7
  kG711MuLaw    // sound format 8
};

// FFmpeg's test pattern, a key frame every second; H.264 is 4:2:0 with two
// B-frames.
enum class VideoCodec {
  kNone,
  kH263,         // Sorenson H.263 (codec id 2)
  kScreenVideo,  // screen video (codec id 3)
  kH264          // H.264 (codec id 7)
};

struct FlvRecipe {
  AudioCodec audio = AudioCodec::kMp3;
  int sampleRate = 22050;
  int channels = 2;
  double toneHz = 440.0;  // a sine on every channel
  int audioBitRate = 64000;  // where the codec takes one
  VideoCodec video = VideoCodec::kNone;
  int width = 160;
  int height = 120;
  int fps = 15;
  int durationMs = 2000;
  // When holeStartMs >= 0, the audio tags stamped in [holeStartMs,
  // holeStartMs + holeLengthMs) are replaced by one empty audio tag (the
  // flags byte of the first it replaces) at holeStartMs, before the first
  // audio or video tag at or after it.
  int holeStartMs = -1;
  int holeLengthMs = 0;
};

// Makes the file described (once; kept in the build folder for later test
// processes) and returns its path. Callers must not change the file. Fails
// the current test (and returns "") when FFmpeg cannot make it.
std::string GenerateFlv(const FlvRecipe& recipe);

// A per-process scratch folder for test files, removed at exit.
std::string TestTempDir();

// Path of a fixture below tests/data/flv/ ("real/x.flv"); fails the current
// test (non-fatally) when the file is not there.
std::string FixturePath(const std::string& relative);
// Every .flv file in tests/data/flv/real and .../generated; fails the current
// test when there are none, so a missing folder never passes as "no files".
std::vector<std::string> AllFixtureFiles();

// Both fail the current test (non-fatally) when the file cannot be read or
// written; ReadWholeFile then answers no bytes.
std::vector<std::uint8_t> ReadWholeFile(const std::string& path);
void WriteWholeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_SUPPORT_FLV_FILES_H
