// FLVStream: what reaches its decoders, how it routes and refuses tags, its
// two states, its deletion while running, and whole files fed as bytes.
//
// The stream reaches its decoders through their exported functions only;
// the linker sends those calls through the recorders below (--wrap), so a
// test sees exactly what each decoder was given.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelvra.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

// ---- the decoder calls the stream makes ----

struct DecoderCall {
  ::FLVStreamDecoder* decoder;
  std::string what;  // "SetOutputFPS", ...
  std::vector<double> values;
  const void* pointer = nullptr;  // brother, rectangle or callback
};

struct CallLog {
  std::mutex mutex;
  std::vector<DecoderCall> calls;
  std::map<::FLVStreamDecoder*, bool> isVideo;  // every decoder made
};

CallLog& Log() {
  static CallLog log;
  return log;
}

void Record(::FLVStreamDecoder* decoder, const char* what, std::vector<double> values,
            const void* pointer = nullptr) {
  std::lock_guard<std::mutex> lock(Log().mutex);
  Log().calls.push_back(DecoderCall{decoder, what, std::move(values), pointer});
}

}  // namespace
}  // namespace kelvra::test

using kelvra::test::Record;

extern "C" {
FLVStreamDecoder* __real_FLVStreamDecoder_Create(int video);
int __real_FLVStreamDecoder_SetOutputCallBack(FLVStreamDecoder*, FLVStreamDecoderOutputCallBack,
                                              void*);
int __real_FLVStreamDecoder_SetMaxFLVTagQueue(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_SetBrother(FLVStreamDecoder*, FLVStreamDecoder*);
int __real_FLVStreamDecoder_SetMaxIntervalTime(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_SetSampleRate(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_SetNumberOfChannels(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_SetOutputSize(FLVStreamDecoder*, int, int);
int __real_FLVStreamDecoder_SetOutputFPS(FLVStreamDecoder*, double);
int __real_FLVStreamDecoder_SetDecodeAlphaChannel(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_SetCropRect(FLVStreamDecoder*, const FLVRect*);
int __real_FLVStreamDecoder_SetResizeMode(FLVStreamDecoder*, int);
int __real_FLVStreamDecoder_Run(FLVStreamDecoder*);
int __real_FLVStreamDecoder_Stop(FLVStreamDecoder*);

FLVStreamDecoder* __wrap_FLVStreamDecoder_Create(int video) {
  FLVStreamDecoder* decoder = __real_FLVStreamDecoder_Create(video);
  std::lock_guard<std::mutex> lock(kelvra::test::Log().mutex);
  kelvra::test::Log().isVideo[decoder] = video != 0;
  return decoder;
}
int __wrap_FLVStreamDecoder_SetOutputCallBack(FLVStreamDecoder* d,
                                              FLVStreamDecoderOutputCallBack callBack,
                                              void* userData) {
  Record(d, "SetOutputCallBack", {}, reinterpret_cast<const void*>(callBack));
  return __real_FLVStreamDecoder_SetOutputCallBack(d, callBack, userData);
}
int __wrap_FLVStreamDecoder_SetMaxFLVTagQueue(FLVStreamDecoder* d, int count) {
  Record(d, "SetMaxFLVTagQueue", {static_cast<double>(count)});
  return __real_FLVStreamDecoder_SetMaxFLVTagQueue(d, count);
}
int __wrap_FLVStreamDecoder_SetBrother(FLVStreamDecoder* d, FLVStreamDecoder* brother) {
  Record(d, "SetBrother", {}, brother);
  return __real_FLVStreamDecoder_SetBrother(d, brother);
}
int __wrap_FLVStreamDecoder_SetMaxIntervalTime(FLVStreamDecoder* d, int ms) {
  Record(d, "SetMaxIntervalTime", {static_cast<double>(ms)});
  return __real_FLVStreamDecoder_SetMaxIntervalTime(d, ms);
}
int __wrap_FLVStreamDecoder_SetSampleRate(FLVStreamDecoder* d, int rate) {
  Record(d, "SetSampleRate", {static_cast<double>(rate)});
  return __real_FLVStreamDecoder_SetSampleRate(d, rate);
}
int __wrap_FLVStreamDecoder_SetNumberOfChannels(FLVStreamDecoder* d, int channels) {
  Record(d, "SetNumberOfChannels", {static_cast<double>(channels)});
  return __real_FLVStreamDecoder_SetNumberOfChannels(d, channels);
}
int __wrap_FLVStreamDecoder_SetOutputSize(FLVStreamDecoder* d, int width, int height) {
  Record(d, "SetOutputSize", {static_cast<double>(width), static_cast<double>(height)});
  return __real_FLVStreamDecoder_SetOutputSize(d, width, height);
}
int __wrap_FLVStreamDecoder_SetOutputFPS(FLVStreamDecoder* d, double fps) {
  Record(d, "SetOutputFPS", {fps});
  return __real_FLVStreamDecoder_SetOutputFPS(d, fps);
}
int __wrap_FLVStreamDecoder_SetDecodeAlphaChannel(FLVStreamDecoder* d, int flag) {
  Record(d, "SetDecodeAlphaChannel", {static_cast<double>(flag)});
  return __real_FLVStreamDecoder_SetDecodeAlphaChannel(d, flag);
}
int __wrap_FLVStreamDecoder_SetCropRect(FLVStreamDecoder* d, const FLVRect* rect) {
  Record(d, "SetCropRect",
         rect ? std::vector<double>{static_cast<double>(rect->left), static_cast<double>(rect->top),
                                    static_cast<double>(rect->right),
                                    static_cast<double>(rect->bottom)}
              : std::vector<double>{});
  return __real_FLVStreamDecoder_SetCropRect(d, rect);
}
int __wrap_FLVStreamDecoder_SetResizeMode(FLVStreamDecoder* d, int mode) {
  Record(d, "SetResizeMode", {static_cast<double>(mode)});
  return __real_FLVStreamDecoder_SetResizeMode(d, mode);
}
int __wrap_FLVStreamDecoder_Run(FLVStreamDecoder* d) {
  Record(d, "Run", {});
  return __real_FLVStreamDecoder_Run(d);
}
int __wrap_FLVStreamDecoder_Stop(FLVStreamDecoder* d) {
  Record(d, "Stop", {});
  return __real_FLVStreamDecoder_Stop(d);
}
}  // extern "C"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

void ClearLog() {
  std::lock_guard<std::mutex> lock(Log().mutex);
  Log().calls.clear();
}

// The calls made on the audio (video false) or video decoder, in order.
std::vector<DecoderCall> CallsOn(bool video) {
  std::lock_guard<std::mutex> lock(Log().mutex);
  std::vector<DecoderCall> out;
  for (const DecoderCall& call : Log().calls) {
    const auto kind = Log().isVideo.find(call.decoder);
    if (kind != Log().isVideo.end() && kind->second == video) out.push_back(call);
  }
  return out;
}

std::vector<std::string> Names(const std::vector<DecoderCall>& calls) {
  std::vector<std::string> names;
  for (const DecoderCall& call : calls) names.push_back(call.what);
  return names;
}

// The values of the last such call; empty when there was none.
std::vector<double> Last(const std::vector<DecoderCall>& calls, const std::string& what) {
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->what == what) return it->values;
  }
  return {};
}

const DecoderCall* LastCall(const std::vector<DecoderCall>& calls, const std::string& what) {
  for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
    if (it->what == what) return &*it;
  }
  return nullptr;
}

struct StreamDeleter {
  void operator()(::FLVStream* stream) const { FLVStream_Delete(stream); }
};
using StreamPtr = std::unique_ptr<::FLVStream, StreamDeleter>;

StreamPtr NewStream() {
  StreamPtr stream(FLVStream_Create());
  EXPECT_NE(stream, nullptr);
  ClearLog();
  return stream;
}

FLVInfo InfoRecord() {
  FLVInfo info{};
  info.videoCodec = 2;
  info.audioFormat = 2;
  info.width = 320;
  info.height = 240;
  info.channels = 2;
  info.sampleRate = 44100;
  info.frameRate = 30.0;
  return info;
}

// ---- what the decoders are given ----

TEST(FLVStreamConfigTest, PreStartSettersReachTheDecodersEachWithItsOwnValue) {
  StreamPtr stream = NewStream();
  EXPECT_EQ(FLVStream_SetOutputFPS(stream.get(), 25.0), 1);
  EXPECT_EQ(FLVStream_SetDecodeAlphaChannel(stream.get(), 0), 1);
  // Width alone is not a size: both come from the record.
  EXPECT_EQ(FLVStream_SetOutputSize(stream.get(), 64, 0), 1);
  const FLVInfo info = InfoRecord();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), &info, 1, 1), 1);
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);

  const std::vector<DecoderCall> video = CallsOn(true);
  EXPECT_EQ(Last(video, "SetOutputFPS"), std::vector<double>{25.0});
  EXPECT_EQ(Last(video, "SetDecodeAlphaChannel"), std::vector<double>{0});
  EXPECT_EQ(Last(video, "SetOutputSize"), (std::vector<double>{320, 240}));
  EXPECT_EQ(Last(video, "SetCropRect"), (std::vector<double>{-1, -1, -1, -1}));
  EXPECT_EQ(Last(video, "SetResizeMode"), std::vector<double>{0});
  const std::vector<DecoderCall> audio = CallsOn(false);
  EXPECT_EQ(Last(audio, "SetSampleRate"), std::vector<double>{44100});
  EXPECT_EQ(Last(audio, "SetNumberOfChannels"), std::vector<double>{2});
  // Both run, each the other's brother, with the default interval.
  const std::vector<std::string> videoNames = Names(video);
  EXPECT_NE(std::find(videoNames.begin(), videoNames.end(), "Run"), videoNames.end());
  const DecoderCall* audioBrother = LastCall(audio, "SetBrother");
  const DecoderCall* videoBrother = LastCall(video, "SetBrother");
  ASSERT_TRUE(audioBrother && videoBrother);
  EXPECT_EQ(audioBrother->pointer, videoBrother->decoder);
  EXPECT_EQ(videoBrother->pointer, audioBrother->decoder);
  EXPECT_EQ(Last(audio, "SetMaxIntervalTime"), std::vector<double>{500});
  EXPECT_EQ(Last(video, "SetMaxIntervalTime"), std::vector<double>{500});
}

