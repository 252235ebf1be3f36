// The bridge's video decoders (VDD_ family) and the Morlin VP6 library: H.263,
// VP6, H.264 and screen video frames from real and generated FLV files into
// BGRA pictures and alpha planes, compared with FFmpeg's own decoding.
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

using Frame = std::vector<std::uint8_t>;
constexpr int kMacroblock = 16;
constexpr int kBgraBytes = 4;
constexpr int kAlphaPlaneBytes = 2;  // the value, then a zero
constexpr double kMaxMeanDifference = 2.0;
constexpr int kMorlinTopFirst = 1, kMorlinVp6 = 4;

// The video packets of a file (at most maxFrames, 0: all).
CodedStream ReadCodedVideo(const std::string& path, std::size_t maxFrames = 0) {
  CodedStream video = ReadCodedStream(path, AVMEDIA_TYPE_VIDEO, false, maxFrames);
  EXPECT_FALSE(video.packets.empty()) << "no video in " << path;
  return video;
}

// The file's pictures as the ffmpeg program decodes them to BGRA.
std::vector<std::uint8_t> DecodeWithFfmpegProgram(const std::string& path, int frames) {
  static int counter = 0;
  const std::string out = TestTempDir() + "/reference" + std::to_string(++counter) + ".bgra";
  const ProgramRun run = RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-i", path, "-frames:v", std::to_string(frames),
                                               "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "bgra", out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return ReadWholeFile(out);
}

double MeanAbsoluteDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(count);
}

// A copy of a picture (a decoder's own buffer lives until its next call).
struct Picture {
  Frame bytes;
  int width = 0, height = 0;
  Frame RowsReversed() const {
    Frame reversed;
    const std::size_t row = bytes.size() / static_cast<std::size_t>(height);
    for (int y = height - 1; y >= 0; --y) reversed.insert(reversed.end(), bytes.begin() + y * row, bytes.begin() + (y + 1) * row);
    return reversed;
  }
  bool Opaque() const {
    for (std::size_t i = 3; i < bytes.size(); i += kBgraBytes) {
      if (bytes[i] != 0xFF) return false;
    }
    return true;
  }
};

// A bridge (VDD) or Morlin decoder opened for one codec and image format;
// closed and deleted with the scope.
class Decoder {
 public:
  Decoder(int codecId, int imageFormat, const Frame& config = {}) : bridge_(VDD_Create()) {
    open_ = [=, this] {
      return VDD_SetOutputImageFormat(bridge_, imageFormat) != 0 && VDD_OpenEx(bridge_, codecId, config.data(), static_cast<int>(config.size())) != 0;
    };
    opened_ = open_();
  }
  // Morlin's top-first VP6 decoder at the declared size.
  Decoder(int imageFormat, int width, int height) : morlin_(FlvDecoder_Create(kMorlinTopFirst, kMorlinVp6)) {
    open_ = [=, this] { return FlvDecoder_Open(morlin_, imageFormat, width, height) != 0; };
    opened_ = open_();
  }
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  ~Decoder() {
    Close();
    VDD_Delete(bridge_);
    FlvDecoder_Free(morlin_);
  }
  bool opened() const { return opened_; }
  VexmarVideoDecoder* bridge() const { return bridge_; }
  int Close() { return bridge_ ? VDD_Close(bridge_) : FlvDecoder_Close(morlin_); }
  bool Reopen() { return Close() == 1 && open_(); }

  bool Decode(const Frame& frame, Picture* out) {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    const int length = static_cast<int>(frame.size());
    if ((bridge_ ? VDD_Decode(bridge_, frame.data(), length, &picture, &size, &width, &height)
                 : FlvDecoder_DecodeVideo(morlin_, frame.data(), length, &picture, &size, &width, &height)) == 0) {
      return false;
    }
    EXPECT_EQ(static_cast<std::size_t>(size) % (static_cast<std::size_t>(width) * height), 0u);
    out->bytes.assign(picture, picture + size);
    out->width = width;
    out->height = height;
    return true;
  }

 private:
  VexmarVideoDecoder* bridge_ = nullptr;
  MorlinDecoder* morlin_ = nullptr;
  std::function<bool()> open_;
  bool opened_ = false;
};

