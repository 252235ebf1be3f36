// The FLV parsing operations shared by the stream parser and the tag reader,
// and the byte reader under them.
#include "flv/flv_tag_parsing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <limits>
#include <new>

#include "decoder/decoder_test_support.h"
#include "flv/audio_format_tracker.h"
#include "flv/flv_tag_constants.h"
#include "support/programs.h"
#include "trevik/trevik.h"

// Lets a test make the data block allocation fail: only the non-throwing
// array form is replaced, on top of the ordinary one so that delete[] matches.
static std::atomic<bool> gFailNothrowArrayNew{false};

void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (gFailNothrowArrayNew.load()) return nullptr;
  try {
    return ::operator new[](size);
  } catch (...) {
    return nullptr;
  }
}

namespace kelvra::test {
namespace {

constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;

// Parses `stream`'s one tag as the stream parser does (header without, then with allocation),
// the body from a copy of `bodyBytes` bytes (all if negative): the sanitizers see overreads.
bool ParseInto(FLVTag* tag, const Bytes& stream, long bodyBytes = -1) {
  const Bytes header(stream.begin(), stream.begin() + kTagHeaderSize);
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  if (!ParseFLVTagHeader(header.data(), header.size(), false, tag, &position, &toEnd) ||
      !ParseFLVTagHeader(header.data(), header.size(), true, tag, &position, &toEnd)) {
    return false;
  }
  const Bytes body(stream.begin() + kTagHeaderSize,
                   bodyBytes < 0 ? stream.end() : stream.begin() + kTagHeaderSize + bodyBytes);
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

TEST(ParseFLVHeader, FieldsOrRefusal) {
  struct Row {
    const char* signature;
    std::uint8_t version, flags;
    std::uint32_t dataOffset;
    bool ok;
    int hasAudio, hasVideo;
    std::int32_t skip;
    std::int64_t firstTag;  // -1: only "positive" is checked
  };
  for (const Row& row :
       {Row{"FLV", 0xFE, 0x04, 9, true, 1, 0, 4, 13},
        {"FLV", 1, 0x01, 20, true, 0, 1, 15, 24},
        {"FLV", 1, 0xFA, 9, true, 0, 0, 4, 13},  // only two bits count
        {"FLV", 1, 0x05, 0, true, 1, 1, 0, 9},   // absurd offsets
        {"FLV", 1, 0x05, 0xFFFFFFFF, true, 1, 1, std::numeric_limits<std::int32_t>::max(), -1},
        {"FXV", 1, 0x05, 9, false, 0, 0, 0, 0},
        {"flv", 1, 0x05, 9, false, 0, 0, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << row.signature << " offset " << row.dataOffset);
    Bytes bytes(row.signature, row.signature + 3);
    bytes.insert(bytes.end(), {row.version, row.flags});
    for (int shift : {24, 16, 8, 0})
      bytes.push_back(static_cast<std::uint8_t>(row.dataOffset >> shift));
    FLVHeaderFields header{.version = 7, .bytesToSkip = 99}, cut;
    EXPECT_FALSE(ParseFLVHeader(bytes.data(), 8, &cut)) << "data offset incomplete";
    ASSERT_EQ(ParseFLVHeader(bytes.data(), kFileHeaderSize, &header), row.ok);
    EXPECT_EQ(std::tie(header.version, header.bytesToSkip),
              std::tuple(row.ok ? row.version : 0, row.skip));
    if (!row.ok) continue;
    EXPECT_EQ(std::tie(header.hasAudio, header.hasVideo), std::tie(row.hasAudio, row.hasVideo));
    EXPECT_EQ(header.firstTagPosition,
              row.firstTag < 0 ? std::max<std::int64_t>(header.firstTagPosition, 1) : row.firstTag);
  }
}

// Without allocation: the fields, the stream position, and a body step that
// reads nothing and leaves the fields; with it, the header copy.
TEST(ParseFLVTagHeader, ReadsTheFieldsKeepsStreamBookkeepingAndSurvivesAFailedAllocation) {
  const Bytes stream =
      FlvBuilder().Tag(kAudio, 1000 + (1u << 24), Bytes(30, 0x11), 0xABCDEF).bytes();
  TagPtr tag(NewFLVTag());
  std::int64_t position = 1000;
  std::uint32_t toEnd = 0;
  EXPECT_FALSE(ParseFLVTagHeader(stream.data(), 10, false, tag.get(), &position, &toEnd));
  ASSERT_TRUE(
      ParseFLVTagHeader(stream.data(), kTagHeaderSize, false, tag.get(), &position, &toEnd));
  EXPECT_EQ(std::tie(tag->tagType, tag->dataSize, tag->storedSize, toEnd, tag->streamId),
            std::tuple(8, 30u, 45, 34u, 0xABCDEF));
  EXPECT_EQ(tag->timestamp, 1000u + (1u << 24));  // extension byte is the high byte
  EXPECT_EQ(std::tie(tag->filePosition, position), std::tuple(1000, 1045));
  tag->soundFormat = 11;
  ASSERT_TRUE(ParseFLVTagBody(stream.data() + kTagHeaderSize, toEnd, tag.get()));
  EXPECT_EQ(std::tie(tag->block, tag->data, tag->soundFormat), std::tuple(nullptr, nullptr, 11));
  ASSERT_TRUE(ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, tag.get(), &position, &toEnd));
  EXPECT_EQ(position, 1045);
  ASSERT_NE(tag->block, nullptr);
  EXPECT_EQ(tag->data, tag->block + kTagHeaderSize);
  EXPECT_EQ(std::memcmp(tag->block, stream.data(), kTagHeaderSize), 0);
  // A failed allocation leaves a whole record without block, which the body step skips.
  TagPtr bare(NewFLVTag());
  gFailNothrowArrayNew = true;
  const bool parsed =
      ParseFLVTagHeader(stream.data(), kTagHeaderSize, true, bare.get(), &position, &toEnd);
  gFailNothrowArrayNew = false;
  EXPECT_FALSE(parsed);
  EXPECT_EQ(std::tie(bare->block, bare->data), std::tuple(nullptr, nullptr));
  EXPECT_TRUE(ParseFLVTagBody(stream.data() + kTagHeaderSize, toEnd, bare.get()));
}

TEST(ParseFLVTagBody, AudioFieldsPointIntoTheBlock) {
  const Bytes payload{1, 2, 3, 4, 5, 6, 7};
  TagPtr tag = ParseTag(AudioTag(2, 3, 1, 1, payload));
  EXPECT_EQ(std::tie(tag->soundFormat, tag->soundRate, tag->soundSize, tag->soundType,
                     tag->audioDataSize),
            std::tuple(2, 3, 1, 1, 7));
  EXPECT_EQ(tag->audioData, tag->block + 12);
  EXPECT_EQ(std::memcmp(tag->audioData, payload.data(), payload.size()), 0);
  EXPECT_EQ(tag->videoData, nullptr);
  // The information takes rate and channels from the format, bits from the size bit.
  FLVInfo info = EmptyFLVInfo();
  for (auto [format, rate, size, want] :
       {std::tuple(5, 3, 1, std::tuple(8000, 1, 16)), {6, 0, 0, {5512, 2, 8}}}) {
    TagPtr other = ParseTag(AudioTag(format, rate, size, 1, Bytes(64, 0)));
    FillAudioInfoFromTag(*other, AudioFormatTracker{}.FormatOf(*other), &info);
    EXPECT_EQ(std::tie(info.sampleRate, info.channels, info.bitsPerSample), want) << format;
  }
}

// Tags that carry no media fields: reserved type bits, and data size zero.
TEST(ParseFLVTagBody, ReservedTypesAndEmptyBodiesGetNoMediaFields) {
  for (const Bytes& stream :
       {FlvBuilder().Tag(0x28, 0, Bytes{0x2F, 1, 2, 3}).bytes(),
        FlvBuilder().Tag(kAudio, 40, {}).bytes(), FlvBuilder().Tag(kVideo, 40, {}).bytes()}) {
    TagPtr tag = ParseTag(stream);
    EXPECT_EQ(std::tie(tag->soundFormat, tag->audioData, tag->videoData),
              std::tuple(0, nullptr, nullptr));
    EXPECT_EQ(std::memcmp(tag->data, stream.data() + kTagHeaderSize, tag->dataSize), 0);
    FLVInfo info = EmptyFLVInfo();
    FillAudioInfoFromTag(*tag, AudioFormatTracker{}.FormatOf(*tag), &info);
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(std::tie(info.audioFormat, info.videoCodec), std::tuple(-1, -1));
  }
}

struct VideoRow {
  const char* name;
  int codec;
  Bytes payload;
  int width, height, vp6At, vp6Size, alphaAt, alphaSize;
};

VideoRow H263(int code, int w, int h) {
  const Bytes header = H263PictureHeader(code, code < 2 ? w : 0, code < 2 ? h : 0);
  return {"H263", 2, header, w, h, -1, 0, -1, 0};
}

// Key-frame picture sizes per video codec; vp6At/alphaAt are offsets of the
// VP6 and alpha frames in the block (-1: not checked).
TEST(ParseFLVTagBody, KeyFramesReportTheirHeadersPictureSize) {
  const VideoRow rows[] = {
      H263(0, 255, 1), H263(1, 65535, 257), H263(2, 352, 288), H263(7, 0, 0),
      {"Screen", 3, ScreenVideoPayload(466, 311), 466, 311, -1, 0, -1, 0},
      {"Screen2", 6, ScreenVideoPayload(466, 311), 466, 311, -1, 0, -1, 0},
      // Size less the adjustment nibbles (4 across, 12 down).
      {"Vp6", 4, Vp6KeyFramePayload(0x4C, 15, 20), 316, 228, 13, 7, -1, 0},
      // Two extra bytes before the macroblock counts: bit 0 of the first
      // header byte set, or bits 1-2 of the second clear.
      {"Vp6Extra", 4, Bytes{0x00, 0x01, 0x06, 0x63, 0x63, 10, 12, 0}, 192, 160, 13, 7, -1, 0},
      {"Vp6Extra2", 4, Bytes{0x00, 0x00, 0x00, 0x63, 0x63, 10, 12, 0}, 192, 160, -1, 0, -1, 0},
      {"Vp6Alpha", 5, Vp6AlphaKeyFramePayload(0x4C, 15, 20, 10, 7), 316, 228, 16, 10, 26, 7}};
  for (const VideoRow& row : rows) {
    SCOPED_TRACE(testing::Message() << row.name << " " << row.width << "x" << row.height);
    TagPtr tag = ParseTag(VideoTag(1, row.codec, row.payload));
    EXPECT_EQ(std::tie(tag->codecId, tag->frameType, tag->width, tag->height),
              std::tuple(row.codec, 1, row.width, row.height));
    EXPECT_EQ(std::tie(tag->videoData, tag->videoDataSize),
              std::tuple(tag->block + 12, int(row.payload.size())));
    if (row.vp6At >= 0) {
      EXPECT_EQ(std::tie(tag->vp6Data, tag->vp6DataSize),
                std::tuple(tag->block + row.vp6At, row.vp6Size));
    }
    if (row.alphaAt >= 0) {
      EXPECT_EQ(std::tie(tag->alphaData, tag->alphaDataSize),
                std::tuple(tag->block + row.alphaAt, row.alphaSize));
      EXPECT_EQ(std::tie(tag->alphaData[0], tag->alphaData[row.alphaSize - 1]),
                std::tuple(0x55, 0x55));
    }
    FLVInfo info = EmptyFLVInfo();
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(std::tie(info.width, info.height), std::tie(row.width, row.height));
  }
}

TEST(ParseFLVTagBody, InterFramesLeaveThePictureSizeOfAReusedRecord) {
  TagPtr tag(NewFLVTag());
  ASSERT_TRUE(ParseInto(tag.get(), VideoTag(1, 2, H263PictureHeader(5))));
  ReleaseFLVTagData(tag.get());
  for (int frameType : {2, 3}) {
    ASSERT_TRUE(ParseInto(tag.get(), VideoTag(frameType, 2, H263PictureHeader(2))));
    EXPECT_EQ(std::tie(tag->frameType, tag->width, tag->height), std::tuple(frameType, 320, 240));
    FLVInfo info = EmptyFLVInfo();
    FillVideoInfoFromTag(*tag, &info);
    EXPECT_EQ(info.videoCodec, -1);
    ReleaseFLVTagData(tag.get());
  }
  EXPECT_EQ(ParseTag(VideoTag(2, 2, H263PictureHeader(2)))->width, 0);
}

// H.264 sequence headers made by libx264: the size the SPS declares after frame cropping,
// in crop units of the chroma format (and of field pairs for interlaced coding). The key
// frame after it declares nothing. Cut short anywhere, the header gives its size or none.
struct AvcCase {
  const char* pixelFormat;
  const char* x264Params;
  int width, height;
};

class AvcPictureSize : public ::testing::TestWithParam<AvcCase> {};

TEST_P(AvcPictureSize, SequenceHeaderDeclaresTheCroppedSize) {
  const AvcCase c = GetParam();
  const std::string path = TestTempDir() + "/avc_" + c.pixelFormat + ".flv";
  const std::string command =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(c.width) +
      "x" + std::to_string(c.height) + " -frames:v 1 -c:v libx264 -pix_fmt " + c.pixelFormat +
      " -x264-params " + c.x264Params + " -f flv '" + path + "'";
  ASSERT_EQ(RunShell(command).exitCode, 0) << command;
  std::vector<Bytes> videoTags;
  for (const auto& tag : ReadTagsOfFile(path, kVideo))
    videoTags.emplace_back(tag->block, tag->block + kTagHeaderSize + tag->dataSize);
  ASSERT_GE(videoTags.size(), 2u);
  FLVInfo info = EmptyFLVInfo();
  FillVideoInfoFromTag(*ParseTag(videoTags[0]), &info);
  EXPECT_EQ(std::tie(info.videoCodec, info.width, info.height), std::tuple(7, c.width, c.height));
  EXPECT_FALSE(DeclaresPictureSize(*ParseTag(videoTags[1])));
  for (long given = 0; given < static_cast<long>(videoTags[0].size() - kTagHeaderSize); ++given) {
    const int width = ParseTag(videoTags[0], given)->width;
    EXPECT_TRUE(width == 0 || width == c.width) << given;
  }
}

INSTANTIATE_TEST_SUITE_P(ChromaFormats, AvcPictureSize,
                         ::testing::Values(AvcCase{"yuv422p", "log=-1", 202, 150},
                                           AvcCase{"yuv444p", "log=-1", 1918, 1078},
                                           AvcCase{"gray", "log=-1", 203, 149},
                                           AvcCase{"yuv420p", "interlaced=1", 1920, 1080}),
                         [](const auto& info) { return std::string(info.param.pixelFormat); });

TEST(ParseFLVTagBody, Vp6AlphaOffsetBeyondTheBodyStaysInsideTheBlock) {
  Bytes payload = Vp6AlphaKeyFramePayload(0x00, 2, 2, 10, 3);
  payload[1] = 0x00;  // offset to alpha 1000: far beyond the 17-byte payload
  payload[2] = 0x03;
  payload[3] = 0xE8;
  TagPtr tag = ParseTag(VideoTag(1, 5, payload));
  const std::uint8_t* bodyEnd = tag->data + tag->dataSize;
  EXPECT_EQ(tag->vp6DataSize, static_cast<int>(tag->dataSize) - 5);
  EXPECT_EQ(tag->alphaDataSize, 0);
  EXPECT_LE(tag->vp6Data + tag->vp6DataSize, bodyEnd);
  EXPECT_LE(tag->alphaData + tag->alphaDataSize, bodyEnd);
}

// Tiny VP6 bodies give empty frames, never negative sizes.
TEST(ParseFLVTagBody, TruncatedBodiesNeverReadPastTheGivenBytes) {
  for (const Bytes& stream : {AudioTag(2, 3, 1, 1, Bytes(40, 0xAB)),
                              VideoTag(1, 4, {}),
                              VideoTag(1, 5, Bytes(3, 0)),
                              VideoTag(1, 2, H263PictureHeader(1, 640, 480)),
                              VideoTag(1, 3, ScreenVideoPayload(100, 100)),
                              VideoTag(1, 4, Bytes{0x00, 0x01, 0x06, 0x63, 0x63, 10, 12, 0}),
                              VideoTag(1, 5, Vp6AlphaKeyFramePayload(0x4C, 15, 20, 10, 7)),
                              VideoTag(1, 7, Bytes(12, 0x01))}) {
    for (long given = 0; given <= static_cast<long>(stream.size() - kTagHeaderSize); ++given) {
      TagPtr tag = ParseTag(stream, given);
      ASSERT_NE(tag->data, nullptr);
      ASSERT_GE(std::min(tag->vp6DataSize, tag->alphaDataSize), 0);
      // What was there is copied, the rest of the body stays zero.
      const long copied = std::min<long>(given, tag->dataSize);
      EXPECT_EQ(std::memcmp(tag->data, stream.data() + kTagHeaderSize, copied), 0);
      for (long i = copied; i < static_cast<long>(tag->dataSize); ++i) ASSERT_EQ(tag->data[i], 0);
    }
  }
}

// What the flags byte does not say, per sound format: the rate and channels a decoder gives
// out, the tag's playing time (-1: not checked); `config`: an AAC config seen before.
TEST(AudioFormatTracker, RateChannelsAndBlockDuration) {
  struct Row {
    const char* name;
    int format, rate, type;
    Bytes config, payload;
    int sampleRate, channels;
    std::int64_t duration;
  };
  const Bytes frame{kAacRawFrame, 0x21, 0x10, 0x05};
  const auto aac = [](int rate) { return 1024 * 10'000'000LL / rate; };
  const Row rows[] = {
      {"AacConfigItself", 10, 3, 1, {}, {0x00, 0x13, 0x88}, 22050, 1, 0},
      {"AacEscapeRate", 10, 3, 1, {0x17, 0x80, 0x3E, 0x80, 0x10}, frame, 32000, 2, 320000},
      {"AacExplicitSbr", 10, 3, 1, {0x2B, 0x11, 0x88}, frame, 48000, 2, aac(24000)},
      {"AacUnusableConfigFallsBackToFlags", 10, 3, 1, {0x10, 0x00}, frame, 44100, 2, aac(44100)},
      {"AacWithoutConfig", 10, 1, 0, {}, frame, 11025, 1, aac(11025)},
      {"Speex", 11, 2, 1, {}, Bytes(40, 0x5A), 16000, 1, -1},
      {"G711MuLawStereo", 8, 0, 1, {}, Bytes(1024, 0xFF), 8000, 2, 640'000},
      {"NellymoserAtFlagsRate", 6, 2, 1, {}, Bytes(64, 0), 22050, 2, -1},
      {"Mp3At8kHz", 14, 0, 0, {}, Bytes(64), 8000, 1, -1}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    AudioFormatTracker tracker;
    if (!row.config.empty()) {
      Bytes header{kAacSequenceHeader};
      header.insert(header.end(), row.config.begin(), row.config.end());
      tracker.Observe(*ParseTag(AudioTag(row.format, row.rate, 1, row.type, header)));
    }
    TagPtr tag = ParseTag(AudioTag(row.format, row.rate, 1, row.type, row.payload));
    const AudioFormat format = tracker.FormatOf(*tag);
    EXPECT_EQ(std::tie(format.sampleRate, format.channels), std::tie(row.sampleRate, row.channels));
    if (row.duration >= 0) { EXPECT_EQ(tracker.BlockDuration(*tag), row.duration); }
  }
}

constexpr std::int64_t kUnitsPerSecond = 10'000'000;
std::int64_t Units(std::int64_t samples, int rate) { return samples * kUnitsPerSecond / rate; }

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// `times` MPEG audio frames: the four header bytes, then filler up to `length`.
Bytes Mpeg(std::uint8_t b1, std::uint8_t b2, std::size_t length, int times = 1) {
  Bytes frame{0xFF, b1, b2, 0xC4};
  frame.resize(length, 0x00);
  Bytes out;
  for (int i = 0; i < times; ++i) out = Cat({out, frame});
  return out;
}

// A Flash ADPCM packet whose first two bits give the code size (bits per sample - 2).
Bytes Adpcm(int bitsPerSample, std::size_t bytes) {
  Bytes packet(bytes, 0x5A);
  packet[0] = static_cast<std::uint8_t>(((bitsPerSample - 2) << 6) | 0x15);
  return packet;
}

// Quality-10 wideband Speex: narrowband mode 7 (492 bits), wideband mode 4, a terminator.
Bytes SpeexWideband() {
  Bytes frame(106, 0x00);
  frame[0] = 0x07 << 3;
  frame[492 / 8] |= 0x80 >> (492 % 8);
  frame[493 / 8] |= (0x4 << 5) >> (493 % 8);
  frame[105] = 0x7F;
  return frame;
}

// MPEG-1 layer III, 128 kbit/s, 44100 Hz: 417 bytes, 418 padded.
const Bytes kMp3 = Mpeg(0xFB, 0x90, 417);
const Bytes kMp3Padded = Mpeg(0xFB, 0x92, 418);

TEST(TrevikDuration, OfThePayload) {
  struct Row {
    const char* name;
    Bytes payload;
    int format, rate, bytesPerSample, channels;
    std::int64_t expected;
  };
  const Row rows[] = {
      {"Mp3Padded", Cat({kMp3, kMp3, kMp3Padded, kMp3}), 2, 44100, 2, 2, Units(4 * 1152, 44100)},
      // MPEG-2 64 kbit/s 22050 Hz: 208 bytes; MPEG-2.5 32 kbit/s 8000 Hz:
      // 288 bytes whatever the flags rate (format 14).
      {"Mpeg2", Mpeg(0xF3, 0x80, 208, 5), 2, 44100, 2, 2, Units(5 * 576, 22050)},
      {"Mpeg25At8k", Mpeg(0xE3, 0x48, 288, 3), 14, 5512, 2, 2, Units(3 * 576, 8000)},
      {"Layer1", Mpeg(0xFF, 0x10, 32, 3), 2, 44100, 2, 2, Units(3 * 384, 44100)},
      {"Layer2", Mpeg(0xFD, 0xA4, 576, 2), 2, 44100, 2, 2, Units(2 * 1152, 48000)},
      {"Mp3MixedRates", Cat({kMp3, Mpeg(0xFB, 0x94, 384)}), 2, 44100, 2, 2,
       Units(1152, 44100) + Units(1152, 48000)},
      {"Mp3TruncatedLastCounts", Cat({kMp3, Bytes(kMp3.begin(), kMp3.begin() + 10)}), 2, 44100, 2,
       2, Units(2 * 1152, 44100)},
      {"Mp3TrailingJunk", Cat({kMp3, {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFB, 0x90}}), 2, 44100, 2, 2,
       Units(1152, 44100)},
      // ADPCM blocks of 4096 samples: 4-bit stereo 2 + 44 + 4095 * 8 bits.
      {"Adpcm4Stereo", Adpcm(4, 4101), 1, 44100, 2, 2, Units(4096, 44100)},
      {"Adpcm2TwoBlocks", Adpcm(2, 2054), 1, 11025, 2, 1, Units(8192, 11025)},
      // Partial last blocks: whole codes plus the block header's sample.
      {"Adpcm5StereoPartial", Adpcm(5, 100), 1, 22050, 2, 2, Units(76, 22050)},
      {"Adpcm3SecondBlock", Adpcm(3, 1549), 1, 22050, 2, 1, Units(4096 + 21, 22050)},
      {"AdpcmNoBlockHeader", Adpcm(4, 2), 1, 22050, 2, 1, 0},
      {"Pcm16Stereo", Bytes(44100 * 4), 3, 44100, 2, 2, kUnitsPerSecond},
      {"PcmPartialFrame", Bytes(7), 0, 22050, 2, 2, Units(1, 22050)},
      {"G711AtEightKilohertz", Bytes(1024), 8, 44100, 1, 1, Units(1024, 8000)},
      {"Nelly16k", Bytes(64), 4, 5512, 2, 1, Units(256, 16000)},
      {"Nelly8k", Bytes(128), 5, 44100, 2, 2, Units(512, 8000)},
      {"NellyFlagsRate", Bytes(64 * 3), 6, 22050, 2, 1, Units(768, 22050)},
      {"AacRaw", Bytes{0x01, 0x21, 0x10}, 10, 44100, 2, 2, Units(1024, 44100)},
      {"AacConfig", Bytes{0x00, 0x12, 0x10}, 10, 44100, 2, 2, 0},
      {"SpeexWideband", SpeexWideband(), 11, 5512, 2, 1, 200000},
      // Five mode-0 frames (5 bits each), then a terminator.
      {"SpeexSilence", Bytes{0x00, 0x00, 0x00, 0x3F}, 11, 22050, 2, 1, 5 * 200000},
      {"SpeexUndecodableIsOneFrame", Bytes{0x7F, 0xFF}, 11, 22050, 2, 1, 200000},
      // Unknown: no usable MPEG header at the start, three ADPCM channels, rate 0.
      {"Mp3NoHeader", Bytes(100, 0), 2, 44100, 2, 2, -1},
      {"Mp3ReservedVersion", Mpeg(0xEB, 0x90, 417), 2, 44100, 2, 2, -1},
      {"Mp3ReservedLayer", Mpeg(0xF9, 0x90, 417), 2, 44100, 2, 2, -1},
      {"Mp3ReservedRate", Mpeg(0xFB, 0x9C, 417), 2, 44100, 2, 2, -1},
      {"Mp3FreeFormat", Mpeg(0xFB, 0x00, 417), 2, 44100, 2, 2, -1},
      {"Mp3BadBitRate", Mpeg(0xFB, 0xF0, 417), 2, 44100, 2, 2, -1},
      {"Mp3ShortHeader", Bytes{0xFF, 0xFB, 0x90}, 2, 44100, 2, 2, -1},
      {"AdpcmThreeChannels", Bytes(100, 0xAB), 1, 22050, 2, 3, -1},
      {"PcmRateZero", Bytes(10), 3, 0, 2, 1, -1},
      {"AacUnknownPacket", Bytes{0x02}, 10, 44100, 2, 2, -1}};
  for (const Row& r : rows) {
    EXPECT_EQ(CalcFLVAudioBlockDuration(r.payload.data(), static_cast<int>(r.payload.size()),
                                        r.format, r.rate, r.bytesPerSample, r.channels),
              r.expected)
        << r.name;
  }
  for (int format : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 14})
    EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 0, format, 44100, 2, 2), 0) << "empty " << format;
  const Bytes any(64);
  for (int format : {9, 12, 13, 15, 16, -1})
    EXPECT_EQ(CalcFLVAudioBlockDuration(any.data(), 64, format, 44100, 2, 2), -1) << format;
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, -5, 3, 44100, 2, 2), -1);
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 10, 2, 44100, 2, 2), -1);
}

}  // namespace
}  // namespace kelvra::test