TEST(FLVStreamConfigTest, RunExWithoutRecordGivesExactlyTheStreamsValues) {
  StreamPtr stream = NewStream();
  EXPECT_EQ(FLVStream_SetSampleRate(stream.get(), 22050), 1);
  EXPECT_EQ(FLVStream_SetNumberOfChannels(stream.get(), 1), 1);
  EXPECT_EQ(FLVStream_SetOutputSize(stream.get(), 64, 48), 1);
  EXPECT_EQ(FLVStream_SetOutputFPS(stream.get(), 12.5), 1);
  EXPECT_EQ(FLVStream_SetAudioDecoderMaxFLVTagQueue(stream.get(), 7), 1);
  EXPECT_EQ(FLVStream_SetVideoDecoderMaxFLVTagQueue(stream.get(), 9), 1);
  EXPECT_EQ(FLVStream_SetDecoderMaxIntervalTime(stream.get(), 250), 1);
  const FLVRect crop{1, 2, 30, 40};
  FLVStream_SetCropRect(stream.get(), &crop);
  FLVStream_SetResizeMode(stream.get(), 1);
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 1, 1), 1);
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);

  const std::vector<DecoderCall> audio = CallsOn(false);
  EXPECT_EQ(Last(audio, "SetSampleRate"), std::vector<double>{22050});
  EXPECT_EQ(Last(audio, "SetNumberOfChannels"), std::vector<double>{1});
  EXPECT_EQ(Last(audio, "SetMaxFLVTagQueue"), std::vector<double>{7});
  EXPECT_EQ(Last(audio, "SetMaxIntervalTime"), std::vector<double>{250});
  const std::vector<DecoderCall> video = CallsOn(true);
  EXPECT_EQ(Last(video, "SetOutputSize"), (std::vector<double>{64, 48}));
  EXPECT_EQ(Last(video, "SetOutputFPS"), std::vector<double>{12.5});
  EXPECT_EQ(Last(video, "SetMaxFLVTagQueue"), std::vector<double>{9});
  EXPECT_EQ(Last(video, "SetMaxIntervalTime"), std::vector<double>{250});
  EXPECT_EQ(Last(video, "SetCropRect"), (std::vector<double>{1, 2, 30, 40}));
  EXPECT_EQ(Last(video, "SetResizeMode"), std::vector<double>{1});
}

