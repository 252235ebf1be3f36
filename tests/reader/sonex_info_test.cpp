// sonex -info run as a program: the exact lines it prints for a built file and
// for one that is not FLV, and that it writes nothing and loads no codec.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

TEST(SonexInfo, PrintsExactlyAndWritesNothing) {
  // PCM 44.1 kHz 8-bit mono, 20 ms a tag: audio ends at 60 ms, video at 200 ms plus one frame at 15
  // frames/s; video bodies of 8 bytes and audio bodies of 883 bytes over 200 ms.
  const std::string flv = TestTempDir() + "/info_lines.flv", text = TestTempDir() + "/notes.txt";
  FlvBuilder b;
  b.Header().Audio(0, 3, 3, 0, 0, Bytes(882, 0x80)).Video(0, 1, 2, H263PictureHeader(5));
  b.Audio(20, 3, 3, 0, 0, Bytes(882, 0x80)).Audio(40, 3, 3, 0, 0, Bytes(882, 0x80));
  b.Video(100, 2, 2, H263PictureHeader(2)).Video(200, 2, 2, H263PictureHeader(2)).WriteTo(flv);
  std::ofstream(text) << "not a video at all\n";
  const std::string folder = TestTempDir() + "/info_run";
  for (const auto& [file, out] :
       {std::pair<std::string, std::string>(
            flv,
            "size: 320x240\nvideo bit rate: 0.960kbps\nframe rate: 15.00\nsample rate: 44100Hz\n"
            "channels: 1\naudio bit rate: 105960bps\nduration: 266ms\n"),
        {text, "duration: 0ms\n"}}) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    const ProgramRun run = RunSonex({"-info", file}, folder);
    EXPECT_EQ(std::tie(run.exitCode, run.out, run.err), std::tuple(0, out, "")) << file;
    EXPECT_TRUE(fs::is_empty(folder));
  }
}

// -info reads the file's tags only: neither the codec bridges nor FFmpeg are
// loaded (the dynamic loader's own account of the libraries it opens).
TEST(SonexInfo, LoadsNoCodecLibrary) {
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
