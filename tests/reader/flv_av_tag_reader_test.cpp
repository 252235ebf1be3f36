// The tag reader on files built tag by tag: the index, reading, ownership of the records
// handed out, Assign, seeking, damaged files and a file beyond 4 GiB.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "kelvra.h"
#include "reader/flv_av_tag_reader.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

constexpr int kAudio = FLV_TAG_TYPE_AUDIO, kVideo = FLV_TAG_TYPE_VIDEO,
              kScript = FLV_TAG_TYPE_SCRIPT_DATA;
constexpr int kPcm = 3, kH263 = 2;

// Remembers where each tag begins. PCM 44.1 kHz 8-bit mono: 882 bytes play 20 ms, as the
// time stamps say. Key frames are 320 x 240 unless told, inter frames declare 352 x 288.
class TaggedFlv {
 public:
  explicit TaggedFlv(const FlvHeaderOptions& header = {}) { b_.Header(header); }
  TaggedFlv& Pcm(std::uint32_t t, std::size_t bytes = 882, std::uint8_t fill = 0x80) {
    return Audio(t, kPcm, Bytes(bytes, fill));
  }
  TaggedFlv& Audio(std::uint32_t t, int format, const Bytes& payload) {
    return Note(), b_.Audio(t, format, 3, 0, 0, payload), *this;
  }
  TaggedFlv& Key(std::uint32_t t, int sizeCode = 5) {
    return Note(), b_.Video(t, 1, kH263, H263PictureHeader(sizeCode)), *this;
  }
  TaggedFlv& Inter(std::uint32_t t) {
    return Note(), b_.Video(t, 2, kH263, H263PictureHeader(2)), *this;
  }
  TaggedFlv& Script(std::uint32_t t = 0) {
    return Note(), b_.Script(t, Bytes{0x02, 0x00, 0x01, 'x', 0x05}), *this;
  }
  TaggedFlv& Raw(const Bytes& bytes) { return b_.Raw(bytes), *this; }
  std::int64_t Position(std::size_t i) const { return positions_.at(i); }
  const Bytes& bytes() const { return b_.bytes(); }
  std::string Write(const std::string& name) const {
    b_.WriteTo(TestTempDir() + "/" + name);
    return TestTempDir() + "/" + name;
  }

 private:
  void Note() { positions_.push_back(static_cast<std::int64_t>(b_.size())); }
  FlvBuilder b_;
  std::vector<std::int64_t> positions_;
};

using ReaderPtr = std::unique_ptr<::FLVAVTagReader, decltype(&FLVAVTagReader_Delete)>;

ReaderPtr OpenReader(const std::string& path = "") {
  ReaderPtr reader(FLVAVTagReader_Create(), &FLVAVTagReader_Delete);
  if (!path.empty()) { EXPECT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << path; }
  return reader;
}

struct Record {
  int tagType;
  std::uint32_t timestamp, duration;
  std::int64_t filePosition;
  bool hasBlock;
};

// Reads until the reader answers anything but success, which must be "no more tags".
std::vector<Record> ReadAll(::FLVAVTagReader* reader, int typeFilter = 0, int copyData = 1) {
  std::vector<Record> records;
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  int code = FLV_READER_OK;
  while ((code = FLVAVTagReader_ReadTag(reader, copyData, typeFilter, &tag, &duration)) ==
         FLV_READER_OK) {
    records.push_back(
        {tag->tagType, tag->timestamp, duration, tag->filePosition, tag->block != nullptr});
  }
  EXPECT_EQ(code, FLV_READER_END) << "after " << records.size() << " tags";
  return records;
}

std::vector<std::uint32_t> Durations(const std::vector<Record>& records) {
  std::vector<std::uint32_t> values;
  for (const Record& record : records) values.push_back(record.duration);
  return values;
}

// The next tag (of the type asked for), null when the read answers `code` instead.
FLVTag* Next(::FLVAVTagReader* reader, int typeFilter = 0, int code = FLV_READER_OK) {
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  EXPECT_EQ(FLVAVTagReader_ReadTag(reader, 1, typeFilter, &tag, &duration), code);
  return code == FLV_READER_OK ? tag : nullptr;
}

