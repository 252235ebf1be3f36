#include "flv/flv_tag_parsing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "flv/audio_format_tracker.h"
#include "flv/flv_tag_constants.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

// Lets a test make the data block allocation fail. Only the non-throwing
// array form is replaced; it hands out memory from the ordinary array form
// so that delete[] matches.
namespace {
std::atomic<bool> gFailNothrowArrayNew{false};
}  // namespace

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (gFailNothrowArrayNew.load()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace kelvra {
namespace {

using test::Bytes;
using test::FlvBuilder;

constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;

struct TagDeleter {
  void operator()(FLVTag* tag) const { DeleteFLVTag(tag); }
};
using TagPtr = std::unique_ptr<FLVTag, TagDeleter>;

// Parses the one tag `stream` holds (no file header) into `tag` the way the
// stream parser does: header without, then with allocation, then the body
// from a copy holding exactly `bodyBytes` bytes (all of body and trailing
// field when negative), so that any overread is caught by the sanitizers.
bool ParseInto(FLVTag* tag, const Bytes& stream, long bodyBytes = -1) {
  const std::vector<std::uint8_t> header(stream.begin(), stream.begin() + kTagHeaderSize);
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  if (!ParseFLVTagHeader(header.data(), header.size(), false, tag, &position, &toEnd)) return false;
  if (!ParseFLVTagHeader(header.data(), header.size(), true, tag, &position, &toEnd)) return false;
  const std::size_t available = stream.size() - kTagHeaderSize;
  const std::size_t length = bodyBytes < 0 ? available : static_cast<std::size_t>(bodyBytes);
  const std::vector<std::uint8_t> body(stream.begin() + kTagHeaderSize,
                                       stream.begin() + kTagHeaderSize + length);
  return ParseFLVTagBody(body.data(), body.size(), tag);
}

TagPtr ParseTag(const Bytes& stream, long bodyBytes = -1) {
  TagPtr tag(NewFLVTag());
  EXPECT_TRUE(ParseInto(tag.get(), stream, bodyBytes));
  return tag;
}

Bytes VideoTag(int frameType, int codecId, const Bytes& payload) {
  return FlvBuilder().Video(0, frameType, codecId, payload).bytes();
}

Bytes AudioTag(int format, int rate, int size, int type, const Bytes& payload) {
  return FlvBuilder().Audio(0, format, rate, size, type, payload).bytes();
}

// ---------------------------------------------------------------- file header

TEST(ParseFLVHeader, ReadsVersionFlagsAndWhereTheFirstTagBegins) {
  test::FlvHeaderOptions options;
  options.version = 0xFE;
  options.hasAudio = true;
  options.hasVideo = false;
  const Bytes bytes = FlvBuilder().Header(options).bytes();
  FLVHeaderFields header;
  ASSERT_TRUE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header));
  EXPECT_EQ(header.version, 0xFE);
  EXPECT_EQ(header.hasAudio, 1);
  EXPECT_EQ(header.hasVideo, 0);
  EXPECT_EQ(header.bytesToSkip, 4);
  EXPECT_EQ(header.firstTagPosition, 13);

  options.hasAudio = false;
  options.hasVideo = true;
  options.dataOffset = 20;
  const Bytes longer = FlvBuilder().Header(options).bytes();
  ASSERT_TRUE(ParseFLVHeader(longer.data(), kFileHeaderSize, &header));
  EXPECT_EQ(header.hasAudio, 0);
  EXPECT_EQ(header.hasVideo, 1);
  EXPECT_EQ(header.bytesToSkip, 15);
  EXPECT_EQ(header.firstTagPosition, 24);
  // The first tag begins exactly there in the stream.
  EXPECT_EQ(static_cast<std::size_t>(header.firstTagPosition), longer.size());
}

TEST(ParseFLVHeader, OnlyTheTwoFlagBitsCount) {
  Bytes bytes = FlvBuilder().Header().bytes();
  bytes[4] = 0xFA;  // every bit but the two flags
  FLVHeaderFields header;
  ASSERT_TRUE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header));
  EXPECT_EQ(header.hasAudio, 0);
  EXPECT_EQ(header.hasVideo, 0);
  bytes[4] = 0x05;
  ASSERT_TRUE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header));
  EXPECT_EQ(header.hasAudio, 1);
  EXPECT_EQ(header.hasVideo, 1);
}

