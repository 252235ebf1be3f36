// Running programs from tests (the built sonex, FFmpeg's tools, a shell) and
// reading what they made: ffprobe's description of a file, its audio decoded
// to 16-bit PCM, and the tones in that audio.
#ifndef KELVRA_TESTS_SUPPORT_PROGRAMS_H
#define KELVRA_TESTS_SUPPORT_PROGRAMS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kelvra::test {

struct ProgramRun {
  int exitCode = -1;  // -1: not started, killed by a signal or by the time limit
  std::string out;
  std::string err;
};

// A program started with standard input from /dev/null, in `workDir` ("":
// the current folder), writing no more than `maxFileBytes` (> 0) into any
// file. pid 0: not started (the test has failed).
struct StartedProgram {
  int pid = 0;
  std::string outPath;
  std::string errPath;
};
StartedProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir = "", std::uint64_t maxFileBytes = 0);
// Waits for it, killing it (and failing the test) after `seconds`.
ProgramRun WaitProgram(const StartedProgram& started, int seconds = 240);
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workDir = "", int seconds = 240);
// `command` run by bash with pipefail.
ProgramRun RunShell(const std::string& command);

// The sonex program of this build. RunSonex limits its files to 64 MiB and
// fails the test when its standard error carries a sanitizer report.
std::string SonexPath();
ProgramRun RunSonex(const std::vector<std::string>& args, const std::string& workDir = "");

// ffprobe's entries of the first audio stream (codec_name, sample_rate, ...)
// and of the format, the latter prefixed "format." (format.duration).
std::map<std::string, std::string> Probe(const std::string& path);

// Interleaved signed 16-bit samples.
struct Pcm {
  int sampleRate = 0;
  int channels = 0;
  std::vector<std::int16_t> samples;
  std::int64_t Frames() const {
    return channels > 0 ? static_cast<std::int64_t>(samples.size()) / channels : 0;
  }
  double Seconds() const { return sampleRate > 0 ? static_cast<double>(Frames()) / sampleRate : 0; }
};
// The samples of a 16-bit WAV file (a data size left open counts to the
// end); an empty Pcm and a test failure when it is none.
Pcm ReadWav(const std::string& path);
// The first audio stream decoded by the ffmpeg program at the file's own rate
// and channels (gapless information honoured); empty and a failure when
// FFmpeg cannot.
Pcm DecodeAudio(const std::string& path);

// Analysis of the first channel in [start, start + frames): root mean square
// in sample units, and the frequency from the zero crossings.
double Rms(const Pcm& pcm, std::int64_t start, std::int64_t frames);
double ZeroCrossingFrequency(const Pcm& pcm, std::int64_t start, std::int64_t frames);

// Runs of windows of `windowMs`, each labelled with the index of the
// strongest of `tones`, or -1 for silence (level below `silenceRms`).
struct Segment {
  int label;
  int firstWindow;
  int windowCount;
};
std::vector<Segment> ToneSegments(const Pcm& pcm, const std::vector<double>& tones, int windowMs,
                                  double silenceRms = 200.0);

// The text's lines, without their line ends.
std::vector<std::string> Lines(const std::string& text);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_SUPPORT_PROGRAMS_H
