// The audio decoder: codec choice, unsupported formats, resampling or pass
// through, silence for holes, re-opening on a change of sample size, and
// whole files decoded on the worker with sample-exact time stamps.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "decoder/flv_audio_decoder.h"
#include "decoder/tag_file_walker.h"
#include "flv/flv_tag_parsing.h"
#include "kelvra.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

struct DecoderDeleter {
  void operator()(::FLVStreamDecoder* d) const { FLVStreamDecoder_Delete(d); }
};
using DecoderPtr = std::unique_ptr<::FLVStreamDecoder, DecoderDeleter>;

DecoderPtr MakeAudioDecoder(int rate, int channels, bool sync) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  EXPECT_EQ(FLVStreamDecoder_SetSampleRate(decoder.get(), rate), 1);
  EXPECT_EQ(FLVStreamDecoder_SetNumberOfChannels(decoder.get(), channels), 1);
  if (sync) {
    EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1), 1);
  }
  return decoder;
}

// Delivers copies of the tags to a running decoder, offering a refused tag
// again after 10 ms as the converter does.
void DeliverAll(::FLVStreamDecoder* decoder, const std::vector<TagPtr>& tags) {
  for (const TagPtr& tag : tags) {
    FLVTag* copy = CloneRaw(*tag);
    while (FLVStreamDecoder_DeliverFLVPacket(decoder, copy) == 0) {
      std::this_thread::sleep_for(10ms);
    }
  }
}

// Block time stamps and durations follow from the frames emitted before.
void ExpectSampleExactTimes(const std::vector<OutputRecord>& records, int rate, int channels) {
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const std::int64_t blockFrames = records[i].size / (channels * 2);
    ASSERT_EQ(records[i].timestamp, frames * 10000000 / rate) << "block " << i;
    ASSERT_EQ(records[i].duration, blockFrames * 10000000 / rate) << "block " << i;
    frames += blockFrames;
  }
}

std::int64_t TotalBytes(const std::vector<OutputRecord>& records) {
  std::int64_t total = 0;
  for (const OutputRecord& r : records) total += r.size;
  return total;
}

TEST(AudioDecoder, UnsupportedFormatsGiveANullNotificationOnlyWhenThreaded) {
  const std::vector<int> unsupported = {9, 15, 12, 13};
  {
    OutputRecorder recorder;
    TagReleaser releaser;
    DecoderPtr decoder = MakeAudioDecoder(44100, 2, false);
    FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
    FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
    ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
    std::uint32_t time = 0;
    for (int format : unsupported) {
      ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(
                    decoder.get(), MakeAudioTag(time += 20, format, 3, 1, 1, Bytes(64, 0x11))),
                1);
    }
    ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
    const auto records = recorder.records();
    ASSERT_EQ(records.size(), unsupported.size());
    for (const OutputRecord& r : records) {
      EXPECT_TRUE(r.nullData);
      EXPECT_EQ(r.size, 0);
      EXPECT_EQ(r.timestamp, 0);
      EXPECT_EQ(r.duration, 0);
    }
    EXPECT_EQ(releaser.count(), unsupported.size());
  }
  {
    OutputRecorder recorder;
    DecoderPtr decoder = MakeAudioDecoder(44100, 2, true);
    FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
    for (int format : unsupported) {
      TagPtr tag(MakeAudioTag(0, format, 3, 1, 1, Bytes(64, 0x11)));
      std::uint8_t* data = reinterpret_cast<std::uint8_t*>(1);
      int size = 1;
      EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag.get(), &data, &size), 0);
      EXPECT_EQ(size, 0);
    }
    EXPECT_EQ(recorder.count(), 0u);
    // A flush before anything was decoded has nothing to flush.
    std::uint8_t* data = nullptr;
    int size = 0;
    EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), nullptr, &data, &size), 0);
  }
}

TEST(AudioDecoder, SynchronousDecodesFollowANewTargetFormat) {
  const std::string path = GenerateFlv({.audio = AudioCodec::kPcmS16le, .sampleRate = 22050,
                                        .channels = 2, .durationMs = 1000});
  ASSERT_FALSE(path.empty());
  const std::vector<TagPtr> tags = ReadTagsOfType(path, FLV_TAG_TYPE_AUDIO);
  ASSERT_FALSE(tags.empty());
  DecoderPtr decoder = MakeAudioDecoder(44100, 2, true);
  auto decodeAll = [&] {
    std::int64_t total = 0;
    for (const TagPtr& tag : tags) {
      std::uint8_t* data = nullptr;
      int size = 0;
      if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag.get(), &data, &size) == 1) total += size;
    }
    return total;
  };
  const std::int64_t at44100 = decodeAll();
  ASSERT_EQ(FLVStreamDecoder_SetSampleRate(decoder.get(), 11025), 1);
  ASSERT_EQ(FLVStreamDecoder_SetNumberOfChannels(decoder.get(), 1), 1);
  const std::int64_t at11025Mono = decodeAll();
  EXPECT_NEAR(static_cast<double>(at11025Mono), static_cast<double>(at44100) / 8.0,
              0.02 * static_cast<double>(at44100) / 8.0 + 2048.0);
}

// Silence for the span an empty (hole) tag opens, on the worker: in blocks
// of 5120 bytes, whole sample frames only, and none when the next tag is
// earlier than the hole's start. Every tag is 16-bit stereo PCM at the
// target rate, so the decoded blocks are the payloads themselves.
struct SilenceRow {
  const char* name;
  int rate;
  int rateIndex;                                    // of the tags' flags byte
  std::vector<std::pair<std::uint32_t, int>> tags;  // time stamp, payload bytes (0: hole)
  std::vector<int> sizes;                           // of the blocks that come out
  bool fromZero;  // the blocks' time stamps count the frames before them from 0
};

