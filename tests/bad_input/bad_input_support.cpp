#include "bad_input/bad_input_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/flv_files.h"

namespace kelvra::test {

namespace {

namespace fs = std::filesystem;

const char* const kSonex = KELVRA_BINARY_DIR "/bin/sonex";
constexpr int kPcmRate = 44100;
constexpr int kPcmFrameBytes = 4;  // 16-bit stereo
constexpr auto kPollInterval = std::chrono::milliseconds(20);

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint32_t U32LE(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::string ScratchPath(const std::string& name) {
  static int counter = 0;
  return (fs::path(TestTempDir()) / (std::to_string(getpid()) + "_" + std::to_string(++counter) + "_" + name))
      .string();
}

SonexRun RunSonexProgram(const std::vector<std::string>& args, int seconds,
                         std::uint64_t maxFileBytes) {
  SonexRun run;
  const std::string outPath = ScratchPath("stdout.txt");
  const std::string errPath = ScratchPath("stderr.txt");
  std::vector<std::string> all = {kSonex};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) {
    ADD_FAILURE() << "fork failed";
    return run;
  }
  if (child == 0) {
    // Only async-signal-safe calls between fork and exec.
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0 || err < 0) _exit(126);
    dup2(out, STDOUT_FILENO);
    dup2(err, STDERR_FILENO);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = maxFileBytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    execv(kSonex, argv.data());
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      run.timedOut = true;
      break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  if (!run.timedOut && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  run.out = ReadText(outPath);
  run.err = ReadText(errPath);
  return run;
}

double WavDurationMs(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)),
                                         std::istreambuf_iterator<char>());
  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0) {
    return -1;
  }
  int channels = 0;
  std::uint32_t rate = 0;
  std::size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const std::uint32_t size = U32LE(&bytes[at + 4]);
    if (std::memcmp(&bytes[at], "fmt ", 4) == 0 && at + 8 + 16 <= bytes.size()) {
      channels = bytes[at + 10] | bytes[at + 11] << 8;
      rate = U32LE(&bytes[at + 12]);
    } else if (std::memcmp(&bytes[at], "data", 4) == 0) {
      if (channels <= 0 || rate == 0) return -1;
      // A writer that could not go back to fill in the size leaves it open.
      const std::size_t held = bytes.size() - (at + 8);
      const std::size_t dataBytes = size == 0 || size > held ? held : size;
      return 1000.0 * static_cast<double>(dataBytes) / (2.0 * channels * rate);
    }
    at += 8 + size + (size & 1);
  }
  return -1;
}

std::vector<std::string> WavOutputArgs(const std::string& out) {
  return {"-out", out, "-fmt", "wav", "-ac", "2", "-asr", "44100", "-quiet", "1"};
}

std::string FullPath(const std::string& path) {
  return fs::absolute(path).lexically_normal().string();
}

FlvBuilder PcmStream(int tags, int samplesPerTag, std::uint32_t firstTimestamp) {
  FlvBuilder flv;
  flv.Header(FlvHeaderOptions{.hasVideo = false});
  Bytes payload(static_cast<std::size_t>(samplesPerTag) * kPcmFrameBytes);
  for (std::size_t i = 0; i < payload.size(); i += 2) {
    const std::int16_t sample = (i / 200) % 2 == 0 ? 1000 : -1000;
    payload[i] = static_cast<std::uint8_t>(sample & 0xFF);
    payload[i + 1] = static_cast<std::uint8_t>((sample >> 8) & 0xFF);
  }
  const double tagMs = 1000.0 * samplesPerTag / kPcmRate;
  for (int i = 0; i < tags; ++i) {
    const auto timestamp = static_cast<std::uint32_t>(firstTimestamp + static_cast<std::uint32_t>(i * tagMs));
    flv.Audio(timestamp, 3, 3, 1, 1, payload);
  }
  return flv;
}

double PcmStreamMs(int tags, int samplesPerTag) {
  return 1000.0 * tags * samplesPerTag / kPcmRate;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes HeaderWithOffset(std::uint32_t offset) {
  return FlvBuilder().Header(FlvHeaderOptions{.hasVideo = false, .dataOffset = offset}).bytes();
}

Bytes PcmTags(int tags) {
  // The file header and the first previous-tag-size field.
  constexpr std::ptrdiff_t kHeaderBytes = 13;
  const Bytes all = PcmStream(tags).bytes();
  return Bytes(all.begin() + kHeaderBytes, all.end());
}

}  // namespace kelvra::test
