// The video frame reader stepped frame by frame at the file's rate and
// jumping about: every picture equals what decoding forward from the file's
// start shows at that time, black where no key frame has come yet.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <limits>
#include <vector>

#include "frame_readers/frame_test_util.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

constexpr int kBytesPerPixel = 4;
constexpr int kFileFps = 25;

struct Pictures {
  TagReaderPtr reader;
  VideoFramesPtr frames;
  double fps = 0;
  std::size_t pictureBytes = 0;
  std::vector<ReferencePicture> reference;
};

// An open tag reader at the file's start, a frame reader over it and the
// file decoded forward tag by tag.
Pictures Open(const std::string& path, double fps,
              std::uint32_t untilMs = std::numeric_limits<std::uint32_t>::max()) {
  Pictures p;
  p.fps = fps;
  p.reference = DecodeVideoTagByTag(path, untilMs);
  p.reader = OpenTagReader(path);
  if (p.reader == nullptr) return p;
  FLVInfo info{};
  FLVAVTagReader_GetFLVInfoEx(p.reader.get(), &info);
  p.pictureBytes = static_cast<std::size_t>(info.width) * info.height * kBytesPerPixel;
  p.frames.reset(VideoFrameReader_Create(p.reader.get(), fps, 0));
  return p;
}

std::uint32_t TimeOf(int frame, double fps) {
  return static_cast<std::uint32_t>(static_cast<double>(frame) * 1000.0 / fps);
}

// Frame `frame` equals the picture decoding forward shows at its time.
void ExpectFrame(Pictures& p, int frame) {
  const std::uint32_t t = TimeOf(frame, p.fps);
  const ReferencePicture* expected = PictureAt(p.reference, t);
  ASSERT_NE(expected, nullptr) << "no tag covers " << t << " ms";
  const std::uint8_t* picture = VideoFrameReader_ReadFrame(p.frames.get(), frame);
  ASSERT_NE(picture, nullptr);
  EXPECT_EQ(HashBytes(picture, p.pictureBytes), expected->hash)
      << "frame " << frame << " at " << t << " ms, tag at " << expected->start << " ms"
      << (expected->black ? " (black)" : "");
}

bool IsBlack(const std::uint8_t* picture, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (picture[i] != 0) return false;
  }
  return true;
}

FlvSpec H263File(int durationMs) {
  FlvSpec file;
  file.audio = AudioCodec::kNone;
  file.video = VideoCodec::kH263;
  file.fps = kFileFps;
  file.durationMs = durationMs;
  return file;
}

// The generated file is video only with a key frame every second: the first
// tag after the last picture of a second is the next key frame itself.
TEST(VideoFrameReader, SteppingAtTheFilesRateShowsEachTagOnce) {
  const std::string path = GenerateFlv(H263File(3000));
  ASSERT_FALSE(path.empty());
  Pictures p = Open(path, kFileFps);
  ASSERT_NE(p.frames, nullptr);
  ASSERT_EQ(p.reference.size(), 75u);
  for (int frame = 0; frame < 75; ++frame) {
    ASSERT_EQ(PictureAt(p.reference, TimeOf(frame, kFileFps)), &p.reference[frame]);
    ExpectFrame(p, frame);
  }
  for (const ReferencePicture& picture : p.reference) EXPECT_FALSE(picture.black);
}

// Frames read in the order given equal what decoding forward shows: a
// first read in mid-file, backwards across key frames, the last frame
// before a key frame, forward by more than 4 s, short steps after each.
struct JumpRow {
  const char* name;
  std::string (*file)();
  double fps;  // 0: the file's own
  std::vector<int> frames;
};

class VideoFrameJumps : public testing::TestWithParam<JumpRow> {};

TEST_P(VideoFrameJumps, ShowWhatDecodingForwardShows) {
  const JumpRow& row = GetParam();
  const std::string path = row.file();
  double fps = row.fps;
  if (fps == 0) {
    TagReaderPtr probe = OpenTagReader(path);
    ASSERT_NE(probe, nullptr);
    FLVInfo info{};
    ASSERT_EQ(FLVAVTagReader_GetFLVInfoEx(probe.get(), &info), 1);
    fps = info.frameRate;
  }
  Pictures p = Open(path, fps, TimeOf(*std::max_element(row.frames.begin(), row.frames.end()), fps));
  ASSERT_NE(p.frames, nullptr);
  for (const int frame : row.frames) ExpectFrame(p, frame);
}

