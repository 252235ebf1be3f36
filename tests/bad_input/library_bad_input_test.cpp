// Bad input through the library: null handles and bad arguments at the C
// interface, and damaged files through the tag reader.
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

TEST(CInterfaceBadInput, NullHandlesAndBadArgumentsGiveResultCodes) {
  FLVAVTagReader* closed = FLVAVTagReader_Create();
  FLVStreamParser* stopped = FLVStreamParser_Create();
  FLVStreamParser* running = FLVStreamParser_Create();
  ASSERT_EQ(FLVStreamParser_Run(running), 1);
  FLVInfo info{};
  FLVTag* tag = nullptr;
  std::uint32_t duration = 7, audio = 7, video = 7;
  std::uint8_t byte = 0x46;
  std::int64_t ranges = 7, bytes = 7, first = 7;
  const auto* notFlv = reinterpret_cast<const std::uint8_t*>("XLV\1\5\0\0\0\x09");
  // A decoder holding a picture: in its row below only the null time is wrong.
  FLVAVTagReader* file = FLVAVTagReader_Create();
  FLVTag* frame = nullptr;
  VexmarVideoDecoder* decoder = VDD_Create();
  ASSERT_EQ(FLVAVTagReader_Open(file, FixturePath("real/ruffle-rs_ruffle_dummy.flv").c_str()), 1);
  ASSERT_EQ(FLVAVTagReader_ReadTag(file, 1, FLV_TAG_TYPE_VIDEO, &frame, &audio), FLV_READER_OK);
  ASSERT_TRUE(VDD_Open(decoder, VEXMAR_CODEC_FLV1) &&
              VDD_SendPacket(decoder, frame->videoData, frame->videoDataSize, 40, 1));
  std::uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  std::int64_t time = 0;
  const std::pair<int, std::function<int()>> rows[] = {
      {0, [&] { return FLVAVTagReader_Open(nullptr, "x.flv"); }},
      {0, [&] { return FLVAVTagReader_Open(closed, nullptr); }},
      {0, [&] { return FLVAVTagReader_Open(closed, "/no/such/file.flv"); }},
      {FLV_READER_NOT_OPEN, [&] { return FLVAVTagReader_ReadTag(nullptr, 1, 0, &tag, &duration); }},
      {FLV_READER_NOT_OPEN, [&] { return FLVAVTagReader_ReadTag(closed, 1, 0, &tag, &duration); }},
      {FLV_READER_NOT_OPEN, [&] { return FLVAVTagReader_Seek(nullptr, FLV_TAG_TYPE_AUDIO, 0); }},
      {FLV_READER_NOT_OPEN, [&] { return FLVAVTagReader_Seek(closed, FLV_TAG_TYPE_AUDIO, 0); }},
      {0, [&] { return FLVAVTagReader_GetFLVInfo(nullptr, &info); }},
      {0, [&] { return FLVAVTagReader_GetFLVInfo(closed, &info); }},
      {0, [&] { return FLVAVTagReader_GetSkippedBytes(nullptr, &ranges, &bytes, &first); }},
      {-1, [&] { return FLVAVTagReader_Close(nullptr); }},
      {0, [&] { return FLVStreamParser_Run(nullptr); }},
      {FLV_PARSER_NOT_RUNNING, [&] { return FLVStreamParser_DeliverData(stopped, &byte, 1); }},
      {FLV_PARSER_NO_DATA, [&] { return FLVStreamParser_DeliverData(running, nullptr, 1); }},
      {FLV_PARSER_NO_DATA, [&] { return FLVStreamParser_DeliverData(running, &byte, 0); }},
      {FLV_PARSER_STREAM_ERROR, [&] { return FLVStreamParser_DeliverData(running, notFlv, 9); }},
      {0, [&] { return FLVStreamDecoder_DecodeFLVTag(nullptr, nullptr, nullptr, nullptr); }},
      {0, [&] { return FLVStreamDecoder_DeliverFLVPacket(nullptr, nullptr); }},
      {0, [&] { return FLVStreamDecoder_SetSampleRate(nullptr, 44100); }},
      {0, [&] { return FLVStream_SetSampleRate(nullptr, 44100); }},
      {0, [&] { return AudioFrameReader_Create(closed) != nullptr; }},
      {0, [&] { return VideoFrameReader_Create(nullptr, 25, 0) != nullptr; }},
      {0, [&] { return AudioFrameReader_ReadFrame(nullptr, &byte, 1); }},
      {0, [&] { return VDD_ReceivePicture(decoder, &picture, &size, &width, &height, nullptr); }}};
  FLVAVTagReader_GetDuration(nullptr, &audio, &video);
  for (std::size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(rows[i].second(), rows[i].first) << "row " << i;
  EXPECT_EQ(std::tie(tag, duration, audio, video), std::make_tuple(nullptr, 7u, 0u, 0u));
  EXPECT_EQ(VDD_ReceivePicture(decoder, &picture, &size, &width, &height, &time), 1);
  EXPECT_EQ(std::tie(width, height, time), std::make_tuple(8, 8, 40));
  EXPECT_EQ(std::tie(ranges, bytes, first), std::make_tuple(0, 0, -1));
  VDD_Close(decoder);
  VDD_Delete(decoder);
  FLVAVTagReader_Delete(file);
  FLVStreamParser_Delete(running);
  FLVStreamParser_Delete(stopped);
  FLVAVTagReader_Delete(closed);
  FLVAVTagReader_Delete(nullptr);
  FLVStreamDecoder_Delete(nullptr);
  FLVStream_Delete(nullptr);
  FLVStreamParser_DeleteFLVTag(nullptr, nullptr);
}

// Each file's audio end, its tags (-1: not counted) and the code that ends the
// reading. Holes in the audio that nothing confirms (video at 0 then audio 49
// days later; an empty audio tag then audio 24 days on) close as at most one
// minute of silence; video running through a hole confirms it.
TEST(ReaderBadInput, DamagedFiles) {
  const Bytes pcm(1764, 0x10);  // 10 ms
  FlvBuilder lateAudio, audioOnly, confirmed;
  lateAudio.Header().Video(0, 1, 2, H263PictureHeader(2));
  audioOnly.Header(FlvHeaderOptions{.hasVideo = false});
  confirmed.Header();
  for (int i = 0; i < 10; ++i) {
    lateAudio.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, pcm);
    audioOnly.Audio(i * 10, 3, 3, 1, 1, i < 9 ? pcm : Bytes{});
    confirmed.Audio(i * 10, 3, 3, 1, 1, i < 9 ? pcm : Bytes{});
  }
  for (std::uint32_t t = 90; t <= 90000; t += 1000)
    confirmed.Video(t, t == 90 ? 1 : 2, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) {
    audioOnly.Audio(0x7F000000u + i * 10, 3, 3, 1, 1, pcm);
    confirmed.Audio(90000 + i * 10, 3, 3, 1, 1, pcm);
  }
  // `tags` tags of 10 ms each, stamped from `first`.
  const auto pcmStream = [&](int tags, std::uint32_t first, std::uint32_t dataOffset = 9) {
    FlvBuilder flv;
    flv.Header(FlvHeaderOptions{.hasVideo = false, .dataOffset = dataOffset});
    for (int i = 0; i < tags; ++i) flv.Audio(first + i * 10, 3, 3, 1, 1, pcm);
    return flv.bytes();
  };
  const std::tuple<const char*, Bytes, std::uint32_t, int> rows[] = {
      // A data offset that leaves nothing to skip drops the rest of the stream.
      {"offset_5", pcmStream(5, 0, 5), 0, 0},
      // Stamps with the extension byte set are rebased on the first tag,
      // whether or not they wrap past 2^32.
      {"near_2_32", pcmStream(20, 0xFFFFF000u), 200, 20},
      {"wrapping_2_32", pcmStream(40, 0xFFFFFF00u), 400, 40},
      {"late_audio", lateAudio.bytes(), 60100, -1},
      {"audio_only_hole", audioOnly.bytes(), 60090 + 100, -1},
      {"confirmed_hole", confirmed.bytes(), 90100, -1}};
  for (const auto& [name, bytes, audioEnd, tags] : rows) {
    SCOPED_TRACE(name);
    const std::string path = TestTempDir() + "/" + name + ".flv";
    WriteWholeFile(path, bytes);
    FLVAVTagReader* reader = FLVAVTagReader_Create();
    ASSERT_EQ(FLVAVTagReader_Open(reader, path.c_str()), 1);
    std::uint32_t audio = 0, video = 0, duration = 0;
    FLVAVTagReader_GetDuration(reader, &audio, &video);
    EXPECT_EQ(audio, audioEnd);
    int count = 0, code;
    for (FLVTag* tag = nullptr;
         (code = FLVAVTagReader_ReadTag(reader, 0, 0, &tag, &duration)) == FLV_READER_OK;)
      ++count;
    EXPECT_EQ(code, FLV_READER_END);
    if (tags >= 0) { EXPECT_EQ(count, tags); }
    FLVAVTagReader_Delete(reader);
  }
}

}  // namespace
}  // namespace kelvra::test
