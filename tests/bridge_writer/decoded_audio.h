// What an audio file holds, as FFmpeg reads it back: the tests of the
// writers judge their files through this, never through the writers' code.
#ifndef KELVRA_TESTS_BRIDGE_WRITER_DECODED_AUDIO_H
#define KELVRA_TESTS_BRIDGE_WRITER_DECODED_AUDIO_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::test {

struct DecodedAudio {
  bool opened = false;          // libavformat opened it and found audio
  std::string formatName;       // demuxer name
  std::string codecName;        // codec descriptor name ("mp3", "amr_nb")
  int sampleRate = 0;
  int channels = 0;
  int firstPacketSize = 0;
  int64_t samples = 0;          // decoded sample frames, per channel
  std::vector<int16_t> firstChannel;  // the first channel's samples
};

// Opens and fully decodes the first audio stream of `path`.
DecodedAudio DecodeAudioFile(const std::string& path);

// Frequency of the dominant tone by rising zero crossings over the middle
// of `samples`, at `sampleRate`.
double EstimateToneHz(const std::vector<int16_t>& samples, int sampleRate);

// Interleaved s16 sine of `frequency` at half scale in every channel.
std::vector<uint8_t> MakeTone(double frequency, int sampleRate, int channels, int64_t frames,
                              int64_t firstFrame = 0);

// Odd block sizes in bytes that the tests cycle through, so blocks split
// samples and sample frames everywhere.
const std::vector<int>& OddBlockSizes();

bool FileExists(const std::string& path);
// A fresh path in the test's temporary folder, not yet existing.
std::string TempPath(const std::string& name);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BRIDGE_WRITER_DECODED_AUDIO_H
