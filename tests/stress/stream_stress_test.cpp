// Concurrency under load: streams whose two decoders are brothers, with
// queues of one to three tags and output callbacks that take their time,
// over many short files in a row; and streams and decoders made and
// destroyed in a loop on several threads while their workers run. Run under
// TSan in CI.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "kelvra.h"
#include "support/flv_files.h"
#include "support/stream_feed.h"

namespace kelvra::test {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::int64_t kUnitsPerMs = 10000;
constexpr int kSorensonH263 = 2;
// The library's back-off when it cannot take data now; shortened here to
// keep the test quick, the waiting is the same.
constexpr auto kRetryWait = milliseconds(2);

// Short files with audio and video of several codecs.
std::vector<std::string> ShortFiles() {
  const std::vector<FlvSpec> fileSpecs = {
      {.audio = AudioCodec::kMp3, .sampleRate = 22050, .channels = 1, .video = VideoCodec::kH263,
       .width = 64, .height = 48, .fps = 15, .durationMs = 400},
      {.audio = AudioCodec::kAdpcmSwf, .sampleRate = 11025, .channels = 1,
       .video = VideoCodec::kScreenVideo, .width = 64, .height = 48, .fps = 10, .durationMs = 400},
      {.audio = AudioCodec::kPcmS16le, .sampleRate = 44100, .channels = 2, .video = VideoCodec::kH263,
       .width = 48, .height = 32, .fps = 20, .durationMs = 300},
      {.audio = AudioCodec::kNellymoser, .sampleRate = 8000, .channels = 1, .video = VideoCodec::kH263,
       .width = 64, .height = 48, .fps = 12, .durationMs = 400},
  };
  std::vector<std::string> files;
  for (const FlvSpec& fileSpec : fileSpecs) files.push_back(GenerateFlv(fileSpec));
  return files;
}

struct Output {
  std::atomic<std::int64_t> audioUnits{0};  // 100 ns of PCM received
  std::atomic<int> audioBlocks{0};
  std::atomic<int> pictures{0};
  std::atomic<int> deletedTags{0};
  int slowAudioUs = 0;
  int slowVideoUs = 0;
};

void OnAudio(void* user, const std::uint8_t* data, std::int32_t size, std::int64_t, std::int64_t duration,
             std::int32_t, std::int32_t) {
  auto* output = static_cast<Output*>(user);
  if (data != nullptr && size > 0) {
    output->audioUnits += duration;
    ++output->audioBlocks;
  }
  if (output->slowAudioUs > 0) std::this_thread::sleep_for(microseconds(output->slowAudioUs));
}

void OnVideo(void* user, const std::uint8_t* data, std::int32_t size, std::int64_t, std::int64_t,
             std::int32_t, std::int32_t) {
  auto* output = static_cast<Output*>(user);
  if (data != nullptr && size > 0) ++output->pictures;
  if (output->slowVideoUs > 0) std::this_thread::sleep_for(microseconds(output->slowVideoUs));
}

void OnDeleteTag(void* user, FLVTag* tag) {
  ++static_cast<Output*>(user)->deletedTags;
  FLVStreamParser_DeleteFLVTag(nullptr, tag);
}

// A reader handing out caller-owned tags of one file.
struct FileTags {
  explicit FileTags(const std::string& path) : reader(FLVAVTagReader_Create()) {
    FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
    opened = FLVAVTagReader_Open(reader, path.c_str()) == 1;
    if (opened) {
      FLVAVTagReader_GetFLVInfoEx(reader, &info);
      std::uint32_t videoEnd = 0;
      FLVAVTagReader_GetDuration(reader, &audioEnd, &videoEnd);
    }
  }
  ~FileTags() { FLVAVTagReader_Delete(reader); }
  FileTags(const FileTags&) = delete;
  FileTags& operator=(const FileTags&) = delete;

