// Bad input through the library itself: the tag reader on damaged and
// foreign files, a file cut after it was opened, and the decoders on
// payloads no encoder would write.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bad_input/bad_input_support.h"
#include "flv/flv_tag_parsing.h"
#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

// Opens `bytes` as a file; the reader hands out caller-owned tags.
class OpenedFile {
 public:
  explicit OpenedFile(const Bytes& bytes, const std::string& name = "input.flv") {
    path_ = ScratchPath(name);
    WriteWholeFile(path_, bytes);
    reader_ = FLVAVTagReader_Create();
    FLVAVTagReader_SetAutoReleaseMemory(reader_, 0);
    opened_ = FLVAVTagReader_Open(reader_, path_.c_str());
  }
  ~OpenedFile() { FLVAVTagReader_Delete(reader_); }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;

  FLVAVTagReader* reader() const { return reader_; }
  const std::string& path() const { return path_; }
  int opened() const { return opened_; }

  // Reads tags of `type` (0: any) until the reader answers anything but 0;
  // answers that code and counts the tags in *count.
  int ReadAll(int type, int* count) {
    *count = 0;
    for (;;) {
      FLVTag* tag = nullptr;
      std::uint32_t duration = 0;
      const int code = FLVAVTagReader_ReadTag(reader_, 1, type, &tag, &duration);
      if (code != FLV_READER_OK) return code;
      ++*count;
      FLVStreamParser_DeleteFLVTag(nullptr, tag);
    }
  }

 private:
  std::string path_;
  FLVAVTagReader* reader_ = nullptr;
  int opened_ = 0;
};

// Streams the parser cannot take as FLV, or that hold no complete tag: the
// reader opens them with an empty index.
TEST(ReaderBadInput, FilesWithoutTagsOpenEmpty) {
  const Bytes header = HeaderWithOffset(9);
  std::vector<std::pair<std::string, Bytes>> files = {
      {"empty", {}},
      {"header_only", Bytes(header.begin(), header.begin() + 9)},
      {"wrong_signature", Concat({'F', 'L', 'X', 1, 4, 0, 0, 0, 9, 0, 0, 0, 0}, PcmTags(5))},
      {"data_offset_0", Concat(HeaderWithOffset(0), PcmTags(5))},
      {"data_offset_5", Concat(HeaderWithOffset(5), PcmTags(5))},
      {"data_offset_max", Concat(HeaderWithOffset(0xFFFFFFFFu), PcmTags(5))},
  };
  for (std::size_t n = 1; n <= 8; ++n) {
    files.push_back({std::to_string(n) + "_bytes", Bytes(header.begin(), header.begin() + n)});
  }
  for (const auto& [name, bytes] : files) {
    SCOPED_TRACE(name);
    OpenedFile file(bytes);
    ASSERT_EQ(file.opened(), 1);
    std::uint32_t audioEnd = 1;
    std::uint32_t videoEnd = 1;
    FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
    EXPECT_EQ(audioEnd, 0u);
    EXPECT_EQ(videoEnd, 0u);
    FLVInfo info{};
    ASSERT_EQ(FLVAVTagReader_GetFLVInfoEx(file.reader(), &info), 1);
    EXPECT_EQ(info.audioFormat, -1);
    EXPECT_EQ(info.videoCodec, -1);
    int count = -1;
    EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_END);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(FLVAVTagReader_Seek(file.reader(), FLV_TAG_TYPE_AUDIO, 0), FLV_READER_SEEK_NO_TAG_AFTER);
  }
}