std::vector<int> Upto(int count) {
  std::vector<int> frames(static_cast<std::size_t>(count));
  std::iota(frames.begin(), frames.end(), 0);
  return frames;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, VideoFrameJumps,
    testing::Values(
        JumpRow{"H263Jumps", [] { return GenerateFlv(H263File(7000)); }, kFileFps,
                {30, 31, 12, 13, 24, 25, 49, 10, 160, 161, 40, 74, 75, 170, 24, 0, 1, 99}},
        // Four frames per tag: within a picture's span the same one comes back.
        JumpRow{"FourFramesPerTag", [] { return GenerateFlv(H263File(2000)); }, 4 * kFileFps, Upto(40)},
        // A longer real VP6 file with sound and a key frame every two seconds.
        JumpRow{"Vp6FarJumps", [] { return FixturePath("real/apache_flex-sdk_caltrain.flv"); }, 0,
                {100, 101, 102, 40, 41, 59, 60, 61, 200, 201, 119, 10}}),
    [](const auto& info) { return std::string(info.param.name); });

// Stepping on past the last tag keeps its picture; a first read (or a seek)
// within one frame interval of the video's end is black.
TEST(VideoFrameReader, TheEndOfTheVideo) {
  const std::string path = GenerateFlv(H263File(2000));
  ASSERT_FALSE(path.empty());
  {
    Pictures p = Open(path, kFileFps);
    ASSERT_NE(p.frames, nullptr);
    for (int frame = 0; frame < 50; ++frame) ExpectFrame(p, frame);
    for (int frame = 50; frame < 60; ++frame) {
      EXPECT_EQ(HashBytes(VideoFrameReader_ReadFrame(p.frames.get(), frame), p.pictureBytes),
                p.reference.back().hash);
    }
    EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), 500), p.pictureBytes));
    EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), 501), p.pictureBytes));
    // Back from the black end into the span of the picture shown before it.
    ExpectFrame(p, 10);
    EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), 500), p.pictureBytes));
    ExpectFrame(p, 10);
    ExpectFrame(p, 3);
  }
  {
    // A first read after the last tag's time stamp but more than a frame
    // interval before the video's end still shows the last picture.
    Pictures p = Open(path, 4 * kFileFps);
    ASSERT_NE(p.frames, nullptr);
    ASSERT_EQ(PictureAt(p.reference, TimeOf(197, 4 * kFileFps)), &p.reference.back());
    ExpectFrame(p, 197);
  }
  {
    Pictures p = Open(path, kFileFps);
    ASSERT_NE(p.frames, nullptr);
    EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), 55), p.pictureBytes));
    ExpectFrame(p, 48);
  }
}

// The generated file with its first key frame cut out: it starts with
// inter frames that cannot be decoded until the key frame at 1 s.
std::string CutFirstKeyFrame() {
  std::vector<RawTag> tags = ReadRawTags(GenerateFlv(H263File(3000)));
  for (auto it = tags.begin(); it != tags.end(); ++it) {
    if (it->type == FLV_TAG_TYPE_VIDEO && !it->body.empty() && (it->body[0] >> 4) == 1) {
      tags.erase(it);
      break;
    }
  }
  const std::string path = TestTempDir() + "/h263_without_first_key_frame.flv";
  WriteRawTags(path, tags);
  return path;
}

TEST(VideoFrameReader, BeforeTheFirstKeyFrameThePictureIsBlack) {
  const std::string path = CutFirstKeyFrame();
  Pictures p = Open(path, kFileFps);
  ASSERT_NE(p.frames, nullptr);
  // The parser's own empty audio tag leads the video; the video itself now
  // starts with inter frames.
  ASSERT_GT(p.reference.size(), 30u);
  EXPECT_TRUE(p.reference.front().black);
  std::size_t firstPicture = 0;
  while (firstPicture < p.reference.size() && p.reference[firstPicture].black) ++firstPicture;
  ASSERT_LT(firstPicture, p.reference.size());
  // The key frame was at 1 s; the time line now starts at the first inter
  // frame, 40 ms later.
  const std::uint32_t keyTime = p.reference[firstPicture].start;
  EXPECT_EQ(keyTime, 960u);

  for (int frame = 0; frame < 40; ++frame) {
    ExpectFrame(p, frame);
    if (TimeOf(frame, kFileFps) < keyTime) {
      EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), frame), p.pictureBytes));
    }
  }
  // Back into the black span after decoding on, then forward across the key
  // frame again: the pictures must come from the key frame, not from where
  // the tag reader last stood.
  for (const int frame : {60, 5, 6, 23, 24, 25, 26, 2, 30}) ExpectFrame(p, frame);
}

