// The audio decoder: unsupported formats, silence for holes, and whole files
// decoded on the worker with sample-exact times.
#include <gtest/gtest.h>

#include "decoder/decoder_test_support.h"

namespace kelvra::test {
namespace {

DecoderPtr AudioDecoder(int rate, int channels, bool sync) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  EXPECT_EQ(FLVStreamDecoder_SetSampleRate(decoder.get(), rate), 1);
  EXPECT_EQ(FLVStreamDecoder_SetNumberOfChannels(decoder.get(), channels), 1);
  EXPECT_EQ(FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), sync ? 1 : 0), 1);
  return decoder;
}

// Each block's time stamp and duration (100 ns) follow from the frames before it.
void ExpectSampleExactTimes(const std::vector<OutputRecord>& records, int rate) {
  std::int64_t frames = 0;
  for (std::size_t i = 0; i < records.size(); frames += records[i++].size / 4) {
    ASSERT_EQ(records[i].timestamp, frames * 10000000 / rate) << "block " << i;
    ASSERT_EQ(records[i].duration, std::int64_t{records[i].size} / 4 * 10000000 / rate)
        << "block " << i;
  }
}

// Synchronously they decode to nothing; threaded, each gives a null
// notification; a flush before anything was decoded has nothing to flush.
TEST(AudioDecoder, UnsupportedFormatsGiveANullNotificationOnlyWhenThreaded) {
  Recorder recorder;
  DecoderPtr threaded = AudioDecoder(44100, 2, false), sync = AudioDecoder(44100, 2, true);
  recorder.Run(threaded.get());
  std::uint8_t* data = nullptr;
  int size = 0;
  EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(sync.get(), nullptr, &data, &size), 0);
  for (int format : {9, 15, 12, 13}) {
    TagPtr tag(MakeAudioTag(20, format, 3, 1, 1, Bytes(64, 0x11)));
    EXPECT_EQ(FLVStreamDecoder_DecodeFLVTag(sync.get(), tag.get(), &data, &size), 0);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(threaded.get(), tag.release()), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(threaded.get()), 1);
  const auto records = recorder.records();
  ASSERT_EQ(records.size(), 4u);
  for (const OutputRecord& r : records)
    EXPECT_TRUE(r.nullData && r.size + r.timestamp + r.duration == 0);
  EXPECT_EQ(recorder.released().size(), 4u);
}

// Silence for the span a hole tag opens: blocks of 5120 bytes, whole frames, none when the next tag
// is earlier than the hole. Other blocks are the payloads (16-bit stereo PCM at the target rate).
struct SilenceRow {
  const char* name;
  int rate, rateIndex;
  std::vector<std::pair<std::uint32_t, int>> tags;  // time stamp, payload bytes (0: hole)
  std::vector<int> sizes;                           // of the blocks that come out
  bool fromZero = false;  // the blocks before the last are silence, timed from 0
};

class AudioSilence : public ::testing::TestWithParam<SilenceRow> {};

TEST_P(AudioSilence, FillsTheHoleBeforeTheNextBlock) {
  const SilenceRow& row = GetParam();
  Recorder recorder(true);
  DecoderPtr decoder = AudioDecoder(row.rate, 2, false);
  recorder.Run(decoder.get());
  Bytes payload;
  for (const auto& [timestamp, bytes] : row.tags) {
    payload.resize(static_cast<std::size_t>(bytes));
    for (std::size_t i = 0; i < payload.size(); ++i)
      payload[i] = static_cast<std::uint8_t>(i * 7 + 1);
    FLVTag* tag = bytes == 0 ? MakeEmptyAudioTag(timestamp)
                             : MakeAudioTag(timestamp, 3, row.rateIndex, 1, 1, payload);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag), 1);
  }
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(recorder.released().size(), row.tags.size());
  const auto records = recorder.records();
  std::vector<int> sizes;
  for (const OutputRecord& r : records) sizes.push_back(r.size);
  ASSERT_EQ(sizes, row.sizes);
  EXPECT_EQ(records.back().bytes, payload);
  if (!row.fromZero) return;
  for (std::size_t i = 0; i + 1 < records.size(); ++i)
    EXPECT_EQ(records[i].bytes, Bytes(sizes[i], 0)) << i;
  ExpectSampleExactTimes(records, row.rate);
}

std::vector<int> TwoSeconds() {
  std::vector<int> sizes(68, 5120);  // 2000 ms at 44100 Hz stereo: 352800 bytes
  sizes.insert(sizes.end(), {4640, 441 * 4});
  return sizes;
}

// 30 ms at 11025 Hz is 330.75 frames: 330 whole frames of silence.
INSTANTIATE_TEST_SUITE_P(
    Holes, AudioSilence,
    testing::ValuesIn(std::vector<SilenceRow>{
        {"TwoSecondsInWholeBlocks", 44100, 3, {{0, 0}, {2000, 441 * 4}}, TwoSeconds(), true},
        {"WholeFramesForAnOddSpan", 11025, 1, {{0, 0}, {30, 400}}, {330 * 4, 400}, true},
        {"AnEarlierTagClearsTheGap", 44100, 3, {{1000, 0}, {500, 400}, {3000, 400}}, {400, 400}},
    }),
    [](const auto& info) { return std::string(info.param.name); });

// On the worker at 44100 Hz stereo a whole file gives the length of its tags' samples (less what
// the resampler holds back), timed sample by sample. Each format's decoding: the frame reader's
// table and tests/e2e.
TEST(AudioDecoder, AWholeFileDecodesToItsTagsSamplesAtTheTargetRate) {
  std::vector<TagPtr> tags = ReadTagsOfFile(
      GenerateFlv({.audio = AudioCodec::kMp3, .sampleRate = 22050}), FLV_TAG_TYPE_AUDIO);
  ASSERT_FALSE(tags.empty());
  double expectedFrames = 0.0;
  for (const TagPtr& tag : tags)
    if (tag->audioDataSize != 0) expectedFrames += CalcAudioBlockDuration(tag.get()) * 1e-7 * 44100;
  Recorder recorder;
  DecoderPtr decoder = AudioDecoder(44100, 2, false);
  ASSERT_EQ(FLVStreamDecoder_SetMaxFLVTagQueue(decoder.get(), 100000), 1);
  recorder.Run(decoder.get());
  for (TagPtr& tag : tags)
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag.release()), 1);
  ASSERT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(recorder.released().size(), tags.size());
  const auto records = recorder.records();
  double frames = 0;
  for (const OutputRecord& r : records) {
    ASSERT_FALSE(r.nullData);
    frames += r.size / 4.0;
  }
  ExpectSampleExactTimes(records, 44100);
  EXPECT_NEAR(frames, expectedFrames, 256.0) << "decoded " << frames / 44100 << " s";
}

}  // namespace
}  // namespace kelvra::test