// ---- every frame of the real files ----

// H.263 pictures come at the declared size. VP6 comes at the coded size
// (whole macroblocks): the bridge hands the rows bottom first, Morlin top first.
struct FixtureCase {
  const char* file;
  int codecId;
  int width, height;  // declared
};

class FixtureFramesTest : public testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureFramesTest, EveryFrameDecodesToAnOpaquePictureOfItsSize) {
  const FixtureCase& c = GetParam();
  const CodedStream video = ReadCodedVideo(FixturePath(std::string("real/") + c.file));
  const bool vp6 = c.codecId == VEXMAR_CODEC_VP6F;
  ASSERT_STREQ(avcodec_get_name(video.codec), vp6 ? "vp6f" : "flv1");
  ASSERT_EQ(video.width, c.width);
  ASSERT_EQ(video.height, c.height);
  const int width = vp6 ? (c.width + kMacroblock - 1) / kMacroblock * kMacroblock : c.width;
  const int height = vp6 ? (c.height + kMacroblock - 1) / kMacroblock * kMacroblock : c.height;
  Decoder bridge(c.codecId, VEXMAR_IMAGE_BGRA);
  Decoder morlin(VEXMAR_IMAGE_BGRA, c.width, c.height);
  ASSERT_TRUE(bridge.opened() && morlin.opened());
  for (std::size_t i = 0; i < video.packets.size(); ++i) {
    Picture picture, topFirst;
    ASSERT_TRUE(bridge.Decode(video.packets[i], &picture)) << "frame " << i;
    ASSERT_EQ(picture.width, width);
    ASSERT_EQ(picture.height, height);
    ASSERT_EQ(picture.bytes.size(), static_cast<std::size_t>(width * height * kBgraBytes));
    ASSERT_TRUE(picture.Opaque()) << "frame " << i;
    if (vp6) {
      ASSERT_TRUE(morlin.Decode(video.packets[i], &topFirst)) << "frame " << i;
      ASSERT_EQ(topFirst.width, width);
      ASSERT_EQ(topFirst.height, height);
      ASSERT_TRUE(picture.RowsReversed() == topFirst.bytes) << "frame " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, FixtureFramesTest,
                         testing::Values(FixtureCase{"ruffle-rs_ruffle_square.flv", VEXMAR_CODEC_FLV1, 128, 96},
                                         FixtureCase{"apache_flex-sdk_short.flv", VEXMAR_CODEC_FLV1, 320, 240},
                                         FixtureCase{"Red5_red5-server_red5.flv", VEXMAR_CODEC_VP6F, 480, 368},
                                         FixtureCase{"mondain_red5_CuePointTest.flv", VEXMAR_CODEC_VP6F, 400, 300},
                                         FixtureCase{"exiftool_exiftool_Flash.flv", VEXMAR_CODEC_VP6F, 192, 154}));

// ---- against the ffmpeg program's pictures ----

// Every codec whose pictures the bridge hands out top row first, through
// SendPacket and ReceivePicture: the pictures come in presentation order
// (H.264 reorders its B-frames) with their packets' times, the last ones
// at the end of the stream, and match the ffmpeg program's decode.
struct PatternCase {
  const char* name;
  int codecId;
  VideoCodec video;     // made at test time ...
  const char* fixture;  // ... unless a generated fixture stands in
};

class TestPatternTest : public testing::TestWithParam<PatternCase> {};

TEST_P(TestPatternTest, PicturesInPresentationOrderMatchTheFfmpegProgramsOwnDecode) {
  const PatternCase& c = GetParam();
  // An odd size (not a multiple of 8 or 16) on purpose: H.264 crops it.
  const std::string path = c.fixture ? FixturePath(c.fixture)
                                     : GenerateFlv(FlvSpec{.audio = AudioCodec::kNone, .video = c.video, .width = 200, .height = 150, .durationMs = 1000});
  const CodedStream video = ReadCodedVideo(path);
  ASSERT_GE(video.packets.size(), 15u);
  const int frames = static_cast<int>(video.packets.size());
  const std::vector<std::uint8_t> reference = DecodeWithFfmpegProgram(path, frames);
  const std::size_t pictureBytes = static_cast<std::size_t>(video.width) * video.height * kBgraBytes;
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
      EXPECT_LT(MeanAbsoluteDifference(picture, reference.data() + i * pictureBytes, pictureBytes), kMaxMeanDifference) << i;
      times.push_back(time);
    }
  };
  for (int i = 0; i < frames; ++i) {
    const Frame& frame = video.packets[i];
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
    Codecs, TestPatternTest,
    testing::Values(PatternCase{"h263", VEXMAR_CODEC_FLV1, VideoCodec::kH263, nullptr},
                    PatternCase{"h264", VEXMAR_CODEC_H264, VideoCodec::kH264, nullptr},
                    PatternCase{"screen", VEXMAR_CODEC_FLASHSV, VideoCodec::kScreenVideo, nullptr},
                    PatternCase{"screen2", VEXMAR_CODEC_FLASHSV2, VideoCodec::kNone, "generated/gen_flashsv2_160x120.flv"}),
    [](const testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

TEST(Vp6Colour, TopFirstPicturesMatchTheFfmpegProgramsOwnDecode) {
  const std::string path = FixturePath("real/Red5_red5-server_red5.flv");
  constexpr int kFrames = 12;
  const CodedStream video = ReadCodedVideo(path, kFrames);
  ASSERT_EQ(video.packets.size(), static_cast<std::size_t>(kFrames));
  // The declared size is the coded size here, so the program's pictures (cut
  // to the declared size) line up with the decoder's.
  const std::vector<std::uint8_t> reference = DecodeWithFfmpegProgram(path, kFrames);
  const std::size_t pictureBytes = 480 * 368 * kBgraBytes;
  ASSERT_EQ(reference.size(), pictureBytes * kFrames);
  Decoder morlin(VEXMAR_IMAGE_BGRA, 480, 368);
  for (int i = 0; i < kFrames; ++i) {
    Picture picture;
    ASSERT_TRUE(morlin.Decode(video.packets[i], &picture));
    ASSERT_EQ(picture.bytes.size(), pictureBytes);
    EXPECT_LT(MeanAbsoluteDifference(picture.bytes.data(), reference.data() + i * pictureBytes, pictureBytes), kMaxMeanDifference) << i;
  }
}

// ---- alpha planes: two bytes a pixel, the value then zero ----

TEST(AlphaPlane, H263LumaValueFirstThenZeroPerPixel) {
  const std::string path = GenerateFlv(FlvSpec{.audio = AudioCodec::kNone, .video = VideoCodec::kH263, .width = 200, .height = 150, .durationMs = 1000});
  const CodedStream video = ReadCodedVideo(path, 3);
  ASSERT_EQ(video.packets.size(), 3u);
  // The luma plane straight from libavcodec, for comparison.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_FLV1);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(context, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  Decoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_ALPHA_PLANE);
  for (const Frame& coded : video.packets) {
    Picture picture;
    ASSERT_TRUE(decoder.Decode(coded, &picture));
    ASSERT_EQ(picture.width, 200);
    ASSERT_EQ(picture.height, 150);
    ASSERT_EQ(picture.bytes.size(), 200u * 150u * kAlphaPlaneBytes);
    ASSERT_EQ(av_new_packet(packet, static_cast<int>(coded.size())), 0);
    std::copy(coded.begin(), coded.end(), packet->data);
    ASSERT_EQ(avcodec_send_packet(context, packet), 0);
    av_packet_unref(packet);
    ASSERT_EQ(avcodec_receive_frame(context, frame), 0);
    int mismatches = 0;
    for (int y = 0; y < 150; ++y) {
      for (int x = 0; x < 200; ++x) {
        const std::size_t at = (static_cast<std::size_t>(y) * 200 + x) * kAlphaPlaneBytes;
        mismatches += (picture.bytes[at] != frame->data[0][y * frame->linesize[0] + x]) + (picture.bytes[at + 1] != 0);
      }
    }
    EXPECT_EQ(mismatches, 0);
    av_frame_unref(frame);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

TEST(AlphaPlane, Vp6BridgePlaneIsMorlinPlaneReversed) {
  // A VP6 alpha part is an ordinary VP6 frame; its luma is the alpha.
  const CodedStream video = ReadCodedVideo(FixturePath("real/mondain_red5_CuePointTest.flv"), 4);
  ASSERT_EQ(video.packets.size(), 4u);
  Decoder bridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_ALPHA_PLANE);
  Decoder morlin(VEXMAR_IMAGE_ALPHA_PLANE, 400, 300);
  for (const Frame& coded : video.packets) {
    Picture bottomFirst, topFirst;
    ASSERT_TRUE(bridge.Decode(coded, &bottomFirst));
    ASSERT_TRUE(morlin.Decode(coded, &topFirst));
    ASSERT_EQ(topFirst.width, 400);
    ASSERT_EQ(topFirst.height, 304);
    ASSERT_EQ(topFirst.bytes.size(), 400u * 304u * kAlphaPlaneBytes);
    for (std::size_t i = 1; i < topFirst.bytes.size(); i += kAlphaPlaneBytes) ASSERT_EQ(topFirst.bytes[i], 0) << i;
    EXPECT_TRUE(bottomFirst.RowsReversed() == topFirst.bytes);
  }
}

// ---- life cycle, garbage and refusals ----

// The image format may change between frames; close and open again decodes
// from the next key frame, for another codec too.
TEST(VideoDecoderLifecycle, ReopenAndFormatChange) {
  const CodedStream h263 = ReadCodedVideo(FixturePath("real/ruffle-rs_ruffle_square.flv"), 2);
  const CodedStream vp6 = ReadCodedVideo(FixturePath("real/Red5_red5-server_red5.flv"), 1);
  Decoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  Picture first, again, alpha;
  ASSERT_TRUE(decoder.Decode(h263.packets[0], &first));
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.bridge(), VEXMAR_IMAGE_ALPHA_PLANE), 0);
  ASSERT_TRUE(decoder.Decode(h263.packets[1], &alpha));
  EXPECT_EQ(first.bytes.size(), 128u * 96u * kBgraBytes);
  EXPECT_EQ(alpha.bytes.size(), 128u * 96u * kAlphaPlaneBytes);
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.bridge(), VEXMAR_IMAGE_BGRA), 0);

