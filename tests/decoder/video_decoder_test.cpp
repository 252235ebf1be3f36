// The video decoder: real H.263 and VP6 files decode to pictures of the
// declared size; key-frame gating; crop to the declared size and to the
// user's rectangle; resizing that follows the output size; the frame-rate
// step; gap fill with the last picture; the alpha merge of VP6 with alpha.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "decoder/flv_video_decoder.h"
#include "decoder/tag_file_walker.h"
#include "kelvra.h"
#include "morlin/morlin.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

struct DecoderDeleter {
  void operator()(::FLVStreamDecoder* d) const { FLVStreamDecoder_Delete(d); }
};
using DecoderPtr = std::unique_ptr<::FLVStreamDecoder, DecoderDeleter>;

constexpr const char* kShortH263 = "real/apache_flex-sdk_short.flv";  // 320 x 240

DecoderPtr MakeSyncVideoDecoder(int width, int height) {
  DecoderPtr decoder(FLVStreamDecoder_Create(1));
  EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1), 1);
  EXPECT_EQ(FLVStreamDecoder_SetOutputSize(decoder.get(), width, height), 1);
  return decoder;
}

std::vector<std::uint8_t> Decode(::FLVStreamDecoder* decoder, FLVTag* tag) {
  std::uint8_t* data = nullptr;
  int size = 0;
  if (FLVStreamDecoder_DecodeFLVTag(decoder, tag, &data, &size) != 1) return {};
  return std::vector<std::uint8_t>(data, data + size);
}

std::size_t FirstKeyFrame(const std::vector<TagPtr>& tags) {
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (tags[i]->frameType == 1) return i;
  }
  return tags.size();
}

bool HasDetail(const std::vector<std::uint8_t>& picture) {
  for (std::size_t i = 4; i < picture.size(); i += 4) {
    if (std::memcmp(&picture[i], &picture[0], 3) != 0) return true;
  }
  return false;
}

struct FixtureCase {
  const char* name;
  const char* path;
  int codecId;
  int width;
  int height;
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
    const std::vector<std::uint8_t> picture = Decode(decoder.get(), tags[i].get());
    if (picture.empty()) continue;
    ++decoded;
    ASSERT_EQ(picture.size(), static_cast<std::size_t>(c.width) * c.height * 4) << i;
    if (i == key) {
      EXPECT_TRUE(HasDetail(picture));
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
                      // The first key frame is the sequence header; pictures
                      // come out a few tags later.
                      FixtureCase{"h264_red5", "real/Red5_red5-server_flashContent.flv", 7, 320, 240, 60},
                      FixtureCase{"h264_jcodec", "real/jcodec_jcodec_test.flv", 7, 320, 240, 40}),
    [](const ::testing::TestParamInfo<FixtureCase>& info) { return std::string(info.param.name); });

TEST(VideoDecoder, NothingComesOutBeforeTheFirstKeyFrame) {
  const std::vector<TagPtr> tags = ReadTagsOfType(FixturePath(kShortH263), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  ASSERT_LT(key + 2, tags.size());
  ASSERT_NE(tags[key + 1]->frameType, 1);
  {
    DecoderPtr decoder = MakeSyncVideoDecoder(320, 240);
    EXPECT_TRUE(Decode(decoder.get(), tags[key + 1].get()).empty());
    EXPECT_FALSE(Decode(decoder.get(), tags[key].get()).empty());
    EXPECT_FALSE(Decode(decoder.get(), tags[key + 1].get()).empty());
  }
  {
    // Threaded: inter, inter, key, inter at 0, 40, 80, 120 ms. The key
    // frame, shown until 120 ms, is emitted three times to catch up; the
    // last inter frame once.
    OutputRecorder recorder;
    TagReleaser releaser;
    DecoderPtr decoder(FLVStreamDecoder_Create(1));
    FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
    FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
    ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
    const FLVTag* order[] = {tags[key + 1].get(), tags[key + 2].get(), tags[key].get(),
                             tags[key + 1].get()};
    std::uint32_t time = 0;
    for (const FLVTag* tag : order) {
      FLVTag* copy = CloneRaw(*tag);
      copy->timestamp = time;
      time += 40;
      ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), copy), 1);
    }
    ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), 4u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(records[i].firstFlag, 0);
    EXPECT_EQ(records[3].firstFlag, 1);
    EXPECT_EQ(releaser.count(), 4u);
  }
}

struct FrameRateCase {
  std::uint32_t spacingMs;
  std::vector<int> firstFlags;  // one per output picture
};

class VideoFrameRate : public ::testing::TestWithParam<FrameRateCase> {};