TEST(ParseFLVHeader, RejectsAWrongSignatureAndZeroesTheOutputs) {
  for (const char* signature : {"FLX", "XLV", "FXV", "flv"}) {
    test::FlvHeaderOptions options;
    options.signature = signature;
    const Bytes bytes = FlvBuilder().Header(options).bytes();
    FLVHeaderFields header;
    header.version = 7;
    header.bytesToSkip = 99;
    EXPECT_FALSE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header)) << signature;
    EXPECT_EQ(header.version, 0);
    EXPECT_EQ(header.bytesToSkip, 0);
  }
  const Bytes bytes = FlvBuilder().Header().bytes();
  FLVHeaderFields header;
  // Eight bytes: the data offset is incomplete.
  const std::vector<std::uint8_t> shortCopy(bytes.begin(), bytes.begin() + 8);
  EXPECT_FALSE(ParseFLVHeader(shortCopy.data(), shortCopy.size(), &header));
  EXPECT_FALSE(ParseFLVHeader(nullptr, 9, &header));
}

TEST(ParseFLVHeader, KeepsTheSkipCountUsableForAbsurdDataOffsets) {
  FLVHeaderFields header;
  for (std::uint32_t offset : {0u, 3u, 5u}) {
    test::FlvHeaderOptions options;
    options.dataOffset = offset;
    const Bytes bytes = FlvBuilder().Header(options).bytes();
    ASSERT_TRUE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header));
    EXPECT_EQ(header.bytesToSkip, 0) << offset;
    EXPECT_EQ(header.firstTagPosition, 9) << offset;
  }
  Bytes bytes = FlvBuilder().Header().bytes();
  bytes[5] = bytes[6] = bytes[7] = bytes[8] = 0xFF;
  ASSERT_TRUE(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header));
  EXPECT_EQ(header.bytesToSkip, std::numeric_limits<std::int32_t>::max());
  EXPECT_GT(header.firstTagPosition, 0);
}

// ----------------------------------------------------------------- tag header

TEST(ParseFLVTagHeader, ReadsTheFieldsAndKeepsStreamBookkeeping) {
  const Bytes stream = FlvBuilder().Tag(kAudio, 1000 + (1u << 24), Bytes(30, 0x11), 0xABCDEF).bytes();
  TagPtr tag(NewFLVTag());
  std::int64_t position = 1000;
  std::uint32_t toEnd = 0;
  ASSERT_TRUE(ParseFLVTagHeader(stream.data(), kTagHeaderSize, false, tag.get(), &position, &toEnd));
  EXPECT_EQ(tag->tagType, 8);
  EXPECT_EQ(tag->dataSize, 30u);
  EXPECT_EQ(tag->storedSize, 45);
  EXPECT_EQ(toEnd, 34u);
  EXPECT_EQ(tag->timestamp, 1000u + (1u << 24));
  EXPECT_EQ(tag->streamId, 0xABCDEF);
  EXPECT_EQ(tag->filePosition, 1000);
  EXPECT_EQ(position, 1045);
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);

  // With allocation the position is left alone and the block holds the
  // header copy.
  ASSERT_TRUE(ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, tag.get(), &position, &toEnd));
  EXPECT_EQ(position, 1045);
  EXPECT_EQ(tag->filePosition, 1000);
  ASSERT_NE(tag->block, nullptr);
  EXPECT_EQ(tag->data, tag->block + kTagHeaderSize);
  EXPECT_EQ(std::memcmp(tag->block, stream.data(), kTagHeaderSize), 0);
}

TEST(ParseFLVTagHeader, TimestampExtensionIsTheHighByte) {
  Bytes stream = FlvBuilder().Tag(kVideo, 0, Bytes{0x12}).bytes();
  stream[4] = 0x00;
  stream[5] = 0x03;
  stream[6] = 0xE8;
  stream[7] = 0x01;
  TagPtr tag = ParseTag(stream);
  EXPECT_EQ(tag->timestamp, 1000u + 16777216u);
}

