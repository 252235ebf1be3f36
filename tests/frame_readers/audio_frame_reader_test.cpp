// The audio frame reader pulled in requests of many sizes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "decoder/decoder_test_support.h"
#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

TagReaderPtr OpenTagReader(const std::string& path) {
  TagReaderPtr reader(FLVAVTagReader_Create());
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << path;
  return reader;
}

// Every audio tag decoded in turn, a tag without payload as silence of its duration.
Bytes DecodeAudioTagByTag(const std::string& path, int rate, int channels) {
  Bytes pcm;
  TagReaderPtr reader = OpenTagReader(path);
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  FLVStreamDecoder_SetSampleRate(decoder.get(), rate);
  FLVStreamDecoder_SetNumberOfChannels(decoder.get(), channels);
  FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  std::uint8_t* out = nullptr;
  int size = 0;
  while (FLVAVTagReader_ReadTag(reader.get(), 1, FLV_TAG_TYPE_AUDIO, &tag, &duration) ==
         FLV_READER_OK) {
    if (tag->audioDataSize == 0) {
      pcm.insert(pcm.end(), std::size_t{duration} * rate / 1000 * channels * 2, 0);
    } else if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag, &out, &size) != 0) {
      pcm.insert(pcm.end(), out, out + size);
    }
  }
  if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), nullptr, &out, &size) != 0)
    pcm.insert(pcm.end(), out, out + size);
  return pcm;
}

// Pulls until a call answers 0: `expected`, then zeros to the end of that call (when
// `endsInLastCall`, the one that hands out its last byte).
void ExpectPull(const std::string& path, const Bytes& expected, std::uint32_t requestSize,
                int autoRelease, bool endsInLastCall) {
  SCOPED_TRACE(testing::Message() << "request size " << requestSize);
  TagReaderPtr reader = OpenTagReader(path);
  FLVAVTagReader_SetAutoReleaseMemory(reader.get(), autoRelease);
  AudioFramesPtr audio(AudioFrameReader_Create(reader.get()));
  ASSERT_NE(audio, nullptr);
  Bytes pulled, block(requestSize);
  int more = 1;
  while (more != 0 && pulled.size() <= expected.size()) {
    std::fill(block.begin(), block.end(), 0xA5);
    more = AudioFrameReader_ReadFrame(audio.get(), block.data(), requestSize);
    pulled.insert(pulled.end(), block.begin(), block.end());
  }
  ASSERT_EQ(more, 0) << "the audio does not end";
  ASSERT_GE(pulled.size(), expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), pulled.begin()));
  EXPECT_EQ(Bytes(pulled.begin() + static_cast<std::ptrdiff_t>(expected.size()), pulled.end()),
            Bytes(pulled.size() - expected.size(), 0));
  EXPECT_LE(pulled.size() - expected.size() + endsInLastCall, requestSize);
  // After the end a read answers 0 with silence, and writes no further.
  Bytes after(requestSize + 1, 0x5A);
  EXPECT_EQ(AudioFrameReader_ReadFrame(audio.get(), after.data(), requestSize), 0);
  Bytes want(requestSize + 1, 0);
  want.back() = 0x5A;
  EXPECT_EQ(after, want);
}

FlvRecipe AudioFile(AudioCodec codec, int rate, int channels, int holeStart = -1) {
  return {.audio = codec, .sampleRate = rate, .channels = channels, .durationMs = 1500,
          .holeStartMs = holeStart, .holeLengthMs = holeStart < 0 ? 0 : 400};
}

// MP3 holds samples back until the flush; mono PCM has a 2-byte frame; ADPCM fills its last
// block of 4096 samples; the hole is an empty tag.
TEST(AudioFrameReader, FilesAndVideoLongerThanAudioInEveryRequestSize) {
  for (const FlvRecipe& recipe : {AudioFile(AudioCodec::kPcmS16le, 11025, 1),
                                  AudioFile(AudioCodec::kAdpcmSwf, 22050, 1),
                                  AudioFile(AudioCodec::kMp3, 44100, 2, 500)}) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(recipe.audio) << " " << recipe.sampleRate);
    const std::string path = GenerateFlv(recipe);
    const Bytes reference = DecodeAudioTagByTag(path, recipe.sampleRate, recipe.channels);
    Pcm pcm{recipe.sampleRate, recipe.channels, std::vector<std::int16_t>(reference.size() / 2)};
    std::memcpy(pcm.samples.data(), reference.data(), reference.size());
    ASSERT_GE(pcm.Seconds(), recipe.durationMs / 1000.0);
    EXPECT_LE(pcm.Seconds(), recipe.durationMs / 1000.0 + 0.2);
    // From 0.1 s, past the MP3 delay.
    EXPECT_NEAR(ZeroCrossingFrequency(pcm, pcm.sampleRate / 10, pcm.sampleRate * 3 / 10),
                recipe.toneHz, 7.0);
    for (const std::uint32_t size : {4096u, 1000u, 3u})
      ExpectPull(path, reference, size, size != 1000, false);
  }
  // Ten 10 ms tags of 44100 Hz stereo PCM, H.263 key frames at 0, 800 and 1575 ms (1.905 frames/s:
  // the video ends at 2100 ms): the audio is padded with 2000 ms of silence.
  const std::string path = TestTempDir() + "/video_longer_than_audio.flv";
  Bytes expected;
  FlvBuilder builder;
  builder.Header();
  for (std::uint32_t i = 0; i < 10; ++i) {
    Bytes payload(441 * 4);
    for (std::size_t j = 0; j < payload.size(); ++j)
      payload[j] = static_cast<std::uint8_t>(i * 13 + j * 7 + 1);
    builder.Audio(i * 10, 3, 3, 1, 1, payload);
    expected.insert(expected.end(), payload.begin(), payload.end());
    if (i == 0) builder.Video(0, 1, 2, H263PictureHeader(2));
  }
  builder.Video(800, 1, 2, H263PictureHeader(2))
      .Video(1575, 1, 2, H263PictureHeader(2))
      .WriteTo(path);
  expected.insert(expected.end(), 88200 * 4, 0);
  // 370440 bytes are 123480 requests of 3, which is not whole sample frames.
  for (const std::uint32_t size : {4096u, 1000u, 3u, 8u}) ExpectPull(path, expected, size, 1, true);
}

// The README's C example: the whole audio, and the asked picture as a PPM of the file's size.
TEST(FramePullExample, WritesTheAudioAndTheAskedPicture) {
  const std::string in = GenerateFlv({.audio = AudioCodec::kMp3, .sampleRate = 44100,
                                      .video = VideoCodec::kH263, .fps = 25});
  const std::string wav = TestTempDir() + "/pull.wav", ppm = TestTempDir() + "/pull.ppm";
  const ProgramRun run =
      RunProgram(std::string(KELVRA_BINARY_DIR) + "/bin/frame_pull", {in, wav, "10", ppm});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NEAR(DecodeAudio(wav).Seconds(), 2.0, 0.05);
  const std::vector<std::uint8_t> picture = ReadWholeFile(ppm);
  const std::string header = "P6\n160 120\n255\n";
  ASSERT_EQ(picture.size(), header.size() + 160 * 120 * 3);
  EXPECT_TRUE(std::equal(header.begin(), header.end(), picture.begin()));
}

}  // namespace
}  // namespace kelvra::test