TEST(FLVStreamConfigTest, RunExWithoutRecordAndUnsetValuesGivesZeros) {
  StreamPtr stream = NewStream();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 1, 1), 1);
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
  EXPECT_EQ(Last(CallsOn(false), "SetSampleRate"), std::vector<double>{0});
  EXPECT_EQ(Last(CallsOn(false), "SetNumberOfChannels"), std::vector<double>{0});
  EXPECT_EQ(Last(CallsOn(true), "SetOutputSize"), (std::vector<double>{0, 0}));
  EXPECT_EQ(Last(CallsOn(true), "SetOutputFPS"), std::vector<double>{0});
}

TEST(FLVStreamConfigTest, AudioOnlyRunStartsOnlyTheAudioDecoderWithoutBrother) {
  StreamPtr stream = NewStream();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 1);
  const std::vector<DecoderCall> audio = CallsOn(false);
  EXPECT_TRUE(CallsOn(true).empty());
  ASSERT_FALSE(audio.empty());
  EXPECT_EQ(audio.back().what, "Run");
  for (const DecoderCall& call : audio) {
    EXPECT_NE(call.what, "SetMaxIntervalTime");
    if (call.what == "SetBrother") {
      EXPECT_EQ(call.pointer, nullptr);
    }
  }
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
}