TEST(ParseFLVTagHeader, FailsOnAShortHeaderWithoutABlock) {
  const Bytes stream = FlvBuilder().Tag(kAudio, 5, Bytes(3, 0)).bytes();
  const std::vector<std::uint8_t> shortCopy(stream.begin(), stream.begin() + 10);
  TagPtr tag(NewFLVTag());
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  EXPECT_FALSE(ParseFLVTagHeader(shortCopy.data(), shortCopy.size(), true, tag.get(), &position, &toEnd));
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
}

TEST(ParseFLVTagHeader, AllocationFailureLeavesTheTagWithoutABlock) {
  const Bytes stream = FlvBuilder().Tag(kAudio, 5, Bytes(100, 0x22)).bytes();
  TagPtr tag(NewFLVTag());
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  gFailNothrowArrayNew = true;
  const bool parsed = ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, tag.get(), &position, &toEnd);
  gFailNothrowArrayNew = false;
  EXPECT_FALSE(parsed);
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
  // The record is still whole: its body step skips and it deletes normally.
  EXPECT_TRUE(ParseFLVTagBody(stream.data() + kTagHeaderSize, 104, tag.get()));
}

// ------------------------------------------------------------------ tag body

TEST(ParseFLVTagBody, AudioFieldsAndPointersIntoTheBlock) {
  const Bytes payload{1, 2, 3, 4, 5, 6, 7};
  TagPtr tag = ParseTag(AudioTag(2, 3, 1, 1, payload));
  EXPECT_EQ(tag->soundFormat, 2);
  EXPECT_EQ(tag->soundRate, 3);
  EXPECT_EQ(tag->soundSize, 1);
  EXPECT_EQ(tag->soundType, 1);
  EXPECT_EQ(tag->data, tag->block + 11);
  EXPECT_EQ(tag->audioData, tag->block + 12);
  EXPECT_EQ(tag->audioDataSize, 7);
  EXPECT_EQ(std::memcmp(tag->audioData, payload.data(), payload.size()), 0);
  EXPECT_EQ(tag->videoData, nullptr);
}

TEST(ParseFLVTagBody, AudioTagOfOneByteHasAnEmptyPayload) {
  TagPtr tag = ParseTag(AudioTag(10, 3, 1, 1, {}));
  EXPECT_EQ(tag->dataSize, 1u);
  EXPECT_EQ(tag->audioDataSize, 0);
  EXPECT_EQ(tag->soundFormat, 10);
}

TEST(ParseFLVTagBody, Nellymoser8kOverridesRateAndChannels) {
  TagPtr tag = ParseTag(AudioTag(5, 3, 1, 1, Bytes(64, 0)));
  FLVInfo info = EmptyFLVInfo();
  FillAudioInfoFromTag(*tag, AudioFormatTracker{}.FormatOf(*tag), &info);
  EXPECT_EQ(info.audioFormat, 5);
  EXPECT_EQ(info.sampleRate, 8000);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.bitsPerSample, 16);
  EXPECT_EQ(info.videoCodec, -1);

  TagPtr other = ParseTag(AudioTag(6, 0, 0, 1, Bytes(64, 0)));
  FillAudioInfoFromTag(*other, AudioFormatTracker{}.FormatOf(*other), &info);
  EXPECT_EQ(info.sampleRate, 5512);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(info.bitsPerSample, 8);
}

TEST(ParseFLVTagBody, ReservedTypeBitsMakeATagNeitherAudioNorVideo) {
  const Bytes body{0x2F, 0x01, 0x02, 0x03};
  TagPtr tag = ParseTag(FlvBuilder().Tag(0x28, 0, body).bytes());
  EXPECT_EQ(tag->tagType, 0x28);
  EXPECT_EQ(tag->soundFormat, 0);  // the body's first byte is not interpreted
  EXPECT_EQ(tag->audioData, nullptr);
  EXPECT_EQ(tag->videoData, nullptr);
  EXPECT_EQ(std::memcmp(tag->data, body.data(), body.size()), 0);
  FLVInfo info = EmptyFLVInfo();
  FillAudioInfoFromTag(*tag, AudioFormatTracker{}.FormatOf(*tag), &info);
  FillVideoInfoFromTag(*tag, &info);
  EXPECT_EQ(info.audioFormat, -1);
  EXPECT_EQ(info.videoCodec, -1);
}

