// The frame_pull example (a C client of kelvra.h) run as a program: the end-
// to-end row of the frame readers, checked with FFmpeg's own tools.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

std::string Quote(const std::string& text) { return "'" + text + "'"; }
const std::string kFramePull = Quote(std::string(KELVRA_BINARY_DIR) + "/bin/frame_pull");

// Frame n of the file as FFmpeg decodes it: RGB rows top first.
Bytes FfmpegFrame(const std::string& flv, int n) {
  const std::string raw = TestTempDir() + "/ffmpeg_frame_" + std::to_string(n) + ".rgb";
  EXPECT_EQ(RunShell("ffmpeg -v error -y -i " + Quote(flv) + " -vf 'select=eq(n\\," + std::to_string(n) +
                     ")' -vsync 0 -frames:v 1 -f rawvideo -pix_fmt rgb24 " + Quote(raw)).exitCode, 0);
  return ReadWholeFile(raw);
}

double MeanDifference(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (std::size_t i = 0; i < a.size() && a.size() == b.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return a.size() == b.size() && !a.empty() ? sum / static_cast<double>(a.size()) : 1e9;
}

TEST(FramePull, WritesTheAudioAsWavAndFrameNAsPpm) {
  const std::string flv = GenerateFlv({.audio = AudioCodec::kMp3, .sampleRate = 44100, .channels = 2,
                                       .video = VideoCodec::kH263, .fps = 25, .durationMs = 2000});
  const std::string wav = TestTempDir() + "/frame_pull.wav";
  const std::string ppm = TestTempDir() + "/frame_pull.ppm";
  ASSERT_EQ(RunShell(kFramePull + " " + Quote(flv) + " " + Quote(wav) + " 17 " + Quote(ppm) + " 25").exitCode, 0);
  const ProgramRun probe = RunShell("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
                                    "-show_entries format=duration -of default=nw=1 " + Quote(wav));
  ASSERT_EQ(probe.exitCode, 0);
  EXPECT_NE(probe.out.find("codec_name=pcm_s16le\nsample_rate=44100\nchannels=2\n"), std::string::npos) << probe.out;
  // Two seconds, give or take the MP3 delay, the last tag and the last read.
  EXPECT_NEAR(std::atof(probe.out.c_str() + probe.out.find("duration=") + 9), 2.0, 0.15) << probe.out;

  const Bytes file = ReadWholeFile(ppm);
  const std::string header = "P6\n160 120\n255\n";
  ASSERT_EQ(file.size(), header.size() + 160 * 120 * 3);
  ASSERT_EQ(std::string(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(header.size())), header);
  const Bytes picture(file.begin() + static_cast<std::ptrdiff_t>(header.size()), file.end());
  // Colour conversion may differ by a little; another frame of the moving
  // pattern, or the rows upside down, by much more.
  const double same = MeanDifference(picture, FfmpegFrame(flv, 17));
  EXPECT_LT(same, 3.0);
  EXPECT_LT(same * 3, MeanDifference(picture, FfmpegFrame(flv, 29)));
}

}  // namespace
}  // namespace kelvra::test