TEST_P(VideoFrameRate, OutputRunsAtTheOutputFrameRate) {
  const FrameRateCase& c = GetParam();
  const std::vector<TagPtr> tags = ReadTagsOfType(FixturePath(kShortH263), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  constexpr std::size_t kTags = 12;
  ASSERT_LE(key + kTags, tags.size());
  OutputRecorder recorder;
  TagReleaser releaser;
  DecoderPtr decoder(FLVStreamDecoder_Create(1));
  ASSERT_EQ(FLVStreamDecoder_SetOutputFPS(decoder.get(), 25.0), 1);
  FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  for (std::size_t i = 0; i < kTags; ++i) {
    FLVTag* copy = CloneRaw(*tags[key + i]);
    copy->timestamp = static_cast<std::uint32_t>(i) * c.spacingMs;
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), copy), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(releaser.count(), kTags);
  const auto records = recorder.records();
  ASSERT_EQ(records.size(), c.firstFlags.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].timestamp, static_cast<std::int64_t>(i) * 400000) << i;
    EXPECT_EQ(records[i].duration, 400000);
    EXPECT_EQ(records[i].size, 320 * 240 * 4);
    EXPECT_EQ(records[i].firstFlag, c.firstFlags[i]) << i;
    EXPECT_EQ(records[i].secondFlag, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Spacings, VideoFrameRate,
    ::testing::Values(
        // One picture per tag.
        FrameRateCase{40, std::vector<int>(12, 1)},
        // Every picture twice; the last, shown one frame period, once.
        FrameRateCase{80, [] {
                        std::vector<int> flags(22, 0);
                        flags.push_back(1);
                        return flags;
                      }()},
        // Tags 0-3 kept, then every other one dropped (5, 7, 9), and the
        // last one kept.
        FrameRateCase{20, std::vector<int>(8, 1)}),
    [](const ::testing::TestParamInfo<FrameRateCase>& info) {
      return "every_" + std::to_string(info.param.spacingMs) + "ms";
    });

// H.264 with B-frames: the synchronous decoder gives each picture later
// than its tag, with its presentation time, the last ones for null tags;
// the worker emits the same pictures in the same order, the last one too.
TEST(VideoDecoder, H264PicturesComeInPresentationOrder) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kNone;
  fileSpec.video = VideoCodec::kH264;
  fileSpec.width = 200;
  fileSpec.height = 150;
  fileSpec.fps = 25;
  fileSpec.durationMs = 1000;
  const std::vector<TagPtr> tags = ReadTagsOfType(GenerateFlv(fileSpec), FLV_TAG_TYPE_VIDEO);
  ASSERT_EQ(tags.size(), 27u);  // sequence header, 25 pictures, end of sequence
  DecoderPtr sync = MakeSyncVideoDecoder(200, 150);
  std::vector<std::vector<std::uint8_t>> pictures;
  std::uint32_t time = 0;
  std::uint32_t first = 0;
  for (std::size_t i = 0; i <= tags.size() + 3; ++i) {
    std::vector<std::uint8_t> picture = Decode(sync.get(), i < tags.size() ? tags[i].get() : nullptr);
    if (picture.empty()) continue;
    ASSERT_EQ(FLVStreamDecoder_GetPictureTime(sync.get(), &time), 1);
    // The muxer starts the decoding times at 0, so presentation starts at
    // the first composition offset.
    if (pictures.empty()) first = time;
    EXPECT_EQ(time, first + pictures.size() * 40) << "after tag " << i;
    pictures.push_back(std::move(picture));
  }
  ASSERT_EQ(pictures.size(), 25u);

  OutputRecorder recorder(true);
  TagReleaser releaser;
  DecoderPtr worker(FLVStreamDecoder_Create(1));
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(worker.get(), 200, 150), 1);
  FLVStreamDecoder_SetOutputCallBack(worker.get(), &OutputRecorder::CallBack, &recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(worker.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(worker.get()), 1);
  for (const TagPtr& tag : tags) ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(worker.get(), CloneRaw(*tag)), 1);
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

class VideoCrop : public ::testing::Test {
 protected:
  void SetUp() override {
    tags = ReadTagsOfType(FixturePath(kShortH263), FLV_TAG_TYPE_VIDEO);
    key = FirstKeyFrame(tags);
    ASSERT_LT(key, tags.size());
    DecoderPtr full = MakeSyncVideoDecoder(320, 240);
    whole = Decode(full.get(), tags[key].get());
    ASSERT_EQ(whole.size(), 320u * 240 * 4);
  }

  // The region of the whole picture, row by row.
  std::vector<std::uint8_t> Region(int left, int top, int right, int bottom) const {
    std::vector<std::uint8_t> out;
    for (int y = top; y < bottom; ++y) {
      const auto row = whole.begin() + (static_cast<std::ptrdiff_t>(y) * 320 + left) * 4;
      out.insert(out.end(), row, row + (right - left) * 4);
    }
    return out;
  }