// A last tag that never completes is left out; the tags before it read.
TEST(ReaderBadInput, IncompleteLastTagIsLeftOut) {
  Bytes tag = FlvBuilder().Audio(200, 3, 3, 1, 1, Bytes(1764, 0x10)).bytes();
  Bytes huge = tag;
  huge[1] = huge[2] = huge[3] = 0xFF;  // data size 16 MB
  huge.resize(100);
  const std::vector<std::pair<std::string, Bytes>> tails = {
      {"past_end", huge},
      {"in_header", Bytes(tag.begin(), tag.begin() + 6)},
      {"in_body", Bytes(tag.begin(), tag.begin() + 500)},
      {"in_previous_size", Bytes(tag.begin(), tag.end() - 2)},
  };
  for (const auto& [name, tail] : tails) {
    SCOPED_TRACE(name);
    OpenedFile file(Concat(PcmStream(20).bytes(), tail));
    ASSERT_EQ(file.opened(), 1);
    int count = 0;
    EXPECT_EQ(file.ReadAll(FLV_TAG_TYPE_AUDIO, &count), FLV_READER_END);
    EXPECT_EQ(count, 20);
  }
}

// Zero-filled stretches between tags read as tags of type 0 and size 0
// (15 bytes each); the parser does not resynchronise after them, but every
// tag it indexed reads without error.
TEST(ReaderBadInput, ZeroFilledHolesBetweenTags) {
  const std::string fixture = FixturePath("real/Red5_red5-server_webrtctestrecord.flv");
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  ASSERT_EQ(FLVAVTagReader_Open(reader, fixture.c_str()), 1);
  int tags = 0;
  int audio = 0;
  int code = FLV_READER_OK;
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    code = FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration);
    if (code != FLV_READER_OK) break;
    ++tags;
    if (tag->tagType == FLV_TAG_TYPE_AUDIO) ++audio;
  }
  EXPECT_EQ(code, FLV_READER_END);
  EXPECT_GT(audio, 0);
  EXPECT_GT(tags, audio);
  FLVAVTagReader_Delete(reader);
}

// The file is cut after Open indexed it: the tag that is no longer whole
// answers 4, again on the next call (nothing advanced); after a seek the
// earlier tags read again, and the same reader opens the next file.
TEST(ReaderBadInput, FileCutAfterOpen) {
  OpenedFile file(PcmStream(40).bytes());
  ASSERT_EQ(file.opened(), 1);
  // 13 header bytes, then 1764 + 15 bytes per tag: keep ten and a half.
  fs::resize_file(file.path(), 13 + 10 * (1764 + 15) + 900);
  int count = 0;
  EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_READ_ERROR);
  EXPECT_EQ(count, 10);
  EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_READ_ERROR);
  EXPECT_EQ(count, 0);
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(file.reader()), FLV_READER_OK);
  EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_READ_ERROR);
  EXPECT_EQ(count, 10);

  const std::string next = ScratchPath("next.flv");
  PcmStream(15).WriteTo(next);
  ASSERT_EQ(FLVAVTagReader_Open(file.reader(), next.c_str()), 1);
  EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_END);
  EXPECT_EQ(count, 15);
}

TEST(ReaderBadInput, DirectoryDoesNotOpen) {
  const std::string folder = ScratchPath("folder.flv");
  fs::create_directory(folder);
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLVAVTagReader_Open(reader, folder.c_str()), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("Read error: ", 0), 0u) << err;
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  EXPECT_EQ(FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration), FLV_READER_NOT_OPEN);
  FLVAVTagReader_Delete(reader);
}

TEST(ReaderBadInput, OverlongPathDoesNotOpen) {
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  const std::string path = ScratchPath(std::string(5000, 'x'));
  EXPECT_EQ(FLVAVTagReader_Open(reader, path.c_str()), 0);
  FLVAVTagReader_Delete(reader);
}

