// The bridge's video decoders (VDD_) and the Morlin VP6 library: FLV video
// into BGRA pictures and alpha planes, compared with FFmpeg's own decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
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

constexpr int kMorlinTopFirst = 1, kMorlinVp6 = 4;

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

// A copy of a picture (a decoder's own buffer lives until its next call).
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

// A bridge decoder, or Morlin's top-first VP6 decoder at a declared size.
class Decoder {
 public:
  Decoder(int codecId, int imageFormat, const Bytes& config = {}) : bridge_(VDD_Create()) {
    reopen_ = [=, this] {
      return VDD_SetOutputImageFormat(bridge_, imageFormat) != 0 && VDD_OpenEx(bridge_, codecId, config.data(), static_cast<int>(config.size())) != 0;
    };
    opened_ = reopen_();
  }
  Decoder(int imageFormat, int width, int height) : morlin_(FlvDecoder_Create(kMorlinTopFirst, kMorlinVp6)) {
    reopen_ = [=, this] { return FlvDecoder_Open(morlin_, imageFormat, width, height) != 0; };
    opened_ = reopen_();
  }
  Decoder(const Decoder&) = delete;
  ~Decoder() {
    Close();
    VDD_Delete(bridge_);
    FlvDecoder_Free(morlin_);
  }
  bool opened() const { return opened_; }
  VexmarVideoDecoder* bridge() const { return bridge_; }
  int Close() { return bridge_ ? VDD_Close(bridge_) : FlvDecoder_Close(morlin_); }
  bool Reopen() { return Close() == 1 && reopen_(); }

  bool Decode(const Bytes& frame, Picture* out) {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    const int length = static_cast<int>(frame.size());
    if ((bridge_ ? VDD_Decode(bridge_, frame.data(), length, &picture, &size, &width, &height)
                 : FlvDecoder_DecodeVideo(morlin_, frame.data(), length, &picture, &size, &width, &height)) == 0) {
      return false;
    }
    EXPECT_EQ(static_cast<std::size_t>(size) % (static_cast<std::size_t>(width) * height), 0u);
    *out = Picture{Bytes(picture, picture + size), width, height};
    return true;
  }

