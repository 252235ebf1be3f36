// The video decoder: real files decode to pictures of the declared size;
// key-frame gating; the frame-rate step; H.264 presentation order; crop and
// resize; gap fill with the last picture; the alpha merge of VP6 with alpha.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "morlin/morlin.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kShortH263 = "real/apache_flex-sdk_short.flv";  // 320 x 240

DecoderPtr MakeSyncVideoDecoder(int width, int height) {
  DecoderPtr decoder(FLVStreamDecoder_Create(1));
  EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1), 1);
  EXPECT_EQ(FLVStreamDecoder_SetOutputSize(decoder.get(), width, height), 1);
  return decoder;
}

Bytes Decode(::FLVStreamDecoder* decoder, FLVTag* tag) {
  std::uint8_t* data = nullptr;
  int size = 0;
  if (FLVStreamDecoder_DecodeFLVTag(decoder, tag, &data, &size) != 1) return {};
  return Bytes(data, data + size);
}

std::size_t FirstKeyFrame(const std::vector<TagPtr>& tags) {
  std::size_t i = 0;
  while (i < tags.size() && tags[i]->frameType != 1) ++i;
  return i;
}

// Delivers copies of tags[first..] with time stamps 0, spacing, 2 * spacing...
void DeliverSpaced(::FLVStreamDecoder* decoder, const std::vector<const FLVTag*>& tags, std::uint32_t spacingMs) {
  std::uint32_t time = 0;
  for (const FLVTag* tag : tags) {
    FLVTag* copy = CloneTag(*tag).release();
    copy->timestamp = time;
    time += spacingMs;
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, copy), 1);
  }
}

struct FixtureCase {
  const char* name;
  const char* path;
  int codecId, width, height;
  std::size_t maxTags;
};