// What Open computed.
struct Summary {
  std::uint32_t audioEnd = 0xDEAD, videoEnd = 0xDEAD;
  int minInterval = -1, infoAnswer = -1;
  FLVInfo info{};
};

Summary Summarise(::FLVAVTagReader* reader) {
  Summary s;
  FLVAVTagReader_GetDuration(reader, &s.audioEnd, &s.videoEnd);
  FLVAVTagReader_GetMinIntervaledFrameTime(reader, &s.minInterval);
  s.infoAnswer = FLVAVTagReader_GetFLVInfoEx(reader, &s.info);
  return s;
}

std::string AudioVideoFile(const std::string& name) {
  return TaggedFlv().Script().Pcm(0).Key(0).Pcm(20).Pcm(40).Inter(40).Pcm(60).Write(name);
}

// Each entry's duration is the gap to the next tag of its kind (at least
// 1 ms for video); the last audio block plays its own length, the last frame
// one frame interval. kAny: not checked in that row.
constexpr int kAny = -99;
using Ms = std::vector<std::uint32_t>;

struct OpenRow {
  const char* name;
  TaggedFlv flv = TaggedFlv();  // written under the row's name
  Ms audioDurations = {}, videoDurations = {};  // empty: not checked
  int audioEnd = kAny, videoEnd = kAny, minInterval = kAny, videoCodec = kAny, width = kAny,
      height = kAny, audioFormat = kAny, audioBitRate = kAny;
  double frameRate = kAny, duration = kAny;
  const char* fixture = nullptr;  // read instead of `flv`
};

class TagReaderOpen : public testing::TestWithParam<OpenRow> {};

TEST_P(TagReaderOpen, IndexDurationsAndInformation) {
  const OpenRow& row = GetParam();
  // Opened over another file without Close: nothing of the first may stay.
  ReaderPtr reader = OpenReader(AudioVideoFile("first.flv"));
  const std::string path = row.fixture ? FixturePath(row.fixture) : row.flv.Write(row.name);
  ASSERT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1);
  if (row.audioEnd == 0 && row.videoEnd == 0) {
    EXPECT_TRUE(ReadAll(reader.get()).empty());
    EXPECT_EQ(FLVAVTagReader_Seek(reader.get(), kAudio, 0), FLV_READER_SEEK_NO_TAG_AFTER);
  }
  if (!row.audioDurations.empty()) {
    EXPECT_EQ(Durations(ReadAll(reader.get(), kAudio)), row.audioDurations);
  }
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  if (!row.videoDurations.empty()) {
    EXPECT_EQ(Durations(ReadAll(reader.get(), kVideo)), row.videoDurations);
  }
  const Summary s = Summarise(reader.get());
  const FLVInfo& i = s.info;
  const double got[] = {double(s.audioEnd), double(s.videoEnd),  double(s.minInterval),
                        double(i.videoCodec), double(i.width),   double(i.height),
                        double(i.audioFormat), double(i.audioBitRate), i.frameRate, i.duration};
  const double want[] = {double(row.audioEnd), double(row.videoEnd), double(row.minInterval),
                         double(row.videoCodec), double(row.width), double(row.height),
                         double(row.audioFormat), double(row.audioBitRate), row.frameRate,
                         row.duration};
  for (int k = 0; k < 10; ++k) {
    if (want[k] != kAny) { EXPECT_DOUBLE_EQ(got[k], want[k]) << "value " << k; }
  }
  // What the parser announced: the formats, but no bit rates.
  FLVInfo delivered{};
  ASSERT_EQ(FLVAVTagReader_GetFLVInfo(reader.get(), &delivered), 1);
  EXPECT_EQ(std::tie(delivered.audioFormat, delivered.videoCodec, delivered.audioBitRate),
            std::tuple(i.audioFormat, i.videoCodec, 0));
}

