// FLVStream from outside: refused ready-made tags, and whole files fed as
// bytes, checked by what its callbacks get.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "decoder/decoder_test_support.h"
#include "kelvra.h"
#include "support/flv_files.h"
#include "support/stream_feed.h"

namespace kelvra::test {
namespace {

std::string File() {
  return GenerateFlv({.video = VideoCodec::kH263, .fps = 15});  // 2 s of MP3 22050 Hz stereo
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
  TagPtr script = std::move(ReadTagsOfFile(File(), FLV_TAG_TYPE_SCRIPT_DATA).at(0));
  TagPtr video = std::move(ReadTagsOfFile(File(), FLV_TAG_TYPE_VIDEO).at(0));
  StreamPtr stream(FLVStream_Create());
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script.get()), FLV_STREAM_STOPPED);
  ASSERT_EQ(FLVStream_RunEx(stream.get(), nullptr, 0, 1), 1);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), script.get()), FLV_STREAM_NOT_AUDIO_VIDEO);
  EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), nullptr), FLV_STREAM_NOT_AUDIO_VIDEO);
  for (int attempt = 0; attempt < 3; ++attempt)
    EXPECT_EQ(FLVStream_DeliverDataEx(stream.get(), video.get()), FLV_STREAM_BUSY);
  ASSERT_EQ(FLVStream_StopEx(stream.get()), 1);
  EXPECT_EQ(script->tagType + video->tagType, FLV_TAG_TYPE_SCRIPT_DATA + FLV_TAG_TYPE_VIDEO);
}

// The end-to-end row: the file as bytes in pieces of several sizes gives all
// its audio (as the decoder gives it tag by tag) and its pictures in order;
// once the information is announced the output settings are fixed.
TEST(FLVStreamBytes, AudioAndVideoOfAWholeFile) {
  long long expectedBytes = 0;
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  FLVStreamDecoder_SetDecodeSyncMode(decoder.get(), 1);
  FLVStreamDecoder_SetSampleRate(decoder.get(), 22050);  // the file's own, as the stream uses
  FLVStreamDecoder_SetNumberOfChannels(decoder.get(), 2);
  for (const TagPtr& tag : ReadTagsOfFile(File(), FLV_TAG_TYPE_AUDIO)) {
    std::uint8_t* data = nullptr;
    int size = 0;
    if (FLVStreamDecoder_DecodeFLVTag(decoder.get(), tag.get(), &data, &size) != 0)
      expectedBytes += size;
  }
  for (const std::size_t piece : {4096, 777, 1}) {
    SCOPED_TRACE(piece);
    StreamPtr stream(FLVStream_Create());
    ::FLVStream* s = stream.get();
    Sink sink;
    FLVStream_SetGetAudioCallBack(s, &Sink::Audio, &sink);
    FLVStream_SetGetVideoCallBack(s, &Sink::Video, &sink);
    ASSERT_EQ(FLVStream_Run(s), 1);
    FeedStream(s, ReadWholeFile(File()), piece);
    EXPECT_EQ(FLVStream_Stop(s), 1);
    EXPECT_EQ(sink.audioBytes.load(), expectedBytes);
    EXPECT_NEAR(static_cast<double>(sink.sizes.size()), 30, 2);
    EXPECT_EQ(sink.sizes, std::vector<int>(sink.sizes.size(), 160 * 120 * 4));
    EXPECT_TRUE(std::is_sorted(sink.times.begin(), sink.times.end()));
    EXPECT_EQ(FLVStream_HasCalledFLVInfoCallBack(s), 1);
    for (int code : {FLVStream_SetOutputSize(s, 40, 30), FLVStream_SetOutputFPS(s, 5),
                     FLVStream_SetSampleRate(s, 8000), FLVStream_SetNumberOfChannels(s, 1),
                     FLVStream_SetDecodeAlphaChannel(s, 0)})
      EXPECT_EQ(code, 0);
  }
}

}  // namespace
}  // namespace kelvra::test
