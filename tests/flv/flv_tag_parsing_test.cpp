#include "flv/flv_tag_parsing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "flv/audio_format_tracker.h"
#include "flv/flv_tag_constants.h"
#include "support/flv_builder.h"
#include "support/programs.h"
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

// File headers: signature, version byte, flags byte and the 32-bit data
// offset. firstTag -1: only "positive" is checked.
struct HeaderRow {
  const char* signature;
  std::uint8_t version, flags;
  std::uint32_t dataOffset;
  bool ok;
  int hasAudio, hasVideo;
  std::int32_t skip;
  std::int64_t firstTag;
};

class ParseFLVHeaderTable : public ::testing::TestWithParam<HeaderRow> {};

TEST_P(ParseFLVHeaderTable, FieldsOrRefusal) {
  const HeaderRow& row = GetParam();
  Bytes bytes(row.signature, row.signature + 3);
  bytes.push_back(row.version);
  bytes.push_back(row.flags);
  for (int shift : {24, 16, 8, 0}) bytes.push_back(static_cast<std::uint8_t>(row.dataOffset >> shift));
  FLVHeaderFields header;
  header.version = 7;
  header.bytesToSkip = 99;
  ASSERT_EQ(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header), row.ok);
  EXPECT_EQ(header.version, row.ok ? row.version : 0);
  EXPECT_EQ(header.bytesToSkip, row.skip);
  if (!row.ok) return;
  EXPECT_EQ(header.hasAudio, row.hasAudio);
  EXPECT_EQ(header.hasVideo, row.hasVideo);
  if (row.firstTag < 0) {
    EXPECT_GT(header.firstTagPosition, 0);
  } else {
    EXPECT_EQ(header.firstTagPosition, row.firstTag);
  }
}

constexpr std::int32_t kMaxSkip = std::numeric_limits<std::int32_t>::max();
INSTANTIATE_TEST_SUITE_P(
    Rows, ParseFLVHeaderTable,
    ::testing::Values(HeaderRow{"FLV", 0xFE, 0x04, 9, true, 1, 0, 4, 13},
                      HeaderRow{"FLV", 1, 0x01, 20, true, 0, 1, 15, 24},
                      HeaderRow{"FLV", 1, 0xFA, 9, true, 0, 0, 4, 13},  // only two bits count
                      HeaderRow{"FLV", 1, 0x05, 9, true, 1, 1, 4, 13},
                      HeaderRow{"FLV", 1, 0x05, 0, true, 1, 1, 0, 9},  // absurd offsets
                      HeaderRow{"FLV", 1, 0x05, 3, true, 1, 1, 0, 9},
                      HeaderRow{"FLV", 1, 0x05, 5, true, 1, 1, 0, 9},
                      HeaderRow{"FLV", 1, 0x05, 0xFFFFFFFF, true, 1, 1, kMaxSkip, -1},
                      HeaderRow{"FLX", 1, 0x05, 9, false, 0, 0, 0, 0},
                      HeaderRow{"XLV", 1, 0x05, 9, false, 0, 0, 0, 0},
                      HeaderRow{"FXV", 1, 0x05, 9, false, 0, 0, 0, 0},
                      HeaderRow{"flv", 1, 0x05, 9, false, 0, 0, 0, 0}));

TEST(ParseFLVHeader, RefusesAShortOrMissingHeader) {
  const Bytes bytes = FlvBuilder().Header().bytes();
  FLVHeaderFields header;
  EXPECT_FALSE(ParseFLVHeader(bytes.data(), 8, &header));  // data offset incomplete
  EXPECT_FALSE(ParseFLVHeader(nullptr, 9, &header));
}

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
  EXPECT_EQ(tag->timestamp, 1000u + (1u << 24));  // extension byte is the high byte
  EXPECT_EQ(tag->streamId, 0xABCDEF);
  EXPECT_EQ(tag->filePosition, 1000);
  EXPECT_EQ(position, 1045);
  EXPECT_EQ(tag->block, nullptr);
  // With allocation the position is left alone and the block holds the
  // header copy.
  ASSERT_TRUE(ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, tag.get(), &position, &toEnd));
  EXPECT_EQ(position, 1045);
  EXPECT_EQ(tag->filePosition, 1000);
  ASSERT_NE(tag->block, nullptr);
  EXPECT_EQ(tag->data, tag->block + kTagHeaderSize);
  EXPECT_EQ(std::memcmp(tag->block, stream.data(), kTagHeaderSize), 0);
}