constexpr FlvHeaderOptions kAudioOnly{.hasVideo = false};
INSTANTIATE_TEST_SUITE_P(
    Rows, TagReaderOpen,
    testing::Values(
        // Three bodies of 883 bytes (flags byte and payload) over 40 ms.
        OpenRow{"AudioOnly", TaggedFlv(kAudioOnly).Pcm(0).Pcm(20).Pcm(40), {20, 20, 20}, {}, 60,
                0, 0, -1, 0, 0, kPcm, 3 * 883 * 8 * 25, 0.0, 0.040},
        // Equal time stamps, then a step back: five frames over 100 ms are 50 frames/s; the
        // smallest step is 0. Only the parser's own empty audio tag: no audio information.
        OpenRow{"VideoSteps", TaggedFlv().Key(0).Inter(40).Inter(40).Inter(20).Inter(100), {},
                {40, 1, 1, 80, 20}, 0, 120, 0, kH263, 320, 240, -1, kAny, 50.0, 0.1},
        // Steps 100, wrapped (ignored), 60, 70.
        OpenRow{.name = "SmallestForwardStep",
                .flv = TaggedFlv().Key(0).Inter(100).Inter(60).Inter(120).Inter(190),
                .minInterval = 60},
        // Without a frame rate the last frame has no duration.
        OpenRow{.name = "AllAtTimeZero", .flv = TaggedFlv().Pcm(0).Key(0).Key(0),
                .videoDurations = {1, 0}, .audioEnd = 20, .videoEnd = 0, .videoCodec = kH263,
                .audioBitRate = 0, .frameRate = 0.0, .duration = 0.0},
        OpenRow{.name = "SizeFromTheFirstKeyFrame",
                .flv = TaggedFlv().Inter(0).Inter(40).Key(80).Key(120, 6),
                .videoCodec = kH263, .width = 320, .height = 240},
        // The parser's empty audio tag comes first and lasts until the first real one.
        OpenRow{.name = "VideoFirst", .flv = TaggedFlv().Key(0).Inter(40).Pcm(100).Pcm(120),
                .audioDurations = {100, 20, 20}},
        // Format 15 has no known duration; a bare tag with no body plays none.
        OpenRow{.name = "LastBlockOfUnknownDuration",
                .flv = TaggedFlv(kAudioOnly).Pcm(0).Pcm(20).Audio(40, 15, Bytes(9, 1)),
                .audioDurations = {20, 20, 0}, .audioEnd = 40},
        OpenRow{.name = "ZeroLengthLastAudioTag",
                .flv = TaggedFlv(kAudioOnly).Pcm(0).Pcm(20).Raw(
                    FlvBuilder().Tag(kAudio, 40, {}).bytes()),
                .audioDurations = {20, 20, 0}, .audioEnd = 40},
        // A lone FLV header holds no tag: an empty index (a text file: sonex_info_test).
        OpenRow{.name = "HeaderOnly", .audioEnd = 0, .videoEnd = 0, .videoCodec = -1,
                .audioFormat = -1, .fixture = "real/mondain_red5_flvMetaData_test_headeronly.flv"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TagReaderAssign, GivesAnIndependentCopyAtTheSamePlaceOrAClosedOneWhenTheFileIsGone) {
  const std::string path = AudioVideoFile("assign_open.flv");
  ReaderPtr source = OpenReader(path);
  const std::vector<Record> all = ReadAll(source.get());
  ASSERT_EQ(all.size(), 7u);
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(source.get()), FLV_READER_OK);
  for (int i = 0; i < 3; ++i) ASSERT_NE(Next(source.get()), nullptr);
  ReaderPtr copy = OpenReader(path);  // an open destination is closed first
  ASSERT_EQ(FLVAVTagReader_Assign(source.get(), copy.get()), 1);
  const Summary a = Summarise(source.get()), b = Summarise(copy.get());
  EXPECT_EQ(std::tie(a.audioEnd, a.videoEnd, a.minInterval),
            std::tie(b.audioEnd, b.videoEnd, b.minInterval));
  EXPECT_EQ(std::memcmp(&a.info, &b.info, sizeof a.info), 0);
  // Each goes on from the fourth tag with its own file; the copy outlives its source.
  const FLVTag* tag = Next(source.get());
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->filePosition, all[3].filePosition);
  source.reset();
  const std::vector<Record> rest = ReadAll(copy.get());
  ASSERT_EQ(rest.size(), 4u);
  EXPECT_EQ(rest[0].filePosition, all[3].filePosition);
  ReaderPtr orphan = OpenReader();
  std::filesystem::remove(path);
  EXPECT_EQ(FLVAVTagReader_Assign(copy.get(), orphan.get()), 0);
  EXPECT_EQ(FLVAVTagReader_SeekToBegin(orphan.get()), FLV_READER_READ_ERROR)
      << "an index without a file";
  // From a reader that never opened, the copy is closed (null results are tests/bad_input's).
  EXPECT_EQ(FLVAVTagReader_Assign(OpenReader().get(), copy.get()), 0);
  Next(copy.get(), 0, FLV_READER_NOT_OPEN);
  const Summary closed = Summarise(copy.get());
  EXPECT_EQ(std::tie(closed.infoAnswer, closed.audioEnd), std::tuple(0, 0u));
}

