// FLVStream from outside: refused ready-made tags, and whole files fed as
// bytes, checked by what its callbacks get.
#include <gtest/gtest.h>

#include "decoder/decoder_test_support.h"
#include "kelvra.h"
#include "support/flv_files.h"
#include "support/stream_feed.h"

namespace kelvra::test {
namespace {

std::string File() {
  return GenerateFlv({.video = VideoCodec::kH263, .fps = 15});  // 2 s of MP3 22050 Hz stereo
}

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
    Recorder audio, video;
    FLVStream_SetGetAudioCallBack(s, &Recorder::Output, &audio);
    FLVStream_SetGetVideoCallBack(s, &Recorder::Output, &video);
    ASSERT_EQ(FLVStream_Run(s), 1);
    FeedStream(s, ReadWholeFile(File()), piece);
    EXPECT_EQ(FLVStream_Stop(s), 1);
    long long audioBytes = 0;
    for (const OutputRecord& r : audio.records()) audioBytes += r.nullData ? 0 : r.size;
    EXPECT_EQ(audioBytes, expectedBytes);
    std::vector<OutputRecord> pictures = video.records();
    std::erase_if(pictures, [](const OutputRecord& r) { return r.nullData; });
    EXPECT_NEAR(static_cast<double>(pictures.size()), 30, 2);
    for (std::size_t i = 0; i < pictures.size(); ++i) {
      EXPECT_EQ(pictures[i].size, 160 * 120 * 4);
      EXPECT_LE(pictures[i > 0 ? i - 1 : 0].timestamp, pictures[i].timestamp);
    }
    EXPECT_EQ(FLVStream_HasCalledFLVInfoCallBack(s), 1);
    for (int code : {FLVStream_SetOutputSize(s, 40, 30), FLVStream_SetOutputFPS(s, 5),
                     FLVStream_SetSampleRate(s, 8000), FLVStream_SetNumberOfChannels(s, 1),
                     FLVStream_SetDecodeAlphaChannel(s, 0)})
      EXPECT_EQ(code, 0);
  }
}

}  // namespace
}  // namespace kelvra::test
