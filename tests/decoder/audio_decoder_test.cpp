// The audio decoder: unsupported formats, a new target format, silence for
// holes, a change of sample size, and whole files decoded on the worker with
// sample-exact time stamps.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "flv/flv_tag_parsing.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

DecoderPtr MakeAudioDecoder(int rate, int channels, bool sync) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  EXPECT_EQ(FLVStreamDecoder_SetSampleRate(decoder.get(), rate), 1);
  EXPECT_EQ(FLVStreamDecoder_SetNumberOfChannels(decoder.get(), channels), 1);
  EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), sync ? 1 : 0), 1);
  return decoder;
}

// Each block's time stamp and duration follow from the frames before it.
void ExpectSampleExactTimes(const std::vector<OutputRecord>& records, int rate, int channels) {
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::int64_t blockFrames = records[i].size / (channels * 2);
    ASSERT_EQ(records[i].timestamp, frames * 10000000 / rate) << "block " << i;
    ASSERT_EQ(records[i].duration, blockFrames * 10000000 / rate) << "block " << i;
    frames += blockFrames;
  }
}

TEST(AudioDecoder, UnsupportedFormatsGiveANullNotificationOnlyWhenThreaded) {
  const std::vector<int> unsupported = {9, 15, 12, 13};
  Recorder recorder;
  DecoderPtr threaded = MakeAudioDecoder(44100, 2, false);
  recorder.Run(threaded.get());
  DecoderPtr sync = MakeAudioDecoder(44100, 2, true);
  FLVStreamDecoder_SetOutputCallBack(sync.get(), &Recorder::Output, &recorder);
  std::uint8_t* data = nullptr;
  int size = 0;
  // A flush before anything was decoded has nothing to flush.
  EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(sync.get(), nullptr, &data, &size), 0);
  std::uint32_t time = 0;
  for (int format : unsupported) {
    TagPtr tag(MakeAudioTag(time += 20, format, 3, 1, 1, Bytes(64, 0x11)));
    size = 1;
    EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(sync.get(), tag.get(), &data, &size), 0);
    EXPECT_EQ(size, 0);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(threaded.get(), CloneTag(*tag).release()), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(threaded.get()), 1);
  const auto records = recorder.records();
  ASSERT_EQ(records.size(), unsupported.size());
  for (const OutputRecord& r : records) {
    EXPECT_TRUE(r.nullData);
    EXPECT_EQ(r.size + r.timestamp + r.duration, 0);
  }
  EXPECT_EQ(recorder.released().size(), unsupported.size());
}

TEST(AudioDecoder, SynchronousDecodesFollowANewTargetFormat) {
  const std::vector<TagPtr> tags = ReadTagsOfType(
      GenerateFlv({.audio = AudioCodec::kPcmS16le, .sampleRate = 22050, .channels = 2, .durationMs = 1000}),
      FLV_TAG_TYPE_AUDIO);
  ASSERT_FALSE(tags.empty());
  DecoderPtr decoder = MakeAudioDecoder(44100, 2, true);
  auto decodeAll = [&] {
    std::int64_t total = 0;
    for (const TagPtr& tag : tags) {
      std::uint8_t* data = nullptr;
      int size = 0;
      if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag.get(), &data, &size) == 1) total += size;
    }
    return static_cast<double>(total);
  };
  const double at44100 = decodeAll();
  ASSERT_EQ(FLVStreamDecoder_SetSampleRate(decoder.get(), 11025), 1);
  ASSERT_EQ(FLVStreamDecoder_SetNumberOfChannels(decoder.get(), 1), 1);
  EXPECT_NEAR(decodeAll(), at44100 / 8.0, 0.02 * at44100 / 8.0 + 2048.0);
}

// Silence for the span an empty (hole) tag opens, on the worker: in blocks
// of 5120 bytes, whole sample frames only, and none when the next tag is
// earlier than the hole's start. The tags are 16-bit stereo PCM at the
// target rate, so the other blocks are the payloads themselves.
struct SilenceRow {
  const char* name;
  int rate;
  int rateIndex;
  std::vector<std::pair<std::uint32_t, int>> tags;  // time stamp, payload bytes (0: hole)
  std::vector<int> sizes;                           // of the blocks that come out
  bool fromZero;  // the blocks' time stamps count the frames before them from 0
};

class AudioSilence : public ::testing::TestWithParam<SilenceRow> {};

