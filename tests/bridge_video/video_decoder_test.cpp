// The bridge's video decoders (VDD_ family): H.263 and VP6 frames from real
// and generated FLV files into BGRA pictures and alpha planes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <random>
#include <string>

#include "bridge_video/decoded_picture.h"
#include "bridge_video/video_test_media.h"
#include "support/flv_files.h"
#include "morlin/morlin.h"
#include "vexmar/vexmar.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kelvra::test {
namespace {

constexpr int kMacroblock = 16;

int RoundUpToMacroblocks(int size) { return (size + kMacroblock - 1) / kMacroblock * kMacroblock; }

// A bridge decoder opened for one codec and image format; closed and deleted
// with the scope.
class BridgeDecoder {
 public:
  BridgeDecoder(int codecId, int imageFormat, const std::vector<std::uint8_t>& config = {})
      : handle_(VDD_Create()) {
    opened_ = handle_ != nullptr && VDD_SetOutputImageFormat(handle_, imageFormat) != 0 &&
              VDD_OpenEx(handle_, codecId, config.data(), static_cast<int>(config.size())) != 0;
  }
  ~BridgeDecoder() {
    if (handle_ != nullptr) {
      VDD_Close(handle_);
      VDD_Delete(handle_);
    }
  }
  BridgeDecoder(const BridgeDecoder&) = delete;
  BridgeDecoder& operator=(const BridgeDecoder&) = delete;

  bool opened() const { return opened_; }
  VexmarVideoDecoder* handle() const { return handle_; }

  bool Decode(const std::vector<std::uint8_t>& frame, DecodedPicture* out) {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    if (VDD_Decode(handle_, frame.data(), static_cast<int>(frame.size()), &picture, &size, &width,
                   &height) == 0) {
      return false;
    }
    EXPECT_NE(picture, nullptr);
    EXPECT_GT(width, 0);
    EXPECT_GT(height, 0);
    out->bytes.assign(picture, picture + size);
    out->width = width;
    out->height = height;
    return true;
  }

 private:
  VexmarVideoDecoder* handle_;
  bool opened_ = false;
};

// The same frames through a Morlin decoder opened at the declared size.
class MorlinVp6Decoder {
 public:
  MorlinVp6Decoder(int imageFormat, int width, int height) : handle_(FlvDecoder_Create(1, 4)) {
    opened_ = handle_ != nullptr && FlvDecoder_Open(handle_, imageFormat, width, height) != 0;
  }
  ~MorlinVp6Decoder() {
    if (handle_ != nullptr) {
      FlvDecoder_Close(handle_);
      FlvDecoder_Free(handle_);
    }
  }
  MorlinVp6Decoder(const MorlinVp6Decoder&) = delete;
  MorlinVp6Decoder& operator=(const MorlinVp6Decoder&) = delete;

  bool opened() const { return opened_; }

  bool Decode(const std::vector<std::uint8_t>& frame, DecodedPicture* out) {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    if (FlvDecoder_DecodeVideo(handle_, frame.data(), static_cast<int>(frame.size()), &picture,
                               &size, &width, &height) == 0) {
      return false;
    }
    out->bytes.assign(picture, picture + size);
    out->width = width;
    out->height = height;
    return true;
  }