// Time stamps with the extension byte set: the parser rebases them on the
// first tag, so the index runs from 0 whether or not the stamps wrap past
// 2^32.
TEST(ReaderBadInput, TimestampsNear2To32) {
  {
    OpenedFile file(PcmStream(20, 441, 0xFFFFF000u).bytes());
    ASSERT_EQ(file.opened(), 1);
    std::uint32_t audioEnd = 0;
    std::uint32_t videoEnd = 0;
    FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
    EXPECT_EQ(audioEnd, 200u);
    EXPECT_EQ(FLVAVTagReader_Seek(file.reader(), FLV_TAG_TYPE_AUDIO, 55u), FLV_READER_OK);
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    ASSERT_EQ(FLVAVTagReader_ReadTag(file.reader(), 1, 0, &tag, &duration), FLV_READER_OK);
    EXPECT_EQ(tag->timestamp, 60u);
    EXPECT_EQ(duration, 10u);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  {
    OpenedFile file(PcmStream(40, 441, 0xFFFFFF00u).bytes());
    ASSERT_EQ(file.opened(), 1);
    std::uint32_t audioEnd = 0;
    std::uint32_t videoEnd = 0;
    FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
    EXPECT_EQ(audioEnd, 400u);
    int count = 0;
    EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_END);
    EXPECT_EQ(count, 40);
  }
}

// A file that begins with video and whose audio is stamped 49 days later (or
// an empty audio tag followed by audio 24 days on, with no video at all):
// nothing else in the stream confirms such a hole, so it is closed as at
// most one minute of silence instead of weeks of it.
TEST(ReaderBadInput, AudioHoleThatNothingConfirmsIsBounded) {
  constexpr std::uint32_t kMaxUnconfirmedHoleMs = 60000;
  {
    FlvBuilder flv;
    flv.Header();
    flv.Video(0, 1, 2, H263PictureHeader(2));
    for (int i = 0; i < 10; ++i) flv.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
    OpenedFile file(flv.bytes());
    ASSERT_EQ(file.opened(), 1);
    std::uint32_t audioEnd = 0;
    std::uint32_t videoEnd = 0;
    FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
    EXPECT_EQ(audioEnd, kMaxUnconfirmedHoleMs + 100);
  }
  {
    FlvBuilder flv;
    flv.Header(FlvHeaderOptions{.hasVideo = false});
    for (int i = 0; i < 10; ++i) flv.Audio(i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
    flv.Audio(100, 3, 3, 1, 1, {});  // opens a hole
    for (int i = 0; i < 10; ++i) flv.Audio(0x7F000000u + i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
    OpenedFile file(flv.bytes());
    ASSERT_EQ(file.opened(), 1);
    std::uint32_t audioEnd = 0;
    std::uint32_t videoEnd = 0;
    FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
    EXPECT_EQ(audioEnd, 100 + kMaxUnconfirmedHoleMs + 100);
  }
}

// Video running through a hole confirms it, however long it is.
TEST(ReaderBadInput, AudioHoleConfirmedByVideoIsKept) {
  constexpr std::uint32_t kHoleEndMs = 90000;
  FlvBuilder flv;
  flv.Header();
  for (int i = 0; i < 10; ++i) flv.Audio(i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
  flv.Audio(100, 3, 3, 1, 1, {});
  for (std::uint32_t t = 100; t <= kHoleEndMs; t += 1000) flv.Video(t, t == 100 ? 1 : 2, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) flv.Audio(kHoleEndMs + i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
  OpenedFile file(flv.bytes());
  ASSERT_EQ(file.opened(), 1);
  std::uint32_t audioEnd = 0;
  std::uint32_t videoEnd = 0;
  FLVAVTagReader_GetDuration(file.reader(), &audioEnd, &videoEnd);
  EXPECT_EQ(audioEnd, kHoleEndMs + 100);
}

TEST(ReaderBadInput, HundredThousandTinyTags) {
  constexpr int kTags = 100000;
  FlvBuilder flv;
  flv.Header(FlvHeaderOptions{.hasVideo = false});
  for (int i = 0; i < kTags; ++i) flv.Audio(static_cast<std::uint32_t>(i / 10), 3, 3, 1, 1, Bytes(4, 1));
  OpenedFile file(flv.bytes());
  ASSERT_EQ(file.opened(), 1);
  int count = 0;
  EXPECT_EQ(file.ReadAll(FLV_TAG_TYPE_AUDIO, &count), FLV_READER_END);
  EXPECT_EQ(count, kTags);
  // The parser stamps audio by the playing time of the blocks before it: one
  // sample frame each, 226 units of 100 ns (cut to whole units).
  ASSERT_EQ(FLVAVTagReader_Seek(file.reader(), FLV_TAG_TYPE_AUDIO, 1000), FLV_READER_OK);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(FLVAVTagReader_ReadTag(file.reader(), 1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->timestamp, 1001u);
  FLVStreamParser_DeleteFLVTag(nullptr, tag);
  EXPECT_EQ(file.ReadAll(FLV_TAG_TYPE_AUDIO, &count), FLV_READER_END);
  EXPECT_NEAR(count, kTags - 1001 * 10000.0 / 226, 3);
}

// ---- decoders ----

// An audio tag record as the parser makes one.
FLVTag* AudioTag(std::uint8_t flags, const Bytes& payload) {
  Bytes bytes = FlvBuilder().Tag(FLV_TAG_TYPE_AUDIO, 0, Concat({flags}, payload)).bytes();
  FLVTag* tag = NewFLVTag();
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  EXPECT_TRUE(ParseFLVTagHeader(bytes.data(), bytes.size(), true, tag, &position, &toEnd));
  EXPECT_TRUE(ParseFLVTagBody(bytes.data() + kTagHeaderSize, bytes.size() - kTagHeaderSize, tag));
  return tag;
}

FLVTag* VideoTag(int frameType, int codecId, const Bytes& payload) {
  Bytes bytes = FlvBuilder().Video(0, frameType, codecId, payload).bytes();
  FLVTag* tag = NewFLVTag();
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  EXPECT_TRUE(ParseFLVTagHeader(bytes.data(), bytes.size(), true, tag, &position, &toEnd));
  EXPECT_TRUE(ParseFLVTagBody(bytes.data() + kTagHeaderSize, bytes.size() - kTagHeaderSize, tag));
  return tag;
}

// A synchronous audio decoder whose output format is the tags' own, so the
// byte counts are the decoder's and not the resampler's.
class SyncAudio {
 public:
  SyncAudio(int rate, int channels) : decoder_(FLVStreamDecoder_Create(0)) {
    FLVStreamDecoder_SetSampleRate(decoder_, rate);
    FLVStreamDecoder_SetNumberOfChannels(decoder_, channels);
    FLVStreamDecoder_SetDecodeSyncMode(decoder_, 1);
  }
  ~SyncAudio() { FLVStreamDecoder_Delete(decoder_); }
  SyncAudio(const SyncAudio&) = delete;
  SyncAudio& operator=(const SyncAudio&) = delete;

  // Bytes of PCM the tag gives, -1 when the decode fails.
  int Decode(std::uint8_t flags, const Bytes& payload) {
    FLVTag* tag = AudioTag(flags, payload);
    std::uint8_t* pcm = nullptr;
    int size = 0;
    const int ok = FLVStreamDecoder_DecodeFLVTag(decoder_, tag, &pcm, &size);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
    return ok == 1 ? size : -1;
  }

 private:
  FLVStreamDecoder* decoder_;
};

// An ADPCM block with the given 2-bit code size field: 2 + field bits per
// code. The field's largest value, 3, means 5-bit codes.
Bytes AdpcmBlock(int codeSizeField, int channels, std::uint32_t seed) {
  constexpr int kSamplesPerBlock = 4096;
  const int codeBits = codeSizeField + 2;
  const std::size_t bits = 2 + static_cast<std::size_t>(channels) * (22 + (kSamplesPerBlock - 1) * codeBits);
  Bytes block((bits + 7) / 8);
  std::mt19937 random(seed);
  for (auto& b : block) b = static_cast<std::uint8_t>(random());
  block[0] = static_cast<std::uint8_t>((block[0] & 0x3F) | codeSizeField << 6);
  return block;
}

TEST(DecoderBadInput, AdpcmEveryCodeSizeDecodesAWholeBlock) {
  constexpr std::uint8_t kAdpcm22kMono = 0x1A;    // format 1, 22050 Hz, 16-bit, mono
  constexpr std::uint8_t kAdpcm44kStereo = 0x1F;  // format 1, 44100 Hz, 16-bit, stereo
  for (int field = 0; field < 4; ++field) {
    SCOPED_TRACE(field);
    SyncAudio mono(22050, 1);
    EXPECT_EQ(mono.Decode(kAdpcm22kMono, AdpcmBlock(field, 1, 1)), 4096 * 2);
    SyncAudio stereo(44100, 2);
    EXPECT_EQ(stereo.Decode(kAdpcm44kStereo, AdpcmBlock(field, 2, 2)), 4096 * 4);
    // The block's duration as the reader computes it for the last tag.
    FLVTag* tag = AudioTag(kAdpcm22kMono, AdpcmBlock(field, 1, 3));
    EXPECT_EQ(CalcAudioBlockDuration(tag), 4096LL * 10000000 / 22050);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  // A block cut short decodes what it holds or fails, and the next whole
  // block still decodes.
  SyncAudio mono(22050, 1);
  Bytes cut = AdpcmBlock(3, 1, 4);
  cut.resize(cut.size() / 3);
  EXPECT_LT(mono.Decode(kAdpcm22kMono, cut), 4096 * 2);
  EXPECT_EQ(mono.Decode(kAdpcm22kMono, AdpcmBlock(3, 1, 5)), 4096 * 2);
}

TEST(DecoderBadInput, NellymoserBlockOf63Bytes) {
  constexpr std::uint8_t kNelly8k = 0x52;  // format 5: 8000 Hz mono
  constexpr int kBlockBytes = 64;
  constexpr int kBlockSamples = 256;
  SyncAudio decoder(8000, 1);
  Bytes payload(63, 0x5A);
  EXPECT_LE(decoder.Decode(kNelly8k, payload), 0);  // nothing to decode
  EXPECT_EQ(decoder.Decode(kNelly8k, Bytes(kBlockBytes, 0x5A)), kBlockSamples * 2);
  // A whole block and a cut one: the whole one decodes.
  EXPECT_EQ(decoder.Decode(kNelly8k, Bytes(kBlockBytes + 63, 0x33)), kBlockSamples * 2);
}

TEST(DecoderBadInput, GarbageMp3DoesNotSpoilTheNextFrames) {
  const std::string real = GenerateFlv(FlvSpec{.audio = AudioCodec::kMp3, .sampleRate = 22050, .channels = 1,
                                               .durationMs = 600});
  ASSERT_FALSE(real.empty());
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  ASSERT_EQ(FLVAVTagReader_Open(reader, real.c_str()), 1);
  std::vector<std::pair<std::uint8_t, Bytes>> frames;
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    if (FLVAVTagReader_ReadTag(reader, 1, FLV_TAG_TYPE_AUDIO, &tag, &duration) != FLV_READER_OK) break;
    frames.push_back({tag->data[0], Bytes(tag->audioData, tag->audioData + tag->audioDataSize)});
  }
  FLVAVTagReader_Delete(reader);
  ASSERT_GT(frames.size(), 10u);

  SyncAudio clean(22050, 1);
  int cleanBytes = 0;
  for (const auto& [flags, payload] : frames) cleanBytes += std::max(clean.Decode(flags, payload), 0);

  SyncAudio damaged(22050, 1);
  std::mt19937 random(11);
  const std::uint8_t flags = frames[0].first;
  for (int i = 0; i < 50; ++i) {
    Bytes garbage(1 + random() % 700);
    for (auto& b : garbage) b = static_cast<std::uint8_t>(random());
    if (i % 2 == 0) {
      garbage[0] = 0xFF;
      if (garbage.size() > 1) garbage[1] = 0xF3;
    }
    const int size = damaged.Decode(flags, garbage);
    if (size > 0) {
      EXPECT_EQ(size % 2, 0);
    }
  }
  int afterBytes = 0;
  for (const auto& [f, payload] : frames) afterBytes += std::max(damaged.Decode(f, payload), 0);
  // The decoder may hold one frame of overlap back, no more.
  EXPECT_GE(afterBytes, cleanBytes - 1152 * 2 * 2);
}

TEST(DecoderBadInput, Vp6KeyFrameWithNoMacroblockRows) {
  FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  ASSERT_NE(video, nullptr);
  FLVStreamDecoder_SetDecodeSyncMode(video, 1);
  FLVStreamDecoder_SetOutputSize(video, 32, 24);
  for (int codec : {4, 5}) {
    SCOPED_TRACE(codec);
    const Bytes payload = codec == 4 ? Vp6KeyFramePayload(0, 0, 10) : Vp6AlphaKeyFramePayload(0, 0, 10, 40, 20);
    FLVTag* tag = VideoTag(1, codec, payload);
    EXPECT_EQ(tag->height, 0);
    std::uint8_t* picture = nullptr;
    int size = 0;
    EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(video, tag, &picture, &size), 0);
    // An inter frame after it has nothing to build on.
    FLVTag* inter = VideoTag(2, codec, Bytes(30, 0x11));
    EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(video, inter, &picture, &size), 0);
    FLVStreamParser_DeleteFLVTag(nullptr, inter);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  FLVStreamDecoder_Delete(video);
}

// VP6 tags whose body is too short for the adjustment byte, the offset to
// alpha or the frame header: the frames are empty and every pointer stays in
// the tag's data block (found by fuzzing the stream parser).
TEST(DecoderBadInput, Vp6TagsShorterThanTheirFields) {
  for (int codec : {4, 5}) {
    for (std::size_t length = 0; length <= 6; ++length) {
      SCOPED_TRACE(std::to_string(codec) + " / " + std::to_string(length));
      FLVTag* tag = VideoTag(1, codec, Bytes(length, 0xFF));
      const std::uint8_t* blockEnd = tag->block + tag->dataSize + kTagBlockExtraSize;
      const std::uint8_t* bodyEnd = tag->data + tag->dataSize;
      EXPECT_GE(tag->vp6DataSize, 0);
      EXPECT_LE(tag->vp6Data + tag->vp6DataSize, tag->vp6DataSize > 0 ? bodyEnd : blockEnd);
      if (codec == 5) {
        EXPECT_GE(tag->alphaDataSize, 0);
        EXPECT_LE(tag->alphaData + tag->alphaDataSize, tag->alphaDataSize > 0 ? bodyEnd : blockEnd);
      }
      FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
      FLVStreamDecoder_SetDecodeSyncMode(video, 1);
      std::uint8_t* picture = nullptr;
      int size = 0;
      EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(video, tag, &picture, &size), 0);
      FLVStreamDecoder_Delete(video);
      FLVStreamParser_DeleteFLVTag(nullptr, tag);
    }
  }
}

// The picture reader over such a file shows black pictures of the declared
// size; none of them comes from a decoder.
TEST(DecoderBadInput, PictureReaderOverVp6WithoutRows) {
  FlvBuilder flv;
  flv.Header();
  for (int i = 0; i < 10; ++i) flv.Video(static_cast<std::uint32_t>(i * 40), 1, 4, Vp6KeyFramePayload(0, 0, 4));
  OpenedFile file(flv.bytes());
  ASSERT_EQ(file.opened(), 1);
  FLVAVTagReader_SetAutoReleaseMemory(file.reader(), 1);
  VideoFrameReader* pictures = VideoFrameReader_Create(file.reader(), 25.0, 1);
  ASSERT_NE(pictures, nullptr);
  for (int frame : {0, 1, 5, 9, 100}) {
    VideoFrameReader_ReadFrame(pictures, frame);  // must not crash; may be null
  }
  VideoFrameReader_Delete(pictures);
}

}  // namespace
}  // namespace kelvra::test
