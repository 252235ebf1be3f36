// The video decoder: key-frame gating, frame-rate step, H.264 order, crop and
// resize (each codec's pictures are checked in the video frame reader's table).
#include <gtest/gtest.h>

#include <array>

#include "decoder/decoder_test_support.h"

namespace kelvra::test {
namespace {

DecoderPtr SyncDecoder(int width, int height) {
  DecoderPtr decoder(FLVStreamDecoder_Create(1));
  EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1), 1);
  EXPECT_EQ(FLVStreamDecoder_SetOutputSize(decoder.get(), width, height), 1);
  return decoder;
}

Bytes Decode(const DecoderPtr& decoder, FLVTag* tag) {
  std::uint8_t* data = nullptr;
  int size = 0;
  if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag, &data, &size) != 1) return {};
  return Bytes(data, data + size);
}

// A 320 x 240 H.263 file from its first key frame, and that frame decoded.
class ShortH263 : public ::testing::Test {
 protected:
  // Nothing comes out before the first key frame.
  void SetUp() override {
    tags = Fresh();
    ASSERT_GE(tags.size(), 12u);
    DecoderPtr decoder = SyncDecoder(320, 240);
    ASSERT_TRUE(tags[1]->frameType != 1 && Decode(decoder, tags[1].get()).empty());
    key = Decode(decoder, tags[0].get());
    ASSERT_EQ(key.size(), 320u * 240 * 4);
    ASSERT_FALSE(Decode(decoder, tags[1].get()).empty());
  }
  static std::vector<TagPtr> Fresh() {  // the video tags from the first key frame on
    auto tags = ReadTagsOfFile(FixturePath("real/apache_flex-sdk_short.flv"), FLV_TAG_TYPE_VIDEO);
    auto key = [](const TagPtr& t) { return t->frameType == 1; };
    tags.erase(tags.begin(), std::find_if(tags.begin(), tags.end(), key));
    return tags;
  }
  Bytes Region(int left, int top, int right, int bottom) const {
    Bytes out;
    for (int y = top; y < bottom; ++y) {
      const auto row = key.begin() + (static_cast<std::ptrdiff_t>(y) * 320 + left) * 4;
      out.insert(out.end(), row, row + (right - left) * 4);
    }
    return out;
  }
  std::vector<TagPtr> tags;
  Bytes key;
};

// Twelve tags at 25 frames/s out: one picture per tag at 40 ms spacing;
// every picture twice at 80 ms (the last, shown one period, once); at 20 ms
// tags 0-3 kept, then every other one dropped, and the last one kept.
TEST_F(ShortH263, OutputRunsAtTheOutputFrameRate) {
  std::vector<int> every80(22, 0);
  every80.push_back(1);
  for (const auto& [spacing, flags] : {std::pair{40u, std::vector<int>(12, 1)},
                                       {80u, every80},
                                       {20u, std::vector<int>(8, 1)}}) {
    SCOPED_TRACE(spacing);
    Recorder recorder;
    DecoderPtr decoder(FLVStreamDecoder_Create(1));
    ASSERT_EQ(FLVStreamDecoder_SetOutputFPS(decoder.get(), 25.0), 1);
    recorder.Run(decoder.get());
    std::vector<TagPtr> spaced = Fresh();
    for (std::uint32_t i = 0; i < 12; ++i) {
      spaced[i]->timestamp = i * spacing;
      ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), spaced[i].release()), 1);
    }
    ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
    EXPECT_EQ(recorder.released().size(), 12u);
    std::vector<std::array<std::int64_t, 5>> got, want;
    for (const OutputRecord& r : recorder.records())
      got.push_back({r.timestamp, r.duration, r.size, r.firstFlag, r.secondFlag});
    for (std::int64_t i = 0; i < static_cast<std::int64_t>(flags.size()); ++i)
      want.push_back({i * 400000, 400000, 320 * 240 * 4, flags[i], 0});
    EXPECT_EQ(got, want);
  }
}

// H.264 with B-frames: the synchronous decoder gives each picture later than
// its tag, with its presentation time, the last ones for null tags; the
// worker emits the same pictures in the same order, from time 0 on.
TEST(VideoDecoder, H264PicturesComeInPresentationOrder) {
  std::vector<TagPtr> tags = ReadTagsOfFile(
      GenerateFlv({.audio = AudioCodec::kNone, .video = VideoCodec::kH264, .width = 200,
                   .height = 150, .fps = 25, .durationMs = 1000}),
      FLV_TAG_TYPE_VIDEO);
  ASSERT_EQ(tags.size(), 27u);  // sequence header, 25 pictures, end of sequence
  DecoderPtr sync = SyncDecoder(200, 150);
  std::vector<Bytes> pictures;
  std::uint32_t time = 0, first = 0;
  for (std::size_t i = 0; i <= tags.size() + 3; ++i) {
    Bytes picture = Decode(sync, i < tags.size() ? tags[i].get() : nullptr);
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
  for (TagPtr& tag : tags)
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(worker.get(), tag.release()), 1);
  ASSERT_EQ(FLVStreamDecoder_Stop(worker.get()), 1);
  const std::size_t lead = first / 40;  // periods before the first presentation time
  const auto records = recorder.records();
  ASSERT_EQ(records.size(), lead + pictures.size());
  for (std::size_t i = 0; i < records.size(); ++i)
    EXPECT_TRUE(records[i].bytes == pictures[i < lead ? 0 : i - lead]) << i;
}

// A rectangle apart from the picture gives nothing, one larger than it is clipped, none (-1s)
// resizes the whole; a key frame declaring 316 x 228 whose picture is 320 x 240 is cut to its
// declared size; the output size may change between synchronous decodes.
TEST_F(ShortH263, CropRectangleAndResize) {
  DecoderPtr decoder = SyncDecoder(100, 100);
  const FLVRect inside{10, 20, 110, 120}, apart{400, 400, 500, 500}, none{-1, -1, -1, -1},
      huge{-10, -10, 999, 999};
  for (const auto& [rect, expected] :
       {std::pair{inside, Region(10, 20, 110, 120)}, {apart, Bytes()}}) {
    ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &rect), 1);
    EXPECT_EQ(Decode(decoder, tags[0].get()), expected);
  }
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(decoder.get(), &none), 1);
  EXPECT_EQ(Decode(decoder, tags[0].get()).size(), 100u * 100 * 4);
  DecoderPtr whole = SyncDecoder(320, 240);
  ASSERT_EQ(FLVStreamDecoder_SetCropRect(whole.get(), &huge), 1);
  EXPECT_EQ(Decode(whole, tags[0].get()), key);
  tags[0]->width = 316;
  tags[0]->height = 228;
  EXPECT_EQ(Decode(SyncDecoder(316, 228), tags[0].get()), Region(0, 0, 316, 228));
  ASSERT_EQ(FLVStreamDecoder_SetOutputSize(whole.get(), 400, 300), 1);
  ASSERT_EQ(FLVStreamDecoder_SetResizeMode(whole.get(), 2), 2);
  EXPECT_EQ(Decode(whole, tags[1].get()).size(), 400u * 300 * 4);
}

}  // namespace
}  // namespace kelvra::test
