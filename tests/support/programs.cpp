#include "support/programs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <sstream>
#include <thread>

#include "support/flv_files.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

std::string ScratchName(const std::string& stem) {
  static int counter = 0;
  return (fs::path(TestTempDir()) /
          (stem + std::to_string(getpid()) + "_" + std::to_string(++counter)))
      .string();
}

std::string TakeText(const std::string& path) {
  const std::vector<std::uint8_t> bytes =
      fs::exists(path) ? ReadWholeFile(path) : std::vector<std::uint8_t>{};
  std::error_code ignored;
  fs::remove(path, ignored);
  return std::string(bytes.begin(), bytes.end());
}

std::uint32_t LittleEndian(const std::vector<std::uint8_t>& b, std::size_t at, int length) {
  std::uint32_t value = 0;
  for (int i = length - 1; i >= 0; --i) value = (value << 8) | b[at + static_cast<std::size_t>(i)];
  return value;
}

// The window clipped to the decoded frames.
bool Clip(const Pcm& pcm, std::int64_t& start, std::int64_t& frames) {
  start = std::max<std::int64_t>(start, 0);
  frames = std::min(frames, pcm.Frames() - start);
  return frames > 0 && pcm.channels > 0;
}

double Sample(const Pcm& pcm, std::int64_t frame) {
  return pcm.samples[static_cast<std::size_t>(frame * pcm.channels)];
}

// The Goertzel power of `hz`, about 1 for a full-scale sine.
double TonePower(const Pcm& pcm, std::int64_t start, std::int64_t frames, double hz) {
  if (!Clip(pcm, start, frames)) return 0;
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / pcm.sampleRate);
  double s1 = 0, s2 = 0;
  for (std::int64_t i = 0; i < frames; ++i) {
    const double s0 = Sample(pcm, start + i) / 32768.0 + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double n = static_cast<double>(frames);
  return 4 * (s1 * s1 + s2 * s2 - coefficient * s1 * s2) / (n * n);
}

}  // namespace

StartedProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir, std::uint64_t maxFileBytes) {
  StartedProgram started{0, ScratchName("stdout"), ScratchName("stderr")};
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(started.outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(started.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const rlimit limit{maxFileBytes, maxFileBytes};
    if (maxFileBytes > 0) setrlimit(RLIMIT_FSIZE, &limit);
    if (in >= 0 && out >= 0 && err >= 0 && dup2(in, 0) >= 0 && dup2(out, 1) >= 0 &&
        dup2(err, 2) >= 0 && (workDir.empty() || chdir(workDir.c_str()) == 0))
      execvp(argv[0], argv.data());
    _exit(127);
  }
  if (child < 0) ADD_FAILURE() << "cannot start " << program;
  started.pid = std::max(child, 0);
  return started;
}

ProgramRun WaitProgram(const StartedProgram& started, int seconds) {
  ProgramRun run;
  int status = 0;
  bool killed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (started.pid != 0 && !killed && waitpid(started.pid, &status, WNOHANG) != started.pid) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(started.pid, SIGKILL);
      waitpid(started.pid, &status, 0);
      killed = true;
      ADD_FAILURE() << "killed after " << seconds << " s";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  run.out = TakeText(started.outPath);
  run.err = TakeText(started.errPath);
  if (started.pid != 0 && !killed && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workDir, int seconds) {
  return WaitProgram(StartProgram(program, args, workDir), seconds);
}

ProgramRun RunShell(const std::string& command) {
  return RunProgram("/bin/bash", {"-c", "set -o pipefail; " + command});
}

std::string SonexPath() { return std::string(KELVRA_BINARY_DIR) + "/bin/sonex"; }

ProgramRun RunSonex(const std::vector<std::string>& args, const std::string& workDir) {
  ProgramRun run = WaitProgram(StartProgram(SonexPath(), args, workDir, 64u << 20));
  // In a sanitizer build the program itself reports races, leaks and
  // undefined behaviour.
  for (const char* report : {"Sanitizer", "runtime error:"}) {
    EXPECT_EQ(run.err.find(report), std::string::npos) << run.err;
  }
  return run;
}

std::map<std::string, std::string> Probe(const std::string& path) {
  std::map<std::string, std::string> entries;
  const ProgramRun run = RunProgram(
      "ffprobe", {"-v", "error", "-select_streams", "a:0", "-show_streams", "-show_format", path});
  EXPECT_EQ(run.exitCode, 0) << "ffprobe failed on " << path << ": " << run.err;
  std::string prefix;
  for (const std::string& line : Lines(run.out)) {
    if (line == "[STREAM]" || line == "[FORMAT]") prefix = line == "[FORMAT]" ? "format." : "";
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos)
      entries.emplace(prefix + line.substr(0, equals), line.substr(equals + 1));
  }
  return entries;
}

Pcm ReadWav(const std::string& path) {
  const std::vector<std::uint8_t> b = ReadWholeFile(path);
  Pcm pcm;
  const auto is = [&](std::size_t at, const char* id) {
    return std::equal(id, id + 4, b.begin() + static_cast<std::ptrdiff_t>(at));
  };
  // Chunk by chunk: an 8-byte header (id and size), the body, a pad byte.
  for (std::size_t at = 12; b.size() >= 12 && is(0, "RIFF") && is(8, "WAVE") &&
                            b.size() - at >= 8;) {
    const std::size_t size = LittleEndian(b, at + 4, 4);
    const std::size_t body = at + 8;
    if (is(at, "fmt ") && b.size() - body >= 16) {
      pcm.channels = static_cast<int>(LittleEndian(b, body + 2, 2));
      pcm.sampleRate = static_cast<int>(LittleEndian(b, body + 4, 4));
    } else if (is(at, "data") && pcm.channels > 0 && pcm.sampleRate > 0) {
      // A writer that could not go back to fill in the size leaves it open.
      const std::size_t held = b.size() - body;
      const std::size_t length = (size == 0 || size > held ? held : size) / 2;
      for (std::size_t i = 0; i < length; ++i)
        pcm.samples.push_back(static_cast<std::int16_t>(LittleEndian(b, body + 2 * i, 2)));
      return pcm;
    }
    if (b.size() - body < size + (size & 1)) break;
    at = body + size + (size & 1);
  }
  ADD_FAILURE() << path << " is not a 16-bit WAV file";
  return Pcm{};
}

Pcm DecodeAudio(const std::string& path) {
  const std::string wav = ScratchName("decoded") + ".wav";
  const ProgramRun run = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", path, "-map",
                                               "0:a:0", "-c:a", "pcm_s16le", "-f", "wav", wav});
  if (run.exitCode != 0) {
    ADD_FAILURE() << "ffmpeg cannot decode " << path << ": " << run.err;
    return Pcm{};
  }
  Pcm pcm = ReadWav(wav);
  std::error_code ignored;
  fs::remove(wav, ignored);
  return pcm;
}

