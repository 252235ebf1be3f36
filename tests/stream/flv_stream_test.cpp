// FLVStream seen from outside: its two states, how it routes and refuses
// ready-made tags, deletion while running, and whole files fed as bytes,
// each checked by what comes out of its callbacks.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kelvra.h"
#include "support/flv_files.h"
#include "support/stream_feed.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

struct StreamDeleter {
  void operator()(::FLVStream* stream) const { FLVStream_Delete(stream); }
};
using StreamPtr = std::unique_ptr<::FLVStream, StreamDeleter>;

StreamPtr NewStream() {
  StreamPtr stream(FLVStream_Create());
  EXPECT_NE(stream, nullptr);
  return stream;
}

// ---- states ----

TEST(FLVStreamStateTest, StartsAndStopsOnlyOnce) {
  StreamPtr stream = NewStream();
  EXPECT_EQ(FLVStream_Stop(stream.get()), 0);
  EXPECT_EQ(FLVStream_StopEx(stream.get()), 0);
  EXPECT_EQ(FLVStream_DeliverData(stream.get(), reinterpret_cast<const std::uint8_t*>("FLV"), 3),
            FLV_STREAM_STOPPED);
  EXPECT_EQ(FLVStream_Run(stream.get()), 1);
  EXPECT_EQ(FLVStream_Run(stream.get()), 0);
  EXPECT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 0);
  // Stopped-only settings are refused while running.
  EXPECT_EQ(FLVStream_SetParserMaxFLVTagQueue(stream.get(), 5), 0);
  EXPECT_EQ(FLVStream_SetGetAudioCallBack(stream.get(), nullptr, nullptr), 0);
  EXPECT_EQ(FLVStream_Stop(stream.get()), 1);
  EXPECT_EQ(FLVStream_Stop(stream.get()), 0);
  EXPECT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 1);
  EXPECT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 0);
  EXPECT_EQ(FLVStream_StopEx(stream.get()), 1);
  EXPECT_EQ(FLVStream_StopEx(stream.get()), 0);
}

// ---- tags handed over ready-made ----

// The tags of a file, caller-owned, in file order.
std::vector<FLVTag*> ReadTags(const std::string& path) {
  std::vector<FLVTag*> tags;
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
  EXPECT_NE(FLVAVTagReader_Open(reader, path.c_str()), 0);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  while (FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration) == FLV_READER_OK) {
    tags.push_back(tag);
  }
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
  return tags;
}

FlvSpec AudioVideoSpec() {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kMp3;
  fileSpec.sampleRate = 22050;
  fileSpec.channels = 2;
  fileSpec.video = VideoCodec::kH263;
  fileSpec.width = 160;
  fileSpec.height = 120;
  fileSpec.fps = 15;
  fileSpec.durationMs = 2000;
  return fileSpec;
}

class ReadyTagsTest : public testing::Test {
 protected:
  void SetUp() override {
    const std::string path = GenerateFlv(AudioVideoSpec());
    ASSERT_FALSE(path.empty());
    tags_ = ReadTags(path);
    ASSERT_GT(tags_.size(), 10u);
  }
  void TearDown() override {
    for (FLVTag* tag : tags_) FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  // Takes the first tag of that type out of the list: the test owns it.
  FLVTag* Take(int type) {
    for (auto it = tags_.begin(); it != tags_.end(); ++it) {
      if ((*it)->tagType == type) {
        FLVTag* tag = *it;
        tags_.erase(it);
        return tag;
      }
    }
    ADD_FAILURE() << "no tag of type " << type;
    return nullptr;
  }
  std::vector<FLVTag*> tags_;
};

// Refused tags stay the caller's: a script tag (and null) is not audio or
// video, a video tag with video off is busy on every attempt; both are
// still whole after the stop, read and freed once here.
TEST_F(ReadyTagsTest, RefusedTagsStayTheCallers) {
  StreamPtr stream = NewStream();
  FLVTag* script = Take(FLV_TAG_TYPE_SCRIPT_DATA);
  FLVTag* video = Take(FLV_TAG_TYPE_VIDEO);
  ASSERT_TRUE(script != nullptr && video != nullptr);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script), FLV_STREAM_STOPPED);
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 1);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script), FLV_STREAM_NOT_AUDIO_VIDEO);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), nullptr), FLV_STREAM_NOT_AUDIO_VIDEO);
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), video), FLV_STREAM_BUSY);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
  EXPECT_EQ(script->tagType, FLV_TAG_TYPE_SCRIPT_DATA);
  EXPECT_EQ(video->tagType, FLV_TAG_TYPE_VIDEO);
  FLVStreamParser_DeleteFLVTag(nullptr, script);
  FLVStreamParser_DeleteFLVTag(nullptr, video);
}