class VideoFixture : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(VideoFixture, DecodesToPicturesOfTheDeclaredSize) {
  const FixtureCase& c = GetParam();
  const std::vector<TagPtr> tags = ReadTagsOfType(FixturePath(c.path), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  ASSERT_LT(key, tags.size());
  ASSERT_EQ(tags[key]->codecId, c.codecId);
  ASSERT_EQ(tags[key]->width, c.width);
  ASSERT_EQ(tags[key]->height, c.height);
  DecoderPtr decoder = MakeSyncVideoDecoder(c.width, c.height);
  std::size_t tried = 0;
  std::size_t decoded = 0;
  for (std::size_t i = key; i < tags.size() && tried < c.maxTags; ++i, ++tried) {
    const Bytes picture = Decode(decoder.get(), tags[i].get());
    if (picture.empty()) continue;
    ++decoded;
    ASSERT_EQ(picture.size(), static_cast<std::size_t>(c.width) * c.height * 4) << i;
    if (i == key) {  // not one flat colour
      EXPECT_NE(picture, Bytes(picture.size(), picture[0]));
    }
  }
  EXPECT_GE(decoded * 10, tried * 9) << decoded << " of " << tried;
}

INSTANTIATE_TEST_SUITE_P(
    Files, VideoFixture,
    ::testing::Values(FixtureCase{"vp6_red5", "real/Red5_red5-server_red5.flv", 4, 480, 368, 40},
                      FixtureCase{"vp6_caltrain", "real/apache_flex-sdk_caltrain.flv", 4, 640, 480, 30},
                      FixtureCase{"h263_short", kShortH263, 2, 320, 240, 40},
                      FixtureCase{"h263_square", "real/ruffle-rs_ruffle_square.flv", 2, 128, 96, 40},
                      FixtureCase{"screen", "real/mltframework_swfdec_video.flv", 3, 466, 311, 16},
                      FixtureCase{"screen2", "generated/gen_flashsv2_160x120.flv", 6, 160, 120, 20},
                      // The first key frame is the sequence header.
                      FixtureCase{"h264_red5", "real/Red5_red5-server_flashContent.flv", 7, 320, 240, 60},
                      FixtureCase{"h264_jcodec", "real/jcodec_jcodec_test.flv", 7, 320, 240, 40}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) { return std::string(info.param.name); });

class ShortH263 : public ::testing::Test {
 protected:
  void SetUp() override {
    tags = ReadTagsOfType(FixturePath(kShortH263), FLV_TAG_TYPE_VIDEO);
    key = FirstKeyFrame(tags);
    ASSERT_LT(key + 12, tags.size());
    ASSERT_NE(tags[key + 1]->frameType, 1);
    whole = Decode(MakeSyncVideoDecoder(320, 240).get(), tags[key].get());
    ASSERT_EQ(whole.size(), 320u * 240 * 4);
  }
  std::vector<const FLVTag*> From(std::size_t first, std::size_t count) const {
    std::vector<const FLVTag*> out;
    for (std::size_t i = 0; i < count; ++i) out.push_back(tags[first + i].get());
    return out;
  }
  // The region of the key frame's picture, row by row.
  Bytes Region(int left, int top, int right, int bottom) const {
    Bytes out;
    for (int y = top; y < bottom; ++y) {
      const auto row = whole.begin() + (static_cast<std::ptrdiff_t>(y) * 320 + left) * 4;
      out.insert(out.end(), row, row + (right - left) * 4);
    }
    return out;
  }
  std::vector<TagPtr> tags;
  std::size_t key = 0;
  Bytes whole;
};

TEST_F(ShortH263, NothingComesOutBeforeTheFirstKeyFrame) {
  DecoderPtr sync = MakeSyncVideoDecoder(320, 240);
  EXPECT_TRUE(Decode(sync.get(), tags[key + 1].get()).empty());
  EXPECT_FALSE(Decode(sync.get(), tags[key].get()).empty());
  EXPECT_FALSE(Decode(sync.get(), tags[key + 1].get()).empty());
}

// Twelve tags at 25 frames/s out: one picture per tag at 40 ms spacing;
// every picture twice at 80 ms (the last, shown one period, once); at 20 ms
// tags 0-3 kept, then every other one dropped, and the last one kept.
TEST_F(ShortH263, OutputRunsAtTheOutputFrameRate) {
  std::vector<int> every80(22, 0);
  every80.push_back(1);
  for (const auto& [spacing, flags] : {std::pair{40u, std::vector<int>(12, 1)}, {80u, every80},
                                       {20u, std::vector<int>(8, 1)}}) {
    SCOPED_TRACE(spacing);
    Recorder recorder;
    DecoderPtr decoder(FLVStreamDecoder_Create(1));
    ASSERT_EQ(FLVStreamDecoder_SetOutputFPS(decoder.get(), 25.0), 1);
    recorder.Run(decoder.get());
    DeliverSpaced(decoder.get(), From(key, 12), spacing);
    ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
    EXPECT_EQ(recorder.released().size(), 12u);
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), flags.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(records[i].timestamp, static_cast<std::int64_t>(i) * 400000) << i;
      EXPECT_EQ(records[i].duration, 400000);
      EXPECT_EQ(records[i].size, 320 * 240 * 4);
      EXPECT_EQ(records[i].firstFlag, flags[i]) << i;
      EXPECT_EQ(records[i].secondFlag, 0);
    }
  }
}