  ASSERT_EQ(VDD_Close(decoder.bridge()), 1);
  ASSERT_NE(VDD_Open(decoder.bridge(), VEXMAR_CODEC_VP6F), 0);
  ASSERT_TRUE(decoder.Decode(vp6.packets[0], &again));
  EXPECT_EQ(again.width, 480);
  EXPECT_EQ(again.height, 368);
  ASSERT_EQ(VDD_Close(decoder.bridge()), 1);
  EXPECT_FALSE(decoder.Decode(h263.packets[0], &again));  // closed
  ASSERT_NE(VDD_Open(decoder.bridge(), VEXMAR_CODEC_FLV1), 0);
  ASSERT_TRUE(decoder.Decode(h263.packets[0], &again));
  EXPECT_TRUE(again.bytes == first.bytes);
  EXPECT_TRUE(decoder.Decode(h263.packets[1], &again));
}

// Random bytes and a key frame cut short fail quietly (random bytes almost
// never form a header these decoders accept); the next key frame gives the
// very same picture, and again after the decoder is closed and opened.
struct GarbageCase {
  const char* name;
  const char* file;
  int codecId;  // 0: Morlin at 400 x 300
};

class GarbageTest : public testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageTest, FailsQuietlyAndDoesNotSpoilTheNextKeyFrame) {
  const GarbageCase& c = GetParam();
  const CodedStream video = ReadCodedVideo(FixturePath(std::string("real/") + c.file), 2);
  ASSERT_EQ(video.packets.size(), 2u);
  Decoder decoder = c.codecId ? Decoder(c.codecId, VEXMAR_IMAGE_BGRA) : Decoder(VEXMAR_IMAGE_BGRA, 400, 300);
  ASSERT_TRUE(decoder.opened());
  Picture first, picture;
  ASSERT_TRUE(decoder.Decode(video.packets[0], &first));
  std::mt19937 random(1234);
  testing::internal::CaptureStderr();
  int accepted = 0;
  for (std::size_t size : {1u, 2u, 3u, 7u, 16u, 64u, 333u, 4096u}) {
    for (int round = 0; round < 8; ++round) {
      Frame garbage(size);
      for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
      accepted += decoder.Decode(garbage, &picture);
    }
  }
  const Frame cut(video.packets[0].begin(), video.packets[0].begin() + video.packets[0].size() / 8);
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

INSTANTIATE_TEST_SUITE_P(Codecs, GarbageTest,
                         testing::Values(GarbageCase{"h263", "ruffle-rs_ruffle_square.flv", VEXMAR_CODEC_FLV1},
                                         GarbageCase{"vp6", "Red5_red5-server_red5.flv", VEXMAR_CODEC_VP6F},
                                         GarbageCase{"morlin", "mondain_red5_CuePointTest.flv", 0}),
                         [](const testing::TestParamInfo<GarbageCase>& info) { return std::string(info.param.name); });

TEST(VideoDecoderRefusals, UnknownCodecsFormatsSizesAndMissingArguments) {
  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  const uint8_t byte = 0;
  VexmarVideoDecoder* decoder = VDD_Create();
  for (int format : {0, 2, 5, 7, -1}) EXPECT_EQ(VDD_SetOutputImageFormat(decoder, format), 0);
  for (int codec : {0, 2, 4, 5, 21, 23, 93, 95, -1}) EXPECT_EQ(VDD_Open(decoder, codec), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, &picture, &size, &width, &height), 0);  // not open yet
  ASSERT_NE(VDD_SetOutputImageFormat(decoder, VEXMAR_IMAGE_BGRA), 0);
  ASSERT_NE(VDD_Open(decoder, VEXMAR_CODEC_FLV1), 0);
  EXPECT_EQ(VDD_Decode(decoder, nullptr, 10, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 0, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, -5, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, nullptr, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, &picture, nullptr, &width, &height), 0);
  EXPECT_EQ(VDD_Close(decoder), 1);
  VDD_Delete(decoder);
  EXPECT_EQ(VDD_SetOutputImageFormat(nullptr, VEXMAR_IMAGE_BGRA), 0);
  EXPECT_EQ(VDD_Open(nullptr, VEXMAR_CODEC_FLV1), 0);
  EXPECT_EQ(VDD_Decode(nullptr, &byte, 1, &picture, &size, &width, &height), 0);
  EXPECT_EQ(VDD_Close(nullptr), 0);
  VDD_Delete(nullptr);