 private:
  VexmarVideoDecoder* bridge_ = nullptr;
  MorlinDecoder* morlin_ = nullptr;
  std::function<bool()> reopen_;
  bool opened_ = false;
};

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
  const bool vp6 = c.codecId == VEXMAR_CODEC_VP6F;
  ASSERT_EQ(video.width, c.width);
  ASSERT_EQ(video.height, c.height);
  const int width = vp6 ? (c.width + 15) / 16 * 16 : c.width, height = vp6 ? (c.height + 15) / 16 * 16 : c.height;
  const std::size_t pictureBytes = static_cast<std::size_t>(width) * height * 4;
  const Bytes reference = c.compared ? FfmpegPictures(path, c.compared) : Bytes();
  ASSERT_EQ(reference.size(), pictureBytes * c.compared);
  Decoder bridge(c.codecId, VEXMAR_IMAGE_BGRA), morlin(VEXMAR_IMAGE_BGRA, c.width, c.height);
  ASSERT_TRUE(bridge.opened() && morlin.opened());
  for (std::size_t i = 0; i < video.packets.size(); ++i) {
    SCOPED_TRACE(i);
    Picture picture, topFirst;
    ASSERT_TRUE(bridge.Decode(video.packets[i], &picture));
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    ASSERT_EQ(picture.bytes.size(), pictureBytes);
    for (std::size_t at = 3; at < pictureBytes; at += 4) ASSERT_EQ(picture.bytes[at], 0xFF) << "not opaque at " << at;
    if (vp6) {
      ASSERT_TRUE(morlin.Decode(video.packets[i], &topFirst));
      ASSERT_TRUE(picture.RowsReversed() == topFirst.bytes);
    } else {
      topFirst = picture;
    }
    if (static_cast<int>(i) < c.compared) {
      EXPECT_LT(MeanDifference(topFirst.bytes.data(), reference.data() + i * pictureBytes, pictureBytes), 2.0);
    }
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
  Decoder decoder(c.codecId, VEXMAR_IMAGE_BGRA, video.config);
  ASSERT_TRUE(decoder.opened());
  std::vector<std::int64_t> times;
  const auto receive = [&] {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    std::int64_t time = 0;
    while (VDD_ReceivePicture(decoder.bridge(), &picture, &size, &width, &height, &time) != 0) {
      const std::size_t i = times.size();
      ASSERT_LT(i, static_cast<std::size_t>(frames));
      ASSERT_EQ(static_cast<std::size_t>(size), pictureBytes);
      EXPECT_LT(MeanDifference(picture, reference.data() + i * pictureBytes, pictureBytes), 2.0) << i;
      times.push_back(time);
    }
  };
  for (int i = 0; i < frames; ++i) {
    const Bytes& frame = video.packets[i];
    ASSERT_EQ(VDD_SendPacket(decoder.bridge(), frame.data(), static_cast<int>(frame.size()), video.timesMs[i], video.keyFrames[i] ? 1 : 0), 1) << i;
    receive();
  }
  ASSERT_EQ(VDD_SendPacket(decoder.bridge(), nullptr, 0, 0, 0), 1);
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
  Decoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_ALPHA_PLANE);
  for (std::size_t i = 0; i < 3; ++i) {
    Picture picture;
    ASSERT_TRUE(decoder.Decode(video.packets[i], &picture));
    ASSERT_EQ(picture.bytes.size(), 2 * kPixels);
    for (std::size_t at = 0; at < kPixels; ++at) {
      ASSERT_EQ(picture.bytes[2 * at], yuv[i * kPixels * 3 / 2 + at]) << i << " " << at;
      ASSERT_EQ(picture.bytes[2 * at + 1], 0) << i << " " << at;
    }
  }
  const CodedStream vp6 = ReadVideo(FixturePath("real/mondain_red5_CuePointTest.flv"), 4);
  Decoder bridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_ALPHA_PLANE), morlin(VEXMAR_IMAGE_ALPHA_PLANE, 400, 300);
  for (const Bytes& coded : vp6.packets) {
    Picture bottomFirst, topFirst;
    ASSERT_TRUE(bridge.Decode(coded, &bottomFirst));
    ASSERT_TRUE(morlin.Decode(coded, &topFirst));
    ASSERT_EQ(topFirst.bytes.size(), 400u * 304 * 2);
    for (std::size_t at = 1; at < topFirst.bytes.size(); at += 2) ASSERT_EQ(topFirst.bytes[at], 0) << at;
    EXPECT_TRUE(bottomFirst.RowsReversed() == topFirst.bytes);
  }
}

// The image format may change between frames; close and open again decodes
// from the next key frame, for another codec too.
TEST(VideoDecoderLifecycle, ReopenAndFormatChange) {
  const CodedStream h263 = ReadVideo(FixturePath("real/ruffle-rs_ruffle_square.flv"), 2);
  const CodedStream vp6 = ReadVideo(FixturePath("real/Red5_red5-server_red5.flv"), 1);
  Decoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  Picture first, again, alpha;
  ASSERT_TRUE(decoder.Decode(h263.packets[0], &first));
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.bridge(), VEXMAR_IMAGE_ALPHA_PLANE), 0);
  ASSERT_TRUE(decoder.Decode(h263.packets[1], &alpha));
  EXPECT_EQ(first.bytes.size(), 128u * 96 * 4);
  EXPECT_EQ(alpha.bytes.size(), 128u * 96 * 2);
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.bridge(), VEXMAR_IMAGE_BGRA), 0);
  ASSERT_EQ(VDD_Close(decoder.bridge()), 1);
  ASSERT_NE(VDD_Open(decoder.bridge(), VEXMAR_CODEC_VP6F), 0);
  ASSERT_TRUE(decoder.Decode(vp6.packets[0], &again));
  EXPECT_EQ(again.width * again.height, 480 * 368);
  ASSERT_EQ(VDD_Close(decoder.bridge()), 1);
  EXPECT_FALSE(decoder.Decode(h263.packets[0], &again));  // closed
  ASSERT_NE(VDD_Open(decoder.bridge(), VEXMAR_CODEC_FLV1), 0);
  ASSERT_TRUE(decoder.Decode(h263.packets[0], &again));
  EXPECT_TRUE(again.bytes == first.bytes);
}

// Random bytes (which almost never form a header these decoders accept)
// and a key frame cut short fail quietly; the next key frame gives the very
// same picture, and again after the decoder is closed and opened.
struct GarbageCase {
  const char* name;
  const char* file;
  int codecId;  // 0: Morlin at 400 x 300
};

class Garbage : public testing::TestWithParam<GarbageCase> {};