// A folder opens for reading but fails at the first read (a missing file: tests/bad_input).
TEST(TagReaderBadInput, AFolderIsAReadErrorWithTheSystemsText) {
  const std::string folder = TestTempDir() + "/a_folder.flv";
  std::filesystem::create_directories(folder);
  testing::internal::CaptureStderr();
  EXPECT_EQ(FLVAVTagReader_Open(OpenReader().get(), folder.c_str()), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string("Read error: ") + std::strerror(EISDIR) + "\n");
}

TEST(TagReaderBadInput, CutFilesKeepEveryCompleteTag) {
  TaggedFlv flv;  // small bodies keep the cut at every byte quick
  flv.Script().Pcm(0, 9).Key(0).Pcm(20, 9).Inter(40);
  const Bytes& whole = flv.bytes();
  const std::string path = TestTempDir() + "/cut.flv";
  ReaderPtr reader = OpenReader();
  for (std::size_t cut = 0, complete = 0; cut <= whole.size(); ++cut) {
    WriteWholeFile(path, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
    ASSERT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << "cut at " << cut;
    if (complete < 5 &&
        (complete + 1 < 5 ? std::size_t(flv.Position(complete + 1)) : whole.size()) <= cut)
      ++complete;
    EXPECT_EQ(ReadAll(reader.get()).size(), complete) << "cut at " << cut;
  }
}

// The tag's header copy and body are the file's bytes at its position.
void ExpectBlockMatchesFile(const FLVTag& tag, const Bytes& file) {
  ASSERT_NE(tag.block, nullptr);
  ASSERT_EQ(tag.data, tag.block + 11);
  const auto offset = static_cast<std::size_t>(tag.filePosition);
  ASSERT_LE(offset + 11 + tag.dataSize, file.size());
  EXPECT_EQ(std::memcmp(tag.block, file.data() + offset, 11 + tag.dataSize), 0)
      << "tag at " << offset;
}

TEST(TagReaderRead, TypeFiltersCopiedDataAndWhoOwnsTheRecords) {
  TaggedFlv flv;
  flv.Script().Pcm(0, 100, 0x61).Key(0).Pcm(20, 200, 0x62).Script(30).Inter(40);
  flv.Pcm(40, 300, 0x63).Pcm(60, 300, 0x64);
  ReaderPtr reader = OpenReader(flv.Write("filters.flv"));
  const std::vector<Record> all = ReadAll(reader.get());
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(std::tie(all[0].duration, all[4].duration), std::tuple(0u, 0u))
      << "script tags last nothing";
  for (int filter : {kAudio, kVideo, kScript}) {
    ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
    for (std::size_t i = 0; i < 2; ++i) {
      const FLVTag* tag = Next(reader.get(), filter);
      ASSERT_NE(tag, nullptr);
      EXPECT_EQ(tag->tagType, filter);
      ExpectBlockMatchesFile(*tag, flv.bytes());
    }
  }
  Next(reader.get(), kScript, FLV_READER_END);  // passing over the last tags
  Next(reader.get(), 0, FLV_READER_END);
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  for (const Record& record : ReadAll(reader.get(), 0, /*copyData=*/0))
    EXPECT_FALSE(record.hasBlock);
  // Records handed over outlive the reader; ownership switches per read.
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  const FLVTag* own = Next(reader.get(), kAudio);
  EXPECT_EQ(FLVAVTagReader_SetAutoReleaseMemory(reader.get(), 0), 0);
  // The video and script tags in between are skipped and must not stay allocated.
  std::vector<FLVTag*> mine{Next(reader.get(), kAudio), Next(reader.get(), kAudio)};
  ASSERT_TRUE(mine[0] != nullptr && mine[1] != nullptr && mine[0] != mine[1]);
  // With auto-release the reader hands out its own record again.
  EXPECT_EQ(FLVAVTagReader_SetAutoReleaseMemory(reader.get(), 1), 1);
  const FLVTag* later = Next(reader.get(), kAudio);
  ASSERT_EQ(later, own);
  EXPECT_EQ(later->audioData[0], 0x64);
  reader.reset();
  for (std::size_t i = 0; i < mine.size(); ++i) {
    ExpectBlockMatchesFile(*mine[i], flv.bytes());
    EXPECT_EQ(mine[i]->audioData[0], static_cast<int>(0x62 + i));
    FLVStreamParser_DeleteFLVTag(nullptr, mine[i]);
  }
}

TEST(TagReaderRead, AFailedReadIsRetriedFromTheSameTag) {
  TaggedFlv flv;  // tags well beyond the stdio buffer, so that the cut is seen
  flv.Pcm(0, 40000, 0x01).Pcm(20, 40000, 0x02).Pcm(40, 40000, 0x03);
  const std::string path = flv.Write("shrinking.flv");
  ReaderPtr reader = OpenReader(path);
  ASSERT_NE(Next(reader.get()), nullptr);
  ASSERT_EQ(truncate(path.c_str(), flv.Position(1) + 20), 0);
  Next(reader.get(), 0, FLV_READER_READ_ERROR);
  flv.Write("shrinking.flv");  // the bytes are back
  const FLVTag* tag = Next(reader.get());
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(std::tie(tag->filePosition, tag->audioData[0]), std::tuple(flv.Position(1), 0x02));
}

// Audio every 20 ms from 0 to 180, inter frames at 0, 40 and 120, key frames at 90 and 160; audio
// first at equal times. Audio seeks land on the first audio tag after the time (after all tags at
// the time itself), video seeks on the nearest key frame at or before the first tag after it.
TEST(TagReaderSeek, LandsOnTheTagOrRefuses) {
  TaggedFlv flv;
  for (std::uint32_t t = 0; t <= 180; t += 20) {
    flv.Pcm(t);
    if (t == 80 || t == 160) {
      flv.Key(t == 80 ? 90 : t);
    } else if (t % 40 == 0) {
      flv.Inter(t);
    }
  }
  ReaderPtr reader = OpenReader(flv.Write("seek.flv"));
  // Type, time, answer, and the time stamp of the tag read next when the seek succeeds.
  for (const auto& [type, time, code, timestamp] :
       {std::tuple{kAudio, 50u, FLV_READER_OK, 60u},
        {kAudio, 40u, FLV_READER_OK, 60u},
        {kVideo, 130u, FLV_READER_OK, 90u},
        {kVideo, 160u, FLV_READER_OK, 160u},
        {kVideo, 85u, FLV_READER_OK, 90u},
        {kVideo, 10u, FLV_READER_SEEK_NO_MATCH, 0u},
        {kAudio, 180u, FLV_READER_SEEK_NO_TAG_AFTER, 0u},
        {kVideo, 5000u, FLV_READER_SEEK_NO_TAG_AFTER, 0u},
        {kScript, 50u, FLV_READER_SEEK_NO_MATCH, 0u},
        {0, 50u, FLV_READER_SEEK_NO_MATCH, 0u},
        {kScript, 180u, FLV_READER_SEEK_NO_TAG_AFTER, 0u}}) {
    SCOPED_TRACE(testing::Message() << "type " << type << " at " << time);
    ASSERT_EQ(FLVAVTagReader_Seek(reader.get(), type, time), code);
    const FLVTag* tag = code == FLV_READER_OK ? Next(reader.get()) : nullptr;
    if (tag == nullptr) continue;
    EXPECT_EQ(std::tie(tag->tagType, tag->timestamp), std::tie(type, timestamp));
    if (type == kVideo) { EXPECT_EQ(tag->frameType, 1); }
  }
  for (auto [time, found, next] : {std::tuple(10u, 1, 90u),
                                   {90u, 1, 90u},
                                   {161u, 0, 7u}}) {
    std::uint32_t timestamp = 7;
    EXPECT_EQ(FLVAVTagReader_GetNextKeyFrameTimeStamp(reader.get(), time, &timestamp), found)
        << time;
    EXPECT_EQ(timestamp, next) << time;
  }
}

// Tags beyond 4 GiB must be indexed and read at their full 64-bit offsets (a sparse file).
TEST(TagReaderLargeFile, TagsBeyondFourGiBAreIndexedAndReadAtTheirOwnOffsets) {
  struct statfs status {};
  const bool tmpfs = statfs("/dev/shm", &status) == 0 && status.f_type == TMPFS_MAGIC &&
                     access("/dev/shm", W_OK) == 0;
  const std::string path = (tmpfs ? std::string("/dev/shm") : TestTempDir()) +
                           "/kelvra_larger_than_4gib_" + std::to_string(getpid()) + ".flv";
  const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  const auto writeAt = [fd](const Bytes& bytes, std::uint64_t offset) {
    ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)),
              static_cast<ssize_t>(bytes.size()));
  };
  // One audio tag, script-data fillers of the largest body (their bodies holes)
  // up past 4 GiB, then an audio tag, a key frame and another audio tag.
  const Bytes head = TaggedFlv().Pcm(0, 882, 0x21).bytes();
  writeAt(head, 0);
  std::uint64_t offset = head.size();
  std::vector<std::uint64_t> fillers;
  for (; offset < std::uint64_t{1} << 32; offset += 11 + 0xFFFFFF + 4) {
    writeAt(Bytes{kScript, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0}, offset);
    writeAt(Bytes{0x01, 0x00, 0x00, 0x0A}, offset + 11 + 0xFFFFFF);  // 11 + 0xFFFFFF
    fillers.push_back(offset);
  }
  TaggedFlv tail;  // written without its 13 header bytes
  tail.Pcm(20, 882, 0x22).Key(20, 6).Pcm(40, 882, 0x23);
  writeAt(Bytes(tail.bytes().begin() + 13, tail.bytes().end()), offset);
  const auto at = [&](std::size_t i) { return offset + tail.Position(i) - 13; };
  close(fd);
  FLVAVTagReader reader;
  const int opened = reader.Open(path.c_str());
  std::filesystem::remove(path);  // the reader keeps its descriptor
  ASSERT_EQ(opened, 1);
  const auto& index = reader.index();
  ASSERT_EQ(index.size(), 1 + fillers.size() + 3);
  EXPECT_EQ(index[fillers.size()].filePosition, fillers.back());
  for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(index[index.size() - 3 + i].filePosition, at(i));
  std::uint32_t audioEnd = 0;
  reader.GetDuration(&audioEnd, nullptr);
  EXPECT_EQ(audioEnd, 60u);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(reader.Seek(kAudio, 10), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, kAudio, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(std::tuple(std::uint64_t(tag->filePosition), tag->timestamp, tag->audioData[0]),
            std::tuple(at(0), 20u, 0x22));
  // The key frame is found by time and read whole, picture size and all.
  ASSERT_EQ(reader.Seek(kVideo, 30), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(std::tuple(std::uint64_t(tag->filePosition), tag->frameType, tag->width, tag->height),
            std::tuple(at(1), 1, 160, 120));
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(std::tuple(std::uint64_t(tag->filePosition), tag->audioData[0]),
            std::tuple(at(2), 0x23));
  EXPECT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_END);
  ASSERT_EQ(reader.SeekToBegin(), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->audioData[0], 0x21);
}

}  // namespace
}  // namespace kelvra::test
