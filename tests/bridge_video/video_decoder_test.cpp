// The bridge's video decoders (VDD_) and Morlin's VP6 against FFmpeg's own decoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "morlin/morlin.h"
#include "support/coded_stream.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

using Bridge =
    std::unique_ptr<VexmarVideoDecoder,
                    decltype([](VexmarVideoDecoder* d) { VDD_Close(d), VDD_Delete(d); })>;
using Morlin =
    std::unique_ptr<MorlinDecoder,
                    decltype([](MorlinDecoder* d) { FlvDecoder_Close(d), FlvDecoder_Free(d); })>;
Bridge OpenBridge(int codecId, int imageFormat, const Bytes& config = {}) {
  Vexmar_init();
  Bridge decoder(VDD_Create());
  EXPECT_TRUE(VDD_SetOutputImageFormat(decoder.get(), imageFormat) &&
              VDD_OpenEx(decoder.get(), codecId, config.data(), static_cast<int>(config.size())));
  return decoder;
}

// Morlin makes only the top-first VP6 decoder; it takes the declared size.
Morlin OpenMorlin(int imageFormat, int width, int height) {
  Morlin decoder(FlvDecoder_Create(1, 4));
  EXPECT_NE(FlvDecoder_Open(decoder.get(), imageFormat, width, height), 0);
  return decoder;
}

// A copy of one picture (a decoder's buffer lives until its next call); empty: refused.
struct Picture {
  Bytes bytes;
  int width = 0, height = 0;
  Bytes RowsReversed() const {
    Bytes reversed;
    const std::size_t row = bytes.size() / static_cast<std::size_t>(height);
    for (int y = height - 1; y >= 0; --y)
      reversed.insert(reversed.end(), bytes.begin() + y * row, bytes.begin() + (y + 1) * row);
    return reversed;
  }
};

int DecodeCall(VexmarVideoDecoder* d, auto... a) { return VDD_Decode(d, a...); }
int DecodeCall(MorlinDecoder* d, auto... a) { return FlvDecoder_DecodeVideo(d, a...); }
Picture Decode(auto* d, const Bytes& f) {
  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  if (DecodeCall(d, f.data(), static_cast<int>(f.size()), &picture, &size, &width, &height) == 0)
    return {};
  return {Bytes(picture, picture + size), width, height};
}

