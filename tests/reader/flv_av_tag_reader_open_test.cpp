// Opening files with the tag reader: the index, the computed information,
// the durations, Assign, and files that are damaged or not FLV at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "reader/reader_test_util.h"

namespace kelvra::test {
namespace {

FLVInfo Sentinel() {
  FLVInfo info;
  std::memset(&info, 0x5A, sizeof info);
  return info;
}

bool IsSentinel(const FLVInfo& info) {
  const FLVInfo sentinel = Sentinel();
  return std::memcmp(&info, &sentinel, sizeof info) == 0;
}

FLVInfo ComputedInfo(::FLVAVTagReader* reader) {
  FLVInfo info = Sentinel();
  EXPECT_EQ(FLVAVTagReader_GetFLVInfoEx(reader, &info), 1);
  return info;
}

struct Durations {
  std::uint32_t audio = 0xDEAD;
  std::uint32_t video = 0xDEAD;
};

Durations DurationsOf(::FLVAVTagReader* reader) {
  Durations d;
  FLVAVTagReader_GetDuration(reader, &d.audio, &d.video);
  return d;
}

int MinInterval(::FLVAVTagReader* reader) {
  int interval = -12345;
  EXPECT_EQ(FLVAVTagReader_GetMinIntervaledFrameTime(reader, &interval), 1);
  return interval;
}

std::string AudioVideoFile(const std::string& name) {
  return TaggedFlv().Script().Pcm(0).Key(0).Pcm(20).Pcm(40).Inter(40).Pcm(60).Write(name);
}

// Files built tag by tag and what the reader makes of them: each entry's
// duration (the gap to the next tag of its kind, at least 1 ms for video;
// the last audio block plays its own length, the last frame one frame
// interval), the end times, the smallest forward video step and the
// computed information. kAny: not checked in that row.
constexpr int kAny = -99;
using Ms = std::vector<std::uint32_t>;

struct OpenRow {
  const char* name;
  std::function<std::string()> file;
  Ms audioDurations, videoDurations;  // empty: not checked
  int audioEnd, videoEnd, minInterval;
  int videoCodec, width, height, audioFormat, audioBitRate, videoBitRate;
  double frameRate, duration;
};

void ExpectIf(double actual, double expected, const char* what) {
  if (expected != kAny) EXPECT_DOUBLE_EQ(actual, expected) << what;
}

class TagReaderOpen : public testing::TestWithParam<OpenRow> {};

TEST_P(TagReaderOpen, IndexDurationsAndInformation) {
  const OpenRow& row = GetParam();
  ReaderPtr reader = OpenReader(row.file());
  if (!row.audioDurations.empty()) {
    EXPECT_EQ(Column(ReadAll(reader.get(), FLV_TAG_TYPE_AUDIO), &ReadTagRecord::duration), row.audioDurations);
  }
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  if (!row.videoDurations.empty()) {
    EXPECT_EQ(Column(ReadAll(reader.get(), FLV_TAG_TYPE_VIDEO), &ReadTagRecord::duration), row.videoDurations);
  }
  const Durations d = DurationsOf(reader.get());
  ExpectIf(d.audio, row.audioEnd, "audio end");
  ExpectIf(d.video, row.videoEnd, "video end");
  ExpectIf(MinInterval(reader.get()), row.minInterval, "smallest interval");
  const FLVInfo info = ComputedInfo(reader.get());
  EXPECT_EQ(info.version, 1);
  ExpectIf(info.videoCodec, row.videoCodec, "video codec");
  ExpectIf(info.width, row.width, "width");
  ExpectIf(info.height, row.height, "height");
  ExpectIf(info.audioFormat, row.audioFormat, "audio format");
  ExpectIf(info.audioBitRate, row.audioBitRate, "audio bit rate");
  ExpectIf(info.videoBitRate, row.videoBitRate, "video bit rate");
  ExpectIf(info.frameRate, row.frameRate, "frame rate");
  ExpectIf(info.duration, row.duration, "duration");
  if (info.audioFormat == kPcmLittleEndian) {
    EXPECT_EQ(info.sampleRate, 44100);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.bitsPerSample, 8);
  }
  // What the parser announced: the formats, but no bit rates.
  FLVInfo delivered = Sentinel();
  ASSERT_EQ(FLVAVTagReader_GetFLVInfo(reader.get(), &delivered), 1);
  EXPECT_EQ(delivered.audioFormat, info.audioFormat);
  EXPECT_EQ(delivered.videoCodec, info.videoCodec);
  EXPECT_EQ(delivered.audioBitRate, 0);
}

std::string ZeroLengthLastAudio() {
  TaggedFlv flv(FlvHeaderOptions{.hasVideo = false});
  flv.Pcm(0).Pcm(20);
  FlvBuilder tail;  // a bare tag with no body, after the file's own
  tail.Tag(FLV_TAG_TYPE_AUDIO, 40, {});
  return flv.Raw(tail.bytes()).Write("zero_length_last_audio.flv");
}

constexpr FlvHeaderOptions kAudioOnly{.hasVideo = false};
INSTANTIATE_TEST_SUITE_P(
    Rows, TagReaderOpen,
    testing::Values(
        // Three bodies of 883 bytes (flags byte and payload) over 40 ms.
        OpenRow{"AudioOnly", [] { return TaggedFlv(kAudioOnly).Pcm(0).Pcm(20).Pcm(40).Write("a.flv"); },
                {20, 20, 20}, {}, 60, 0, 0, -1, 0, 0, kPcmLittleEndian, 3 * 883 * 8 * 25, 0, 0.0, 0.040},
        // Equal time stamps, then a step back: five frames over 100 ms are
        // 50 frames/s; the equal pair gives the smallest step 0. Only the
        // parser's own empty audio tag: no audio information.
        OpenRow{"VideoSteps", [] { return TaggedFlv().Key(0).Inter(40).Inter(40).Inter(20).Inter(100).Write("v.flv"); },
                {}, {40, 1, 1, 80, 20}, 0, 120, 0, kSorensonH263, 320, 240, -1, kAny, kAny, 50.0, 0.1},
        // Steps 100, wrapped (ignored), 60, 70.
        OpenRow{"SmallestForwardStep", [] { return TaggedFlv().Key(0).Inter(100).Inter(60).Inter(120).Inter(190).Write("m.flv"); },
                {}, {}, kAny, kAny, 60, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},
        // Without a frame rate the last frame has no duration.
        OpenRow{"AllAtTimeZero", [] { return TaggedFlv().Pcm(0).Key(0).Key(0).Write("z.flv"); },
                {}, {1, 0}, 20, 0, kAny, kSorensonH263, kAny, kAny, kAny, 0, 0, 0.0, 0.0},
        OpenRow{"SizeFromTheFirstKeyFrame", [] {
                  return TaggedFlv().Inter(0, kH263Size352x288).Inter(40, kH263Size352x288)
                      .Key(80, kH263Size320x240).Key(120, kH263Size160x120).Write("k.flv"); },
                {}, {}, kAny, kAny, kAny, kSorensonH263, 320, 240, kAny, kAny, kAny, kAny, kAny},
        OpenRow{"LastBlockOfUnknownDuration", [] {
                  return TaggedFlv(kAudioOnly).Pcm(0).Pcm(20).Audio(40, kDeviceSpecificSound, Bytes(50, 0x11))
                      .Write("u.flv"); },
                {20, 20, 0}, {}, 40, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny, kAny},
        OpenRow{"ZeroLengthLastAudioTag", ZeroLengthLastAudio, {20, 20, 0}, {}, 40, kAny, kAny, kAny,
                kAny, kAny, kAny, kAny, kAny, kAny, kAny}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TagReaderOpen, OpeningAnotherFileDescribesOnlyThatFile) {
  const std::string both = AudioVideoFile("reopen_av.flv");
  TaggedFlv audioOnly(FlvHeaderOptions{.hasVideo = false});
  audioOnly.Pcm(0, kPcm20MsBytes / 2);
  const std::string audio = audioOnly.Write("reopen_audio.flv");

  ReaderPtr reader = OpenReader(both);
  const FLVInfo first = ComputedInfo(reader.get());
  const Durations firstDurations = DurationsOf(reader.get());
  ASSERT_EQ(first.videoCodec, kSorensonH263);
  ASSERT_EQ(MinInterval(reader.get()), 40);

  // No Close in between.
  ASSERT_EQ(FLVAVTagReader_Open(reader.get(), audio.c_str()), 1);
  const FLVInfo second = ComputedInfo(reader.get());
  EXPECT_EQ(second.videoCodec, -1);
  EXPECT_EQ(second.width, 0);
  EXPECT_EQ(second.videoBitRate, 0);
  EXPECT_EQ(second.frameRate, 0.0);
  EXPECT_EQ(MinInterval(reader.get()), 0);
  const Durations d = DurationsOf(reader.get());
  EXPECT_EQ(d.video, 0u);
  EXPECT_EQ(d.audio, kPcmBlockMs / 2);
  EXPECT_EQ(ReadAll(reader.get(), 0).size(), 1u);

  ASSERT_EQ(FLVAVTagReader_Open(reader.get(), both.c_str()), 1);
  const FLVInfo again = ComputedInfo(reader.get());
  EXPECT_EQ(std::memcmp(&again, &first, sizeof again), 0);
  const Durations againDurations = DurationsOf(reader.get());
  EXPECT_EQ(againDurations.audio, firstDurations.audio);
  EXPECT_EQ(againDurations.video, firstDurations.video);
}

TEST(TagReaderOpen, ClosedReadersAnswerNothing) {
  ReaderPtr never = NewReader();
  ReaderPtr closed = OpenReader(AudioVideoFile("closed.flv"));
  EXPECT_EQ(FLVAVTagReader_Close(closed.get()), -1);
  EXPECT_EQ(FLVAVTagReader_Close(closed.get()), -1);
  // Assigned from a reader that never opened: closed as well.
  ReaderPtr assigned = OpenReader(AudioVideoFile("assign_closed.flv"));
  EXPECT_EQ(FLVAVTagReader_Assign(never.get(), assigned.get()), 0);

  for (::FLVAVTagReader* reader : {never.get(), closed.get(), assigned.get()}) {
    const Durations d = DurationsOf(reader);
    EXPECT_EQ(d.audio, 0u);
    EXPECT_EQ(d.video, 0u);
    FLVInfo info = Sentinel();
    EXPECT_EQ(FLVAVTagReader_GetFLVInfo(reader, &info), 0);
    EXPECT_EQ(FLVAVTagReader_GetFLVInfoEx(reader, &info), 0);
    EXPECT_TRUE(IsSentinel(info));
    int interval = 77;
    EXPECT_EQ(FLVAVTagReader_GetMinIntervaledFrameTime(reader, &interval), 0);
    EXPECT_EQ(interval, 77);
    FLVTag* tag = nullptr;
    std::uint32_t duration = 5;
    EXPECT_EQ(FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration), FLV_READER_NOT_OPEN);
    EXPECT_EQ(tag, nullptr);
    EXPECT_EQ(duration, 5u);
    EXPECT_EQ(FLVAVTagReader_Seek(reader, FLV_TAG_TYPE_AUDIO, 0), FLV_READER_NOT_OPEN);
    EXPECT_EQ(FLVAVTagReader_Seek(reader, 18, 0), FLV_READER_NOT_OPEN);
    EXPECT_EQ(FLVAVTagReader_SeekToBegin(reader), FLV_READER_OK);
    std::uint32_t timestamp = 9;
    EXPECT_EQ(FLVAVTagReader_GetNextKeyFrameTimeStamp(reader, 0, &timestamp), 0);
    EXPECT_EQ(timestamp, 9u);
  }
  FLVAVTagReader_Delete(nullptr);
}

// ---------------------------------------------------------------------------
// Assign

TEST(TagReaderAssign, FromAnOpenReaderGivesAnIndependentCopyAtTheSamePlace) {
  const std::string path = AudioVideoFile("assign_open.flv");
  ReaderPtr source = OpenReader(path);
  const std::vector<ReadTagRecord> all = ReadAll(source.get(), 0);
  ASSERT_EQ(all.size(), 7u);
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(source.get()), FLV_READER_OK);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(FLVAVTagReader_ReadTag(source.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  }

  ReaderPtr destination = OpenReader(path);  // an open destination is closed first
  ASSERT_EQ(FLVAVTagReader_Assign(source.get(), destination.get()), 1);
  const FLVInfo sourceInfo = ComputedInfo(source.get());
  const FLVInfo copyInfo = ComputedInfo(destination.get());
  EXPECT_EQ(std::memcmp(&copyInfo, &sourceInfo, sizeof copyInfo), 0);
  const Durations s = DurationsOf(source.get());
  const Durations d = DurationsOf(destination.get());
  EXPECT_EQ(d.audio, s.audio);
  EXPECT_EQ(d.video, s.video);
  EXPECT_EQ(MinInterval(destination.get()), MinInterval(source.get()));

  // Each goes on from the fourth tag with its own file.
  const std::vector<ReadTagRecord> rest = ReadAll(destination.get(), 0);
  ASSERT_EQ(rest.size(), 4u);
  EXPECT_EQ(rest[0].filePosition, all[3].filePosition);
  ASSERT_EQ(FLVAVTagReader_ReadTag(source.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->filePosition, all[3].filePosition);

  // The copy outlives its source.
  source.reset();
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(destination.get()), FLV_READER_OK);
  EXPECT_EQ(ReadAll(destination.get(), 0).size(), all.size());
}

TEST(TagReaderAssign, FromAReaderAtTheEndGivesAnOpenCopyAtTheEnd) {
  ReaderPtr source = OpenReader(AudioVideoFile("assign_end.flv"));
  ReadAll(source.get(), 0);
  ReaderPtr destination = NewReader();
  ASSERT_EQ(FLVAVTagReader_Assign(source.get(), destination.get()), 1);
  EXPECT_TRUE(ReadAll(destination.get(), 0).empty());
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(destination.get()), FLV_READER_OK);
  EXPECT_EQ(ReadAll(destination.get(), 0).size(), 7u);
}