TEST(ParseFLVTagHeader, ShortHeaderOrFailedAllocationLeavesNoBlock) {
  const Bytes stream = FlvBuilder().Tag(kAudio, 5, Bytes(100, 0x22)).bytes();
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  TagPtr cut(NewFLVTag());
  EXPECT_FALSE(ParseFLVTagHeader(stream.data(), 10, true, cut.get(), &position, &toEnd));
  EXPECT_EQ(cut->block, nullptr);
  TagPtr tag(NewFLVTag());
  gFailNothrowArrayNew = true;
  const bool parsed = ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, tag.get(), &position, &toEnd);
  gFailNothrowArrayNew = false;
  EXPECT_FALSE(parsed);
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
  // The record is still whole: its body step skips and it deletes normally.
  EXPECT_TRUE(ParseFLVTagBody(stream.data() + kTagHeaderSize, 104, tag.get()));
}

TEST(ParseFLVTagBody, AudioFieldsAndPointersIntoTheBlock) {
  const Bytes payload{1, 2, 3, 4, 5, 6, 7};
  TagPtr tag = ParseTag(AudioTag(2, 3, 1, 1, payload));
  EXPECT_EQ(tag->soundFormat, 2);
  EXPECT_EQ(tag->soundRate, 3);
  EXPECT_EQ(tag->soundSize, 1);
  EXPECT_EQ(tag->soundType, 1);
  EXPECT_EQ(tag->audioData, tag->block + 12);
  EXPECT_EQ(tag->audioDataSize, 7);
  EXPECT_EQ(std::memcmp(tag->audioData, payload.data(), payload.size()), 0);
  EXPECT_EQ(tag->videoData, nullptr);
  TagPtr flagsOnly = ParseTag(AudioTag(10, 3, 1, 1, {}));
  EXPECT_EQ(flagsOnly->audioDataSize, 0);
  EXPECT_EQ(flagsOnly->soundFormat, 10);
}