TEST(ParseFLVTagBody, DataSizeZeroGetsNoMediaFields) {
  for (std::uint8_t type : {kAudio, kVideo}) {
    TagPtr tag = ParseTag(FlvBuilder().Tag(type, 40, {}).bytes());
    EXPECT_EQ(tag->storedSize, 15);
    EXPECT_EQ(tag->dataSize, 0u);
    EXPECT_EQ(tag->soundFormat, 0);
    EXPECT_EQ(tag->audioData, nullptr);
    EXPECT_EQ(tag->videoData, nullptr);
    EXPECT_EQ(tag->vp6Data, nullptr);
    FLVInfo info = EmptyFLVInfo();
    FillAudioInfoFromTag(*tag, AudioFormatTracker{}.FormatOf(*tag), &info);
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(info.audioFormat, -1);
    EXPECT_EQ(info.videoCodec, -1);
  }
}

TEST(ParseFLVTagBody, WithoutABlockNothingIsReadAndFieldsStay) {
  const Bytes stream = AudioTag(2, 3, 1, 1, Bytes(20, 0xFF));
  TagPtr tag(NewFLVTag());
  tag->soundFormat = 11;
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  ASSERT_TRUE(ParseFLVTagHeader(stream.data(), kTagHeaderSize, false, tag.get(), &position, &toEnd));
  ASSERT_TRUE(ParseFLVTagBody(stream.data() + kTagHeaderSize, toEnd, tag.get()));
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
  EXPECT_EQ(tag->soundFormat, 11);
}

struct H263Case {
  int code;
  int width;
  int height;
};

class H263PictureSize : public ::testing::TestWithParam<H263Case> {};

TEST_P(H263PictureSize, KeyFrameReportsTheHeaderSize) {
  const H263Case c = GetParam();
  TagPtr tag = ParseTag(VideoTag(1, 2, test::H263PictureHeader(c.code, c.width, c.height)));
  EXPECT_EQ(tag->codecId, 2);
  EXPECT_EQ(tag->frameType, 1);
  EXPECT_EQ(tag->width, c.width);
  EXPECT_EQ(tag->height, c.height);
  FLVInfo info = EmptyFLVInfo();
  FillVideoInfoFromTag(*tag, &info);
  EXPECT_EQ(info.videoCodec, 2);
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
}

INSTANTIATE_TEST_SUITE_P(AllCodes, H263PictureSize,
                         ::testing::Values(H263Case{0, 200, 150}, H263Case{0, 255, 1},
                                           H263Case{1, 1000, 700}, H263Case{1, 65535, 257},
                                           H263Case{2, 352, 288}, H263Case{3, 176, 144},
                                           H263Case{4, 128, 96}, H263Case{5, 320, 240},
                                           H263Case{6, 160, 120}, H263Case{7, 0, 0}));

TEST(ParseFLVTagBody, InterFramesLeaveThePictureSizeOfAReusedRecord) {
  TagPtr tag(NewFLVTag());
  ASSERT_TRUE(ParseInto(tag.get(), VideoTag(1, 2, test::H263PictureHeader(5))));
  EXPECT_EQ(tag->width, 320);
  ReleaseFLVTagData(tag.get());
  for (int frameType : {2, 3}) {
    ASSERT_TRUE(ParseInto(tag.get(), VideoTag(frameType, 2, test::H263PictureHeader(2))));
    EXPECT_EQ(tag->frameType, frameType);
    EXPECT_EQ(tag->width, 320);
    EXPECT_EQ(tag->height, 240);
    FLVInfo info = EmptyFLVInfo();
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(info.videoCodec, -1);
    ReleaseFLVTagData(tag.get());
  }
  // A fresh record has zero there.
  TagPtr fresh = ParseTag(VideoTag(2, 2, test::H263PictureHeader(2)));
  EXPECT_EQ(fresh->width, 0);
  EXPECT_EQ(fresh->height, 0);
}

TEST(ParseFLVTagBody, ScreenVideoSizesFromTwelveBitFields) {
  for (int codec : {3, 6}) {
    TagPtr tag = ParseTag(VideoTag(1, codec, test::ScreenVideoPayload(466, 311)));
    EXPECT_EQ(tag->width, 466);
    EXPECT_EQ(tag->height, 311);
    EXPECT_EQ(tag->videoData, tag->block + 12);
  }
}