TEST(TagReaderAssign, WhenTheFileIsGoneTheCopyIsClosed) {
  const std::string path = AudioVideoFile("assign_gone.flv");
  ReaderPtr source = OpenReader(path);
  std::filesystem::remove(path);
  ReaderPtr destination = NewReader();
  EXPECT_EQ(FLVAVTagReader_Assign(source.get(), destination.get()), 0);
  // The copy keeps the index but has no file to read it from.
  EXPECT_EQ(FLVAVTagReader_SeekToBegin(destination.get()), FLV_READER_READ_ERROR);
  // A later open starts from nothing.
  const std::string other = TaggedFlv().Pcm(0).Write("assign_gone_other.flv");
  ASSERT_EQ(FLVAVTagReader_Open(destination.get(), other.c_str()), 1);
  EXPECT_EQ(ReadAll(destination.get(), 0).size(), 1u);
}

// ---------------------------------------------------------------------------
// Damaged and foreign files

// A file that is not FLV, and one that is only an FLV header.
TEST(TagReaderBadInput, FilesWithoutTagsOpenWithAnEmptyIndex) {
  const std::string notFlv = TestTempDir() + "/not_flv.txt";
  std::ofstream(notFlv) << "This is a plain text file, not a video.\n";
  for (const std::string& path : {notFlv, FixturePath("real/mondain_red5_flvMetaData_test_headeronly.flv")}) {
    SCOPED_TRACE(path);
    ReaderPtr reader = OpenReader(path);
    for (auto get : {FLVAVTagReader_GetFLVInfo, FLVAVTagReader_GetFLVInfoEx}) {
      FLVInfo info = Sentinel();
      ASSERT_EQ(get(reader.get(), &info), 1);
      EXPECT_EQ(info.videoCodec, -1);
      EXPECT_EQ(info.audioFormat, -1);
    }
    const Durations d = DurationsOf(reader.get());
    EXPECT_EQ(d.audio, 0u);
    EXPECT_EQ(d.video, 0u);
    EXPECT_TRUE(ReadAll(reader.get(), 0).empty());
    EXPECT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
    EXPECT_EQ(FLVAVTagReader_Seek(reader.get(), FLV_TAG_TYPE_AUDIO, 0),
              FLV_READER_SEEK_NO_TAG_AFTER);
  }
}

