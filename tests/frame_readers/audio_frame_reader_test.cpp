// The audio frame reader pulled in requests of many sizes: the byte stream
// equals the synchronous decoder's output tag by tag, silence stands where
// tags carry none, the stream is padded to the video's end, and it ends
// cleanly however the request size falls.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <numeric>

#include "frame_readers/frame_test_util.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {

// Test names and messages show the file made, not the record's raw bytes.
void PrintTo(const FlvSpec& file, std::ostream* out) {
  *out << "audio " << static_cast<int>(file.audio) << ", " << file.sampleRate << " Hz, "
       << file.channels << " ch, hole at " << file.holeStartMs << " ms";
}

namespace {

constexpr int kPcmLittleEndian = 3;
constexpr int kRate44100 = 3;
constexpr int kRate22050 = 2;
constexpr int k16Bit = 1;
constexpr int kStereo = 1;
constexpr int kKeyFrame = 1;
constexpr int kH263 = 2;
constexpr std::size_t kStereoFrameBytes = 4;

bool AllZero(const std::vector<std::uint8_t>& bytes, std::size_t from) {
  return std::all_of(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end(),
                     [](std::uint8_t b) { return b == 0; });
}

// PCM whose bytes never repeat within a tag, so a shifted or lost byte shows.
Bytes Ramp(std::size_t size, std::uint8_t seed) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7 + 1);
  return bytes;
}

std::string WriteStream(const FlvBuilder& builder, const std::string& name) {
  const std::string path = TestTempDir() + "/" + name;
  builder.WriteTo(path);
  return path;
}

// The stream a pull must give: `expected`, then zeros up to the end of the
// call that answered 0; every earlier call answered 1.
void ExpectStream(const AudioPull& pull, const std::vector<std::uint8_t>& expected,
                  std::uint32_t requestSize) {
  ASSERT_GE(pull.bytes.size(), expected.size()) << "request size " << requestSize;
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pull.bytes.begin()))
      << "request size " << requestSize;
  EXPECT_TRUE(AllZero(pull.bytes, expected.size())) << "request size " << requestSize;
  EXPECT_EQ(pull.bytes.size() % requestSize, 0u);
  // Zero padding after the data is at most one request long.
  EXPECT_LE(pull.bytes.size() - expected.size(), requestSize) << "request size " << requestSize;
}

class AudioPullSizes : public testing::TestWithParam<FlvSpec> {};

TEST_P(AudioPullSizes, EveryRequestSizeGivesTheDecodersStream) {
  const std::string path = GenerateFlv(GetParam());
  ASSERT_FALSE(path.empty());
  const std::vector<std::uint8_t> reference = DecodeAudioTagByTag(path);
  ASSERT_GT(reference.size(), 10000u);
  for (const std::uint32_t size : {4096u, 1000u, 3u}) {
    ExpectStream(PullAudio(path, size), reference, size);
  }
}

FlvSpec AudioFile(AudioCodec codec, int rate, int channels, int holeStart = -1, int holeLength = 0) {
  FlvSpec file;
  file.audio = codec;
  file.sampleRate = rate;
  file.channels = channels;
  file.durationMs = 1500;
  file.holeStartMs = holeStart;
  file.holeLengthMs = holeLength;
  return file;
}

std::string FileName(const testing::TestParamInfo<FlvSpec>& info) {
  static const char* const kNames[] = {"None", "Mp3", "AdpcmSwf", "Nellymoser", "PcmS16le", "PcmU8"};
  return std::string(kNames[static_cast<int>(info.param.audio)]) + "_" +
         std::to_string(info.param.sampleRate) + "Hz_" + std::to_string(info.param.channels) + "ch" +
         (info.param.holeStartMs >= 0 ? "_hole" : "");
}

// MP3 holds samples back until the flush; mono PCM has a 2-byte frame and
// ADPCM odd block sizes; the hole is an empty tag that stands for silence.
INSTANTIATE_TEST_SUITE_P(
    GeneratedFiles, AudioPullSizes,
    testing::Values(AudioFile(AudioCodec::kMp3, 22050, 2), AudioFile(AudioCodec::kPcmS16le, 11025, 1),
                    AudioFile(AudioCodec::kAdpcmSwf, 22050, 1),
                    AudioFile(AudioCodec::kMp3, 44100, 2, 500, 400)),
    FileName);

// Ten 10 ms tags of 44100 Hz stereo PCM, and H.263 key frames running on to
// 2100 ms: the audio ends at 100 ms, the video 2000 ms later.
struct VideoLongerStream {
  std::string path;
  std::vector<std::uint8_t> pcm;
};