// H.264 sequence headers made by libx264: the size the SPS declares after
// frame cropping, in crop units of the chroma format (and of field pairs for
// interlaced coding). The NAL-unit key frame after it declares nothing. Cut
// short anywhere, the header gives its whole size or none.
struct AvcCase {
  const char* pixelFormat;
  const char* x264Params;
  int width;
  int height;
};

class AvcPictureSize : public ::testing::TestWithParam<AvcCase> {};

TEST_P(AvcPictureSize, SequenceHeaderDeclaresTheCroppedSize) {
  const AvcCase c = GetParam();
  const std::string path = test::TestTempDir() + "/avc_" + c.pixelFormat + ".flv";
  const std::string command =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(c.width) +
      "x" + std::to_string(c.height) + " -frames:v 1 -c:v libx264 -pix_fmt " + c.pixelFormat +
      " -x264-params " + c.x264Params + " -f flv '" + path + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
  const Bytes file = test::ReadWholeFile(path);
  std::vector<Bytes> videoTags;
  for (std::size_t at = 13; at + kTagHeaderSize <= file.size();) {
    const std::size_t end = at + kTagHeaderSize + ((file[at + 1] << 16) | (file[at + 2] << 8) |
                                                   file[at + 3]) + 4;
    if (end > file.size()) break;
    if (file[at] == kVideo) videoTags.emplace_back(file.begin() + at, file.begin() + end);
    at = end;
  }
  ASSERT_GE(videoTags.size(), 2u);
  TagPtr header = ParseTag(videoTags[0]);
  EXPECT_EQ(header->width, c.width);
  EXPECT_EQ(header->height, c.height);
  FLVInfo info = EmptyFLVInfo();
  FillVideoInfoFromTag(*header, &info);
  EXPECT_EQ(info.videoCodec, 7);
  EXPECT_EQ(info.width, c.width);
  EXPECT_EQ(info.height, c.height);
  TagPtr keyFrame = ParseTag(videoTags[1]);
  EXPECT_EQ(keyFrame->frameType, 1);
  EXPECT_FALSE(DeclaresPictureSize(*keyFrame));
  const long full = static_cast<long>(videoTags[0].size() - kTagHeaderSize);
  for (long given = 0; given < full; ++given) {
    TagPtr cut = ParseTag(videoTags[0], given);
    EXPECT_TRUE(cut->width == 0 || cut->width == c.width) << given;
  }
}

INSTANTIATE_TEST_SUITE_P(
    ChromaFormats, AvcPictureSize,
    ::testing::Values(AvcCase{"yuv420p", "log=-1", 1920, 1080},
                      AvcCase{"yuv422p", "log=-1", 202, 150},
                      AvcCase{"yuv444p", "log=-1", 1918, 1078},
                      AvcCase{"gray", "log=-1", 203, 149},
                      AvcCase{"yuv420p", "interlaced=1", 1920, 1080}),
    [](const ::testing::TestParamInfo<AvcCase>& info) {
      return std::string(info.param.pixelFormat) + "_" + std::to_string(info.index);
    });

TEST(ParseFLVTagBody, Vp6KeyFrameSizeLessTheAdjustment) {
  const Bytes payload = test::Vp6KeyFramePayload(0x4C, 15, 20);
  TagPtr tag = ParseTag(VideoTag(1, 4, payload));
  EXPECT_EQ(tag->horizontalAdjustment, 4);
  EXPECT_EQ(tag->verticalAdjustment, 12);
  EXPECT_EQ(tag->width, 316);
  EXPECT_EQ(tag->height, 228);
  EXPECT_EQ(tag->videoData, tag->block + 12);
  EXPECT_EQ(tag->videoDataSize, static_cast<int>(payload.size()));
  EXPECT_EQ(tag->vp6Data, tag->block + 13);
  EXPECT_EQ(tag->vp6DataSize, static_cast<int>(tag->dataSize) - 2);
}

TEST(ParseFLVTagBody, Vp6HeaderWithTheTwoExtraBytes) {
  // Bit 0 of the first header byte set: two bytes before the macroblock
  // counts; likewise when bits 1-2 of the second byte are clear.
  for (const Bytes& payload : {Bytes{0x00, 0x01, 0x06, 0x63, 0x63, 10, 12, 0},
                               Bytes{0x00, 0x00, 0x00, 0x63, 0x63, 10, 12, 0}}) {
    TagPtr tag = ParseTag(VideoTag(1, 4, payload));
    EXPECT_EQ(tag->width, 192);
    EXPECT_EQ(tag->height, 160);
  }
}

