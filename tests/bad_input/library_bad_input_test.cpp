// Bad input through the library itself: null handles and bad arguments at the
// C interface, and the tag reader on damaged files.
#include <gtest/gtest.h>

#include <functional>

#include "bad_input/bad_input_support.h"
#include "kelvra.h"

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
      {FLV_PARSER_STREAM_ERROR, [&] { return FLVStreamParser_DeliverData(running, (const std::uint8_t*)"XLV\1\5\0\0\0\x09", 9); }},
      {0, [&] { return FLVStreamDecoder_DecodeFLVTag(nullptr, nullptr, nullptr, nullptr); }},
      {0, [&] { return FLVStreamDecoder_DeliverFLVPacket(nullptr, nullptr); }},
      {0, [&] { return FLVStreamDecoder_SetSampleRate(nullptr, 44100); }},
      {0, [&] { return FLVStream_SetSampleRate(nullptr, 44100); }},
      {0, [&] { return AudioFrameReader_Create(closed) != nullptr; }},
      {0, [&] { return VideoFrameReader_Create(nullptr, 25, 0) != nullptr; }},
      {0, [&] { return AudioFrameReader_ReadFrame(nullptr, &byte, 1); }},
  };
  FLVAVTagReader_GetDuration(nullptr, &audio, &video);
  for (std::size_t i = 0; i < std::size(rows); ++i) EXPECT_EQ(rows[i].second(), rows[i].first) << "row " << i;
  EXPECT_EQ(tag, nullptr);
  EXPECT_EQ(duration, 7u);
  EXPECT_EQ(audio + video, 0u);
  EXPECT_EQ(ranges + bytes, 0);
  EXPECT_EQ(first, -1);
  FLVStreamParser_Delete(running);
  FLVStreamParser_Delete(stopped);
  FLVAVTagReader_Delete(closed);
  FLVAVTagReader_Delete(nullptr);
  FLVStreamDecoder_Delete(nullptr);
  FLVStream_Delete(nullptr);
  FLVStreamParser_DeleteFLVTag(nullptr, nullptr);
}

// The audio end the reader gives `bytes` written as a file (-1: not opened),
// and the tags it reads from it until the code that ends the reading.
struct ReadBack {
  std::int64_t audioEnd = -1;
  int tags = 0, endCode = -1;
};
ReadBack ReadFile(const Bytes& bytes) {
  const std::string path = ScratchPath("input.flv");
  WriteWholeFile(path, bytes);
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  ReadBack read;
  if (FLVAVTagReader_Open(reader, path.c_str()) == 1) {
    std::uint32_t audio = 0, video = 0, duration = 0;
    FLVAVTagReader_GetDuration(reader, &audio, &video);
    read.audioEnd = audio;
    FLVTag* tag = nullptr;
    while ((read.endCode = FLVAVTagReader_ReadTag(reader, 0, 0, &tag, &duration)) == FLV_READER_OK) ++read.tags;
  }
  FLVAVTagReader_Delete(reader);
  return read;
}

TEST(ReaderBadInput, DamagedFiles) {
  const Bytes pcm(1764, 0x10);
  // Video at 0, then audio 49 days later; an empty audio tag, then audio 24
  // days on with no video at all: each hole is closed as at most one minute
  // of silence. Video running through a hole confirms it, however long.
  FlvBuilder lateAudio, audioOnly, confirmed;
  lateAudio.Header().Video(0, 1, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) lateAudio.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, pcm);
  audioOnly.Header(FlvHeaderOptions{.hasVideo = false});
  confirmed.Header();
  for (FlvBuilder* flv : {&audioOnly, &confirmed}) {
    for (int i = 0; i < 10; ++i) flv->Audio(i * 10, 3, 3, 1, 1, pcm);
    flv->Audio(100, 3, 3, 1, 1, {});
  }
  for (int i = 0; i < 10; ++i) audioOnly.Audio(0x7F000000u + i * 10, 3, 3, 1, 1, pcm);
  for (std::uint32_t t = 100; t <= 90000; t += 1000) confirmed.Video(t, t == 100 ? 1 : 2, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) confirmed.Audio(90000 + i * 10, 3, 3, 1, 1, pcm);
  const struct {
    const char* name;
    Bytes bytes;
    std::int64_t audioEnd;
    int tags, endCode;  // tags -1: not counted
  } rows[] = {
      // A data offset that leaves nothing to skip drops the rest of the stream.
      {"offset_0", Concat(HeaderWithOffset(0), PcmTags(5)), 0, 0, FLV_READER_END},
      {"offset_5", Concat(HeaderWithOffset(5), PcmTags(5)), 0, 0, FLV_READER_END},
      // Stamps with the extension byte set are rebased on the first tag,
      // whether or not they wrap past 2^32.
      {"near_2_32", PcmStream(20, 0xFFFFF000u).bytes(), 200, 20, FLV_READER_END},
      {"wrapping_2_32", PcmStream(40, 0xFFFFFF00u).bytes(), 400, 40, FLV_READER_END},
      {"late_audio", lateAudio.bytes(), 60100, -1, FLV_READER_END},
      {"audio_only_hole", audioOnly.bytes(), 60200, -1, FLV_READER_END},
      {"confirmed_hole", confirmed.bytes(), 90100, -1, FLV_READER_END},
  };
  for (const auto& row : rows) {
    const ReadBack read = ReadFile(row.bytes);
    EXPECT_EQ(read.audioEnd, row.audioEnd) << row.name;
    if (row.tags >= 0) { EXPECT_EQ(read.tags, row.tags) << row.name; }
    EXPECT_EQ(read.endCode, row.endCode) << row.name;
  }
}

}  // namespace
}  // namespace kelvra::test
