// sonex -info run as a program: the exact lines it prints for a built file and
// for one that is not FLV, and that it writes nothing and loads no codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

struct InfoRow {
  const char* name;
  std::vector<std::string> arguments;
  std::string out, err;
};

class SonexInfo : public testing::TestWithParam<InfoRow> {};

TEST_P(SonexInfo, PrintsExactlyAndWritesNothing) {
  const std::string folder = TestTempDir() + "/info_run";
  fs::remove_all(folder);
  fs::create_directories(folder);
  const ProgramRun run = RunSonex(GetParam().arguments, folder);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, GetParam().out);
  EXPECT_EQ(run.err, GetParam().err);
  EXPECT_TRUE(fs::is_empty(folder));
}

// PCM 44.1 kHz 8-bit mono, 20 ms a tag: audio ends at 60 ms, video at 200 ms
// plus one frame at 15 frames/s; video bodies of 8 bytes and audio bodies of
// 883 bytes over 200 ms.
std::string LinesFile() {
  FlvBuilder b;
  b.Header().Audio(0, 3, 3, 0, 0, Bytes(882, 0x80)).Video(0, 1, 2, H263PictureHeader(5));
  b.Audio(20, 3, 3, 0, 0, Bytes(882, 0x80)).Audio(40, 3, 3, 0, 0, Bytes(882, 0x80));
  b.Video(100, 2, 2, H263PictureHeader(2)).Video(200, 2, 2, H263PictureHeader(2));
  const std::string path = TestTempDir() + "/info_lines.flv";
  b.WriteTo(path);
  return path;
}

std::string TextFile() {
  const std::string text = TestTempDir() + "/notes.txt";
  std::ofstream(text) << "not a video at all\n";
  return text;
}

const char* const kLines =
    "size: 320x240\nvideo bit rate: 0.960kbps\nframe rate: 15.00\nsample rate: 44100Hz\n"
    "channels: 1\naudio bit rate: 105960bps\nduration: 266ms\n";

INSTANTIATE_TEST_SUITE_P(
    Rows, SonexInfo,
    testing::Values(
        InfoRow{"EveryLineAndTheLaterEndTime", {"-info", LinesFile()}, kLines, ""},
        InfoRow{"TextFileGivesAZeroDuration", {"-info", TextFile()}, "duration: 0ms\n", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// -info reads the file's tags only: neither the codec bridges nor FFmpeg are
// loaded (the dynamic loader's own account of the libraries it opens).
TEST(SonexInfoLoader, LoadsNoCodecLibrary) {
  const ProgramRun run =
      RunShell("LD_DEBUG=libs '" + SonexPath() + "' -info '" +
               FixturePath("real/ruffle-rs_ruffle_square.flv") + "' 2>&1 >/dev/null");
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("libkelvra.so"), std::string::npos) << "no loader account:\n" << run.out;
  for (const char* library : {"libavcodec", "libavformat", "libvexmar", "libmorlin", "libpellow"}) {
    EXPECT_EQ(run.out.find(library), std::string::npos) << library << " loaded:\n" << run.out;
  }
}

}  // namespace
}  // namespace kelvra::test