struct AudioSink {
  std::atomic<long long> bytes{0};
  std::atomic<int> blocks{0};
  static void CallBack(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t,
                       std::int64_t, std::int32_t, std::int32_t) {
    auto* sink = static_cast<AudioSink*>(self);
    if (data != nullptr && size > 0) {
      sink->bytes += size;
      ++sink->blocks;
    }
  }
};

// The process's threads by id: a sanitizer's own threads may come and go
// while a test runs, so tests compare the ids they made, not the count.
std::set<std::string> ThreadIds() {
  std::set<std::string> ids;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] != '.') ids.insert(entry->d_name);
    }
    closedir(tasks);
  }
  return ids;
}

std::set<std::string> NewThreads(const std::set<std::string>& before) {
  std::set<std::string> added;
  for (const std::string& id : ThreadIds()) {
    if (before.count(id) == 0) added.insert(id);
  }
  return added;
}

// Waits briefly until none of `threads` is left (a joined thread may take a
// moment to leave the list).
bool ThreadsGone(const std::set<std::string>& threads) {
  auto left = [&] {
    const std::set<std::string> now = ThreadIds();
    for (const std::string& id : threads) {
      if (now.count(id) != 0) return true;
    }
    return false;
  };
  for (int i = 0; i < 200 && left(); ++i) std::this_thread::sleep_for(5ms);
  return !left();
}

TEST_F(ReadyTagsTest, DeletingARunningStreamStopsItFirst) {
  // A sanitizer's runtime may start a thread of its own with the process's
  // first thread; one started and ended here lets it appear before counting.
  std::thread([] {}).join();
  const std::set<std::string> threadsBefore = ThreadIds();
  AudioSink sink;
  ::FLVStream* stream = FLVStream_Create();
  ASSERT_NE(stream, nullptr);
  FLVStream_SetGetAudioCallBack(stream, &AudioSink::CallBack, &sink);
  FLVStream_SetSampleRate(stream, 22050);
  FLVStream_SetNumberOfChannels(stream, 2);
  FLVStream_SetOutputSize(stream, 32, 24);
  FLVStream_SetOutputFPS(stream, 15.0);
  ASSERT_EQ(FLVStream_RunEx(stream, nullptr, 1, 1), 1);
  const std::set<std::string> workers = NewThreads(threadsBefore);
  EXPECT_GE(workers.size(), 2u);
  // Every tag handed over belongs to the stream, which must release it.
  std::vector<FLVTag*> kept;
  for (FLVTag* tag : tags_) {
    if (tag->tagType != FLV_TAG_TYPE_AUDIO && tag->tagType != FLV_TAG_TYPE_VIDEO) {
      kept.push_back(tag);
      continue;
    }
    int result;
    while ((result = FLVStream_DeliverDataEx(stream, tag)) == FLV_STREAM_BUSY) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(result, FLV_STREAM_TAKEN);
  }
  tags_ = kept;
  FLVStream_Delete(stream);  // no Stop first
  EXPECT_TRUE(ThreadsGone(workers));
  // Both decoders were stopped (drained), so every audio tag was decoded.
  EXPECT_GT(sink.bytes.load(), 2 * 22050 * 4 * 9 / 10);
}

// ---- whole files fed as bytes ----

struct VideoSink {
  std::mutex mutex;
  std::vector<int> sizes;
  std::vector<std::int64_t> times;
  static void CallBack(void* self, const std::uint8_t* data, std::int32_t size,
                       std::int64_t timestamp, std::int64_t, std::int32_t, std::int32_t) {
    auto* sink = static_cast<VideoSink*>(self);
    if (data == nullptr) return;
    std::lock_guard<std::mutex> lock(sink->mutex);
    sink->sizes.push_back(size);
    sink->times.push_back(timestamp);
  }
};

class ByteFeedTest : public testing::TestWithParam<std::size_t> {};