VideoLongerStream MakeVideoLongerThanAudio() {
  constexpr std::size_t kTagFrames = 441;
  VideoLongerStream stream;
  FlvBuilder builder;
  builder.Header();
  for (std::uint32_t i = 0; i < 10; ++i) {
    const Bytes payload = Ramp(kTagFrames * kStereoFrameBytes, static_cast<std::uint8_t>(i * 13));
    builder.Audio(i * 10, kPcmLittleEndian, kRate44100, k16Bit, kStereo, payload);
    stream.pcm.insert(stream.pcm.end(), payload.begin(), payload.end());
    if (i == 0) builder.Video(0, kKeyFrame, kH263, H263PictureHeader(2));
  }
  // Three pictures over 1575 ms: 1.905 frames/s, so the last one plays
  // 525 ms and the video ends at 2100 ms.
  builder.Video(800, kKeyFrame, kH263, H263PictureHeader(2));
  builder.Video(1575, kKeyFrame, kH263, H263PictureHeader(2));
  stream.path = WriteStream(builder, "video_longer_than_audio.flv");
  return stream;
}

TEST(AudioFrameReader, VideoLongerThanAudioIsPaddedWithSilenceToItsEnd) {
  const VideoLongerStream stream = MakeVideoLongerThanAudio();
  {
    TagReaderPtr reader = OpenTagReader(stream.path);
    ASSERT_NE(reader, nullptr);
    std::uint32_t audioMs = 0;
    std::uint32_t videoMs = 0;
    FLVAVTagReader_GetDuration(reader.get(), &audioMs, &videoMs);
    ASSERT_EQ(audioMs, 100u);
    ASSERT_EQ(videoMs, 2100u);
  }
  std::vector<std::uint8_t> expected = stream.pcm;
  expected.insert(expected.end(), 88200 * kStereoFrameBytes, 0);  // 2000 ms at 44100 Hz
  // 4096 and 1000 end inside a request; 370440 bytes are exactly 123480
  // requests of 3 bytes, which is not a whole number of sample frames.
  for (const std::uint32_t size : {4096u, 1000u, 3u, 8u}) {
    const AudioPull pull = PullAudio(stream.path, size);
    ExpectStream(pull, expected, size);
    // The call that answers 0 is the one that hands out the last silence.
    EXPECT_LT(pull.callsBeforeEnd * size, expected.size()) << "request size " << size;
    EXPECT_GE((pull.callsBeforeEnd + 1) * size, expected.size()) << "request size " << size;
  }
}

// A 22050 Hz stereo stream with an empty tag at 100 ms and the next audio at
// 126 ms: the empty tag stands for 26 ms, 573 sample frames (573.3 rounded
// down). Both kinds of empty tag: no body at all, and a flags byte only.
TEST(AudioFrameReader, AnEmptyTagIsSilenceOfItsDuration) {
  for (const bool flagsOnly : {false, true}) {
    FlvBuilder builder;
    builder.Header();
    const Bytes first = Ramp(2205 * kStereoFrameBytes, 1);
    const Bytes second = Ramp(1000 * kStereoFrameBytes, 99);
    builder.Audio(0, kPcmLittleEndian, kRate22050, k16Bit, kStereo, first);
    if (flagsOnly) {
      builder.Audio(100, kPcmLittleEndian, kRate22050, k16Bit, kStereo, {});
    } else {
      builder.Tag(FLV_TAG_TYPE_AUDIO, 100, {});
    }
    builder.Audio(126, kPcmLittleEndian, kRate22050, k16Bit, kStereo, second);
    const std::string path =
        WriteStream(builder, flagsOnly ? "empty_flags_tag.flv" : "empty_body_tag.flv");

    std::vector<std::uint8_t> expected = first;
    expected.insert(expected.end(), 573 * kStereoFrameBytes, 0);
    expected.insert(expected.end(), second.begin(), second.end());
    for (const std::uint32_t size : {4096u, 1000u, 3u}) {
      SCOPED_TRACE(flagsOnly ? "flags byte only" : "no body");
      ExpectStream(PullAudio(path, size), expected, size);
    }
  }
}

