// Under load (and TSan in CI): brother decoders with tiny queues and slow
// output over many short files; streams deleted while their workers run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "kelvra.h"
#include "support/flv_files.h"
#include "support/stream_feed.h"

namespace kelvra::test {
namespace {

constexpr auto kRetryWait = std::chrono::milliseconds(2);

std::vector<std::string> ShortFiles() {
  auto file = [](AudioCodec audio, int rate, int channels, VideoCodec video, int width, int fps,
                 int ms) {
    return GenerateFlv({.audio = audio, .sampleRate = rate, .channels = channels, .video = video,
                        .width = width, .height = width * 3 / 4, .fps = fps, .durationMs = ms});
  };
  return {file(AudioCodec::kMp3, 22050, 1, VideoCodec::kH263, 64, 15, 400),
          file(AudioCodec::kAdpcmSwf, 11025, 1, VideoCodec::kScreenVideo, 64, 10, 400),
          file(AudioCodec::kPcmS16le, 44100, 2, VideoCodec::kH263, 48, 20, 300),
          file(AudioCodec::kNellymoser, 8000, 1, VideoCodec::kH263, 64, 12, 400)};
}

struct Output {
  int slowAudioUs = 0, slowVideoUs = 0;
  std::atomic<std::int64_t> audioUnits{0};  // 100 ns of PCM received
  std::atomic<int> pictures{0};
  static void Audio(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t,
                    std::int64_t duration, std::int32_t, std::int32_t) {
    auto* out = static_cast<Output*>(self);
    if (data != nullptr && size > 0) out->audioUnits += duration;
    std::this_thread::sleep_for(std::chrono::microseconds(out->slowAudioUs));
  }
  static void Video(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t,
                    std::int64_t, std::int32_t, std::int32_t) {
    auto* out = static_cast<Output*>(self);
    if (data != nullptr && size > 0) ++out->pictures;
    std::this_thread::sleep_for(std::chrono::microseconds(out->slowVideoUs));
  }
};

// Queues of one to three tags, brothers 50 to 200 ms apart at most, tiny
// pictures and slow callbacks.
void Configure(FLVStream* stream, Output* output, int i) {
  ASSERT_EQ(FLVStream_SetParserMaxFLVTagQueue(stream, 1 + i % 3), 1);
  ASSERT_EQ(FLVStream_SetAudioDecoderMaxFLVTagQueue(stream, 1 + i % 3), 1);
  ASSERT_EQ(FLVStream_SetVideoDecoderMaxFLVTagQueue(stream, 1 + (i + 1) % 3), 1);
  ASSERT_EQ(FLVStream_SetDecoderMaxIntervalTime(stream, 50 + 50 * (i % 4)), 1);
  FLVStream_SetGetAudioCallBack(stream, Output::Audio, output);
  FLVStream_SetGetVideoCallBack(stream, Output::Video, output);
  FLVStream_SetOutputSize(stream, 32, 24);
}

// Caller-owned audio and video tags of one file.
struct FileTags {
  explicit FileTags(const std::string& path) : reader(FLVAVTagReader_Create()) {
    FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
    EXPECT_EQ(FLVAVTagReader_Open(reader, path.c_str()), 1);
    FLVAVTagReader_GetFLVInfoEx(reader, &info);
    std::uint32_t videoEnd = 0;
    FLVAVTagReader_GetDuration(reader, &audioEnd, &videoEnd);
  }
  ~FileTags() { FLVAVTagReader_Delete(reader); }
  // Hands the stream up to `limit` tags, offering each again while it is busy.
  void Deliver(FLVStream* stream, int limit = 1 << 30) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    while (limit > 0 && FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration) == FLV_READER_OK) {
      int code = FLV_STREAM_NOT_AUDIO_VIDEO;
      if (tag->tagType == FLV_TAG_TYPE_AUDIO || tag->tagType == FLV_TAG_TYPE_VIDEO) {
        --limit;
        while ((code = FLVStream_DeliverDataEx(stream, tag)) == FLV_STREAM_BUSY)
          std::this_thread::sleep_for(kRetryWait);
      }
      if (code != FLV_STREAM_TAKEN) FLVStreamParser_DeleteFLVTag(nullptr, tag);
    }
  }
  FLVAVTagReader* reader;
  FLVInfo info{};
  std::uint32_t audioEnd = 0;
};

