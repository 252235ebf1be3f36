#include "e2e/sonex_runner.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <sstream>

#include "support/flv_files.h"

extern char** environ;

namespace kelvra::test {

namespace {

namespace fs = std::filesystem;

constexpr double kFullScale = 32768.0;

// A fresh file name in the scratch folder.
std::string ScratchName(const std::string& stem) {
  static int counter = 0;
  return (fs::path(TestTempDir()) / (stem + std::to_string(getpid()) + "_" +
                                     std::to_string(++counter)))
      .string();
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& workDir) {
  return WaitProgram(StartProgram(program, args, workDir));
}

StartedProgram StartProgram(const std::string& program, const std::vector<std::string>& args,
                            const std::string& workDir) {
  StartedProgram started{0, ScratchName("stdout"), ScratchName("stderr")};
  const std::string& outPath = started.outPath;
  const std::string& errPath = started.errPath;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (!workDir.empty()) posix_spawn_file_actions_addchdir_np(&actions, workDir.c_str());
  pid_t pid = 0;
  const int spawnError = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawnError != 0) {
    ADD_FAILURE() << "cannot start " << program;
  } else {
    started.pid = pid;
  }
  return started;
}

ProgramRun WaitProgram(const StartedProgram& started) {
  ProgramRun run;
  int status = 0;
  while (started.pid != 0 && waitpid(started.pid, &status, 0) < 0) {
    if (errno != EINTR) {
      ADD_FAILURE() << "waitpid failed for " << started.pid;
      return run;
    }
  }
  run.out = ReadText(started.outPath);
  run.err = ReadText(started.errPath);
  std::error_code ignored;
  fs::remove(started.outPath, ignored);
  fs::remove(started.errPath, ignored);
  if (started.pid == 0) return run;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

std::string SonexPath() { return std::string(KELVRA_BINARY_DIR) + "/bin/sonex"; }

ProgramRun RunSonex(const std::vector<std::string>& args, const std::string& workDir) {
  ProgramRun run = RunProgram(SonexPath(), args, workDir);
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
  if (run.exitCode != 0) {
    ADD_FAILURE() << "ffprobe failed on " << path << ": " << run.err;
    return entries;
  }
  std::string prefix;
  bool firstStream = true;
  bool inStream = false;
  for (const std::string& line : Lines(run.out)) {
    if (line == "[STREAM]") {
      inStream = firstStream;
      prefix.clear();
      continue;
    }
    if (line == "[/STREAM]") {
      firstStream = false;
      inStream = false;
      continue;
    }
    if (line == "[FORMAT]") {
      inStream = true;
      prefix = "format.";
      continue;
    }
    if (line == "[/FORMAT]") {
      inStream = false;
      continue;
    }
    const std::size_t equals = line.find('=');
    if (inStream && equals != std::string::npos) {
      entries.emplace(prefix + line.substr(0, equals), line.substr(equals + 1));
    }
  }
  return entries;
}

namespace {

std::uint32_t LittleEndian(const std::string& bytes, std::size_t at, int length) {
  std::uint32_t value = 0;
  for (int i = length - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<std::uint8_t>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

// The format and samples of a 16-bit PCM WAV file as FFmpeg writes it.
bool ParseWav(const std::string& bytes, Pcm& pcm) {
  constexpr std::size_t kRiffHeader = 12;
  constexpr std::size_t kChunkHeader = 8;
  if (bytes.size() < kRiffHeader || bytes.compare(0, 4, "RIFF") != 0 ||
      bytes.compare(8, 4, "WAVE") != 0) {
    return false;
  }
  for (std::size_t at = kRiffHeader; bytes.size() - at >= kChunkHeader;) {
    const std::string id = bytes.substr(at, 4);
    const std::size_t size = LittleEndian(bytes, at + 4, 4);
    const std::size_t body = at + kChunkHeader;
    if (id == "fmt " && size >= 16 && bytes.size() - body >= 16) {
      pcm.channels = static_cast<int>(LittleEndian(bytes, body + 2, 2));
      pcm.sampleRate = static_cast<int>(LittleEndian(bytes, body + 4, 4));
    } else if (id == "data") {
      const std::size_t length = std::min(size, bytes.size() - body) / 2;
      pcm.samples.resize(length);
      for (std::size_t i = 0; i < length; ++i) {
        pcm.samples[i] = static_cast<std::int16_t>(LittleEndian(bytes, body + 2 * i, 2));
      }
      return pcm.channels > 0 && pcm.sampleRate > 0;
    }
    if (bytes.size() - body < size + (size & 1)) return false;
    at = body + size + (size & 1);
  }
  return false;
}

}  // namespace

Pcm DecodeAudio(const std::string& path) {
  Pcm pcm;
  // One FFmpeg run: 16-bit PCM in a WAV file says its own rate and channels.
  const std::string wav = ScratchName("decoded") + ".wav";
  const ProgramRun run = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-i", path, "-map",
                                               "0:a:0", "-c:a", "pcm_s16le", "-f", "wav", wav});
  const std::string bytes = ReadText(wav);
  std::error_code ignored;
  fs::remove(wav, ignored);
  if (run.exitCode != 0 || !ParseWav(bytes, pcm)) {
    ADD_FAILURE() << "ffmpeg cannot decode " << path << ": " << run.err;
    return Pcm{};
  }
  return pcm;
}

namespace {

// The window clipped to the decoded frames.
bool Clip(const Pcm& pcm, std::int64_t& start, std::int64_t& frames) {
  start = std::max<std::int64_t>(start, 0);
  frames = std::min(frames, pcm.Frames() - start);
  return frames > 0 && pcm.channels > 0;
}

double Sample(const Pcm& pcm, std::int64_t frame) {
  return pcm.samples[static_cast<std::size_t>(frame * pcm.channels)];
}

}  // namespace

double Rms(const Pcm& pcm, std::int64_t start, std::int64_t frames) {
  if (!Clip(pcm, start, frames)) return 0;
  double sum = 0;
  for (std::int64_t i = 0; i < frames; ++i) sum += Sample(pcm, start + i) * Sample(pcm, start + i);
  return std::sqrt(sum / static_cast<double>(frames));
}

double ZeroCrossingFrequency(const Pcm& pcm, std::int64_t start, std::int64_t frames) {
  if (!Clip(pcm, start, frames)) return 0;
  // Crossings of the sign, counted between the first and the last so that
  // the window's ends do not bias the count.
  std::int64_t first = -1;
  std::int64_t last = -1;
  int crossings = 0;
  bool previousNegative = Sample(pcm, start) < 0;
  for (std::int64_t i = 1; i < frames; ++i) {
    const bool negative = Sample(pcm, start + i) < 0;
    if (negative != previousNegative) {
      if (first < 0) first = i;
      last = i;
      ++crossings;
    }
    previousNegative = negative;
  }
  if (crossings < 2 || last <= first) return 0;
  return (crossings - 1) / 2.0 * pcm.sampleRate / static_cast<double>(last - first);
}

double TonePower(const Pcm& pcm, std::int64_t start, std::int64_t frames, double hz) {
  if (!Clip(pcm, start, frames)) return 0;
  const double coefficient = 2 * std::cos(2 * std::numbers::pi * hz / pcm.sampleRate);
  double s1 = 0;
  double s2 = 0;
  for (std::int64_t i = 0; i < frames; ++i) {
    const double s0 = Sample(pcm, start + i) / kFullScale + coefficient * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
  const double n = static_cast<double>(frames);
  return 4 * power / (n * n);
}

std::vector<int> LabelWindows(const Pcm& pcm, const std::vector<double>& tones, int windowMs,
                              double silenceRms) {
  std::vector<int> labels;
  const std::int64_t window = static_cast<std::int64_t>(pcm.sampleRate) * windowMs / 1000;
  if (window <= 0) return labels;
  for (std::int64_t start = 0; start + window <= pcm.Frames(); start += window) {
    if (Rms(pcm, start, window) < silenceRms) {
      labels.push_back(-1);
      continue;
    }
    int best = -1;
    double bestPower = -1;
    for (std::size_t t = 0; t < tones.size(); ++t) {
      const double power = TonePower(pcm, start, window, tones[t]);
      if (power > bestPower) {
        bestPower = power;
        best = static_cast<int>(t);
      }
    }
    labels.push_back(best);
  }
  return labels;
}

std::vector<Segment> Segments(const std::vector<int>& labels) {
  std::vector<Segment> segments;
  for (std::size_t i = 0; i < labels.size(); ++i) {
    if (segments.empty() || segments.back().label != labels[i]) {
      segments.push_back(Segment{labels[i], static_cast<int>(i), 0});
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