TEST(TagReaderBadInput, AMissingFileFailsQuietly) {
  ReaderPtr reader = NewReader();
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), (TestTempDir() + "/no_such.flv").c_str()), 0);
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), nullptr), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  EXPECT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_NOT_OPEN);
}

TEST(TagReaderBadInput, AReadErrorIsReportedWithTheSystemsText) {
  // A folder opens for reading but fails at the first read.
  const std::string folder = TestTempDir() + "/a_folder.flv";
  std::filesystem::create_directories(folder);
  ReaderPtr reader = NewReader();
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), folder.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Read error: ") + std::strerror(EISDIR) + "\n");
  FLVInfo info = Sentinel();
  EXPECT_EQ(FLVAVTagReader_GetFLVInfoEx(reader.get(), &info), 0);
}

TEST(TagReaderBadInput, CutFilesKeepEveryCompleteTag) {
  // Small bodies keep the cut at every byte quick.
  TaggedFlv flv;
  flv.Script().Pcm(0, 9).Key(0).Pcm(20, 9).Inter(40);
  const Bytes& whole = flv.bytes();
  const std::size_t tagCount = 5;
  auto tagEnd = [&](std::size_t i) {
    return i + 1 < tagCount ? static_cast<std::size_t>(flv.Position(i + 1)) : whole.size();
  };
  const std::string path = TestTempDir() + "/cut.flv";
  ReaderPtr reader = NewReader();
  for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
    WriteWholeFile(path, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << "cut at " << cut;
    std::size_t complete = 0;
    while (complete < tagCount && tagEnd(complete) <= cut) ++complete;
    EXPECT_EQ(ReadAll(reader.get(), 0).size(), complete) << "cut at " << cut;
  }
}

TEST(TagReaderBadInput, ADataSizePointingPastTheEndLosesOnlyThatTag) {
  TaggedFlv flv;
  flv.Pcm(0).Key(0);
  FlvBuilder huge;
  huge.Tag(FLV_TAG_TYPE_VIDEO, 40, Bytes(64, 0x17));
  Bytes lying = huge.bytes();
  lying[1] = lying[2] = lying[3] = 0xFF;  // data size 16 MiB - 1
  flv.Raw(lying);
  ReaderPtr reader = OpenReader(flv.Write("past_the_end.flv"));
  EXPECT_EQ(ReadAll(reader.get(), 0).size(), 2u);
}

}  // namespace
}  // namespace kelvra::test