double Rms(const Pcm& pcm, std::int64_t start, std::int64_t frames) {
  if (!Clip(pcm, start, frames)) return 0;
  double sum = 0;
  for (std::int64_t i = 0; i < frames; ++i) sum += Sample(pcm, start + i) * Sample(pcm, start + i);
  return std::sqrt(sum / static_cast<double>(frames));
}

double ZeroCrossingFrequency(const Pcm& pcm, std::int64_t start, std::int64_t frames) {
  if (!Clip(pcm, start, frames)) return 0;
  // Counted between the first and the last crossing, so that the window's
  // ends do not bias the count.
  std::int64_t first = -1, last = -1;
  int crossings = 0;
  for (std::int64_t i = 1; i < frames; ++i) {
    if ((Sample(pcm, start + i) < 0) != (Sample(pcm, start + i - 1) < 0)) {
      if (first < 0) first = i;
      last = i;
      ++crossings;
    }
  }
  if (crossings < 2) return 0;
  return (crossings - 1) / 2.0 * pcm.sampleRate / static_cast<double>(last - first);
}

std::vector<Segment> ToneSegments(const Pcm& pcm, const std::vector<double>& tones, int windowMs,
                                  double silenceRms) {
  std::vector<Segment> segments;
  const std::int64_t window = static_cast<std::int64_t>(pcm.sampleRate) * windowMs / 1000;
  for (std::int64_t start = 0; window > 0 && start + window <= pcm.Frames(); start += window) {
    int label = -1;
    double bestPower = -1;
    for (std::size_t t = 0; Rms(pcm, start, window) >= silenceRms && t < tones.size(); ++t) {
      const double power = TonePower(pcm, start, window, tones[t]);
      if (power > bestPower) {
        bestPower = power;
        label = static_cast<int>(t);
      }
    }
    if (segments.empty() || segments.back().label != label) {
      segments.push_back(Segment{label, static_cast<int>(start / window), 0});
    }
    ++segments.back().windowCount;
  }
  return segments;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace kelvra::test
