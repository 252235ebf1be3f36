// The bridge's video decoders (VDD_) and the Morlin VP6 library: FLV video
// into BGRA pictures and alpha planes, compared with FFmpeg's own decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "morlin/morlin.h"
#include "support/coded_stream.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kelvra::test {
namespace {

struct BridgeDeleter {
  void operator()(VexmarVideoDecoder* d) const { VDD_Close(d), VDD_Delete(d); }
};
struct MorlinDeleter {
  void operator()(MorlinDecoder* d) const { FlvDecoder_Close(d), FlvDecoder_Free(d); }
};
using Bridge = std::unique_ptr<VexmarVideoDecoder, BridgeDeleter>;
using Morlin = std::unique_ptr<MorlinDecoder, MorlinDeleter>;

Bridge OpenBridge(int codecId, int imageFormat, const Bytes& config = {}) {
  Bridge decoder(VDD_Create());
  EXPECT_TRUE(VDD_SetOutputImageFormat(decoder.get(), imageFormat) != 0 &&
              VDD_OpenEx(decoder.get(), codecId, config.data(), static_cast<int>(config.size())) != 0);
  return decoder;
}

// Morlin makes only the top-first VP6 decoder; it takes the declared size.
Morlin OpenMorlin(int imageFormat, int width, int height) {
  Morlin decoder(FlvDecoder_Create(1, 4));
  EXPECT_NE(FlvDecoder_Open(decoder.get(), imageFormat, width, height), 0);
  return decoder;
}

// A copy of one picture (a decoder's own buffer lives until its next call);
// empty when the frame is refused.
struct Picture {
  Bytes bytes;
  int width = 0, height = 0;
  Bytes RowsReversed() const {
    Bytes reversed;
    const std::size_t row = bytes.size() / static_cast<std::size_t>(height);
    for (int y = height - 1; y >= 0; --y) reversed.insert(reversed.end(), bytes.begin() + y * row, bytes.begin() + (y + 1) * row);
    return reversed;
  }
};

template <typename DecodeCall>
Picture Take(DecodeCall decode) {
  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  if (decode(&picture, &size, &width, &height) == 0) return {};
  EXPECT_EQ(static_cast<std::size_t>(size) % (static_cast<std::size_t>(width) * height), 0u);
  return {Bytes(picture, picture + size), width, height};
}
Picture Decode(VexmarVideoDecoder* d, const Bytes& f) {
  return Take([&](auto... out) { return VDD_Decode(d, f.data(), static_cast<int>(f.size()), out...); });
}
Picture Decode(MorlinDecoder* d, const Bytes& f) {
  return Take([&](auto... out) { return FlvDecoder_DecodeVideo(d, f.data(), static_cast<int>(f.size()), out...); });
}

CodedStream ReadVideo(const std::string& path, std::size_t maxFrames = 0) {
  Vexmar_init();  // FFmpeg's console messages off, as the program has them
  CodedStream video = ReadCodedStream(path, AVMEDIA_TYPE_VIDEO, false, maxFrames);
  EXPECT_FALSE(video.packets.empty()) << "no video in " << path;
  return video;
}

// The file's first pictures as the ffmpeg program decodes them.
Bytes FfmpegPictures(const std::string& path, int frames, const char* pixelFormat = "bgra") {
  static int counter = 0;
  const std::string out = TestTempDir() + "/reference" + std::to_string(++counter) + ".raw";
  const ProgramRun run = RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-i", path, "-frames:v", std::to_string(frames),
                                               "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", pixelFormat, out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return ReadWholeFile(out);
}

double MeanDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(count);
}

// H.263 pictures come at the declared size, VP6 ones at the coded size
// (whole macroblocks), rows bottom first from the bridge and top first from
// Morlin. The first `compared` are matched against the ffmpeg program's,
// where the declared size is the coded one.
struct FixtureCase {
  const char* file;
  int codecId;
  int width, height;  // declared
  int compared;
};