 private:
  MorlinDecoder* handle_;
  bool opened_ = false;
};

// ---------------------------------------------------------------------------
// Sorenson H.263.

struct SizeCase {
  const char* file;
  int width;
  int height;
};

class H263FixtureTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(H263FixtureTest, EveryFrameDecodesToAnOpaquePictureOfTheFileSize) {
  const CodedVideo video = ReadCodedVideo(RealFixture(GetParam().file));
  ASSERT_EQ(video.codecName, "flv1");
  ASSERT_FALSE(video.frames.empty());
  BridgeDecoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  ASSERT_TRUE(decoder.opened());
  for (std::size_t i = 0; i < video.frames.size(); ++i) {
    DecodedPicture picture;
    ASSERT_TRUE(decoder.Decode(video.frames[i], &picture)) << "frame " << i;
    ASSERT_EQ(picture.width, GetParam().width);
    ASSERT_EQ(picture.height, GetParam().height);
    ASSERT_EQ(picture.bytes.size(), static_cast<std::size_t>(picture.width * picture.height * 4));
    ASSERT_TRUE(AllOpaque(picture.bytes)) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, H263FixtureTest,
                         ::testing::Values(SizeCase{"ruffle-rs_ruffle_square.flv", 128, 96},
                                           SizeCase{"apache_flex-sdk_short.flv", 320, 240}));

// Mean absolute difference between two equally long byte strings.
double MeanAbsoluteDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(count);
}

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

class TestPatternTest : public ::testing::TestWithParam<PatternCase> {};

TEST_P(TestPatternTest, PicturesInPresentationOrderMatchTheFfmpegProgramsOwnDecode) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kNone;
  fileSpec.video = GetParam().video;
  // An odd size (not a multiple of 8 or 16) on purpose: H.264 crops it.
  fileSpec.width = 200;
  fileSpec.height = 150;
  fileSpec.durationMs = 1000;
  const std::string path = GetParam().fixture != nullptr
                               ? std::string(KELVRA_FIXTURES_DIR) + "/" + GetParam().fixture
                               : GenerateFlv(fileSpec);
  const CodedVideo video = ReadCodedVideo(path);
  ASSERT_GE(video.frames.size(), 15u);
  const int frames = static_cast<int>(video.frames.size());
  const std::vector<std::uint8_t> reference = DecodeWithFfmpegProgram(path, frames);
  const std::size_t pictureBytes = static_cast<std::size_t>(video.width) * video.height * 4;
  ASSERT_EQ(reference.size(), pictureBytes * frames);
  BridgeDecoder decoder(GetParam().codecId, VEXMAR_IMAGE_BGRA, video.config);
  ASSERT_TRUE(decoder.opened());
  std::vector<std::int64_t> times;
  const auto receive = [&] {
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    std::int64_t time = 0;
    while (VDD_ReceivePicture(decoder.handle(), &picture, &size, &width, &height, &time) != 0) {
      const std::size_t i = times.size();
      ASSERT_LT(i, static_cast<std::size_t>(frames));
      ASSERT_EQ(static_cast<std::size_t>(size), pictureBytes);
      EXPECT_LT(MeanAbsoluteDifference(picture, reference.data() + i * pictureBytes, pictureBytes),
                2.0)
          << "picture " << i;
      times.push_back(time);
    }
  };
  for (int i = 0; i < frames; ++i) {
    ASSERT_EQ(VDD_SendPacket(decoder.handle(), video.frames[i].data(),
                             static_cast<int>(video.frames[i].size()), video.timesMs[i],
                             video.keyFrames[i] ? 1 : 0),
              1)
        << "frame " << i;
    receive();
  }
  ASSERT_EQ(VDD_SendPacket(decoder.handle(), nullptr, 0, 0, 0), 1);
  receive();
  std::vector<std::int64_t> expected = video.timesMs;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(times, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, TestPatternTest,
    ::testing::Values(PatternCase{"h263", VEXMAR_CODEC_FLV1, VideoCodec::kH263, nullptr},
                      PatternCase{"h264", VEXMAR_CODEC_H264, VideoCodec::kH264, nullptr},
                      PatternCase{"screen", VEXMAR_CODEC_FLASHSV, VideoCodec::kScreenVideo, nullptr},
                      PatternCase{"screen2", VEXMAR_CODEC_FLASHSV2, VideoCodec::kNone,
                                  "generated/gen_flashsv2_160x120.flv"}),
    [](const ::testing::TestParamInfo<PatternCase>& info) { return std::string(info.param.name); });

TEST(H263AlphaPlane, LumaValueFirstThenZeroPerPixel) {
  const std::string path = MakeH263Flv("testsrc", "testsrc=size=200x150:rate=15", 1.0);
  ASSERT_FALSE(path.empty());
  const CodedVideo video = ReadCodedVideo(path, 3);
  ASSERT_EQ(video.frames.size(), 3u);

  // The luma plane straight from libavcodec, for comparison.
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_FLV1);
  ASSERT_NE(codec, nullptr);
  AVCodecContext* context = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(context, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();

  BridgeDecoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_ALPHA_PLANE);
  ASSERT_TRUE(decoder.opened());
  for (const auto& coded : video.frames) {
    DecodedPicture picture;
    ASSERT_TRUE(decoder.Decode(coded, &picture));
    ASSERT_EQ(picture.width, 200);
    ASSERT_EQ(picture.height, 150);
    ASSERT_EQ(picture.bytes.size(), 200u * 150u * 2u);

    ASSERT_EQ(av_new_packet(packet, static_cast<int>(coded.size())), 0);
    std::copy(coded.begin(), coded.end(), packet->data);
    ASSERT_EQ(avcodec_send_packet(context, packet), 0);
    av_packet_unref(packet);
    ASSERT_EQ(avcodec_receive_frame(context, frame), 0);
    int mismatches = 0;
    for (int y = 0; y < 150; ++y) {
      for (int x = 0; x < 200; ++x) {
        const std::size_t at = (static_cast<std::size_t>(y) * 200 + x) * 2;
        if (picture.bytes[at] != frame->data[0][y * frame->linesize[0] + x]) ++mismatches;
        if (picture.bytes[at + 1] != 0) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0);
    av_frame_unref(frame);
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&context);
}

// ---------------------------------------------------------------------------
// VP6: the bridge hands the rows bottom first, Morlin top first; both give
// the coded size (whole macroblocks).

struct Vp6Case {
  const char* file;
  int declaredWidth;
  int declaredHeight;
  std::size_t maxFrames;
};

class Vp6FixtureTest : public ::testing::TestWithParam<Vp6Case> {};

TEST_P(Vp6FixtureTest, BridgeRowsAreMorlinRowsReversedAtTheCodedSize) {
  const Vp6Case& c = GetParam();
  const CodedVideo video = ReadCodedVideo(RealFixture(c.file), c.maxFrames);
  ASSERT_EQ(video.codecName, "vp6f");
  ASSERT_EQ(video.width, c.declaredWidth);
  ASSERT_EQ(video.height, c.declaredHeight);
  ASSERT_FALSE(video.frames.empty());
  ASSERT_TRUE(video.keyFrames[0]);

  BridgeDecoder bridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_BGRA);
  MorlinVp6Decoder morlin(VEXMAR_IMAGE_BGRA, c.declaredWidth, c.declaredHeight);
  ASSERT_TRUE(bridge.opened());
  ASSERT_TRUE(morlin.opened());
  const int codedWidth = RoundUpToMacroblocks(c.declaredWidth);
  const int codedHeight = RoundUpToMacroblocks(c.declaredHeight);
  for (std::size_t i = 0; i < video.frames.size(); ++i) {
    DecodedPicture bottomFirst, topFirst;
    ASSERT_TRUE(bridge.Decode(video.frames[i], &bottomFirst)) << "frame " << i;
    ASSERT_TRUE(morlin.Decode(video.frames[i], &topFirst)) << "frame " << i;
    ASSERT_EQ(topFirst.width, codedWidth);
    ASSERT_EQ(topFirst.height, codedHeight);
    ASSERT_EQ(bottomFirst.width, codedWidth);
    ASSERT_EQ(bottomFirst.height, codedHeight);
    ASSERT_EQ(topFirst.bytes.size(), static_cast<std::size_t>(codedWidth * codedHeight * 4));
    ASSERT_TRUE(AllOpaque(topFirst.bytes));
    ASSERT_TRUE(RowsReversed(bottomFirst) == topFirst.bytes) << "frame " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(RealFiles, Vp6FixtureTest,
                         ::testing::Values(Vp6Case{"Red5_red5-server_red5.flv", 480, 368, 0},
                                           Vp6Case{"mondain_red5_CuePointTest.flv", 400, 300, 0},
                                           Vp6Case{"exiftool_exiftool_Flash.flv", 192, 154, 0}));

TEST(Vp6Colour, TopFirstPicturesMatchTheFfmpegProgramsOwnDecode) {
  const std::string path = RealFixture("Red5_red5-server_red5.flv");
  constexpr int kFrames = 12;
  const CodedVideo video = ReadCodedVideo(path, kFrames);
  ASSERT_EQ(video.frames.size(), static_cast<std::size_t>(kFrames));
  // The file's declared size is its coded size, so the program's pictures
  // (cut to the declared size) line up with the decoder's.
  const std::vector<std::uint8_t> reference = DecodeWithFfmpegProgram(path, kFrames);
  const std::size_t pictureBytes = 480 * 368 * 4;
  ASSERT_EQ(reference.size(), pictureBytes * kFrames);
  MorlinVp6Decoder morlin(VEXMAR_IMAGE_BGRA, 480, 368);
  ASSERT_TRUE(morlin.opened());
  for (int i = 0; i < kFrames; ++i) {
    DecodedPicture picture;
    ASSERT_TRUE(morlin.Decode(video.frames[i], &picture));
    ASSERT_EQ(picture.bytes.size(), pictureBytes);
    EXPECT_LT(MeanAbsoluteDifference(picture.bytes.data(), reference.data() + i * pictureBytes,
                                     pictureBytes),
              2.0)
        << "frame " << i;
  }
}

TEST(Vp6AlphaPlane, BridgePlaneIsMorlinPlaneReversed) {
  // A VP6 alpha part is an ordinary VP6 frame; its luma is the alpha.
  const CodedVideo video = ReadCodedVideo(RealFixture("mondain_red5_CuePointTest.flv"), 4);
  ASSERT_EQ(video.frames.size(), 4u);
  BridgeDecoder bridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_ALPHA_PLANE);
  MorlinVp6Decoder morlin(VEXMAR_IMAGE_ALPHA_PLANE, 400, 300);
  ASSERT_TRUE(bridge.opened());
  ASSERT_TRUE(morlin.opened());
  for (const auto& coded : video.frames) {
    DecodedPicture bottomFirst, topFirst;
    ASSERT_TRUE(bridge.Decode(coded, &bottomFirst));
    ASSERT_TRUE(morlin.Decode(coded, &topFirst));
    ASSERT_EQ(topFirst.width, 400);
    ASSERT_EQ(topFirst.height, 304);
    ASSERT_EQ(topFirst.bytesPerPixel(), 2);
    bool secondBytesZero = true;
    for (std::size_t i = 1; i < topFirst.bytes.size(); i += 2)
      secondBytesZero &= topFirst.bytes[i] == 0;
    EXPECT_TRUE(secondBytesZero);
    EXPECT_TRUE(RowsReversed(bottomFirst) == topFirst.bytes);
  }
}

// ---------------------------------------------------------------------------
// Life cycle and refusals.

TEST(VideoDecoderLifecycle, RefusesUnknownCodecsFormatsAndMissingArguments) {
  VexmarVideoDecoder* decoder = VDD_Create();
  ASSERT_NE(decoder, nullptr);
  for (int format : {0, 2, 5, 7, -1}) EXPECT_EQ(VDD_SetOutputImageFormat(decoder, format), 0);
  for (int codec : {0, 2, 4, 5, 21, 23, 93, 95, -1}) EXPECT_EQ(VDD_Open(decoder, codec), 0);

  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  const uint8_t byte = 0;
  // Not open yet.
  EXPECT_EQ(VDD_Decode(decoder, &byte, 1, &picture, &size, &width, &height), 0);

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
}

TEST(VideoDecoderLifecycle, CloseThenOpenAgainDecodesFromTheNextKeyFrame) {
  const CodedVideo h263 = ReadCodedVideo(RealFixture("ruffle-rs_ruffle_square.flv"), 2);
  const CodedVideo vp6 = ReadCodedVideo(RealFixture("Red5_red5-server_red5.flv"), 2);
  ASSERT_EQ(h263.frames.size(), 2u);
  ASSERT_EQ(vp6.frames.size(), 2u);
  BridgeDecoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  ASSERT_TRUE(decoder.opened());
  DecodedPicture first, again;
  ASSERT_TRUE(decoder.Decode(h263.frames[0], &first));

  // Re-opened for the other codec and then back, each time from a key frame.
  ASSERT_EQ(VDD_Close(decoder.handle()), 1);
  ASSERT_NE(VDD_Open(decoder.handle(), VEXMAR_CODEC_VP6F), 0);
  DecodedPicture vp6Picture;
  ASSERT_TRUE(decoder.Decode(vp6.frames[0], &vp6Picture));
  EXPECT_EQ(vp6Picture.width, 480);
  EXPECT_EQ(vp6Picture.height, 368);

  ASSERT_EQ(VDD_Close(decoder.handle()), 1);
  EXPECT_FALSE(decoder.Decode(h263.frames[0], &again));  // closed
  ASSERT_NE(VDD_Open(decoder.handle(), VEXMAR_CODEC_FLV1), 0);
  ASSERT_TRUE(decoder.Decode(h263.frames[0], &again));
  EXPECT_TRUE(again.bytes == first.bytes);
  EXPECT_TRUE(decoder.Decode(h263.frames[1], &again));
}

TEST(VideoDecoderLifecycle, ImageFormatMayChangeBetweenFrames) {
  const CodedVideo video = ReadCodedVideo(RealFixture("ruffle-rs_ruffle_square.flv"), 2);
  ASSERT_EQ(video.frames.size(), 2u);
  BridgeDecoder decoder(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  ASSERT_TRUE(decoder.opened());
  DecodedPicture colour, alpha;
  ASSERT_TRUE(decoder.Decode(video.frames[0], &colour));
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.handle(), VEXMAR_IMAGE_ALPHA_PLANE), 0);
  ASSERT_TRUE(decoder.Decode(video.frames[1], &alpha));
  EXPECT_EQ(colour.bytesPerPixel(), 4);
  EXPECT_EQ(alpha.bytesPerPixel(), 2);
}