TEST(VideoFrameReader, RealVp6FileSteppedAndJumpedAbout) {
  const std::string path = FixturePath("real/Red5_red5-server_red5.flv");
  TagReaderPtr probe = OpenTagReader(path);
  ASSERT_NE(probe, nullptr);
  FLVInfo info{};
  ASSERT_EQ(FLVAVTagReader_GetFLVInfoEx(probe.get(), &info), 1);
  ASSERT_EQ(info.videoCodec, 4);
  ASSERT_GT(info.frameRate, 1.0);

  Pictures p = Open(path, info.frameRate);
  ASSERT_NE(p.frames, nullptr);
  ASSERT_GT(p.reference.size(), 10u);
  const int frames = static_cast<int>(p.reference.size()) - 1;
  for (int frame = 0; frame < frames; ++frame) ExpectFrame(p, frame);
  for (const int frame : {5, 2, 9, 0, 7, 3}) ExpectFrame(p, frame);
  for (const ReferencePicture& picture : p.reference) EXPECT_FALSE(picture.black);
}

FlvSpec H264File(int width, int height, int durationMs) {
  FlvSpec file = H263File(durationMs);
  file.video = VideoCodec::kH264;
  file.width = width;
  file.height = height;
  return file;
}

// H.264 with B-frames (pictures later than their tags), and a second
// sequence header at 2 s that changes the size: the size shown is the
// first, the pictures after the change are resized to it, and a seek
// into either part decodes with that part's header.
TEST(VideoFrameReader, H264SteppedAndJumpedAboutAcrossASizeChange) {
  std::vector<RawTag> tags = ReadRawTags(GenerateFlv(H264File(200, 150, 2000)));
  for (RawTag tag : ReadRawTags(GenerateFlv(H264File(320, 240, 2000)))) {
    if (tag.type != FLV_TAG_TYPE_VIDEO) continue;
    tag.timestamp += 2000;
    tags.push_back(tag);
  }
  const std::string path = TestTempDir() + "/h264_size_change.flv";
  WriteRawTags(path, tags);
  Pictures p = Open(path, kFileFps);
  ASSERT_NE(p.frames, nullptr);
  ASSERT_EQ(p.pictureBytes, 200u * 150 * kBytesPerPixel);
  ASSERT_EQ(p.reference.size(), 100u);
  for (int frame = 2; frame < 98; ++frame) ExpectFrame(p, frame);
  for (const int frame : {60, 10, 49, 52, 30, 75, 3, 90}) ExpectFrame(p, frame);
  for (const ReferencePicture& picture : p.reference) EXPECT_FALSE(picture.black);
}

TEST(VideoFrameReader, ATagReaderThatIsNotOpenIsRefused) {
  EXPECT_EQ(VideoFrameReader_Create(nullptr, 25.0, 0), nullptr);
  TagReaderPtr closed(FLVAVTagReader_Create());
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(VideoFrameReader_Create(closed.get(), 25.0, 0), nullptr);
  EXPECT_EQ(VideoFrameReader_ReadFrame(nullptr, 0), nullptr);
  VideoFrameReader_Delete(nullptr);

  // Open, but without a usable frame rate.
  const std::string path = GenerateFlv(H263File(2000));
  TagReaderPtr reader = OpenTagReader(path);
  ASSERT_NE(reader, nullptr);
  EXPECT_EQ(VideoFrameReader_Create(reader.get(), 0.0, 0), nullptr);
  EXPECT_EQ(VideoFrameReader_Create(reader.get(), -25.0, 0), nullptr);
  EXPECT_EQ(VideoFrameReader_Create(reader.get(), std::nan(""), 0), nullptr);
}

TEST(VideoFrameReader, ATagReaderClosedUnderneathGivesBlack) {
  const std::string path = GenerateFlv(H263File(2000));
  Pictures p = Open(path, kFileFps);
  ASSERT_NE(p.frames, nullptr);
  ExpectFrame(p, 3);
  FLVAVTagReader_Close(p.reader.get());
  // Nothing more can be read: stepping on keeps the last picture, as past the
  // last tag; going back finds no key frame and gives black.
  EXPECT_NE(VideoFrameReader_ReadFrame(p.frames.get(), 20), nullptr);
  EXPECT_TRUE(IsBlack(VideoFrameReader_ReadFrame(p.frames.get(), 1), p.pictureBytes));
}

}  // namespace
}  // namespace kelvra::test