class FixtureFrames : public testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureFrames, EveryFrameDecodesToAnOpaquePictureOfItsSize) {
  const FixtureCase& c = GetParam();
  const std::string path = FixturePath(std::string("real/") + c.file);
  const CodedStream video = ReadVideo(path);
  ASSERT_EQ(video.width, c.width);
  ASSERT_EQ(video.height, c.height);
  const bool vp6 = c.codecId == VEXMAR_CODEC_VP6F;
  const int width = vp6 ? (c.width + 15) / 16 * 16 : c.width, height = vp6 ? (c.height + 15) / 16 * 16 : c.height;
  const std::size_t pictureBytes = static_cast<std::size_t>(width) * height * 4;
  const Bytes reference = c.compared ? FfmpegPictures(path, c.compared) : Bytes();
  ASSERT_EQ(reference.size(), pictureBytes * c.compared);
  Bridge bridge = OpenBridge(c.codecId, VEXMAR_IMAGE_BGRA);
  Morlin morlin = OpenMorlin(VEXMAR_IMAGE_BGRA, c.width, c.height);
  for (std::size_t i = 0; i < video.packets.size(); ++i) {
    SCOPED_TRACE(i);
    const Picture picture = Decode(bridge.get(), video.packets[i]);
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    ASSERT_EQ(picture.bytes.size(), pictureBytes);
    for (std::size_t at = 3; at < pictureBytes; at += 4) ASSERT_EQ(picture.bytes[at], 0xFF) << "not opaque at " << at;
    const Bytes topFirst = vp6 ? Decode(morlin.get(), video.packets[i]).bytes : picture.bytes;
    ASSERT_TRUE(!vp6 || picture.RowsReversed() == topFirst);
    EXPECT_TRUE(static_cast<int>(i) >= c.compared || MeanDifference(topFirst.data(), &reference[i * pictureBytes], pictureBytes) < 2.0);
  }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, FixtureFrames,
                         testing::Values(FixtureCase{"ruffle-rs_ruffle_square.flv", VEXMAR_CODEC_FLV1, 128, 96, 0},
                                         FixtureCase{"apache_flex-sdk_short.flv", VEXMAR_CODEC_FLV1, 320, 240, 0},
                                         FixtureCase{"Red5_red5-server_red5.flv", VEXMAR_CODEC_VP6F, 480, 368, 12},
                                         FixtureCase{"mondain_red5_CuePointTest.flv", VEXMAR_CODEC_VP6F, 400, 300, 0},
                                         FixtureCase{"exiftool_exiftool_Flash.flv", VEXMAR_CODEC_VP6F, 192, 154, 0}));

// The codecs whose pictures come top row first, through SendPacket and
// ReceivePicture: in presentation order (H.264 reorders its B-frames) with
// their packets' times, the last ones at the end of the stream, and like
// the ffmpeg program's.
struct PatternCase {
  const char* name;
  int codecId;
  VideoCodec video;     // made at test time ...
  const char* fixture;  // ... unless a generated fixture stands in
};

class TestPattern : public testing::TestWithParam<PatternCase> {};