// Many files in a row through one stream, alternately as bytes and as ready
// tags, with queue limits and pacing changed between files; all the audio
// delivered has come out once the stream is stopped.
void ManyFilesThroughOneStream(const std::vector<std::string>& files, int rounds, int seed) {
  FLVStream* stream = FLVStream_Create();
  for (int n = 0; n < rounds * static_cast<int>(files.size()); ++n) {
    const int i = n + seed;
    const std::string& path = files[static_cast<std::size_t>(i) % files.size()];
    SCOPED_TRACE(path + " #" + std::to_string(n));
    Output output{.slowAudioUs = 300 + (i % 3) * 300, .slowVideoUs = 500 + (i % 2) * 1000};
    Configure(stream, &output, i);
    FLVStream_SetSampleRate(stream, 22050);
    FileTags tags(path);
    if (i % 2 == 0) {
      ASSERT_EQ(FLVStream_Run(stream), 1);
      FeedStream(stream, ReadWholeFile(path), 517 + 31 * static_cast<std::size_t>(i), kRetryWait);
      ASSERT_EQ(FLVStream_Stop(stream), 1);
    } else {
      ASSERT_EQ(FLVStream_RunEx(stream, &tags.info, 1, 1), 1);
      tags.Deliver(stream);
      ASSERT_EQ(FLVStream_StopEx(stream), 1);
    }
    // H.263 gives pictures; screen video is carried, not decoded.
    EXPECT_TRUE(tags.info.videoCodec != 2 || output.pictures.load() > 0);
    EXPECT_GE(output.audioUnits.load(), static_cast<std::int64_t>(tags.audioEnd) * 10000 * 8 / 10);
  }
  FLVStream_Delete(stream);
}

void OnThreads(int count, const std::function<void(int)>& run) {
  std::vector<std::jthread> threads;  // joined as they go
  for (int t = 0; t < count; ++t) threads.emplace_back(run, t);
}

TEST(StreamStress, BrothersWithTinyQueuesAndSlowOutputOverManyFiles) {
  const std::vector<std::string> files = ShortFiles();
  OnThreads(2, [&](int t) { ManyFilesThroughOneStream(files, 10, t); });
}

// Streams stopped and then deleted, or deleted while they run, after none,
// a few or all of the file's tags.
void CreateAndDeleteLoop(const std::string& path, int iterations, int seed) {
  FileTags tags(path);
  for (int i = 0; i < iterations; ++i) {
    ASSERT_EQ(FLVAVTagReader_SeekToBegin(tags.reader), FLV_READER_OK);
    Output output{.slowAudioUs = 200, .slowVideoUs = 400};
    FLVStream* stream = FLVStream_Create();
    Configure(stream, &output, i);
    ASSERT_EQ(FLVStream_RunEx(stream, &tags.info, 1, 1), 1);
    tags.Deliver(stream, (i * 7 + seed) % 3 == 0 ? 0 : (i % 2 == 0 ? 5 : 1 << 30));
    if ((i + seed) % 2 == 0) FLVStream_StopEx(stream);
    FLVStream_Delete(stream);
  }
}

TEST(StreamStress, CreateAndDeleteWhileWorkersRun) {
  const std::vector<std::string> files = ShortFiles();
  OnThreads(3, [&](int t) { CreateAndDeleteLoop(files[static_cast<std::size_t>(t)], 60, t); });
}

}  // namespace
}  // namespace kelvra::test