// ---------------------------------------------------------------------------
// Frames that do not decode.

std::vector<std::uint8_t> RandomBytes(std::mt19937& random, std::size_t count) {
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
  return bytes;
}

struct GarbageCase {
  int codecId;
  const char* file;
};

class GarbageTest : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageTest, GarbageFailsQuietlyAndDoesNotSpoilTheNextKeyFrame) {
  const CodedVideo video = ReadCodedVideo(RealFixture(GetParam().file), 1);
  ASSERT_EQ(video.frames.size(), 1u);
  DecodedPicture clean;
  {
    BridgeDecoder fresh(GetParam().codecId, VEXMAR_IMAGE_BGRA);
    ASSERT_TRUE(fresh.opened());
    ASSERT_TRUE(fresh.Decode(video.frames[0], &clean));
  }

  BridgeDecoder decoder(GetParam().codecId, VEXMAR_IMAGE_BGRA);
  ASSERT_TRUE(decoder.opened());
  std::mt19937 random(1234);
  testing::internal::CaptureStderr();
  int accepted = 0;
  for (std::size_t size : {1u, 2u, 3u, 7u, 16u, 64u, 333u, 4096u}) {
    for (int round = 0; round < 8; ++round) {
      DecodedPicture picture;
      if (decoder.Decode(RandomBytes(random, size), &picture)) ++accepted;
    }
  }
  // A real frame cut short, and one with its body overwritten.
  std::vector<std::uint8_t> cut(video.frames[0].begin(),
                                video.frames[0].begin() + video.frames[0].size() / 8);
  DecodedPicture ignored;
  decoder.Decode(cut, &ignored);
  const std::string messages = testing::internal::GetCapturedStderr();
  EXPECT_EQ(messages, "");
  // Random bytes almost never form a frame header these decoders accept.
  EXPECT_LE(accepted, 2);

  DecodedPicture after;
  ASSERT_TRUE(decoder.Decode(video.frames[0], &after));
  EXPECT_TRUE(after.bytes == clean.bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, GarbageTest,
    ::testing::Values(GarbageCase{VEXMAR_CODEC_FLV1, "ruffle-rs_ruffle_square.flv"},
                      GarbageCase{VEXMAR_CODEC_VP6F, "Red5_red5-server_red5.flv"}));

}  // namespace
}  // namespace kelvra::test
