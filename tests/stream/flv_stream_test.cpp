// FLVStream from outside: refused ready-made tags, and whole files fed as
// bytes, checked by what its callbacks get.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>

#include "decoder/decoder_test_support.h"
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

std::string File() {
  return GenerateFlv({.audio = AudioCodec::kMp3, .sampleRate = 22050, .channels = 2,
                      .video = VideoCodec::kH263, .width = 160, .height = 120, .fps = 15});
}

// The audio bytes, and the pictures' sizes and time stamps.
struct Sink {
  std::atomic<long long> audioBytes{0};
  std::mutex mutex;
  std::vector<int> sizes;
  std::vector<std::int64_t> times;
  static void Audio(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t,
                    std::int64_t, std::int32_t, std::int32_t) {
    if (data != nullptr) static_cast<Sink*>(self)->audioBytes += size;
  }
  static void Video(void* self, const std::uint8_t* data, std::int32_t size, std::int64_t timestamp,
                    std::int64_t, std::int32_t, std::int32_t) {
    auto* sink = static_cast<Sink*>(self);
    std::lock_guard<std::mutex> lock(sink->mutex);
    if (data == nullptr) return;
    sink->sizes.push_back(size);
    sink->times.push_back(timestamp);
  }
};

// A script tag (or null) is not audio or video, a video tag with video off is
// busy on every attempt; both stay the caller's, whole after the stop.
TEST(FLVStreamTags, RefusedTagsStayTheCallers) {
  FLVTag* script = ReadTagsOfFile(File(), FLV_TAG_TYPE_SCRIPT_DATA).at(0).release();
  FLVTag* video = ReadTagsOfFile(File(), FLV_TAG_TYPE_VIDEO).at(0).release();
  ::FLVStream* stream = FLVStream_Create();
  EXPECT_EQ(FLVStream_DeliverDataEx(stream, script), FLV_STREAM_STOPPED);
  ASSERT_EQ(FLVStream_RunEx(stream, nullptr, 0, 1), 1);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream, script), FLV_STREAM_NOT_AUDIO_VIDEO);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream, nullptr), FLV_STREAM_NOT_AUDIO_VIDEO);
  for (int attempt = 0; attempt < 3; ++attempt, std::this_thread::sleep_for(10ms)) {
    EXPECT_EQ(FLVStream_DeliverDataEx(stream, video), FLV_STREAM_BUSY);
  }
  ASSERT_EQ(FLVStream_StopEx(stream), 1);
  EXPECT_EQ(script->tagType + video->tagType, FLV_TAG_TYPE_SCRIPT_DATA + FLV_TAG_TYPE_VIDEO);
  FLVStream_Delete(stream);
  FLVStreamParser_DeleteFLVTag(nullptr, script);
  FLVStreamParser_DeleteFLVTag(nullptr, video);
}

// The end-to-end row: the file as bytes in pieces of several sizes gives all
// its audio (as the decoder gives it tag by tag) and its pictures in order;
// once the information is announced the output settings are fixed.
TEST(FLVStreamBytes, AudioAndVideoOfAWholeFile) {
  long long expectedBytes = 0;
  ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
  FLVStreamDecoder_SetDecodeSyncMode(decoder, 1);
  FLVStreamDecoder_SetSampleRate(decoder, 22050);  // the file's own format, as the stream gives it
  FLVStreamDecoder_SetNumberOfChannels(decoder, 2);
  for (const TagPtr& tag : ReadTagsOfFile(File(), FLV_TAG_TYPE_AUDIO)) {
    std::uint8_t* data = nullptr;
    int size = 0;
    if (FLVStreamDecoder_DecodeFLVTag(decoder, tag.get(), &data, &size) != 0) expectedBytes += size;
  }
  FLVStreamDecoder_Delete(decoder);
  for (const std::size_t piece : {4096, 777, 1}) {
    SCOPED_TRACE(piece);
    StreamPtr stream(FLVStream_Create());
    Sink sink;
    FLVStream_SetGetAudioCallBack(stream.get(), &Sink::Audio, &sink);
    FLVStream_SetGetVideoCallBack(stream.get(), &Sink::Video, &sink);
    ASSERT_EQ(FLVStream_Run(stream.get()), 1);
    FeedStream(stream.get(), ReadWholeFile(File()), piece);
    EXPECT_EQ(FLVStream_Stop(stream.get()), 1);
    EXPECT_EQ(sink.audioBytes.load(), expectedBytes);
    EXPECT_NEAR(static_cast<double>(sink.sizes.size()), 30, 2);
    EXPECT_EQ(sink.sizes, std::vector<int>(sink.sizes.size(), 160 * 120 * 4));
    EXPECT_TRUE(std::is_sorted(sink.times.begin(), sink.times.end()));
    EXPECT_EQ(FLVStream_HasCalledFLVInfoCallBack(stream.get()), 1);
    EXPECT_EQ(std::vector<int>({FLVStream_SetOutputSize(stream.get(), 40, 30),
                                FLVStream_SetOutputFPS(stream.get(), 5),
                                FLVStream_SetSampleRate(stream.get(), 8000),
                                FLVStream_SetNumberOfChannels(stream.get(), 1),
                                FLVStream_SetDecodeAlphaChannel(stream.get(), 0)}),
              std::vector<int>(5, 0));
  }
}

}  // namespace
}  // namespace kelvra::test