std::vector<int> Blocks(int count, int size, std::vector<int> tail) {
  std::vector<int> sizes(static_cast<std::size_t>(count), size);
  sizes.insert(sizes.end(), tail.begin(), tail.end());
  return sizes;
}

class AudioSilence : public ::testing::TestWithParam<SilenceRow> {};

TEST_P(AudioSilence, FillsTheHoleBeforeTheNextBlock) {
  const SilenceRow& row = GetParam();
  OutputRecorder recorder(true);
  TagReleaser releaser;
  DecoderPtr decoder = MakeAudioDecoder(row.rate, 2, false);
  FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  Bytes payload;
  for (const auto& [timestamp, bytes] : row.tags) {
    payload.resize(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    FLVTag* tag = bytes == 0 ? MakeEmptyAudioTag(timestamp)
                             : MakeAudioTag(timestamp, 3, row.rateIndex, 1, 1, payload);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(releaser.count(), row.tags.size());
  const auto records = recorder.records();
  std::vector<int> sizes;
  for (const OutputRecord& r : records) sizes.push_back(r.size);
  EXPECT_EQ(sizes, row.sizes);
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().bytes, payload);
  if (row.fromZero) ExpectSampleExactTimes(records, row.rate, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Holes, AudioSilence,
    ::testing::Values(
        // 2000 ms at 44100 Hz stereo: 352800 bytes, 68 blocks of 5120 and 4640.
        SilenceRow{"TwoSecondsInWholeBlocks", 44100, 3, {{0, 0}, {2000, 441 * 4}},
                   Blocks(68, 5120, {4640, 441 * 4}), true},
        // 30 ms at 11025 Hz is 330.75 frames: 330 whole frames of silence.
        SilenceRow{"WholeFramesForAnOddSpan", 11025, 1, {{0, 0}, {30, 400}}, {330 * 4, 400}, true},
        SilenceRow{"AnEarlierTagClearsTheGap", 44100, 3, {{1000, 0}, {500, 400}, {3000, 400}},
                   {400, 400}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(AudioDecoder, AChangeOfSampleSizeReopensTheBridgeDecoder) {
  DecoderPtr decoder = MakeAudioDecoder(44100, 1, true);
  const Bytes loud8(100, 0xFF);
  Bytes pcm16(100);
  for (std::size_t i = 0; i < pcm16.size(); ++i) pcm16[i] = static_cast<std::uint8_t>(i);
  std::uint8_t* data = nullptr;
  int size = 0;
  for (int round = 0; round < 2; ++round) {
    TagPtr eightBit(MakeAudioTag(0, 0, 3, 0, 0, loud8));
    ASSERT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), eightBit.get(), &data, &size), 1);
    ASSERT_EQ(size, 200);  // each unsigned byte becomes a 16-bit sample
    std::int16_t first = 0;
    std::memcpy(&first, data, 2);
    EXPECT_GT(first, 30000);
    TagPtr sixteenBit(MakeAudioTag(0, 0, 3, 1, 0, pcm16));
    ASSERT_EQ(FLVStreamDecoder_DecodeFLVTag(decoder.get(), sixteenBit.get(), &data, &size), 1);
    ASSERT_EQ(size, 100);
    EXPECT_EQ(Bytes(data, data + size), pcm16);
  }
}

struct WholeFileCase {
  const char* name;
  FlvSpec fileSpec;
  const char* fixture;  // used instead of the generated file when set
};

class AudioWholeFile : public ::testing::TestWithParam<WholeFileCase> {};

// The PCM of a whole file has the length of all its tags' samples at the
// target rate, and each block's time stamp counts the frames before it.
TEST_P(AudioWholeFile, DecodesToTheTagsSamplesAtTheTargetRate) {
  const WholeFileCase& c = GetParam();
  const std::string path =
      c.fixture != nullptr ? FixturePath(c.fixture) : GenerateFlv(c.fileSpec);
  ASSERT_FALSE(path.empty());
  const std::vector<TagPtr> tags = ReadTagsOfType(path, FLV_TAG_TYPE_AUDIO);
  ASSERT_FALSE(tags.empty());
  double expectedSeconds = 0.0;
  for (const TagPtr& tag : tags) {
    if (tag->audioDataSize == 0) continue;
    const std::int64_t duration = CalcAudioBlockDuration(tag.get());
    ASSERT_GE(duration, 0);
    expectedSeconds += static_cast<double>(duration) * 1e-7;
  }
  constexpr int kRate = 44100;
  constexpr int kChannels = 2;
  OutputRecorder recorder;
  TagReleaser releaser;
  DecoderPtr decoder = MakeAudioDecoder(kRate, kChannels, false);
  FLVStreamDecoder_SetOutputCallBack(decoder.get(), &OutputRecorder::CallBack, &recorder);
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  DeliverAll(decoder.get(), tags);
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(releaser.count(), tags.size());

  const auto records = recorder.records();
  for (const OutputRecord& r : records) ASSERT_FALSE(r.nullData);
  ExpectSampleExactTimes(records, kRate, kChannels);
  const double frames = static_cast<double>(TotalBytes(records)) / (kChannels * 2);
  const double expectedFrames = expectedSeconds * kRate;
  // The resampler holds back a few frames at the end.
  EXPECT_NEAR(frames, expectedFrames, 256.0)
      << "decoded " << frames / kRate << " s of " << expectedSeconds << " s";
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