  std::vector<TagPtr> tags;
  std::size_t key = 0;
  std::vector<std::uint8_t> whole;
};

// Crop rectangles (kNoRect: none set) on the 320 x 240 key frame, with the
// output size set to the region's; a rectangle apart from the picture gives
// nothing, one larger than it is clipped, and a new rectangle takes effect
// at the next picture.
TEST_F(VideoCrop, TheCropRectangleSelectsTheRegionClippedToThePicture) {
  const FLVRect kNoRect{-1, -1, -1, -1};
  struct Row {
    FLVRect rect;
    int left, top, right, bottom;  // of the whole picture; right 0: nothing
  };
  DecoderPtr decoder = MakeSyncVideoDecoder(100, 100);
  for (const Row& row : {Row{{10, 20, 110, 120}, 10, 20, 110, 120}, Row{{400, 400, 500, 500}, 0, 0, 0, 0},
                         Row{kNoRect, -1, -1, -1, -1}}) {
    ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &row.rect), 1);
    const std::vector<std::uint8_t> picture = Decode(decoder.get(), tags[key].get());
    if (row.left < 0) {
      EXPECT_EQ(picture.size(), 100u * 100 * 4);  // the whole picture resized
    } else {
      EXPECT_EQ(picture, Region(row.left, row.top, row.right, row.bottom));
    }
  }
  DecoderPtr whole320 = MakeSyncVideoDecoder(320, 240);
  const FLVRect huge{-10, -10, 1000, 1000};
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(whole320.get(), &huge), 1);
  EXPECT_EQ(Decode(whole320.get(), tags[key].get()), whole);
  // A key frame declaring 316 x 228 whose decoded picture is 320 x 240 is
  // cut to its declared size.
  TagPtr declared = CloneTag(*tags[key]);
  declared->width = 316;
  declared->height = 228;
  DecoderPtr cut = MakeSyncVideoDecoder(316, 228);
  EXPECT_EQ(Decode(cut.get(), declared.get()), Region(0, 0, 316, 228));
}

TEST_F(VideoCrop, ResizingFollowsAChangeOfOutputSizeBetweenSynchronousDecodes) {
  DecoderPtr decoder = MakeSyncVideoDecoder(160, 120);
  EXPECT_EQ(Decode(decoder.get(), tags[key].get()).size(), 160u * 120 * 4);
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(decoder.get(), 64, 48), 1);
  EXPECT_EQ(Decode(decoder.get(), tags[key + 1].get()).size(), 64u * 48 * 4);
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(decoder.get(), 400, 300), 1);
  ASSERT_EQ(FLVStreamDecoder_SetResizeMode(decoder.get(), 2), 2);
  EXPECT_EQ(Decode(decoder.get(), tags[key + 2].get()).size(), 400u * 300 * 4);
}

// The brother is 2000 ms ahead and blocked: the starved video decoder
// repeats its last picture up to the brother's time.
TEST(VideoDecoder, GapFillRepeatsTheLastPicture) {
  const std::vector<TagPtr> tags = ReadTagsOfType(FixturePath(kShortH263), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  ASSERT_LT(key + 1, tags.size());
  std::vector<std::uint8_t> expected;
  {
    DecoderPtr sync = MakeSyncVideoDecoder(320, 240);
    expected = Decode(sync.get(), tags[key].get());
    ASSERT_FALSE(expected.empty());
  }
  Gate gate;
  OutputRecorder recorder(true);
  TagReleaser releaser;
  ProbeDecoder ahead;
  DecoderPtr video(FLVStreamDecoder_Create(1));
  auto* videoImpl = reinterpret_cast<kelvra::FLVStreamDecoder*>(video.get());
  ahead.SetBrother(videoImpl);
  ahead.SetMaxFLVTagQueue(1);
  ahead.onTag = [&](FLVTag*) { gate.Arrive(); };
  ahead.SetDeleteFLVTagCallBack(&TagReleaser::CallBack, &releaser);
  FLVStreamDecoder_SetBrother(video.get(), reinterpret_cast<::FLVStreamDecoder*>(&ahead));
  FLVStreamDecoder_SetOutputCallBack(video.get(), &OutputRecorder::CallBack, &recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(video.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(video.get()), 1);
  ASSERT_EQ(ahead.Run(), 1);

  for (std::uint32_t i = 0; i < 2; ++i) {
    FLVTag* copy = CloneRaw(*tags[key + i]);
    copy->timestamp = i * 40;
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(video.get(), copy), 1);
  }
  // The first picture is out (the second is held back).
  const auto firstOut = std::chrono::steady_clock::now() + 10s;
  while (recorder.count() < 1 && std::chrono::steady_clock::now() < firstOut) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(recorder.count(), 1u);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  ahead.SetCurrentTime(2000 * kUnitsPerMs);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(1)), 1);
  ASSERT_EQ(ahead.DeliverFLVPacket(MakeEmptyAudioTag(2)), 1);
  // (400000 + 400000) / 10000 + 2000 = 2080 ms: 52 frames due, 1 out.
  const auto filled = std::chrono::steady_clock::now() + 10s;
  while (recorder.count() < 52 && std::chrono::steady_clock::now() < filled) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(50ms);
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
    EXPECT_TRUE(records[i].bytes == expected) << i;
  }
  EXPECT_EQ(releaser.count(), 5u);
}

