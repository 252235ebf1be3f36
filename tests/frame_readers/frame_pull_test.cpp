// The frame_pull example (a C client of kelvra.h) run as a program, checked
// with FFmpeg's own tools.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr int kRgbBytes = 3;
constexpr int kFps = 25;

std::string Quote(const std::string& text) { return "'" + text + "'"; }

std::string FramePull() { return std::string(KELVRA_BINARY_DIR) + "/bin/frame_pull"; }

// "key=value" lines as ffprobe prints them with -of default=nw=1.
std::string Field(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
  }
  return "";
}

FlvSpec AudioVideoFile() {
  FlvSpec file;
  file.audio = AudioCodec::kMp3;
  file.sampleRate = 44100;
  file.channels = 2;
  file.video = VideoCodec::kH263;
  file.width = kWidth;
  file.height = kHeight;
  file.fps = kFps;
  file.durationMs = 2000;
  return file;
}

// A binary PPM's pixels; empty when the header is not "P6 width height 255".
std::vector<std::uint8_t> ReadPpm(const std::string& path, int width, int height) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int w = 0;
  int h = 0;
  int maxValue = 0;
  in >> magic >> w >> h >> maxValue;
  in.get();  // the one white-space byte before the pixels
  if (!in || magic != "P6" || w != width || h != height || maxValue != 255) return {};
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * kRgbBytes);
  in.read(reinterpret_cast<char*>(pixels.data()), static_cast<std::streamsize>(pixels.size()));
  if (in.gcount() != static_cast<std::streamsize>(pixels.size()) || in.peek() != EOF) return {};
  return pixels;
}

// Frame n of the file as FFmpeg decodes it, as RGB rows top first.
std::vector<std::uint8_t> FfmpegFrame(const std::string& flv, int n) {
  const std::string raw = TestTempDir() + "/ffmpeg_frame_" + std::to_string(n) + ".rgb";
  const ProgramRun made = RunShell("ffmpeg -v error -y -i " + Quote(flv) + " -vf 'select=eq(n\\," +
                                 std::to_string(n) + ")' -vsync 0 -frames:v 1 -f rawvideo " +
                                 "-pix_fmt rgb24 " + Quote(raw));
  if (made.exitCode != 0) return {};
  return ReadWholeFile(raw);
}

double MeanDifference(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 1e9;
  double sum = 0;
  for (std::size_t i = 0; i < a.size(); ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(a.size());
}

TEST(FramePull, WritesTheAudioAsWavAndFrameNAsPpm) {
  const std::string flv = GenerateFlv(AudioVideoFile());
  ASSERT_FALSE(flv.empty());
  const std::string wav = TestTempDir() + "/frame_pull.wav";
  const std::string ppm = TestTempDir() + "/frame_pull.ppm";
  constexpr int kFrame = 17;
  const ProgramRun pulled = RunShell(Quote(FramePull()) + " " + Quote(flv) + " " + Quote(wav) + " " +
                                   std::to_string(kFrame) + " " + Quote(ppm) + " " +
                                   std::to_string(kFps));
  ASSERT_EQ(pulled.exitCode, 0);

  const ProgramRun probe =
      RunShell("ffprobe -v error -show_entries stream=codec_name,sample_rate,channels "
          "-show_entries format=duration -of default=nw=1 " + Quote(wav));
  ASSERT_EQ(probe.exitCode, 0);
  EXPECT_EQ(Field(probe.out, "codec_name"), "pcm_s16le");
  EXPECT_EQ(Field(probe.out, "sample_rate"), "44100");
  EXPECT_EQ(Field(probe.out, "channels"), "2");
  // Two seconds of sound, give or take the MP3 encoder's delay, the last
  // tag's length and the last 4096-byte read.
  EXPECT_NEAR(std::atof(Field(probe.out, "duration").c_str()), 2.0, 0.15);

  const std::vector<std::uint8_t> picture = ReadPpm(ppm, kWidth, kHeight);
  ASSERT_FALSE(picture.empty()) << "not a " << kWidth << "x" << kHeight << " PPM";
  const std::vector<std::uint8_t> same = FfmpegFrame(flv, kFrame);
  const std::vector<std::uint8_t> other = FfmpegFrame(flv, kFrame + 12);
  ASSERT_EQ(same.size(), picture.size());
  ASSERT_EQ(other.size(), picture.size());
  // Colour conversion may differ by a little; another frame of the moving
  // test pattern, or the rows upside down, differ by much more.
  const double sameDifference = MeanDifference(picture, same);
  EXPECT_LT(sameDifference, 3.0);
  EXPECT_LT(sameDifference * 3, MeanDifference(picture, other));
}

TEST(FramePull, BadArgumentsAndMissingFiles) {
  const std::string wav = TestTempDir() + "/bad.wav";
  EXPECT_EQ(RunShell(Quote(FramePull()) + " 2>/dev/null").exitCode, 1);
  EXPECT_EQ(RunShell(Quote(FramePull()) + " a.flv " + Quote(wav) + " x out.ppm 2>/dev/null").exitCode, 1);
  EXPECT_EQ(RunShell(Quote(FramePull()) + " a.flv " + Quote(wav) + " 3 out.ppm 0 2>/dev/null").exitCode, 1);
  EXPECT_EQ(RunShell(Quote(FramePull()) + " /nonexistent.flv " + Quote(wav) + " 2>/dev/null").exitCode, 2);
  const std::string flv = GenerateFlv(AudioVideoFile());
  EXPECT_EQ(RunShell(Quote(FramePull()) + " " + Quote(flv) + " /nonexistent/dir/a.wav 2>/dev/null").exitCode, 3);
}

}  // namespace
}  // namespace kelvra::test