Bytes FfmpegPictures(const std::string& path, int frames, const char* pixelFormat = "bgra") {
  static int counter = 0;
  const std::string out = TestTempDir() + "/reference" + std::to_string(++counter) + ".raw";
  const ProgramRun run =
      RunProgram("ffmpeg", {"-nostdin", "-loglevel", "error", "-y", "-i", path, "-frames:v",
                            std::to_string(frames), "-fps_mode", "passthrough", "-f", "rawvideo",
                            "-pix_fmt", pixelFormat, out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return ReadWholeFile(out);
}
double MeanDifference(const std::uint8_t* a, const std::uint8_t* b, std::size_t count) {
  double sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += std::abs(int{a[i]} - int{b[i]});
  return sum / static_cast<double>(count);
}

// VP6 pictures come at the coded size (whole macroblocks), rows bottom first
// from the bridge and top first from Morlin; so do the alpha planes.
TEST(Vp6, BridgeAndMorlinPicturesAndAlphaPlanes) {
  const struct {
    const char* file;
    int width, height, compared;  // declared size; frames compared with FFmpeg's
  } rows[] = {{"real/Red5_red5-server_red5.flv", 480, 368, 12},
              {"real/mondain_red5_CuePointTest.flv", 400, 300, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    const CodedStream video = ReadCodedStream(FixturePath(row.file), AVMEDIA_TYPE_VIDEO, false);
    const int width = (row.width + 15) / 16 * 16, height = (row.height + 15) / 16 * 16;
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    const Bytes reference =
        row.compared ? FfmpegPictures(FixturePath(row.file), row.compared) : Bytes();
    ASSERT_EQ(reference.size(), pixels * 4 * row.compared);
    Bridge bridge = OpenBridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_BGRA),
           bridgeAlpha = OpenBridge(VEXMAR_CODEC_VP6F, VEXMAR_IMAGE_ALPHA_PLANE);
    Morlin morlin = OpenMorlin(VEXMAR_IMAGE_BGRA, row.width, row.height),
           morlinAlpha = OpenMorlin(VEXMAR_IMAGE_ALPHA_PLANE, row.width, row.height);
    for (std::size_t i = 0; i < video.packets.size(); ++i) {
      SCOPED_TRACE(i);
      const Picture picture = Decode(bridge.get(), video.packets[i]);
      ASSERT_TRUE(picture.width == width && picture.height == height &&
                  picture.bytes.size() == pixels * 4)
          << picture.width << "x" << picture.height;
      for (std::size_t at = 3; at < picture.bytes.size(); at += 4)
        ASSERT_EQ(picture.bytes[at], 0xFF) << "not opaque at " << at;
      const Bytes topFirst = Decode(morlin.get(), video.packets[i]).bytes;
      ASSERT_TRUE(picture.RowsReversed() == topFirst);
      EXPECT_TRUE(static_cast<int>(i) >= row.compared ||
                  MeanDifference(topFirst.data(), &reference[i * pixels * 4], pixels * 4) < 2.0);
      const Bytes alpha = Decode(morlinAlpha.get(), video.packets[i]).bytes;
      ASSERT_EQ(alpha.size(), pixels * 2);
      for (std::size_t at = 1; at < alpha.size(); at += 2) ASSERT_EQ(alpha[at], 0) << at;
      ASSERT_TRUE(Decode(bridgeAlpha.get(), video.packets[i]).RowsReversed() == alpha);
    }
  }
}

// SendPacket/ReceivePicture: top row first, in presentation order, with the packets' times.
struct PatternCase {
  const char* name;
  int codecId;
  VideoCodec video;               // made at test time ...
  const char* fixture = nullptr;  // ... unless a generated fixture stands in
};
class TestPattern : public testing::TestWithParam<PatternCase> {};

TEST_P(TestPattern, PicturesInPresentationOrderMatchTheFfmpegProgramsOwnDecode) {
  const PatternCase& c = GetParam();
  // An odd size (not a multiple of 8 or 16) on purpose: H.264 crops it.
  const FlvRecipe pattern{.audio = AudioCodec::kNone, .video = c.video, .width = 200, .height = 150,
                     .durationMs = 1000};
  const std::string path = c.fixture ? FixturePath(c.fixture) : GenerateFlv(pattern);
  const CodedStream video = ReadCodedStream(path, AVMEDIA_TYPE_VIDEO, false);
  const int frames = static_cast<int>(video.packets.size());
  const Bytes reference = FfmpegPictures(path, frames);
  const std::size_t pictureBytes = static_cast<std::size_t>(video.width) * video.height * 4;
  ASSERT_EQ(reference.size(), pictureBytes * frames);
  Bridge decoder = OpenBridge(c.codecId, VEXMAR_IMAGE_BGRA, video.config);
  std::vector<std::int64_t> times;
  for (int i = 0; i <= frames; ++i) {  // the last packet, a null one, drains the decoder
    const Bytes* frame = i < frames ? &video.packets[i] : nullptr;
    ASSERT_EQ(VDD_SendPacket(decoder.get(), frame ? frame->data() : nullptr,
                             frame ? static_cast<int>(frame->size()) : 0,
                             frame ? video.timesMs[i] : 0, frame && video.keyFrames[i]), 1)
        << i;
    uint8_t* picture = nullptr;
    int size = 0, width = 0, height = 0;
    for (std::int64_t time = 0;
         VDD_ReceivePicture(decoder.get(), &picture, &size, &width, &height, &time) != 0;
         times.push_back(time)) {
      ASSERT_LT(times.size(), static_cast<std::size_t>(frames));
      ASSERT_EQ(static_cast<std::size_t>(size), pictureBytes);
      EXPECT_LT(MeanDifference(picture, &reference[times.size() * pictureBytes], pictureBytes), 2.0)
          << times.size();
    }
  }
  std::vector<std::int64_t> expected = video.timesMs;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(times, expected);
}

constexpr PatternCase kPatterns[] = {
    {"h263", VEXMAR_CODEC_FLV1, VideoCodec::kH263},
    {"h264", VEXMAR_CODEC_H264, VideoCodec::kH264},
    {"screen", VEXMAR_CODEC_FLASHSV, VideoCodec::kScreenVideo},
    {"screen2", VEXMAR_CODEC_FLASHSV2, VideoCodec::kNone, "generated/gen_flashsv2_160x120.flv"}};
INSTANTIATE_TEST_SUITE_P(Codecs, TestPattern, testing::ValuesIn(kPatterns),
                         [](const auto& info) { return std::string(info.param.name); });

// An alpha plane is the luma then zero per pixel; a reopened decoder starts at a key frame.
TEST(VideoDecoderLifecycle, FormatChangeReopenAndRefusals) {
  const std::string path = FixturePath("real/ruffle-rs_ruffle_square.flv");
  const std::vector<Bytes> h263 = ReadCodedStream(path, AVMEDIA_TYPE_VIDEO, false, 2).packets;
  const Bytes yuv = FfmpegPictures(path, 2, "yuv420p");  // luma planes first
  constexpr std::size_t kPixels = 128 * 96;
  ASSERT_EQ(yuv.size(), 2 * kPixels * 3 / 2);
  Bridge decoder = OpenBridge(VEXMAR_CODEC_FLV1, VEXMAR_IMAGE_BGRA);
  const Bytes first = Decode(decoder.get(), h263[0]).bytes;
  EXPECT_EQ(first.size(), kPixels * 4);
  ASSERT_NE(VDD_SetOutputImageFormat(decoder.get(), VEXMAR_IMAGE_ALPHA_PLANE), 0);
  const Bytes alpha = Decode(decoder.get(), h263[1]).bytes;
  ASSERT_EQ(alpha.size(), kPixels * 2);
  for (std::size_t at = 0; at < kPixels; ++at)
    ASSERT_TRUE(alpha[2 * at] == yuv[kPixels * 3 / 2 + at] && alpha[2 * at + 1] == 0) << at;
  ASSERT_TRUE(VDD_SetOutputImageFormat(decoder.get(), VEXMAR_IMAGE_BGRA) != 0 &&
              VDD_Close(decoder.get()) == 1);
  EXPECT_TRUE(Decode(decoder.get(), h263[0]).bytes.empty());  // closed
  for (const int bad : {0, 2, 4, 5, 21, 23, 93, 95, -1})
    EXPECT_TRUE(!VDD_Open(decoder.get(), bad) && !VDD_SetOutputImageFormat(decoder.get(), bad))
        << bad;
  ASSERT_NE(VDD_Open(decoder.get(), VEXMAR_CODEC_FLV1), 0);
  EXPECT_TRUE(Decode(decoder.get(), h263[0]).bytes == first);
}

}  // namespace
}  // namespace kelvra::test
