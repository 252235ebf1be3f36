// sonex -info run as a program: the exact lines it prints, what it does with
// files that are not FLV, and that it writes nothing and loads no codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "reader/reader_test_util.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

// Runs sonex with `arguments` (shell words) in a fresh empty folder; fails
// the test when the program wrote into the folder.
ProgramRun RunSonexIn(const std::string& arguments) {
  const std::string folder = TestTempDir() + "/info_run";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const ProgramRun run = RunShell("cd '" + folder + "' && '" + SonexPath() + "' " + arguments);
  EXPECT_TRUE(fs::is_empty(folder)) << arguments;
  return run;
}

struct InfoRow {
  const char* name;
  std::string arguments;
  std::string out, err;
};

class SonexInfo : public testing::TestWithParam<InfoRow> {};

TEST_P(SonexInfo, PrintsExactly) {
  const InfoRow& row = GetParam();
  const ProgramRun run = RunSonexIn(row.arguments);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, row.out);
  EXPECT_EQ(run.err, row.err);
}

// Audio ends at 60 ms, video at 200 ms plus one frame at 15 frames/s; video
// bodies of 8 bytes and audio bodies of 883 bytes over 200 ms.
std::string LinesFile() {
  TaggedFlv flv;
  flv.Pcm(0).Key(0).Pcm(20).Pcm(40).Inter(100).Inter(200);
  return "'" + flv.Write("info_lines.flv") + "'";
}

std::string TextFile() {
  const std::string text = TestTempDir() + "/notes.txt";
  std::ofstream(text) << "not a video at all\n";
  return "'" + text + "'";
}

const char* const kLines =
    "size: 320x240\nvideo bit rate: 0.960kbps\nframe rate: 15.00\nsample rate: 44100Hz\n"
    "channels: 1\naudio bit rate: 105960bps\nduration: 266ms\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, SonexInfo,
    testing::Values(
        InfoRow{"EveryLineAndTheLaterEndTime", "-info " + LinesFile(), kLines, ""},
        // Conversion options beside -info are ignored; nothing is written.
        InfoRow{"ConversionOptionsIgnored",
                "-info " + LinesFile() + " -i " + LinesFile() + " -out c.mp3 -fmt wav", kLines, ""},
        InfoRow{"TextFileGivesAZeroDuration", "-info " + TextFile(), "duration: 0ms\n", ""},
        InfoRow{"MissingFileGivesTheMessage", "-info /nonexistent/no_such_file.flv", "",
                "Fail to get the FLV information. It probably is not a FLV file.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// -info reads the file's tags only: neither the codec bridges nor FFmpeg are
// loaded (the dynamic loader's own account of the libraries it opens).
TEST(SonexInfoLoader, LoadsNoCodecLibrary) {
  const ProgramRun run = RunShell("LD_DEBUG=libs '" + SonexPath() + "' -info '" +
                                  FixturePath("real/ruffle-rs_ruffle_square.flv") + "' 2>&1 >/dev/null");
  EXPECT_EQ(run.exitCode, 0);
  const std::string& loaded = run.out;
  EXPECT_NE(loaded.find("libkelvra.so"), std::string::npos) << "no loader account:\n" << loaded;
  for (const char* library : {"libavcodec", "libavformat", "libvexmar", "libmorlin", "libpellow"}) {
    EXPECT_EQ(loaded.find(library), std::string::npos) << library << " loaded:\n" << loaded;
  }
}

}  // namespace
}  // namespace kelvra::test