  // The next audio or video tag, or null at the end.
  FLVTag* Next() {
    for (;;) {
      FLVTag* tag = nullptr;
      std::uint32_t duration = 0;
      if (FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration) != FLV_READER_OK) return nullptr;
      if (tag->tagType == FLV_TAG_TYPE_AUDIO || tag->tagType == FLV_TAG_TYPE_VIDEO) return tag;
      FLVStreamParser_DeleteFLVTag(nullptr, tag);
    }
  }

  FLVAVTagReader* reader;
  bool opened = false;
  FLVInfo info{};
  std::uint32_t audioEnd = 0;
};

// Hands a tag to the stream, offering it again while the queue is full.
void DeliverTag(FLVStream* stream, FLVTag* tag) {
  for (;;) {
    const int code = FLVStream_DeliverDataEx(stream, tag);
    if (code == FLV_STREAM_BUSY) {
      std::this_thread::sleep_for(kRetryWait);
      continue;
    }
    if (code != FLV_STREAM_TAKEN) FLVStreamParser_DeleteFLVTag(nullptr, tag);
    return;
  }
}

// Many short files in a row through one stream, alternately as raw bytes
// and as ready tags, with queue limits and pacing changed between files.
void ManyFilesThroughOneStream(const std::vector<std::string>& files, int rounds, int seed) {
  FLVStream* stream = FLVStream_Create();
  ASSERT_NE(stream, nullptr);
  for (int n = 0; n < rounds * static_cast<int>(files.size()); ++n) {
    const int i = n + seed;
    const std::string& path = files[static_cast<std::size_t>(i) % files.size()];
    SCOPED_TRACE(path + " #" + std::to_string(n));
    Output output;
    output.slowAudioUs = 300 + (i % 3) * 300;
    output.slowVideoUs = 500 + (i % 2) * 1000;
    ASSERT_EQ(FLVStream_SetParserMaxFLVTagQueue(stream, 1 + i % 3), 1);
    ASSERT_EQ(FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, 1 + i % 3), 1);
    ASSERT_EQ(FLVStream_SetVideoDecoderMaxFLVTagQueue(stream, 1 + (i + 1) % 3), 1);
    ASSERT_EQ(FLVStream_SetDecoderMaxIntervalTime(stream, 50 + 50 * (i % 4)), 1);
    FLVStream_SetGetAudioCallBack(stream, OnAudio, &output);
    FLVStream_SetGetVideoCallBack(stream, OnVideo, &output);
    FLVStream_SetSampleRate(stream, 22050);
    FLVStream_SetNumberOfChannels(stream, 2);
    FLVStream_SetOutputSize(stream, 32, 24);

    FileTags tags(path);
    ASSERT_TRUE(tags.opened);
    if (i % 2 == 0) {
      // Raw bytes through the stream's parser, in odd pieces.
      ASSERT_EQ(FLVStream_Run(stream), 1);
      FeedStream(stream, ReadWholeFile(path), 517 + 31 * static_cast<std::size_t>(i), kRetryWait);
      ASSERT_EQ(FLVStream_Stop(stream), 1);
    } else {
      // Ready tags, as the converter feeds them.
      ASSERT_EQ(FLVStream_RunEx(stream, &tags.info, 1, 1), 1);
      while (FLVTag* tag = tags.Next()) DeliverTag(stream, tag);
      ASSERT_EQ(FLVStream_StopEx(stream), 1);
    }
    // Everything delivered has come out once the stream is stopped. Screen
    // video is carried along but not decoded.
    if (tags.info.videoCodec == kSorensonH263) {
      EXPECT_GT(output.pictures.load(), 0);
    }
    EXPECT_GT(output.audioBlocks.load(), 0);
    EXPECT_GE(output.audioUnits.load(), static_cast<std::int64_t>(tags.audioEnd) * kUnitsPerMs * 8 / 10);
  }
  FLVStream_Delete(stream);
}