TEST(AudioFrameReader, AfterTheEndEveryReadAnswersZeroWithSilence) {
  const VideoLongerStream stream = MakeVideoLongerThanAudio();
  TagReaderPtr reader = OpenTagReader(stream.path);
  ASSERT_NE(reader, nullptr);
  AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
  ASSERT_NE(audio, nullptr);
  std::vector<std::uint8_t> block(5000);
  while (AudioFrameReader_ReadFrame(audio.get(), block.data(), 5000) != 0) {
  }
  for (const std::uint32_t size : {5000u, 1u, 4096u}) {
    std::fill(block.begin(), block.end(), 0x5A);
    EXPECT_EQ(AudioFrameReader_ReadFrame(audio.get(), block.data(), size), 0);
    EXPECT_TRUE(std::all_of(block.begin(), block.begin() + size, [](std::uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(block.begin() + size, block.end(), [](std::uint8_t b) { return b == 0x5A; }))
        << "wrote past the request";
  }
}

// The file shrinks under an open tag reader: the next tag cannot be read and
// the audio ends there as at the last tag, instead of hanging or crashing.
TEST(AudioFrameReader, ATagThatCannotBeReadEndsTheAudio) {
  const VideoLongerStream stream = MakeVideoLongerThanAudio();
  const std::string path = TestTempDir() + "/shrinking.flv";
  std::filesystem::copy_file(stream.path, path, std::filesystem::copy_options::overwrite_existing);
  TagReaderPtr reader = OpenTagReader(path);
  ASSERT_NE(reader, nullptr);
  AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
  ASSERT_NE(audio, nullptr);
  std::vector<std::uint8_t> block(1764);  // one tag
  ASSERT_EQ(AudioFrameReader_ReadFrame(audio.get(), block.data(), 1764), 1);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), stream.pcm.begin()));
  // Cut inside the video tag that follows the first audio tag.
  std::filesystem::resize_file(path, 13 + (11 + 1765 + 4) + 10);
  int more = 1;
  std::size_t calls = 0;
  while (more != 0 && calls < 1000) {
    more = AudioFrameReader_ReadFrame(audio.get(), block.data(), 1764);
    ++calls;
  }
  EXPECT_EQ(more, 0);
  EXPECT_EQ(AudioFrameReader_ReadFrame(audio.get(), block.data(), 1764), 0);
}

TEST(AudioFrameReader, ATagReaderThatIsNotOpenIsRefused) {
  EXPECT_EQ(AudioFrameReader_Create(nullptr), nullptr);
  TagReaderPtr closed(FLVAVTagReader_Create());
  ASSERT_NE(closed, nullptr);
  EXPECT_EQ(AudioFrameReader_Create(closed.get()), nullptr);
  EXPECT_EQ(FLVAVTagReader_Open(closed.get(), "/nonexistent/file.flv"), 0);
  EXPECT_EQ(AudioFrameReader_Create(closed.get()), nullptr);
  AudioFrameReader_Delete(nullptr);
}

TEST(AudioFrameReader, ATagReaderClosedUnderneathEndsTheAudio) {
  const VideoLongerStream stream = MakeVideoLongerThanAudio();
  TagReaderPtr reader = OpenTagReader(stream.path);
  ASSERT_NE(reader, nullptr);
  AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
  ASSERT_NE(audio, nullptr);
  FLVAVTagReader_Close(reader.get());
  // Nothing more is decoded: only the silence up to the video's end follows.
  std::vector<std::uint8_t> block(4096, 0x77);
  std::size_t bytes = 0;
  int more = 1;
  while (more != 0 && bytes < 1000000) {
    more = AudioFrameReader_ReadFrame(audio.get(), block.data(), 4096);
    bytes += block.size();
    ASSERT_TRUE(AllZero(block, 0));
  }
  EXPECT_EQ(more, 0);
  EXPECT_LE(bytes, 88200 * kStereoFrameBytes + 4096);
  EXPECT_EQ(AudioFrameReader_ReadFrame(nullptr, block.data(), 4096), 0);
  EXPECT_EQ(AudioFrameReader_ReadFrame(audio.get(), nullptr, 4096), 0);
}

}  // namespace
}  // namespace kelvra::test

namespace kelvra::test {
namespace {

// With auto-release switched off every record the tag reader hands out is
// the frame reader's to free; the leak checker of the sanitizer build fails
// this test otherwise.
TEST(FrameReadersWithCallerOwnedTags, GiveTheSameOutputAndFreeEveryRecord) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kMp3;
  fileSpec.video = VideoCodec::kH263;
  fileSpec.durationMs = 1000;
  const std::string path = GenerateFlv(fileSpec);
  ASSERT_FALSE(path.empty());

  std::vector<std::uint8_t> expected;
  for (const int autoRelease : {1, 0}) {
    TagReaderPtr reader = OpenTagReader(path);
    ASSERT_NE(reader, nullptr);
    FLVAVTagReader_SetAutoReleaseMemory(reader.get(), autoRelease);
    AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
    ASSERT_NE(audio, nullptr);
    std::vector<std::uint8_t> pcm;
    std::vector<std::uint8_t> block(4096);
    while (AudioFrameReader_ReadFrame(audio.get(), block.data(), 4096) != 0) {
      pcm.insert(pcm.end(), block.begin(), block.end());
    }
    if (autoRelease) {
      expected = pcm;
    } else {
      EXPECT_EQ(pcm, expected);
    }
    FLVAVTagReader_SeekToBegin(reader.get());
    VideoFramesPtr video(VideoFrameReader_Create(reader.get(), 15.0, 0));
    ASSERT_NE(video, nullptr);
    for (int frame = 0; frame < 15; ++frame) {
      ASSERT_NE(VideoFrameReader_ReadFrame(video.get(), frame), nullptr);
    }
  }
}

}  // namespace
}  // namespace kelvra::test
