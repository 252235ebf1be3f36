// Running the built sonex program and FFmpeg's tools from tests, and
// reading what came out: the output file's stream description (ffprobe),
// its audio decoded to 16-bit PCM, and the tones in it.
#ifndef KELVRA_TESTS_E2E_SONEX_RUNNER_H
#define KELVRA_TESTS_E2E_SONEX_RUNNER_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvra::test {

struct ProgramRun {
  int exitCode = -1;  // -1 when the program could not be started or was killed
  std::string out;    // standard output
  std::string err;    // standard error
};

// Runs `program` with `args` in `workDir` ("" keeps the current folder),
// standard input from /dev/null, and waits for it.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workDir = "");

// The same in two steps, for tests that signal the program while it runs.
// pid is 0 when the program could not be started.
struct StartedProgram {
  int pid = 0;
  std::string outPath;
  std::string errPath;
};
StartedProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir = "");
ProgramRun WaitProgram(const StartedProgram& started);

// The sonex program of this build. RunSonex also fails the test when the
// program's standard error carries a sanitizer report.
std::string SonexPath();
ProgramRun RunSonex(const std::vector<std::string>& args, const std::string& workDir = "");

// ffprobe's view of a file: the first audio stream's entries (codec_name,
// sample_rate, channels, bit_rate, bits_per_sample, ...) and the format's,
// the latter prefixed "format." (format.format_name, format.duration).
std::map<std::string, std::string> Probe(const std::string& path);

// Audio decoded by FFmpeg to interleaved signed 16-bit samples at the
// file's own rate and channel count (gapless information honoured).
struct Pcm {
  int sampleRate = 0;
  int channels = 0;
  std::vector<std::int16_t> samples;
  std::int64_t Frames() const {
    return channels > 0 ? static_cast<std::int64_t>(samples.size()) / channels : 0;
  }
  double Seconds() const { return sampleRate > 0 ? static_cast<double>(Frames()) / sampleRate : 0; }
};
// Decodes the first audio stream; an empty Pcm (and a test failure) when
// FFmpeg cannot.
Pcm DecodeAudio(const std::string& path);

// Analysis of the first channel in [startFrame, startFrame + frames).
// Root mean square level, in sample units.
double Rms(const Pcm& pcm, std::int64_t startFrame, std::int64_t frames);
// Frequency estimated from the zero crossings, in Hz.
double ZeroCrossingFrequency(const Pcm& pcm, std::int64_t startFrame, std::int64_t frames);
// Goertzel power of one frequency, normalised so a full-scale sine gives
// about 1 whatever the window length.
double TonePower(const Pcm& pcm, std::int64_t startFrame, std::int64_t frames, double hz);

// The time line of a decoded file cut into windows of `windowMs`, each
// labelled with the index of the strongest of `tones`, or -1 for silence
// (level below `silenceRms`).
std::vector<int> LabelWindows(const Pcm& pcm, const std::vector<double>& tones, int windowMs,
                              double silenceRms = 200.0);

// Where runs of one label begin and end, in windows.
struct Segment {
  int label;
  int firstWindow;
  int windowCount;
};
std::vector<Segment> Segments(const std::vector<int>& labels);

// The text's lines, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_E2E_SONEX_RUNNER_H