TEST(StreamStress, BrothersWithTinyQueuesAndSlowOutputOverManyFiles) {
  const std::vector<std::string> files = ShortFiles();
  for (const std::string& file : files) ASSERT_FALSE(file.empty());
  constexpr int kStreams = 2;
  constexpr int kRounds = 10;
  std::vector<std::thread> threads;
  for (int t = 0; t < kStreams; ++t) threads.emplace_back(ManyFilesThroughOneStream, files, kRounds, t);
  for (std::thread& thread : threads) thread.join();
}

// One worker's life in several ways: a stream stopped before it is deleted,
// a stream deleted while it runs (its decoders are brothers), and a lone
// decoder deleted while it runs.
void CreateAndDeleteLoop(const std::string& path, int iterations, int seed) {
  FileTags tags(path);
  ASSERT_TRUE(tags.opened);
  for (int i = 0; i < iterations; ++i) {
    const int kind = (i + seed) % 3;
    // How many tags go in before the end: none, a few, or all of them.
    const int limit = (i * 7 + seed) % 3 == 0 ? 0 : (i % 2 == 0 ? 5 : 1 << 30);
    ASSERT_EQ(FLVAVTagReader_SeekToBegin(tags.reader), FLV_READER_OK);
    Output output;
    output.slowAudioUs = 200;
    output.slowVideoUs = 400;
    if (kind <= 1) {
      FLVStream* stream = FLVStream_Create();
      FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, 1 + i % 3);
      FLVStream_SetVideoDecoderMaxFLVTagQueue(stream, 1 + (i + 1) % 3);
      FLVStream_SetDecoderMaxIntervalTime(stream, 100);
      FLVStream_SetOutputSize(stream, 32, 24);
      FLVStream_SetGetAudioCallBack(stream, OnAudio, &output);
      FLVStream_SetGetVideoCallBack(stream, OnVideo, &output);
      ASSERT_EQ(FLVStream_RunEx(stream, &tags.info, 1, 1), 1);
      for (int n = 0; n < limit; ++n) {
        FLVTag* tag = tags.Next();
        if (tag == nullptr) break;
        DeliverTag(stream, tag);
      }
      if (kind == 0) FLVStream_StopEx(stream);
      FLVStream_Delete(stream);
    } else {
      FLVStreamDecoder* audio = FLVStreamDecoder_Create(0);
      FLVStreamDecoder_SetOutputCallBack(audio, OnAudio, &output);
      FLVStreamDecoder_SetDeleteFLVTagCallBack(audio, OnDeleteTag, &output);
      FLVStreamDecoder_SetMaxFLVTagQueue(audio, 3);
      FLVStreamDecoder_SetSampleRate(audio, 44100);
      FLVStreamDecoder_SetNumberOfChannels(audio, 1);
      ASSERT_EQ(FLVStreamDecoder_Run(audio), 1);
      int taken = 0;
      for (int n = 0; n < limit; ++n) {
        FLVTag* tag = tags.Next();
        if (tag == nullptr) break;
        if (tag->tagType != FLV_TAG_TYPE_AUDIO) {
          FLVStreamParser_DeleteFLVTag(nullptr, tag);
          continue;
        }
        while (FLVStreamDecoder_DeliverFLVPacket(audio, tag) != 1) std::this_thread::sleep_for(kRetryWait);
        ++taken;
      }
      // Deleted while running: the queue drains through the delete callback
      // first.
      FLVStreamDecoder_Delete(audio);
      EXPECT_EQ(output.deletedTags.load(), taken);
    }
  }
}

TEST(StreamStress, CreateAndDeleteWhileWorkersRun) {
  const std::vector<std::string> files = ShortFiles();
  for (const std::string& file : files) ASSERT_FALSE(file.empty());
  constexpr int kThreads = 3;
  constexpr int kIterations = 60;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(CreateAndDeleteLoop, files[static_cast<std::size_t>(t) % files.size()], kIterations, t);
  }
  for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace kelvra::test