  // Morlin makes only the top-first VP6 decoder.
  for (const auto& [direction, codec] : {std::pair{0, 4}, {2, 4}, {-1, 4}, {1, 2}, {1, 5}, {1, 0}, {1, 94}}) {
    EXPECT_EQ(FlvDecoder_Create(direction, codec), nullptr) << direction << ", " << codec;
  }
  MorlinDecoder* morlin = FlvDecoder_Create(kMorlinTopFirst, kMorlinVp6);
  ASSERT_NE(morlin, nullptr);
  for (int format : {0, 2, 5, 7}) EXPECT_EQ(FlvDecoder_Open(morlin, format, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(morlin, VEXMAR_IMAGE_BGRA, -16, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(morlin, VEXMAR_IMAGE_BGRA, 320, -1), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, &byte, 1, &picture, &size, &width, &height), 0);
  ASSERT_NE(FlvDecoder_Open(morlin, VEXMAR_IMAGE_BGRA, 0, 0), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, nullptr, 4, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, &byte, 0, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(morlin, &byte, 1, &picture, &size, nullptr, &height), 0);
  EXPECT_EQ(FlvDecoder_Close(morlin), 1);
  FlvDecoder_Free(morlin);
  EXPECT_EQ(FlvDecoder_Open(nullptr, VEXMAR_IMAGE_BGRA, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(nullptr, &byte, 1, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_Close(nullptr), 0);
  FlvDecoder_Free(nullptr);
}

// FFmpeg's own console messages are switched off once, as the program does.
class BridgeVideoEnvironment : public testing::Environment {
 public:
  void SetUp() override { Vexmar_init(); }
};
[[maybe_unused]] testing::Environment* const kEnvironment = testing::AddGlobalTestEnvironment(new BridgeVideoEnvironment);

}  // namespace
}  // namespace kelvra::test