TEST(FLVStreamConfigTest, InformationCallbackDecidesWhatStarts) {
  StreamPtr stream = NewStream();
  static FLVInfo seen;
  FLVStream_SetFLVInfoCallBack(
      stream.get(),
      [](void*, FLVInfo* info, int* decodeVideo, int*) {
        seen = *info;
        *decodeVideo = 0;
      },
      nullptr);
  const FLVInfo info = InfoRecord();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), &info, 1, 1), 1);
  EXPECT_EQ(seen.width, 320);
  EXPECT_TRUE(CallsOn(true).empty());
  EXPECT_EQ(CallsOn(false).back().what, "Run");
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
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

TEST_F(ReadyTagsTest, ScriptTagIsRefusedAndStaysTheCallers) {
  StreamPtr stream = NewStream();
  FLVTag* script = Take(FLV_TAG_TYPE_SCRIPT_DATA);
  ASSERT_NE(script, nullptr);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script), FLV_STREAM_STOPPED);
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 1, 1), 1);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script), FLV_STREAM_NOT_AUDIO_VIDEO);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), nullptr), FLV_STREAM_NOT_AUDIO_VIDEO);
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
  // Still whole and ours: reading it and freeing it once is safe.
  EXPECT_EQ(script->tagType, FLV_TAG_TYPE_SCRIPT_DATA);
  FLVStreamParser_DeleteFLVTag(nullptr, script);
}

TEST_F(ReadyTagsTest, VideoTagWithVideoOffIsBusyOnEveryAttempt) {
  StreamPtr stream = NewStream();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 1);
  FLVTag* video = Take(FLV_TAG_TYPE_VIDEO);
  ASSERT_NE(video, nullptr);
  for (int attempt = 0; attempt < 3; ++attempt) {
    EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), video), FLV_STREAM_BUSY);
    std::this_thread::sleep_for(10ms);
  }
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
  EXPECT_EQ(video->tagType, FLV_TAG_TYPE_VIDEO);
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