TEST(ParseFLVTagBody, InfoFromNellymoserAndEightBitTags) {
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

// Tags that carry no media fields: reserved type bits, and data size zero.
TEST(ParseFLVTagBody, ReservedTypesAndEmptyBodiesGetNoMediaFields) {
  for (const Bytes& stream : {FlvBuilder().Tag(0x28, 0, Bytes{0x2F, 1, 2, 3}).bytes(),
                              FlvBuilder().Tag(kAudio, 40, {}).bytes(),
                              FlvBuilder().Tag(kVideo, 40, {}).bytes()}) {
    TagPtr tag = ParseTag(stream);
    EXPECT_EQ(tag->storedSize, static_cast<std::int64_t>(stream.size()));
    EXPECT_EQ(tag->soundFormat, 0);  // the body's first byte is not interpreted
    EXPECT_EQ(tag->audioData, nullptr);
    EXPECT_EQ(tag->videoData, nullptr);
    EXPECT_EQ(tag->vp6Data, nullptr);
    EXPECT_EQ(std::memcmp(tag->data, stream.data() + kTagHeaderSize, tag->dataSize), 0);
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
  EXPECT_EQ(tag->data, nullptr);
  EXPECT_EQ(tag->soundFormat, 11);
}

// Key-frame picture sizes per video codec; vp6At/alphaAt are offsets of
// the VP6 and alpha frames in the block (-1: not checked).
struct VideoRow {
  const char* name;
  int codec;
  Bytes payload;
  int width, height;
  int vp6At, vp6Size, alphaAt, alphaSize;
};

class VideoPictureSize : public ::testing::TestWithParam<VideoRow> {};

TEST_P(VideoPictureSize, KeyFrameReportsTheHeaderSize) {
  const VideoRow& row = GetParam();
  TagPtr tag = ParseTag(VideoTag(1, row.codec, row.payload));
  EXPECT_EQ(tag->codecId, row.codec);
  EXPECT_EQ(tag->frameType, 1);
  EXPECT_EQ(tag->width, row.width);
  EXPECT_EQ(tag->height, row.height);
  EXPECT_EQ(tag->videoData, tag->block + 12);
  EXPECT_EQ(tag->videoDataSize, static_cast<int>(row.payload.size()));
  if (row.vp6At >= 0) {
    EXPECT_EQ(tag->vp6Data, tag->block + row.vp6At);
    EXPECT_EQ(tag->vp6DataSize, row.vp6Size);
  }
  if (row.alphaAt >= 0) {
    EXPECT_EQ(tag->alphaData, tag->block + row.alphaAt);
    EXPECT_EQ(tag->alphaDataSize, row.alphaSize);
    EXPECT_EQ(tag->alphaData[0], 0x55);
    EXPECT_EQ(tag->alphaData[row.alphaSize - 1], 0x55);
  }
  if (row.codec == 2) {
    FLVInfo info = EmptyFLVInfo();
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(info.videoCodec, 2);
    EXPECT_EQ(info.width, row.width);
    EXPECT_EQ(info.height, row.height);
  }
}

VideoRow H263(int code, int width, int height) {
  return {"H263", 2, test::H263PictureHeader(code, code < 2 ? width : 0, code < 2 ? height : 0),
          width, height, -1, 0, -1, 0};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, VideoPictureSize,
    ::testing::Values(
        H263(0, 200, 150), H263(0, 255, 1), H263(1, 1000, 700), H263(1, 65535, 257),
        H263(2, 352, 288), H263(3, 176, 144), H263(4, 128, 96), H263(5, 320, 240),
        H263(6, 160, 120), H263(7, 0, 0),
        VideoRow{"Screen", 3, test::ScreenVideoPayload(466, 311), 466, 311, -1, 0, -1, 0},
        VideoRow{"Screen2", 6, test::ScreenVideoPayload(466, 311), 466, 311, -1, 0, -1, 0},
        // Size less the adjustment nibbles (4 across, 12 down).
        VideoRow{"Vp6", 4, test::Vp6KeyFramePayload(0x4C, 15, 20), 316, 228, 13, 7, -1, 0},
        // Two extra bytes before the macroblock counts: bit 0 of the first
        // header byte set, or bits 1-2 of the second clear.
        VideoRow{"Vp6Extra", 4, Bytes{0x00, 0x01, 0x06, 0x63, 0x63, 10, 12, 0}, 192, 160, 13, 7, -1, 0},
        VideoRow{"Vp6Extra2", 4, Bytes{0x00, 0x00, 0x00, 0x63, 0x63, 10, 12, 0}, 192, 160, -1, 0, -1, 0},
        VideoRow{"Vp6Alpha", 5, test::Vp6AlphaKeyFramePayload(0x4C, 15, 20, 10, 7), 316, 228, 16, 10,
                 26, 7}),
    [](const auto& info) { return std::string(info.param.name) + std::to_string(info.index); });

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
  TagPtr fresh = ParseTag(VideoTag(2, 2, test::H263PictureHeader(2)));
  EXPECT_EQ(fresh->width, 0);
  EXPECT_EQ(fresh->height, 0);
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
  ASSERT_EQ(test::RunShell(command).exitCode, 0) << command;
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
  // Tiny VP6 bodies give empty frames, never negative sizes.
  for (int codec : {4, 5}) {
    for (std::size_t payloadSize : {0u, 1u, 3u}) {
      TagPtr tiny = ParseTag(VideoTag(1, codec, Bytes(payloadSize, 0)));
      EXPECT_GE(tiny->vp6DataSize, 0) << codec << " " << payloadSize;
      EXPECT_GE(tiny->alphaDataSize, 0);
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

TEST(FLVTagRecord, TimestampRewriteReachesTheHeaderCopyAndReleaseClearsPointers) {
  TagPtr tag = ParseTag(AudioTag(2, 3, 1, 1, Bytes(4, 0)));
  SetFLVTagTimestamp(tag.get(), 0x12345678);
  EXPECT_EQ(tag->timestamp, 0x12345678u);
  EXPECT_EQ(tag->block[4], 0x34);
  EXPECT_EQ(tag->block[5], 0x56);
  EXPECT_EQ(tag->block[6], 0x78);
  EXPECT_EQ(tag->block[7], 0x12);
  ReleaseFLVTagData(tag.get());
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
  EXPECT_EQ(tag->audioData, nullptr);
  ReleaseFLVTagData(tag.get());  // nothing left to free
  SetFLVTagTimestamp(tag.get(), 5);  // no block: only the field
  EXPECT_EQ(tag->timestamp, 5u);

  TagPtr video = ParseTag(VideoTag(1, 5, test::Vp6AlphaKeyFramePayload(0, 1, 1, 4, 4)));
  ReleaseFLVTagData(video.get());
  EXPECT_EQ(video->videoData, nullptr);
  EXPECT_EQ(video->vp6Data, nullptr);
  EXPECT_EQ(video->alphaData, nullptr);
  EXPECT_EQ(video->width, 16);
  DeleteFLVTag(nullptr);
  ReleaseFLVTagData(nullptr);
}

TEST(CalcAudioBlockDuration, UsesTheTagFieldsAndPayload) {
  // 16-bit stereo PCM at 44100 Hz: 4 bytes a sample, 441 samples = 10 ms.
  EXPECT_EQ(CalcAudioBlockDuration(ParseTag(AudioTag(3, 3, 1, 1, Bytes(441 * 4, 0))).get()), 100000);
  EXPECT_EQ(CalcAudioBlockDuration(ParseTag(AudioTag(0, 0, 0, 0, Bytes(5512, 0x80))).get()), 10000000);
  // Nellymoser 8 kHz whatever the rate bits: 256 samples = 32 ms.
  EXPECT_EQ(CalcAudioBlockDuration(ParseTag(AudioTag(5, 3, 1, 1, Bytes(64, 0))).get()), 320000);
  EXPECT_EQ(CalcAudioBlockDuration(ParseTag(VideoTag(1, 2, test::H263PictureHeader(2))).get()), -1);
  EXPECT_EQ(CalcAudioBlockDuration(ParseTag(FlvBuilder().Tag(kAudio, 0, {}).bytes()).get()), 0);
}

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
