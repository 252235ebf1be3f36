// The video frame reader stepped and jumping against decoding forward from the start.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "decoder/decoder_test_support.h"
#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

std::size_t Hash(const std::string& bytes) { return std::hash<std::string>{}(bytes); }

// A picture as decoding forward shows it (hashed with its rows bottom first).
struct Picture {
  std::uint32_t start = 0, duration = 0;  // ms
  std::size_t hash = 0;
};

struct Pictures {
  TagReaderPtr reader;
  FLVInfo info{};
  std::size_t pictureBytes = 0, blackHash = 0;
  std::vector<Picture> reference;
  VideoFrameReader* frames = nullptr;
  double fps = 0;
  ~Pictures() { VideoFrameReader_Delete(frames); }

  // Every video tag decoded in file order up to the first after `lastFrame`.
  Pictures(const std::string& path, double framesPerSecond, int lastFrame = -1, int autoRelease = 1)
      : reader(FLVAVTagReader_Create()), fps(framesPerSecond) {
    EXPECT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << path;
    FLVAVTagReader_GetFLVInfoEx(reader.get(), &info);
    if (fps == 0) fps = info.frameRate;
    const std::uint32_t untilMs = lastFrame < 0 ? UINT32_MAX : TimeOf(lastFrame);
    pictureBytes = static_cast<std::size_t>(info.width) * info.height * 4;
    TagReaderPtr forward(FLVAVTagReader_Create());
    FLVAVTagReader_Open(forward.get(), path.c_str());
    DecoderPtr decoder(FLVStreamDecoder_Create(1));
    FLVStreamDecoder_SetOutputSize(decoder.get(), info.width, info.height);
    FLVStreamDecoder_SetResizeMode(decoder.get(), 2);
    FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1);
    FLVStreamDecoder_SetDecodeAlphaChannel(decoder.get(), 0);
    blackHash = Hash(std::string(pictureBytes, '\0'));
    const bool h264 = info.videoCodec == 7;
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    for (;;) {
      const bool read = FLVAVTagReader_ReadTag(forward.get(), 1, FLV_TAG_TYPE_VIDEO, &tag,
                                               &duration) == FLV_READER_OK;
      if (!read && !h264) break;
      std::uint8_t* out = nullptr;
      int size = 0;
      const bool decoded =
          FLVStreamDecoder_DecodeFLVTag(decoder.get(), read ? tag : nullptr, &out, &size) != 0 &&
          static_cast<std::size_t>(size) == pictureBytes;
      if (h264 && !decoded && !read) break;
      if (h264 && !decoded) continue;
      Picture picture{tag->timestamp, duration, blackHash};
      if (h264) FLVStreamDecoder_GetPictureTime(decoder.get(), &picture.start);
      if (decoded) {
        std::string bottomFirst;
        for (int y = info.height - 1; y >= 0; --y)
          bottomFirst.append(reinterpret_cast<char*>(out) + y * info.width * 4, info.width * 4);
        picture.hash = Hash(bottomFirst);
      }
      reference.push_back(picture);
      if (picture.start > untilMs) break;
    }
    FLVAVTagReader_SetAutoReleaseMemory(reader.get(), autoRelease);
    frames = VideoFrameReader_Create(reader.get(), fps, 0);
    EXPECT_NE(frames, nullptr);
  }

  std::uint32_t TimeOf(int frame) const { return static_cast<std::uint32_t>(frame * 1000.0 / fps); }
  const Picture* At(std::uint32_t t) const {
    for (const Picture& p : reference)
      if (p.start <= t && std::uint64_t{t} < std::uint64_t{p.start} + p.duration) return &p;
    return nullptr;
  }
  std::size_t Read(int frame) const {
    const auto* picture = reinterpret_cast<const char*>(VideoFrameReader_ReadFrame(frames, frame));
    return picture == nullptr ? 0 : Hash(std::string(picture, pictureBytes));
  }
  void Expect(int frame) const {
    const Picture* expected = At(TimeOf(frame));
    ASSERT_NE(expected, nullptr) << "no tag covers " << TimeOf(frame) << " ms";
    EXPECT_EQ(Read(frame), expected->hash)
        << "frame " << frame << ", tag at " << expected->start << " ms";
  }
  bool IsBlack(int frame) const { return Read(frame) == blackHash; }
};

using enum VideoCodec;

std::function<std::string()> Made(VideoCodec codec, int ms, int width = 160, int height = 120) {
  return [=] {
    return GenerateFlv({.audio = AudioCodec::kNone, .video = codec, .width = width,
                        .height = height, .fps = 25, .durationMs = ms});
  };
}
std::function<std::string()> Fixture(const char* path) { return [=] { return FixturePath(path); }; }

std::string Write(const std::string& name, const std::vector<TagPtr>& tags) {
  FlvBuilder builder;
  builder.Header();
  for (const TagPtr& t : tags)
    builder.Tag(t->tagType, t->timestamp, Bytes(t->data, t->data + t->dataSize));
  builder.WriteTo(TestTempDir() + "/" + name);
  return TestTempDir() + "/" + name;
}