int ThreadCount() {
  int count = 0;
  if (DIR* tasks = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(tasks)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(tasks);
  }
  return count;
}

// Waits briefly for the process's thread count to come down to `count`
// (a joined thread may take a moment to leave the list).
bool ThreadsSettleAt(int count) {
  for (int i = 0; i < 200 && ThreadCount() > count; ++i) std::this_thread::sleep_for(5ms);
  return ThreadCount() == count;
}

TEST_F(ReadyTagsTest, DeletingARunningStreamStopsItFirst) {
  // A sanitizer's runtime may start a thread of its own with the process's
  // first thread; one started and ended here lets it appear before counting.
  std::thread([] {}).join();
  const int threadsBefore = ThreadCount();
  AudioSink sink;
  ::FLVStream* stream = FLVStream_Create();
  ASSERT_NE(stream, nullptr);
  ClearLog();
  FLVStream_SetGetAudioCallBack(stream, &AudioSink::CallBack, &sink);
  FLVStream_SetSampleRate(stream, 22050);
  FLVStream_SetNumberOfChannels(stream, 2);
  FLVStream_SetOutputSize(stream, 32, 24);
  FLVStream_SetOutputFPS(stream, 15.0);
  ASSERT_EQ(FLVStream_RunEx(stream, nullptr, 1, 1), 1);
  EXPECT_EQ(ThreadCount(), threadsBefore + 2);
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
  EXPECT_TRUE(ThreadsSettleAt(threadsBefore)) << ThreadCount() << " threads";
  // Both decoders were stopped, so every audio tag was decoded.
  const std::vector<std::string> audio = Names(CallsOn(false));
  const std::vector<std::string> video = Names(CallsOn(true));
  EXPECT_NE(std::find(audio.begin(), audio.end(), "Stop"), audio.end());
  EXPECT_NE(std::find(video.begin(), video.end(), "Stop"), video.end());
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

// Feeds the bytes in pieces of `piece` bytes, offering a refused piece
// again, then flushes and stops.
void FeedBytes(::FLVStream* stream, const std::vector<std::uint8_t>& bytes, std::size_t piece) {
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = std::min(piece, bytes.size() - at);
    const int result = FLVStream_DeliverData(stream, bytes.data() + at, static_cast<int>(length));
    if (result == FLV_PARSER_QUEUE_FULL) {
      std::this_thread::sleep_for(1ms);
      continue;
    }
    ASSERT_TRUE(result == FLV_PARSER_OK || result == FLV_PARSER_INFO_PENDING) << result;
    at += length;
  }
  while (FLVStream_Flush(stream) == 0) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(FLVStream_Stop(stream), 1);
}

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
  FeedBytes(stream.get(), bytes, GetParam());
  EXPECT_EQ(infoCalls.load(), 1);

  // The audio of the file's own format, all of it.
  EXPECT_EQ(Last(CallsOn(false), "SetSampleRate"), std::vector<double>{22050});
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
  FeedBytes(stream.get(), bytes, 4096);
  EXPECT_EQ(FLVStream_HasCalledFLVInfoCallBack(stream.get()), 1);
  EXPECT_EQ(FLVStream_SetOutputSize(stream.get(), 40, 30), 0);
  EXPECT_EQ(FLVStream_SetOutputFPS(stream.get(), 5.0), 0);
  EXPECT_EQ(FLVStream_SetSampleRate(stream.get(), 8000), 0);
  EXPECT_EQ(FLVStream_SetNumberOfChannels(stream.get(), 1), 0);
  EXPECT_EQ(FLVStream_SetDecodeAlphaChannel(stream.get(), 0), 0);
  // The refused size changed nothing: a new run still gets the old one.
  ClearLog();
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 1, 0), 1);
  EXPECT_EQ(Last(CallsOn(true), "SetOutputSize"), (std::vector<double>{80, 60}));
  EXPECT_EQ(FLVStream_StopEx(stream.get()), 1);
}

}  // namespace
}  // namespace kelvra::test