// H.264 with B-frames: the synchronous decoder gives each picture later than
// its tag, with its presentation time, the last ones for null tags; the
// worker emits the same pictures in the same order.
TEST(VideoDecoder, H264PicturesComeInPresentationOrder) {
  const std::vector<TagPtr> tags = ReadTagsOfType(
      GenerateFlv({.audio = AudioCodec::kNone, .video = VideoCodec::kH264, .width = 200, .height = 150,
                   .fps = 25, .durationMs = 1000}),
      FLV_TAG_TYPE_VIDEO);
  ASSERT_EQ(tags.size(), 27u);  // sequence header, 25 pictures, end of sequence
  DecoderPtr sync = MakeSyncVideoDecoder(200, 150);
  std::vector<Bytes> pictures;
  std::uint32_t time = 0;
  std::uint32_t first = 0;
  for (std::size_t i = 0; i <= tags.size() + 3; ++i) {
    Bytes picture = Decode(sync.get(), i < tags.size() ? tags[i].get() : nullptr);
    if (picture.empty()) continue;
    ASSERT_EQ(FLVStreamDecoder_GetPictureTime(sync.get(), &time), 1);
    if (pictures.empty()) first = time;  // the first composition offset
    EXPECT_EQ(time, first + pictures.size() * 40) << "after tag " << i;
    pictures.push_back(std::move(picture));
  }
  ASSERT_EQ(pictures.size(), 25u);

  Recorder recorder(true);
  DecoderPtr worker(FLVStreamDecoder_Create(1));
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(worker.get(), 200, 150), 1);
  recorder.Run(worker.get());
  for (const TagPtr& tag : tags) ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(worker.get(), CloneTag(*tag).release()), 1);
  ASSERT_EQ(FLVStreamDecoder_Stop(worker.get()), 1);
  // The output time line starts at 0: the first picture also fills the
  // frame periods before its presentation time.
  const std::size_t lead = first / 40;
  const auto records = recorder.records();
  ASSERT_EQ(records.size(), lead + pictures.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_TRUE(records[i].bytes == pictures[i < lead ? 0 : i - lead]) << i;
  }
}

// A rectangle apart from the picture gives nothing, one larger than it is
// clipped, none (-1s) resizes the whole; a key frame declaring 316 x 228
// whose decoded picture is 320 x 240 is cut to its declared size.
TEST_F(ShortH263, CropRectangleAndResize) {
  DecoderPtr decoder = MakeSyncVideoDecoder(100, 100);
  const FLVRect inside{10, 20, 110, 120}, apart{400, 400, 500, 500}, none{-1, -1, -1, -1}, huge{-10, -10, 1000, 1000};
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &inside), 1);
  EXPECT_EQ(Decode(decoder.get(), tags[key].get()), Region(10, 20, 110, 120));
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &apart), 1);
  EXPECT_EQ(Decode(decoder.get(), tags[key].get()), Bytes());
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &none), 1);
  EXPECT_EQ(Decode(decoder.get(), tags[key].get()).size(), 100u * 100 * 4);
  DecoderPtr whole320 = MakeSyncVideoDecoder(320, 240);
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(whole320.get(), &huge), 1);
  EXPECT_EQ(Decode(whole320.get(), tags[key].get()), whole);
  TagPtr declared = CloneTag(*tags[key]);
  declared->width = 316;
  declared->height = 228;
  EXPECT_EQ(Decode(MakeSyncVideoDecoder(316, 228).get(), declared.get()), Region(0, 0, 316, 228));
  // Resizing follows a change of output size between synchronous decodes.
  DecoderPtr resized = MakeSyncVideoDecoder(160, 120);
  EXPECT_EQ(Decode(resized.get(), tags[key].get()).size(), 160u * 120 * 4);
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(resized.get(), 400, 300), 1);
  ASSERT_EQ(FLVStreamDecoder_SetResizeMode(resized.get(), 2), 2);
  EXPECT_EQ(Decode(resized.get(), tags[key + 1].get()).size(), 400u * 300 * 4);
}

// The brother is 2000 ms ahead and blocked: the starved video decoder
// repeats its last picture up to the brother's time.
TEST_F(ShortH263, GapFillRepeatsTheLastPicture) {
  Gate gate;
  Recorder recorder(true);
  ProbeDecoder ahead;
  DecoderPtr video(FLVStreamDecoder_Create(1));
  ahead.SetBrother(reinterpret_cast<kelvra::FLVStreamDecoder*>(video.get()));
  ahead.SetMaxFLVTagQueue(1);
  ahead.onTag = [&](FLVTag*) { gate.Arrive(); };
  ahead.SetDeleteFLVTagCallBack(&Recorder::Release, &recorder);
  FLVStreamDecoder_SetBrother(video.get(), reinterpret_cast<::FLVStreamDecoder*>(&ahead));
  recorder.Run(video.get());
  ASSERT_EQ(ahead.Run(), 1);
  DeliverSpaced(video.get(), From(key, 2), 40);
  auto waitFor = [&](std::size_t n) {
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (recorder.outputs() < n && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  };
  waitFor(1);  // the first picture is out, the second held back
  ASSERT_EQ(recorder.outputs(), 1u);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  ahead.SetCurrentTime(2000 * kUnitsPerMs);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(1)), 1);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(2)), 1);
  waitFor(52);  // (400000 + 400000) / 10000 + 2000 = 2080 ms: 52 frames due
  gate.Open();
  ahead.Stop();
  FLVStreamDecoder_Stop(video.get());
  const auto records = recorder.records();
  ASSERT_GE(records.size(), 52u);
  EXPECT_EQ(records[0].secondFlag, 0);
  for (std::size_t i = 1; i < 52; ++i) {
    EXPECT_EQ(records[i].secondFlag, 1) << i;
    EXPECT_EQ(records[i].firstFlag, 0) << i;
    EXPECT_EQ(records[i].timestamp, static_cast<std::int64_t>(i) * 400000) << i;
    EXPECT_TRUE(records[i].bytes == whole) << i;
  }
  EXPECT_EQ(recorder.released().size(), 5u);
}

