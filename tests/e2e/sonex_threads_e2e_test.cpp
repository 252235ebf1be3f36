// Conversions that run both decoders' threads, and stop signals; under TSan too.
#include <signal.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <tuple>

#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using enum VideoCodec;

// Into WMA both decoders' threads end with the first file and start again for the second.
TEST(SonexThreadsTest, BatchOfAudioAndVideoFilesIntoWmaWithBothDecoders) {
  const std::string out = TestTempDir() + "/batch.wma";
  const auto flv = [](double hz) { return GenerateFlv({.toneHz = hz, .video = kH263}); };
  const ProgramRun run =
      RunSonex({"-i", flv(500), "-st", "500", "-i", flv(1000), "-dt", "1000", "-out", out});
  ASSERT_EQ(std::tie(run.exitCode, run.err), std::make_tuple(0, "")) << run.out;
  const Pcm output = DecodeAudio(out);
  std::vector<int> order;
  for (const Segment& s : ToneSegments(output, {500, 1000}, 10))
    if (s.label >= 0 && s.windowCount >= 10) order.push_back(s.label);
  EXPECT_EQ(order, (std::vector<int>{0, 1}));
  // The first file's audio (2 s of MP3 at 22050 Hz) ends with its last frame.
  EXPECT_NEAR(output.Seconds(), 2.5 + 1152.0 / 22050, 2 * 2048.0 / 44100);
  EXPECT_NEAR(ZeroCrossingFrequency(output, 44100 / 4, 44100 / 2), 500, 5);
}

// The signal's exit code, the old output as it was, no temporary file; likewise when a second
// SIGINT during the stop ends it at once.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kStopLimit = std::chrono::seconds(5);
#else
constexpr auto kStopLimit = std::chrono::seconds(1);
#endif

TEST(SonexThreadsTest, StopSignalsEndALongConversionCleanly) {
  const std::string input =
      GenerateFlv({.sampleRate = 11025, .channels = 1, .audioBitRate = 8000, .durationMs = 600000});
  const fs::path dir = fs::path(TestTempDir()) / "stop_signals";
  const std::string out = (dir / "o.wav").string();
  fs::create_directories(dir);
  const std::pair<std::vector<int>, int> stops[] = {{{SIGINT}, 130},
                                                    {{SIGTERM}, 143},
                                                    {{SIGHUP}, 129},
                                                    {{SIGINT, SIGINT}, 130}};
  for (const auto& [signals, exitCode] : stops) {
    std::ofstream(out) << "old";
#if defined(__SANITIZE_THREAD__)
    // A second signal ends the process with threads unjoined, which TSan calls leaked.
    const char* const tsanOptions = std::getenv("TSAN_OPTIONS");
    const std::string keptOptions = tsanOptions != nullptr ? tsanOptions : "";
    if (signals.size() > 1)
      setenv("TSAN_OPTIONS", (keptOptions + ":report_thread_leaks=0").c_str(), 1);
#endif
    const StartedProgram started =
        StartProgram(SonexPath(), {"-i", input, "-out", out, "-quiet", "1", "-slp", "1"});
#if defined(__SANITIZE_THREAD__)
    setenv("TSAN_OPTIONS", keptOptions.c_str(), 1);
#endif
    ASSERT_NE(started.pid, 0);
    // Converting once the temporary file is there.
    for (int waited = 0; waited < 10000; waited += 10) {
      if (std::distance(fs::directory_iterator(dir), fs::directory_iterator()) > 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto sent = std::chrono::steady_clock::now();
    for (const int signal : signals) {
      kill(started.pid, signal);
      // Lets the first be taken before the second comes, not merged with it.
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const ProgramRun run = WaitProgram(started);
    EXPECT_LT(std::chrono::steady_clock::now() - sent, kStopLimit);
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    EXPECT_EQ(ReadWholeFile(out), std::vector<std::uint8_t>({'o', 'l', 'd'}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
  }
}

}  // namespace
}  // namespace kelvra::test