TEST(ParseFLVTagBody, Vp6AlphaSplitsColourAndAlphaFrames) {
  TagPtr tag = ParseTag(VideoTag(1, 5, test::Vp6AlphaKeyFramePayload(0x4C, 15, 20, 10, 7)));
  EXPECT_EQ(tag->width, 316);
  EXPECT_EQ(tag->height, 228);
  EXPECT_EQ(tag->dataSize, 1u + 4 + 10 + 7);
  EXPECT_EQ(tag->vp6Data, tag->block + 16);
  EXPECT_EQ(tag->vp6DataSize, 10);
  EXPECT_EQ(tag->alphaData, tag->block + 16 + 10);
  EXPECT_EQ(tag->alphaDataSize, 7);
  EXPECT_EQ(tag->alphaData[0], 0x55);
  EXPECT_EQ(tag->alphaData[6], 0x55);
}

TEST(ParseFLVTagBody, Vp6AlphaOffsetBeyondTheBodyStaysInsideTheBlock) {
  Bytes payload = test::Vp6AlphaKeyFramePayload(0x00, 2, 2, 10, 3);
  payload[1] = 0x00;  // offset to alpha 1000: far beyond the 17-byte payload
  payload[2] = 0x03;
  payload[3] = 0xE8;
  TagPtr tag = ParseTag(VideoTag(1, 5, payload));
  const std::uint8_t* bodyEnd = tag->data + tag->dataSize;
  EXPECT_EQ(tag->vp6DataSize, static_cast<int>(tag->dataSize) - 5);
  EXPECT_EQ(tag->alphaDataSize, 0);
  EXPECT_LE(tag->vp6Data + tag->vp6DataSize, bodyEnd);
  EXPECT_LE(tag->alphaData + tag->alphaDataSize, bodyEnd);
  EXPECT_GE(tag->alphaDataSize, 0);
}

TEST(ParseFLVTagBody, TinyVp6BodiesGiveEmptyFramesNotNegativeSizes) {
  for (int codec : {4, 5}) {
    for (std::size_t payloadSize : {0u, 1u, 3u}) {
      TagPtr tag = ParseTag(VideoTag(1, codec, Bytes(payloadSize, 0)));
      EXPECT_GE(tag->vp6DataSize, 0) << codec << " " << payloadSize;
      if (codec == 5) {
        EXPECT_GE(tag->alphaDataSize, 0);
      }
    }
  }
}

TEST(ParseFLVTagBody, TruncatedBodiesNeverReadPastTheGivenBytes) {
  const std::vector<Bytes> streams = {
      AudioTag(2, 3, 1, 1, Bytes(40, 0xAB)),
      VideoTag(1, 2, test::H263PictureHeader(1, 640, 480)),
      VideoTag(1, 3, test::ScreenVideoPayload(100, 100)),
      VideoTag(1, 4, Bytes{0x00, 0x01, 0x06, 0x63, 0x63, 10, 12, 0}),
      VideoTag(1, 5, test::Vp6AlphaKeyFramePayload(0x4C, 15, 20, 10, 7)),
      VideoTag(1, 7, Bytes(12, 0x01)),
  };
  for (const Bytes& stream : streams) {
    const long full = static_cast<long>(stream.size() - kTagHeaderSize);
    for (long given = 0; given <= full; ++given) {
      TagPtr tag = ParseTag(stream, given);
      ASSERT_NE(tag->data, nullptr);
      // What was there is copied, the rest of the body stays zero.
      const long copied = std::min<long>(given, tag->dataSize);
      EXPECT_EQ(std::memcmp(tag->data, stream.data() + kTagHeaderSize, copied), 0);
      for (long i = copied; i < static_cast<long>(tag->dataSize); ++i) ASSERT_EQ(tag->data[i], 0);
    }
  }
}