// VP6 with alpha built from a real VP6 key frame used as both the colour and
// the alpha frame: the fourth byte of each pixel is the alpha plane as the
// codec library gives it, the others the plain VP6 picture's; an offset to
// alpha past the body gives nothing.
TEST(VideoDecoder, AlphaPlaneIsMergedIntoTheFourthByte) {
  const std::vector<TagPtr> tags = ReadTagsOfType(FixturePath("real/Red5_red5-server_red5.flv"), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  ASSERT_LT(key, tags.size());
  const FLVTag& vp6 = *tags[key];
  const int pixels = vp6.width * vp6.height;
  const Bytes frame(vp6.vp6Data, vp6.vp6Data + vp6.vp6DataSize);
  const auto offset = static_cast<std::uint32_t>(frame.size());
  Bytes payload = {static_cast<std::uint8_t>(vp6.videoData[0]), static_cast<std::uint8_t>(offset >> 16),
                   static_cast<std::uint8_t>(offset >> 8), static_cast<std::uint8_t>(offset)};
  for (int copy = 0; copy < 2; ++copy) payload.insert(payload.end(), frame.begin(), frame.end());
  Bytes badOffset = {0x00, 0x7F, 0xFF, 0xFF};
  badOffset.resize(64, 0x11);
  FlvBuilder builder;
  builder.Header().Video(0, 1, 5, payload).Video(0, 1, 5, badOffset);
  std::vector<TagPtr> built = ReadTags(builder.bytes());
  ASSERT_EQ(built.size(), 2u);
  auto decoder = [&] { return MakeSyncVideoDecoder(vp6.width, vp6.height); };
  EXPECT_TRUE(Decode(decoder().get(), built[1].get()).empty());

  MorlinDecoder* reference = FlvDecoder_Create(1, 4);
  ASSERT_NE(FlvDecoder_Open(reference, 1, vp6.width, vp6.height), 0);
  std::uint8_t* plane = nullptr;
  int planeSize = 0, planeWidth = 0, planeHeight = 0;
  ASSERT_NE(FlvDecoder_DecodeVideo(reference, frame.data(), static_cast<int>(frame.size()), &plane, &planeSize,
                                   &planeWidth, &planeHeight), 0);
  ASSERT_EQ(planeWidth * planeHeight, pixels);
  const Bytes alpha(plane, plane + planeSize);
  FlvDecoder_Close(reference);
  FlvDecoder_Free(reference);

  const Bytes merged = Decode(decoder().get(), built[0].get());
  const Bytes plain = Decode(decoder().get(), tags[key].get());
  ASSERT_EQ(merged.size(), static_cast<std::size_t>(pixels) * 4);
  ASSERT_EQ(plain.size(), merged.size());
  for (std::size_t i = 0; i < static_cast<std::size_t>(pixels); ++i) {
    ASSERT_EQ(merged[4 * i + 3], alpha[2 * i]) << "pixel " << i;
    ASSERT_EQ(std::memcmp(&plain[4 * i], &merged[4 * i], 3), 0) << "pixel " << i;
  }
}

}  // namespace
}  // namespace kelvra::test