std::string NoFirstKeyFrame() {
  std::vector<TagPtr> tags = ReadTagsOfFile(Made(kH263, 3000)());
  tags.erase(std::find_if(tags.begin(), tags.end(), [](const TagPtr& t) {
    return t->tagType == FLV_TAG_TYPE_VIDEO && t->frameType == 1;
  }));
  return Write("no_first_key.flv", tags);
}

// H.264 200 x 150, then from 2 s a second sequence header and 320 x 240.
std::string H264SizeChange() {
  std::vector<TagPtr> tags = ReadTagsOfFile(Made(kH264, 2000, 200, 150)());
  for (TagPtr& t : ReadTagsOfFile(Made(kH264, 2000, 320, 240)())) {
    t->timestamp += 2000;
    if (t->tagType == FLV_TAG_TYPE_VIDEO) tags.push_back(std::move(t));
  }
  return Write("h264_size_change.flv", tags);
}

struct Row {
  const char* name;
  std::function<std::string()> file;
  double fps;  // 0: the file's own
  int stepTo;  // frames 0 .. stepTo - 1 first (-1: every tag's), then the jumps
  std::vector<int> jumps;
  int blackFrames;  // how many of the frames read must be black
};

class VideoFrames : public testing::TestWithParam<Row> {};

TEST_P(VideoFrames, SizeAndPictureAtEachFramesTime) {
  const Row& row = GetParam();
  std::vector<int> order = row.jumps;
  const int last =
      std::max(row.stepTo, order.empty() ? 0 : *std::max_element(order.begin(), order.end()));
  Pictures p(row.file(), row.fps, row.stepTo < 0 ? -1 : last);
  const int steps = row.stepTo < 0 ? static_cast<int>(p.reference.size()) - 1 : row.stepTo;
  for (int frame = steps - 1; frame >= 0; --frame) order.insert(order.begin(), frame);
  int black = 0;
  for (const int frame : order) {
    p.Expect(frame);
    const Picture* expected = p.At(p.TimeOf(frame));
    black += expected != nullptr && expected->hash == p.blackHash;
  }
  EXPECT_EQ(black, row.blackFrames);
}

// NoFirstKeyFrame: black up to the key frame at 1 s, then back into black and across it.
// H264SizeChange: resized to the first size. H264FirstReadIsASeek: the header is given again.
INSTANTIATE_TEST_SUITE_P(
    Files, VideoFrames,
    testing::ValuesIn(std::vector<Row>{
        {"H263Jumps", Made(kH263, 7000), 25, 0,
            {30, 31, 12, 13, 24, 25, 49, 10, 160, 161, 40, 74, 75, 170, 24, 0, 1, 99}, 0},
        {"FourFramesPerTag", Made(kH263, 2000), 100, 40, {}, 0},
        {"Vp6Stepped", Fixture("real/Red5_red5-server_red5.flv"), 0, -1, {5, 2, 9, 0, 7, 3}, 0},
        {"H264Red5", Fixture("real/Red5_red5-server_flashContent.flv"), 0, 0,
            {15, 16, 17, 18, 22, 29, 16, 25}, 0},
        {"Vp6FarJumps", Fixture("real/apache_flex-sdk_caltrain.flv"), 0, 0,
            {100, 101, 102, 40, 41, 59, 60, 61, 200, 201, 119, 10}, 0},
        {"NoFirstKeyFrame", NoFirstKeyFrame, 25, 40, {60, 5, 6, 23, 24, 25, 26, 2, 30}, 24 + 4},
        {"H264SizeChange", H264SizeChange, 25, 0, {2, 3, 4, 60, 10, 49, 52, 30, 75, 3, 90, 97}, 0},
        {"H264FirstReadIsASeek", Made(kH264, 2000, 200, 150), 25, 0, {40, 41, 10}, 0}}),
    [](const auto& info) { return std::string(info.param.name); });

// Past the last tag its picture stays; a first read or seek past the video's end is black.
TEST(VideoFrameReader, TheEndOfTheVideo) {
  const std::string path = Made(kH263, 2000)();
  Pictures p(path, 25);
  for (int frame = 0; frame < 50; ++frame) p.Expect(frame);
  for (int frame = 50; frame < 60; ++frame) EXPECT_EQ(p.Read(frame), p.reference.back().hash);
  EXPECT_TRUE(p.IsBlack(500) && p.IsBlack(501));
  p.Expect(10);
  EXPECT_TRUE(p.IsBlack(500));
  p.Expect(3);
  Pictures late(path, 25, -1, 0);
  EXPECT_TRUE(late.IsBlack(55));
  late.Expect(48);
  // A tag reader closed underneath: going back finds no key frame.
  FLVAVTagReader_Close(late.reader.get());
  EXPECT_NE(VideoFrameReader_ReadFrame(late.frames, 49), nullptr);
  EXPECT_TRUE(late.IsBlack(1));
}

}  // namespace
}  // namespace kelvra::test