TEST(ParseFLVTagBody, PreviousTagSizeFieldIsNotCopied) {
  const Bytes stream = AudioTag(3, 3, 1, 1, Bytes(4, 0x7E));
  TagPtr tag = ParseTag(stream);
  // The four slack bytes after the body hold no previous-tag-size copy.
  for (std::size_t i = 0; i < kTagBlockExtraSize - kTagHeaderSize + 4 - 4; ++i) {
    EXPECT_EQ(tag->data[tag->dataSize + i], 0) << i;
  }
}

// ------------------------------------------------------------ record helpers

TEST(FLVTagRecord, TimestampRewriteReachesTheHeaderCopy) {
  TagPtr tag = ParseTag(AudioTag(2, 3, 1, 1, Bytes(4, 0)));
  SetFLVTagTimestamp(tag.get(), 0x12345678);
  EXPECT_EQ(tag->timestamp, 0x12345678u);
  EXPECT_EQ(tag->block[4], 0x34);
  EXPECT_EQ(tag->block[5], 0x56);
  EXPECT_EQ(tag->block[6], 0x78);
  EXPECT_EQ(tag->block[7], 0x12);
  // The header copy parses back to the new time stamp.
  TagPtr again(NewFLVTag());
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  ASSERT_TRUE(ParseFLVTagHeader(tag->block, kTagHeaderSize, false, again.get(), &position, &toEnd));
  EXPECT_EQ(again->timestamp, 0x12345678u);

  ReleaseFLVTagData(tag.get());
  SetFLVTagTimestamp(tag.get(), 5);  // no block: only the field
  EXPECT_EQ(tag->timestamp, 5u);
}

TEST(FLVTagRecord, ReleaseFreesTheBlockAndClearsItsPointers) {
  TagPtr audio = ParseTag(AudioTag(2, 3, 1, 1, Bytes(4, 0)));
  ReleaseFLVTagData(audio.get());
  EXPECT_EQ(audio->block, nullptr);
  EXPECT_EQ(audio->data, nullptr);
  EXPECT_EQ(audio->audioData, nullptr);
  ReleaseFLVTagData(audio.get());  // nothing left to free

  TagPtr video = ParseTag(VideoTag(1, 5, test::Vp6AlphaKeyFramePayload(0, 1, 1, 4, 4)));
  ReleaseFLVTagData(video.get());
  EXPECT_EQ(video->videoData, nullptr);
  EXPECT_EQ(video->vp6Data, nullptr);
  EXPECT_EQ(video->alphaData, nullptr);
  EXPECT_EQ(video->width, 16);

  DeleteFLVTag(nullptr);
  ReleaseFLVTagData(nullptr);
}

TEST(FLVTagRecord, BitsPerSampleAndEmptyInfo) {
  EXPECT_EQ(AudioBitsPerSampleOf(0), 8);
  EXPECT_EQ(AudioBitsPerSampleOf(1), 16);

  const FLVInfo empty = EmptyFLVInfo();
  EXPECT_EQ(empty.videoCodec, -1);
  EXPECT_EQ(empty.audioFormat, -1);
  EXPECT_EQ(empty.version, 0);
  EXPECT_EQ(empty.duration, 0.0);
}

TEST(CalcAudioBlockDuration, UsesTheTagFieldsAndPayload) {
  // 16-bit stereo PCM at 44100 Hz: 4 bytes a sample, 441 samples = 10 ms.
  TagPtr pcm = ParseTag(AudioTag(3, 3, 1, 1, Bytes(441 * 4, 0)));
  EXPECT_EQ(CalcAudioBlockDuration(pcm.get()), 100000);
  // 8-bit mono at 5512 Hz.
  TagPtr pcm8 = ParseTag(AudioTag(0, 0, 0, 0, Bytes(5512, 0x80)));
  EXPECT_EQ(CalcAudioBlockDuration(pcm8.get()), 10000000);
  // Nellymoser 8 kHz whatever the rate bits: 256 samples = 32 ms.
  TagPtr nelly = ParseTag(AudioTag(5, 3, 1, 1, Bytes(64, 0)));
  EXPECT_EQ(CalcAudioBlockDuration(nelly.get()), 320000);

  TagPtr video = ParseTag(VideoTag(1, 2, test::H263PictureHeader(2)));
  EXPECT_EQ(CalcAudioBlockDuration(video.get()), -1);

  TagPtr empty = ParseTag(FlvBuilder().Tag(kAudio, 0, {}).bytes());
  EXPECT_EQ(CalcAudioBlockDuration(empty.get()), 0);
}

