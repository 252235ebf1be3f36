// The frame_pull example (a C client of kelvra.h) run as a program: the end-
// to-end row of the frame readers, checked with FFmpeg's own tools.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }

TEST(FramePull, WritesTheAudioAsWavAndFrameNAsPpm) {
  const std::string flv = GenerateFlv({.audio = AudioCodec::kMp3, .sampleRate = 44100, .channels = 2,
                                       .video = VideoCodec::kH263, .fps = 25, .durationMs = 2000});
  const std::string wav = TestTempDir() + "/frame_pull.wav", ppm = TestTempDir() + "/frame_pull.ppm";
  ASSERT_EQ(RunShell(Quote(std::string(KELVRA_BINARY_DIR) + "/bin/frame_pull") + " " + Quote(flv) + " " + Quote(wav) +
                     " 17 " + Quote(ppm) + " 25").exitCode, 0);
  const ProgramRun probe = RunShell("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
                                    "-show_entries format=duration -of default=nw=1 " + Quote(wav));
  EXPECT_NE(probe.out.find("codec_name=pcm_s16le\nsample_rate=44100\nchannels=2\n"), std::string::npos) << probe.out;
  // Two seconds, give or take the MP3 delay, the last tag and the last read.
  ASSERT_NE(probe.out.find("duration="), std::string::npos);
  EXPECT_NEAR(std::atof(probe.out.c_str() + probe.out.find("duration=") + 9), 2.0, 0.15);

  const Bytes file = ReadWholeFile(ppm);
  const std::string header = "P6\n160 120\n255\n";
  ASSERT_EQ(file.size(), header.size() + 160 * 120 * 3);
  ASSERT_EQ(std::string(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(header.size())), header);
  // Frame n as FFmpeg decodes it differs by a little colour conversion;
  // another frame of the moving pattern, or the rows upside down, by more.
  auto differenceTo = [&](int n) {
    const std::string raw = TestTempDir() + "/ffmpeg_frame.rgb";
    EXPECT_EQ(RunShell("ffmpeg -v error -y -i " + Quote(flv) + " -vf 'select=eq(n\\," + std::to_string(n) +
                       ")' -vsync 0 -frames:v 1 -f rawvideo -pix_fmt rgb24 " + Quote(raw)).exitCode, 0);
    const Bytes frame = ReadWholeFile(raw);
    double sum = frame.size() + header.size() == file.size() ? 0 : 1e9;
    for (std::size_t i = 0; sum < 1e9 && i < frame.size(); ++i) sum += std::abs(frame[i] - file[header.size() + i]);
    return sum / static_cast<double>(frame.size() + 1);
  };
  const double same = differenceTo(17);
  EXPECT_LT(same, 3.0);
  EXPECT_LT(same * 3, differenceTo(29));
}

}  // namespace
}  // namespace kelvra::test
