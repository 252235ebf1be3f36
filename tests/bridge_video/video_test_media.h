// Media for the video bridge tests: coded video frames read from FLV files
// with libavformat, FLV files made with the ffmpeg program, and reference
// pictures decoded by the ffmpeg program.
#ifndef KELVRA_TESTS_BRIDGE_VIDEO_VIDEO_TEST_MEDIA_H
#define KELVRA_TESTS_BRIDGE_VIDEO_VIDEO_TEST_MEDIA_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::test {

struct CodedVideo {
  std::string codecName;  // libavcodec's name: "flv", "vp6f", "h264" ...
  int width = 0;          // as the demuxer reports it (declared size)
  int height = 0;
  std::vector<std::vector<std::uint8_t>> frames;
  std::vector<bool> keyFrames;
  std::vector<std::int64_t> timesMs;  // presentation times
  std::vector<std::uint8_t> config;  // the codec's configuration (H.264)
};

// Every video packet of the file, in order; at most maxFrames (0: all).
// Fails the test and returns no frames when the file cannot be read.
CodedVideo ReadCodedVideo(const std::string& path, std::size_t maxFrames = 0);

// Makes an FLV file with Sorenson H.263 video from an ffmpeg lavfi source
// ("testsrc=size=176x144:rate=15") and returns its path; "" (and a test
// failure) when ffmpeg fails. Files are cached per process.
std::string MakeH263Flv(const std::string& name, const std::string& lavfiSource, double seconds);

// The file's pictures as the ffmpeg program decodes them to BGRA, frame
// after frame, each width x height x 4 bytes.
std::vector<std::uint8_t> DecodeWithFfmpegProgram(const std::string& path, int maxFrames);

// A per-process folder, removed at exit.
std::string ScratchDir();

std::string RealFixture(const std::string& name);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BRIDGE_VIDEO_VIDEO_TEST_MEDIA_H