TEST_P(AudioSilence, FillsTheHoleBeforeTheNextBlock) {
  const SilenceRow& row = GetParam();
  Recorder recorder(true);
  DecoderPtr decoder = MakeAudioDecoder(row.rate, 2, false);
  recorder.Run(decoder.get());
  Bytes payload;
  for (const auto& [timestamp, bytes] : row.tags) {
    payload.resize(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    FLVTag* tag = bytes == 0 ? MakeEmptyAudioTag(timestamp) : MakeAudioTag(timestamp, 3, row.rateIndex, 1, 1, payload);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(recorder.released().size(), row.tags.size());
  const auto records = recorder.records();
  std::vector<int> sizes;
  for (const OutputRecord& r : records) sizes.push_back(r.size);
  EXPECT_EQ(sizes, row.sizes);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().bytes, payload);
  for (std::size_t i = 0; row.fromZero && i + 1 < records.size(); ++i) {
    EXPECT_EQ(records[i].bytes, Bytes(records[i].bytes.size(), 0)) << "block " << i;
  }
  if (row.fromZero) ExpectSampleExactTimes(records, row.rate, 2);
}

std::vector<int> TwoSeconds() {
  std::vector<int> sizes(68, 5120);  // 2000 ms at 44100 Hz stereo: 352800 bytes
  sizes.insert(sizes.end(), {4640, 441 * 4});
  return sizes;
}

INSTANTIATE_TEST_SUITE_P(
    Holes, AudioSilence,
    ::testing::Values(
        SilenceRow{"TwoSecondsInWholeBlocks", 44100, 3, {{0, 0}, {2000, 441 * 4}}, TwoSeconds(), true},
        // 30 ms at 11025 Hz is 330.75 frames: 330 whole frames of silence.
        SilenceRow{"WholeFramesForAnOddSpan", 11025, 1, {{0, 0}, {30, 400}}, {330 * 4, 400}, true},
        SilenceRow{"AnEarlierTagClearsTheGap", 44100, 3, {{1000, 0}, {500, 400}, {3000, 400}}, {400, 400},
                   false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioDecoder, AChangeOfSampleSizeReopensTheBridgeDecoder) {
  DecoderPtr decoder = MakeAudioDecoder(44100, 1, true);
  Bytes pcm16(100);
  for (std::size_t i = 0; i < pcm16.size(); ++i) pcm16[i] = static_cast<std::uint8_t>(i);
  std::uint8_t* data = nullptr;
  int size = 0;
  for (int round = 0; round < 2; ++round) {
    TagPtr eightBit(MakeAudioTag(0, 0, 3, 0, 0, Bytes(100, 0xFF)));
    ASSERT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), eightBit.get(), &data, &size), 1);
    ASSERT_EQ(size, 200);  // each unsigned byte becomes a 16-bit sample
    std::int16_t first = 0;
    std::memcpy(&first, data, 2);
    EXPECT_GT(first, 30000);
    TagPtr sixteenBit(MakeAudioTag(0, 0, 3, 1, 0, pcm16));
    ASSERT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), sixteenBit.get(), &data, &size), 1);
    EXPECT_EQ(Bytes(data, data + size), pcm16);
  }
}

struct WholeFileCase {
  const char* name;
  FlvSpec fileSpec;
  const char* fixture;  // instead of the generated file when set
};

class AudioWholeFile : public ::testing::TestWithParam<WholeFileCase> {};

// The PCM of a whole file has the length of all its tags' samples at the
// target rate; the resampler may hold back a few frames at the end.
TEST_P(AudioWholeFile, DecodesToTheTagsSamplesAtTheTargetRate) {
  const WholeFileCase& c = GetParam();
  const std::vector<TagPtr> tags =
      ReadTagsOfType(c.fixture != nullptr ? FixturePath(c.fixture) : GenerateFlv(c.fileSpec), FLV_TAG_TYPE_AUDIO);
  ASSERT_FALSE(tags.empty());
  double expectedSeconds = 0.0;
  for (const TagPtr& tag : tags) {
    if (tag->audioDataSize == 0) continue;
    const std::int64_t duration = CalcAudioBlockDuration(tag.get());
    ASSERT_GE(duration, 0);
    expectedSeconds += static_cast<double>(duration) * 1e-7;
  }
  Recorder recorder;
  DecoderPtr decoder = MakeAudioDecoder(44100, 2, false);
  recorder.Run(decoder.get());
  for (const TagPtr& tag : tags) {
    FLVTag* copy = CloneTag(*tag).release();
    while (FLVStreamDecoder_DeliverFLVPacket(decoder.get(), copy) == 0) std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(recorder.released().size(), tags.size());
  const auto records = recorder.records();
  double frames = 0;
  for (const OutputRecord& r : records) {
    ASSERT_FALSE(r.nullData);
    frames += r.size / 4.0;
  }
  ExpectSampleExactTimes(records, 44100, 2);
  EXPECT_NEAR(frames, expectedSeconds * 44100, 256.0) << "decoded " << frames / 44100 << " s";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, AudioWholeFile,
    ::testing::Values(
        WholeFileCase{"mp3_22050_stereo", {.audio = AudioCodec::kMp3, .sampleRate = 22050, .channels = 2}, nullptr},
        WholeFileCase{"adpcm_22050_mono", {.audio = AudioCodec::kAdpcmSwf, .sampleRate = 22050, .channels = 1}, nullptr},
        WholeFileCase{"pcm_u8_11025_mono", {.audio = AudioCodec::kPcmU8, .sampleRate = 11025, .channels = 1}, nullptr},
        WholeFileCase{"fixture_pcm_s16be_22050_mono", {}, "generated/gen_pcm_s16be_22050_mono.flv"},
        WholeFileCase{"fixture_red5_nellymoser_capture", {}, "real/mondain_red5_fp_fcs_live_audio.flv"},
        WholeFileCase{"fixture_square_mp3", {}, "real/ruffle-rs_ruffle_square.flv"}),
    [](const ::testing::TestParamInfo<WholeFileCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kelvra::test