TEST_P(TestPattern, PicturesInPresentationOrderMatchTheFfmpegProgramsOwnDecode) {
  const PatternCase& c = GetParam();
  // An odd size (not a multiple of 8 or 16) on purpose: H.264 crops it.
  const std::string path = c.fixture ? FixturePath(c.fixture)
                                     : GenerateFlv(FlvSpec{.audio = AudioCodec::kNone, .video = c.video, .width = 200, .height = 150, .durationMs = 1000});
  const CodedStream video = ReadVideo(path);
  ASSERT_GE(video.packets.size(), 15u);
  const int frames = static_cast<int>(video.packets.size());
  const Bytes reference = FfmpegPictures(path, frames);
  const std::size_t pictureBytes = static_cast<std::size_t>(video.width) * video.height * 4;
  ASSERT_EQ(reference.size(), pictureBytes * frames);
  Bridge decoder = OpenBridge(c.codecId, VEXMAR_IMAGE_BGRA, video.config);
  std::vector<std::int64_t> times;
  const auto receive = [&] {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    std::int64_t time = 0;
    while (VDD_ReceivePicture(decoder.get(), &picture, &size, &width, &height, &time) != 0) {
      const std::size_t i = times.size();
      ASSERT_LT(i, static_cast<std::size_t>(frames));
      ASSERT_EQ(static_cast<std::size_t>(size), pictureBytes);
      EXPECT_LT(MeanDifference(picture, &reference[i * pictureBytes], pictureBytes), 2.0) << i;
      times.push_back(time);
    }
  };
  for (int i = 0; i < frames; ++i) {
    const Bytes& frame = video.packets[i];
    ASSERT_EQ(VDD_SendPacket(decoder.get(), frame.data(), static_cast<int>(frame.size()), video.timesMs[i], video.keyFrames[i] ? 1 : 0), 1) << i;
    receive();
  }
  ASSERT_EQ(VDD_SendPacket(decoder.get(), nullptr, 0, 0, 0), 1);
  receive();
  std::vector<std::int64_t> expected = video.timesMs;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(times, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, TestPattern,
    testing::Values(PatternCase{"h263", VEXMAR_CODEC_FLV1, VideoCodec::kH263, nullptr},
                    PatternCase{"h264", VEXMAR_CODEC_H264, VideoCodec::kH264, nullptr},
                    PatternCase{"screen", VEXMAR_CODEC_FLASHSV, VideoCodec::kScreenVideo, nullptr},
                    PatternCase{"screen2", VEXMAR_CODEC_FLASHSV2, VideoCodec::kNone, "generated/gen_flashsv2_160x120.flv"}),
    [](const testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

// An alpha plane is two bytes a pixel, the luma value then zero (a VP6
// alpha part is an ordinary VP6 frame whose luma is the alpha).
TEST(AlphaPlane, LumaValueThenZeroPerPixel) {
  const std::string h263 = GenerateFlv(FlvSpec{.audio = AudioCodec::kNone, .video = VideoCodec::kH263, .width = 200, .height = 150, .durationMs = 1000});
  const CodedStream video = ReadVideo(h263, 3);
  const Bytes yuv = FfmpegPictures(h263, 3, "yuv420p");  // luma plane first
  constexpr std::size_t kPixels = 200 * 150;
  ASSERT_EQ(yuv.size(), 3 * kPixels * 3 / 2);
  Bridge decoder = OpenBridge(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_ALPHA_PLANE);
  for (std::size_t i = 0; i < 3; ++i) {
    const Picture picture = Decode(decoder.get(), video.packets[i]);
    ASSERT_EQ(picture.bytes.size(), 2 * kPixels);
    for (std::size_t at = 0; at < kPixels; ++at) {
      ASSERT_TRUE(picture.bytes[2 * at] == yuv[i * kPixels * 3 / 2 + at] && picture.bytes[2 * at + 1] == 0) << i << " " << at;
    }
  }
  const CodedStream vp6 = ReadVideo(FixturePath("real/mondain_red5_CuePointTest.flv"), 4);
  Bridge bridge = OpenBridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_ALPHA_PLANE);
  Morlin morlin = OpenMorlin(VEXMAR_IMAGE_ALPHA_PLANE, 400, 300);
  for (const Bytes& coded : vp6.packets) {
    const Bytes topFirst = Decode(morlin.get(), coded).bytes;
    ASSERT_EQ(topFirst.size(), 400u * 304 * 2);
    for (std::size_t at = 1; at < topFirst.size(); at += 2) ASSERT_EQ(topFirst[at], 0) << at;
    EXPECT_TRUE(Decode(bridge.get(), coded).RowsReversed() == topFirst);
  }
}

// The image format may change between frames. Random bytes (which almost
// never form a header) fail quietly and spoil nothing; close and open again
// decode from the next key frame, for another codec too. Unknown codecs,
// formats and sizes are refused.
TEST(VideoDecoderLifecycle, FormatChangeGarbageReopenAndRefusals) {
  const std::vector<Bytes> h263 = ReadVideo(FixturePath("real/ruffle-rs_ruffle_square.flv"), 2).packets;
  Bridge decoder = OpenBridge(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  const Picture first = Decode(decoder.get(), h263[0]);
  EXPECT_EQ(first.bytes.size(), 128u * 96 * 4);
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.get(), VEXMAR_IMAGE_ALPHA_PLANE), 0);
  EXPECT_EQ(Decode(decoder.get(), h263[1]).bytes.size(), 128u * 96 * 2);
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.get(), VEXMAR_IMAGE_BGRA), 0);
  std::mt19937 random(1234);
  testing::internal::CaptureStderr();
  int accepted = 0;
  for (const std::size_t size : {0u, 1u, 2u, 3u, 7u, 16u, 64u, 333u, 4096u}) {
    for (int round = 0; round < 8; ++round) {
      Bytes garbage(size);
      for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
      accepted += !Decode(decoder.get(), garbage).bytes.empty();
    }
  }
  Decode(decoder.get(), Bytes(h263[0].begin(), h263[0].begin() + h263[0].size() / 8));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LE(accepted, 2);
  EXPECT_TRUE(Decode(decoder.get(), h263[0]).bytes == first.bytes);
  ASSERT_EQ(VDD_Close(decoder.get()), 1);
  EXPECT_TRUE(Decode(decoder.get(), h263[0]).bytes.empty());  // closed
  ASSERT_NE(VDD_Open(decoder.get(), VEXMAR_CODEC_VP6F), 0);
  const Picture vp6 = Decode(decoder.get(), ReadVideo(FixturePath("real/Red5_red5-server_red5.flv"), 1).packets[0]);
  EXPECT_TRUE(vp6.width == 480 && vp6.height == 368);
  ASSERT_EQ(VDD_Close(decoder.get()), 1);
  for (const int format : {0, 2, 5, 7, -1}) EXPECT_EQ(VDD_SetOutputImageFormat(decoder.get(), format), 0);
  for (const int codec : {0, 2, 4, 5, 21, 23, 93, 95, -1}) EXPECT_EQ(VDD_Open(decoder.get(), codec), 0);
  ASSERT_NE(VDD_Open(decoder.get(), VEXMAR_CODEC_FLV1), 0);
  EXPECT_TRUE(Decode(decoder.get(), h263[0]).bytes == first.bytes);
  EXPECT_FALSE(Decode(decoder.get(), h263[1]).bytes.empty());
  for (const auto& [direction, codec] : {std::pair{0, 4}, {2, 4}, {1, 2}, {1, 94}}) EXPECT_EQ(FlvDecoder_Create(direction, codec), nullptr);
  Morlin morlin(FlvDecoder_Create(1, 4));
  for (const int format : {0, 2, 5, 7}) EXPECT_EQ(FlvDecoder_Open(morlin.get(), format, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(morlin.get(), VEXMAR_IMAGE_BGRA, -16, 240), 0);
  EXPECT_TRUE(Decode(morlin.get(), h263[0]).bytes.empty());  // not open
}

}  // namespace
}  // namespace kelvra::test