// VP6 with alpha built from a real VP6 key frame used as both the colour
// and the alpha frame: the fourth byte of each pixel is the alpha plane.
TEST(VideoDecoder, AlphaPlaneIsMergedIntoTheFourthByte) {
  const std::vector<TagPtr> tags =
      ReadTagsOfType(FixturePath("real/Red5_red5-server_red5.flv"), FLV_TAG_TYPE_VIDEO);
  const std::size_t key = FirstKeyFrame(tags);
  ASSERT_LT(key, tags.size());
  const FLVTag& vp6 = *tags[key];
  const int width = vp6.width;
  const int height = vp6.height;
  const std::vector<std::uint8_t> frame(vp6.vp6Data, vp6.vp6Data + vp6.vp6DataSize);
  Bytes payload = {static_cast<std::uint8_t>(vp6.videoData[0])};
  const auto offset = static_cast<std::uint32_t>(frame.size());
  payload.push_back(static_cast<std::uint8_t>(offset >> 16));
  payload.push_back(static_cast<std::uint8_t>(offset >> 8));
  payload.push_back(static_cast<std::uint8_t>(offset));
  payload.insert(payload.end(), frame.begin(), frame.end());
  payload.insert(payload.end(), frame.begin(), frame.end());
  FlvBuilder builder;
  builder.Header().Video(0, 1, 5, payload);
  std::vector<TagPtr> built = ReadTags(builder.bytes());
  ASSERT_EQ(built.size(), 1u);
  ASSERT_EQ(built[0]->codecId, 5);
  ASSERT_EQ(built[0]->width, width);

  // The alpha plane as the codec library gives it.
  MorlinDecoder* reference = FlvDecoder_Create(1, 4);
  ASSERT_NE(reference, nullptr);
  ASSERT_NE(FlvDecoder_Open(reference, 1, width, height), 0);
  std::uint8_t* plane = nullptr;
  int planeSize = 0;
  int planeWidth = 0;
  int planeHeight = 0;
  ASSERT_NE(FlvDecoder_DecodeVideo(reference, frame.data(), static_cast<int>(frame.size()), &plane,
                                   &planeSize, &planeWidth, &planeHeight),
            0);
  ASSERT_EQ(planeWidth, width);
  ASSERT_EQ(planeHeight, height);
  const std::vector<std::uint8_t> alpha(plane, plane + planeSize);
  FlvDecoder_Close(reference);
  FlvDecoder_Free(reference);

  DecoderPtr withAlpha = MakeSyncVideoDecoder(width, height);
  const std::vector<std::uint8_t> merged = Decode(withAlpha.get(), built[0].get());
  ASSERT_EQ(merged.size(), static_cast<std::size_t>(width) * height * 4);
  for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
    ASSERT_EQ(merged[4 * i + 3], alpha[2 * i]) << "pixel " << i;
  }

  // Without alpha decoding the colour part alone gives the VP6 picture.
  DecoderPtr colourOnly = MakeSyncVideoDecoder(width, height);
  ASSERT_EQ(FLVStreamDecoder_SetDecodeAlphaChannel(colourOnly.get(), 0), 1);
  DecoderPtr plain = MakeSyncVideoDecoder(width, height);
  const std::vector<std::uint8_t> colour = Decode(colourOnly.get(), built[0].get());
  EXPECT_EQ(colour, Decode(plain.get(), tags[key].get()));
  for (std::size_t i = 0; i < colour.size(); i += 4) {
    ASSERT_EQ(std::memcmp(&colour[i], &merged[i], 3), 0);
  }
}

TEST(VideoDecoder, AnAlphaOffsetBeyondTheBodyGivesNothing) {
  Bytes payload = {0x00, 0x7F, 0xFF, 0xFF};  // offset to alpha far past the end
  payload.resize(64, 0x11);
  FlvBuilder builder;
  builder.Header().Video(0, 1, 5, payload);
  std::vector<TagPtr> built = ReadTags(builder.bytes());
  ASSERT_EQ(built.size(), 1u);
  DecoderPtr decoder = MakeSyncVideoDecoder(320, 240);
  EXPECT_TRUE(Decode(decoder.get(), built[0].get()).empty());
}

}  // namespace
}  // namespace kelvra::test