// ---------------------------------------------------------- real audio format

// What the flags byte does not say, per sound format: the rate and channels
// a decoder gives out, and the playing time of the tag (-1: not checked
// here). `config` is an AAC AudioSpecificConfig seen before the tag.
struct AudioFormatRow {
  const char* name;
  int format, rate, type;
  Bytes config;
  Bytes payload;
  int sampleRate, channels;
  std::int64_t duration;
};

Bytes Mp3At8kHzFrame() {
  Bytes frame(576, 0);
  // MPEG-2.5 layer III, 64 kbit/s, 8000 Hz, mono: 576 bytes, 576 samples.
  frame[0] = 0xFF, frame[1] = 0xE3, frame[2] = 0x88, frame[3] = 0xC0;
  return frame;
}

class RealAudioFormat : public ::testing::TestWithParam<AudioFormatRow> {};

TEST_P(RealAudioFormat, RateChannelsAndBlockDuration) {
  const AudioFormatRow& row = GetParam();
  AudioFormatTracker tracker;
  if (!row.config.empty()) {
    Bytes header{kAacSequenceHeader};
    header.insert(header.end(), row.config.begin(), row.config.end());
    tracker.Observe(*ParseTag(AudioTag(row.format, row.rate, 1, row.type, header)));
  }
  TagPtr tag = ParseTag(AudioTag(row.format, row.rate, 1, row.type, row.payload));
  const AudioFormat format = tracker.FormatOf(*tag);
  EXPECT_EQ(format.sampleRate, row.sampleRate);
  EXPECT_EQ(format.channels, row.channels);
  if (row.duration >= 0) {
    EXPECT_EQ(tracker.BlockDuration(*tag), row.duration);
  }
}

const Bytes kAacFrame{kAacRawFrame, 0x21, 0x10, 0x05};

INSTANTIATE_TEST_SUITE_P(
    Formats, RealAudioFormat,
    ::testing::Values(
        AudioFormatRow{"AacConfigItself", 10, 3, 1, {}, {0x00, 0x13, 0x88}, 22050, 1, 0},
        AudioFormatRow{"AacFrameAfterConfig", 10, 3, 1, {0x13, 0x88}, kAacFrame, 22050, 1,
                       1024 * 10'000'000LL / 22050},
        AudioFormatRow{"AacEscapeRate", 10, 3, 1, {0x17, 0x80, 0x3E, 0x80, 0x10},
                       kAacFrame, 32000, 2, 320000},
        AudioFormatRow{"AacExplicitSbr", 10, 3, 1, {0x2B, 0x11, 0x88}, kAacFrame, 48000, 2,
                       1024 * 10'000'000LL / 24000},
        AudioFormatRow{"AacUnusableConfigFallsBackToFlags", 10, 3, 1, {0x10, 0x00},
                       kAacFrame, 44100, 2, 1024 * 10'000'000LL / 44100},
        AudioFormatRow{"AacWithoutConfig", 10, 1, 0, {}, kAacFrame, 11025, 1,
                       1024 * 10'000'000LL / 11025},
        AudioFormatRow{"Speex", 11, 2, 1, {}, Bytes(40, 0x5A), 16000, 1, -1},
        AudioFormatRow{"G711ALawMono", 7, 0, 0, {}, Bytes(1024, 0xD5), 8000, 1, 1'280'000},
        AudioFormatRow{"G711MuLawStereo", 8, 0, 1, {}, Bytes(1024, 0xFF), 8000, 2, 640'000},
        AudioFormatRow{"Nellymoser16k", 4, 0, 1, {}, Bytes(64, 0), 16000, 1, 160'000},
        AudioFormatRow{"Nellymoser8k", 5, 3, 1, {}, Bytes(64, 0), 8000, 1, 320'000},
        AudioFormatRow{"NellymoserAtFlagsRate", 6, 2, 1, {}, Bytes(64, 0), 22050, 2, -1},
        AudioFormatRow{"Mp3At8kHz", 14, 0, 0, {}, Mp3At8kHzFrame(), 8000, 1, 720'000},
        AudioFormatRow{"Mp3AtFlagsRate", 2, 2, 1, {}, Mp3At8kHzFrame(), 22050, 2, 720'000}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvra
