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

  FLVAVTagReader* reader() const { return reader_; }
  const std::string& path() const { return path_; }
  int opened() const { return opened_; }

  std::uint32_t AudioEnd() const {
    std::uint32_t audio = 0, video = 0;
    FLVAVTagReader_GetDuration(reader_, &audio, &video);
    return audio;
  }
  // The time stamp and duration of the next tag after seeking audio to `ms`.
  std::pair<std::uint32_t, std::uint32_t> SeekAndRead(std::uint32_t ms) {
    EXPECT_EQ(FLVAVTagReader_Seek(reader_, FLV_TAG_TYPE_AUDIO, ms), FLV_READER_OK);
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    EXPECT_EQ(FLVAVTagReader_ReadTag(reader_, 1, 0, &tag, &duration), FLV_READER_OK);
    const std::uint32_t timestamp = tag ? tag->timestamp : 0;
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
    return {timestamp, duration};
  }

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

// A data offset that leaves nothing to skip drops the rest of the stream:
// such a file opens with no tags to read.
TEST(ReaderBadInput, DataOffsetWithNothingToSkipDropsTheStream) {
  for (std::uint32_t offset : {0u, 5u}) {
    OpenedFile file(Concat(HeaderWithOffset(offset), PcmTags(5)));
    ASSERT_EQ(file.opened(), 1);
    int count = -1;
    EXPECT_EQ(file.ReadAll(0, &count), FLV_READER_END) << offset;
    EXPECT_EQ(count, 0) << offset;
  }
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

// Time stamps with the extension byte set: the parser rebases them on the
// first tag, so the index runs from 0 whether or not the stamps wrap past
// 2^32.
TEST(ReaderBadInput, TimestampsNear2To32) {
  OpenedFile near(PcmStream(20, 441, 0xFFFFF000u).bytes());
  ASSERT_EQ(near.opened(), 1);
  EXPECT_EQ(near.AudioEnd(), 200u);
  EXPECT_EQ(near.SeekAndRead(55), std::make_pair(60u, 10u));
  OpenedFile wrapping(PcmStream(40, 441, 0xFFFFFF00u).bytes());
  ASSERT_EQ(wrapping.opened(), 1);
  EXPECT_EQ(wrapping.AudioEnd(), 400u);
  int count = 0;
  EXPECT_EQ(wrapping.ReadAll(0, &count), FLV_READER_END);
  EXPECT_EQ(count, 40);
}

// An audio hole that nothing else in the stream confirms (a file that
// begins with video whose audio is stamped 49 days later, or an empty audio
// tag followed by audio 24 days on with no video at all) is closed as at most
// one minute of silence; video running through a hole confirms it, however
// long it is.
TEST(ReaderBadInput, AudioHolesAreBoundedUnlessVideoConfirmsThem) {
  constexpr std::uint32_t kMaxUnconfirmedHoleMs = 60000;
  constexpr std::uint32_t kConfirmedHoleEndMs = 90000;
  const Bytes pcm(1764, 0x10);
  FlvBuilder videoThenLateAudio;
  videoThenLateAudio.Header();
  videoThenLateAudio.Video(0, 1, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) videoThenLateAudio.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, pcm);
  FlvBuilder audioOnly;
  audioOnly.Header(FlvHeaderOptions{.hasVideo = false});
  FlvBuilder confirmed;
  confirmed.Header();
  for (FlvBuilder* flv : {&audioOnly, &confirmed}) {
    for (int i = 0; i < 10; ++i) flv->Audio(i * 10, 3, 3, 1, 1, pcm);
    flv->Audio(100, 3, 3, 1, 1, {});  // opens a hole
  }
  for (int i = 0; i < 10; ++i) audioOnly.Audio(0x7F000000u + i * 10, 3, 3, 1, 1, pcm);
  for (std::uint32_t t = 100; t <= kConfirmedHoleEndMs; t += 1000) {
    confirmed.Video(t, t == 100 ? 1 : 2, 2, H263PictureHeader(2));
  }
  for (int i = 0; i < 10; ++i) confirmed.Audio(kConfirmedHoleEndMs + i * 10, 3, 3, 1, 1, pcm);
  const std::pair<const FlvBuilder*, std::uint32_t> cases[] = {
      {&videoThenLateAudio, kMaxUnconfirmedHoleMs + 100},
      {&audioOnly, 100 + kMaxUnconfirmedHoleMs + 100},
      {&confirmed, kConfirmedHoleEndMs + 100}};
  for (const auto& [flv, expectedEnd] : cases) {
    OpenedFile file(flv->bytes());
    ASSERT_EQ(file.opened(), 1);
    EXPECT_EQ(file.AudioEnd(), expectedEnd);
  }
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
  EXPECT_EQ(file.SeekAndRead(1000).first, 1001u);
  EXPECT_EQ(file.ReadAll(FLV_TAG_TYPE_AUDIO, &count), FLV_READER_END);
  EXPECT_NEAR(count, kTags - 1001 * 10000.0 / 226, 3);
}

// ---- decoders ----

// A tag record as the parser makes one from the tag's bytes.
FLVTag* ParsedTag(const Bytes& bytes) {
  FLVTag* tag = NewFLVTag();
  std::int64_t position = 0;
  std::uint32_t toEnd = 0;
  EXPECT_TRUE(ParseFLVTagHeader(bytes.data(), bytes.size(), true, tag, &position, &toEnd));
  EXPECT_TRUE(ParseFLVTagBody(bytes.data() + kTagHeaderSize, bytes.size() - kTagHeaderSize, tag));
  return tag;
}
FLVTag* AudioTag(std::uint8_t flags, const Bytes& payload) {
  return ParsedTag(FlvBuilder().Tag(FLV_TAG_TYPE_AUDIO, 0, Concat({flags}, payload)).bytes());
}
FLVTag* VideoTag(int frameType, int codecId, const Bytes& payload) {
  return ParsedTag(FlvBuilder().Video(0, frameType, codecId, payload).bytes());
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
  EXPECT_LE(decoder.Decode(kNelly8k, Bytes(63, 0x5A)), 0);  // nothing to decode
  EXPECT_EQ(decoder.Decode(kNelly8k, Bytes(kBlockBytes, 0x5A)), kBlockSamples * 2);
  // A whole block and a cut one: the whole one decodes.
  EXPECT_EQ(decoder.Decode(kNelly8k, Bytes(kBlockBytes + 63, 0x33)), kBlockSamples * 2);
}

TEST(DecoderBadInput, Vp6KeyFrameWithNoMacroblockRows) {
  FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  ASSERT_NE(video, nullptr);
  FLVStreamDecoder_SetDecodeSyncMode(video, 1);
  FLVStreamDecoder_SetOutputSize(video, 32, 24);
  for (int codec : {4, 5}) {
    SCOPED_TRACE(codec);
    FLVTag* tag = VideoTag(1, codec, codec == 4 ? Vp6KeyFramePayload(0, 0, 10) : Vp6AlphaKeyFramePayload(0, 0, 10, 40, 20));
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

}  // namespace
}  // namespace kelvra::test