TEST_P(Garbage, FailsQuietlyAndDoesNotSpoilTheNextKeyFrame) {
  const GarbageCase& c = GetParam();
  const CodedStream video = ReadVideo(FixturePath(std::string("real/") + c.file), 2);
  ASSERT_EQ(video.packets.size(), 2u);
  Decoder decoder = c.codecId ? Decoder(c.codecId, VEXMAR_IMAGE_BGRA) : Decoder(VEXMAR_IMAGE_BGRA, 400, 300);
  Picture first, picture;
  ASSERT_TRUE(decoder.Decode(video.packets[0], &first));
  std::mt19937 random(1234);
  testing::internal::CaptureStderr();
  int accepted = 0;
  for (const std::size_t size : {1u, 2u, 3u, 7u, 16u, 64u, 333u, 4096u}) {
    for (int round = 0; round < 8; ++round) {
      Bytes garbage(size);
      for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
      accepted += decoder.Decode(garbage, &picture);
    }
  }
  const Bytes cut(video.packets[0].begin(), video.packets[0].begin() + video.packets[0].size() / 8);
  const bool cutDecoded = decoder.Decode(cut, &picture);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LE(accepted, 2);
  EXPECT_TRUE(c.codecId != 0 || !cutDecoded);
  ASSERT_TRUE(decoder.Decode(video.packets[0], &picture));
  EXPECT_TRUE(picture.bytes == first.bytes);
  ASSERT_TRUE(decoder.Reopen());
  ASSERT_TRUE(decoder.Decode(video.packets[0], &picture));
  EXPECT_TRUE(picture.bytes == first.bytes);
  EXPECT_TRUE(decoder.Decode(video.packets[1], &picture));
}

INSTANTIATE_TEST_SUITE_P(Codecs, Garbage,
                         testing::Values(GarbageCase{"h263", "ruffle-rs_ruffle_square.flv", VEXMAR_CODEC_FLV1},
                                         GarbageCase{"vp6", "Red5_red5-server_red5.flv", VEXMAR_CODEC_VP6F},
                                         GarbageCase{"morlin", "mondain_red5_CuePointTest.flv", 0}),
                         [](const testing::TestParamInfo<GarbageCase>& info) { return std::string(info.param.name); });

TEST(VideoDecoderRefusals, UnknownCodecsFormatsSizesAndMissingArguments) {
  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  const uint8_t byte = 0;
  VexmarVideoDecoder* decoder = VDD_Create();
  for (const int format : {0, 2, 5, 7, -1}) EXPECT_EQ(VDD_SetOutputImageFormat(decoder, format), 0);
  for (const int codec : {0, 2, 4, 5, 21, 23, 93, 95, -1}) EXPECT_EQ(VDD_Open(decoder, codec), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, &picture, &size, &width, &height), 0);  // not open yet
  ASSERT_NE(VDD_Open(decoder, VEXMAR_CODEC_FLV1), 0);
  EXPECT_EQ(VDD_Decode(decoder, nullptr, 10, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, -5, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, nullptr, &size, &width, &height), 0);
  VDD_Delete(decoder);
  EXPECT_EQ(VDD_Open(nullptr, VEXMAR_CODEC_FLV1), 0);
  EXPECT_EQ(VDD_Decode(nullptr, &byte, 1, &picture, &size, &width, &height), 0);
  VDD_Delete(nullptr);
  // Morlin makes only the top-first VP6 decoder.
  for (const auto& [direction, codec] : {std::pair{0, 4}, {2, 4}, {1, 2}, {1, 94}}) EXPECT_EQ(FlvDecoder_Create(direction, codec), nullptr);
  MorlinDecoder* morlin = FlvDecoder_Create(kMorlinTopFirst, kMorlinVp6);
  for (const int format : {0, 2, 5, 7}) EXPECT_EQ(FlvDecoder_Open(morlin, format, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(morlin, VEXMAR_IMAGE_BGRA, -16, 240), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, &byte, 1, &picture, &size, &width, &height), 0);  // not open
  ASSERT_NE(FlvDecoder_Open(morlin, VEXMAR_IMAGE_BGRA, 0, 0), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, nullptr, 4, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, &byte, 1, &picture, &size, nullptr, &height), 0);
  FlvDecoder_Free(morlin);
  EXPECT_EQ(FlvDecoder_DecodeVideo(nullptr, &byte, 1, &picture, &size, &width, &height), 0);
  FlvDecoder_Free(nullptr);
}

}  // namespace
}  // namespace kelvra::test