TEST_P(ByteFeedTest, AudioAndVideoOfAWholeFile) {
  const std::string path = GenerateFlv(AudioVideoSpec());
  ASSERT_FALSE(path.empty());
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);

  // What the file's audio decodes to, tag by tag, without the stream.
  long long expectedBytes = 0;
  {
    ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
    FLVStreamDecoder_SetDecodeSyncMode(decoder, 1);
    FLVStreamDecoder_SetSampleRate(decoder, 22050);
    FLVStreamDecoder_SetNumberOfChannels(decoder, 2);
    for (FLVTag* tag : ReadTags(path)) {
      std::uint8_t* data = nullptr;
      int size = 0;
      if (tag->tagType == FLV_TAG_TYPE_AUDIO &&
          FLVStreamDecoder_DecodeFLVTag(decoder, tag, &data, &size) != 0) {
        expectedBytes += size;
      }
      FLVStreamParser_DeleteFLVTag(nullptr, tag);
    }
    FLVStreamDecoder_Delete(decoder);
  }
  ASSERT_GT(expectedBytes, 0);

  StreamPtr stream = NewStream();
  AudioSink audio;
  VideoSink video;
  FLVStream_SetGetAudioCallBack(stream.get(), &AudioSink::CallBack, &audio);
  FLVStream_SetGetVideoCallBack(stream.get(), &VideoSink::CallBack, &video);
  static std::atomic<int> infoCalls{0};
  infoCalls = 0;
  FLVStream_SetFLVInfoCallBack(stream.get(), [](void*, FLVInfo*, int*, int*) { ++infoCalls; },
                               nullptr);
  ASSERT_EQ(FLVStream_Run(stream.get()), 1);
  FeedStream(stream.get(), bytes, GetParam());
  EXPECT_EQ(FLVStream_Stop(stream.get()), 1);
  EXPECT_EQ(infoCalls.load(), 1);

  // The audio of the file's own format (22050 Hz stereo), all of it.
  EXPECT_EQ(audio.bytes.load(), expectedBytes);
  // Pictures of the file's size at its frame rate, one after another.
  std::lock_guard<std::mutex> lock(video.mutex);
  EXPECT_NEAR(static_cast<double>(video.sizes.size()), 30, 2);
  for (int size : video.sizes) EXPECT_EQ(size, 160 * 120 * 4);
  EXPECT_TRUE(std::is_sorted(video.times.begin(), video.times.end()));
}

INSTANTIATE_TEST_SUITE_P(Pieces, ByteFeedTest, testing::Values(4096, 777, 1),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           return "Piece" + std::to_string(info.param);
                         });

TEST(FLVStreamInfoTest, SizeCannotChangeAfterTheParserAnnouncedTheInformation) {
  const std::string path = GenerateFlv(AudioVideoSpec());
  ASSERT_FALSE(path.empty());
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  StreamPtr stream = NewStream();
  EXPECT_EQ(FLVStream_SetOutputSize(stream.get(), 80, 60), 1);
  ASSERT_EQ(FLVStream_Run(stream.get()), 1);
  FeedStream(stream.get(), bytes, 4096);
  EXPECT_EQ(FLVStream_Stop(stream.get()), 1);
  EXPECT_EQ(FLVStream_HasCalledFLVInfoCallBack(stream.get()), 1);
  EXPECT_EQ(FLVStream_SetOutputSize(stream.get(), 40, 30), 0);
  EXPECT_EQ(FLVStream_SetOutputFPS(stream.get(), 5.0), 0);
  EXPECT_EQ(FLVStream_SetSampleRate(stream.get(), 8000), 0);
  EXPECT_EQ(FLVStream_SetNumberOfChannels(stream.get(), 1), 0);
  EXPECT_EQ(FLVStream_SetDecodeAlphaChannel(stream.get(), 0), 0);
  // The refused size changed nothing: a new run still makes 80 x 60 pictures.
  VideoSink video;
  FLVStream_SetGetVideoCallBack(stream.get(), &VideoSink::CallBack, &video);
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 1, 0), 1);
  for (FLVTag* tag : ReadTags(path)) {
    if (tag->tagType == FLV_TAG_TYPE_VIDEO &&
        FLVStream_DeliverDataEx(stream.get(), tag) == FLV_STREAM_TAKEN) {
      continue;
    }
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
  EXPECT_EQ(FLVStream_StopEx(stream.get()), 1);
  std::lock_guard<std::mutex> lock(video.mutex);
  ASSERT_FALSE(video.sizes.empty());
  for (int size : video.sizes) EXPECT_EQ(size, 80 * 60 * 4);
}

}  // namespace
}  // namespace kelvra::test
