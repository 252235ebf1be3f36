// Reading tags through the tag reader (type filter, ownership of the records
// handed out, the parser's own empty audio tag) and seeking by time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "reader/reader_test_util.h"

namespace kelvra::test {
namespace {

void FreeTag(FLVTag* tag) { FLVStreamParser_DeleteFLVTag(nullptr, tag); }

// The tag's header copy and body are the file's bytes at its position.
void ExpectBlockMatchesFile(const FLVTag& tag, const Bytes& file) {
  ASSERT_NE(tag.block, nullptr);
  ASSERT_EQ(tag.data, tag.block + 11);
  const auto offset = static_cast<std::size_t>(tag.filePosition);
  ASSERT_LE(offset + 11 + tag.dataSize, file.size());
  EXPECT_EQ(std::memcmp(tag.block, file.data() + offset, 11 + tag.dataSize), 0)
      << "tag at " << offset;
}

// ---------------------------------------------------------------------------
// ReadTag

TEST(TagReaderRead, TypeFilterZeroHandsOutEveryKindScriptTagsWithoutDuration) {
  TaggedFlv flv;
  flv.Script().Pcm(0).Key(0).Pcm(20).Script(30).Inter(40);
  ReaderPtr reader = OpenReader(flv.Write("filters.flv"));

  const std::vector<ReadTagRecord> all = ReadAll(reader.get(), 0);
  EXPECT_EQ(Column(all, &ReadTagRecord::tagType), (std::vector<int>{18, 8, 9, 8, 18, 9}));
  EXPECT_EQ(all[0].duration, 0u);
  EXPECT_EQ(all[4].duration, 0u);
  EXPECT_EQ(all[4].filePosition, flv.Position(4));

  for (int filter : {FLV_TAG_TYPE_AUDIO, FLV_TAG_TYPE_VIDEO, FLV_TAG_TYPE_SCRIPT_DATA}) {
    ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
    for (const ReadTagRecord& tag : ReadAll(reader.get(), filter)) EXPECT_EQ(tag.tagType, filter);
  }
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  EXPECT_EQ(ReadAll(reader.get(), FLV_TAG_TYPE_SCRIPT_DATA).size(), 2u);
}

TEST(TagReaderRead, AudioFilterWithoutAudioReadsToTheEnd) {
  TaggedFlv flv(FlvHeaderOptions{.hasAudio = false, .hasVideo = false});
  flv.Script().Script(10);
  ReaderPtr reader = OpenReader(flv.Write("no_audio.flv"));
  EXPECT_TRUE(ReadAll(reader.get(), FLV_TAG_TYPE_AUDIO).empty());
  // The skipped tags moved the reader to the end.
  EXPECT_TRUE(ReadAll(reader.get(), 0).empty());
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  EXPECT_EQ(ReadAll(reader.get(), 0).size(), 2u);
}

TEST(TagReaderRead, AStreamStartingWithVideoGetsTheParsersEmptyAudioTagFirst) {
  TaggedFlv flv;
  flv.Key(0).Inter(40).Pcm(100, kPcm20MsBytes, 0x31).Pcm(120, kPcm20MsBytes, 0x32);
  const std::string path = flv.Write("video_first.flv");
  ReaderPtr reader = OpenReader(path);

  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, FLV_TAG_TYPE_AUDIO, &tag, &duration),
            FLV_READER_OK);
  EXPECT_EQ(tag->tagType, FLV_TAG_TYPE_AUDIO);
  EXPECT_EQ(tag->dataSize, 0u);
  EXPECT_EQ(tag->block, nullptr);
  EXPECT_EQ(tag->data, nullptr);
  EXPECT_EQ(tag->filePosition, 0);
  EXPECT_EQ(tag->timestamp, 0u);
  EXPECT_EQ(duration, 100u);  // the gap to the first real audio tag

  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, FLV_TAG_TYPE_AUDIO, &tag, &duration),
            FLV_READER_OK);
  EXPECT_EQ(tag->filePosition, flv.Position(2));
  EXPECT_EQ(tag->timestamp, 100u);
  EXPECT_EQ(tag->dataSize, 1 + kPcm20MsBytes);
  ASSERT_NE(tag->audioData, nullptr);
  EXPECT_EQ(tag->audioData[0], 0x31);
  ExpectBlockMatchesFile(*tag, flv.bytes());

  // From the start, the video tag after the empty audio tag is read from its
  // own place in the file.
  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  const std::vector<ReadTagRecord> all = ReadAll(reader.get(), 0);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0].filePosition, 0);
  EXPECT_EQ(all[1].tagType, FLV_TAG_TYPE_VIDEO);
  EXPECT_EQ(all[1].filePosition, flv.Position(0));
  EXPECT_EQ(all[1].frameType, kKeyFrame);
}

TEST(TagReaderRead, CopiedDataIsTheFilesBytesAndNoCopyMeansNoBlock) {
  TaggedFlv flv;
  flv.Script().Pcm(0, 100, 0x41).Key(0).Pcm(20, 200, 0x42).Inter(40);
  ReaderPtr reader = OpenReader(flv.Write("copy_data.flv"));

  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  std::size_t count = 0;
  while (FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration) == FLV_READER_OK) {
    EXPECT_EQ(tag->filePosition, flv.Position(count));
    ExpectBlockMatchesFile(*tag, flv.bytes());
    EXPECT_EQ(tag->storedSize, static_cast<std::int32_t>(tag->dataSize + 15));
    ++count;
  }
  EXPECT_EQ(count, 5u);

  ASSERT_EQ(FLVAVTagReader_SeekToBegin(reader.get()), FLV_READER_OK);
  const std::vector<ReadTagRecord> bare = ReadAll(reader.get(), 0, /*copyData=*/0);
  ASSERT_EQ(bare.size(), 5u);
  for (const ReadTagRecord& record : bare) EXPECT_FALSE(record.hasBlock);
  EXPECT_EQ(bare[3].dataSize, 201u);
}

TEST(TagReaderRead, CallerOwnedRecordsOutliveTheReader) {
  TaggedFlv flv;
  flv.Pcm(0, 300, 0x61).Key(0).Pcm(20, 300, 0x62).Inter(40).Pcm(40, 300, 0x63);
  const Bytes file = flv.bytes();
  ReaderPtr reader = OpenReader(flv.Write("caller_owned.flv"));
  EXPECT_EQ(FLVAVTagReader_SetAutoReleaseMemory(reader.get(), 0), 0);

  std::vector<FLVTag*> audio;
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  // The video tags in between are skipped and must not stay allocated.
  while (FLVAVTagReader_ReadTag(reader.get(), 1, FLV_TAG_TYPE_AUDIO, &tag, &duration) ==
         FLV_READER_OK) {
    audio.push_back(tag);
  }
  ASSERT_EQ(audio.size(), 3u);
  EXPECT_EQ(std::set<FLVTag*>(audio.begin(), audio.end()).size(), 3u);

  FLVAVTagReader_Close(reader.get());
  reader.reset();
  for (std::size_t i = 0; i < audio.size(); ++i) {
    ExpectBlockMatchesFile(*audio[i], file);
    EXPECT_EQ(audio[i]->audioData[0], static_cast<int>(0x61 + i));
    FreeTag(audio[i]);
  }
}

TEST(TagReaderRead, SwitchingOwnershipBetweenReadsKeepsEachRecordsOwner) {
  TaggedFlv flv;
  flv.Pcm(0, 50, 0x71).Pcm(20, 50, 0x72).Pcm(40, 50, 0x73).Pcm(60, 50, 0x74);
  ReaderPtr reader = OpenReader(flv.Write("switch_owner.flv"));
  FLVTag* own = nullptr;
  FLVTag* mine = nullptr;
  FLVTag* later = nullptr;
  std::uint32_t duration = 0;

  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &own, &duration), FLV_READER_OK);
  FLVAVTagReader_SetAutoReleaseMemory(reader.get(), 0);
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &mine, &duration), FLV_READER_OK);
  EXPECT_NE(mine, own);
  // With auto-release the reader hands out its own record again, now
  // describing the later tag; the record is not the caller's to free.
  EXPECT_EQ(FLVAVTagReader_SetAutoReleaseMemory(reader.get(), 1), 1);
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &later, &duration), FLV_READER_OK);
  EXPECT_EQ(later, own);
  EXPECT_EQ(later->audioData[0], 0x73);
  EXPECT_EQ(later->filePosition, flv.Position(2));
  // The caller's record still holds its own data.
  EXPECT_EQ(mine->audioData[0], 0x72);
  FreeTag(mine);
}

TEST(TagReaderRead, AFailedReadIsRetriedFromTheSameTag) {
  // Tags well beyond the stdio buffer, so that the cut is seen.
  constexpr std::size_t kLargeTag = 40000;
  TaggedFlv flv;
  flv.Pcm(0, kLargeTag, 0x01).Pcm(20, kLargeTag, 0x02).Pcm(40, kLargeTag, 0x03);
  const std::string path = flv.Write("shrinking.flv");
  ReaderPtr reader = OpenReader(path);

  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  // The file loses its tail under the reader.
  ASSERT_EQ(truncate(path.c_str(), flv.Position(1) + 20), 0);
  tag = nullptr;
  EXPECT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_READ_ERROR);
  EXPECT_EQ(tag, nullptr);
  // Once the bytes are back the same tag reads, from its own place.
  flv.Write("shrinking.flv");
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->filePosition, flv.Position(1));
  EXPECT_EQ(tag->audioData[0], 0x02);
}

// ---------------------------------------------------------------------------
// Seek and key frames

// Audio every 20 ms from 0 to 180, video every 40 ms with key frames at 0
// and 120; at equal times audio comes first. Audio seeks land on the first
// audio tag after the time (after all tags at the time itself), video seeks
// on the nearest key frame at or before it.
struct SeekRow {
  int type;
  std::uint32_t time;
  int code;
  std::uint32_t timestamp;  // of the tag read next, when the seek succeeds
  int tagType;
};

class TagReaderSeek : public testing::TestWithParam<SeekRow> {};

TEST_P(TagReaderSeek, LandsOnTheTagOrRefuses) {
  const SeekRow& row = GetParam();
  TaggedFlv flv;
  for (std::uint32_t t = 0; t <= 180; t += 20) {
    flv.Pcm(t);
    if (t % 40 == 0 && (t == 0 || t == 120)) flv.Key(t);
    if (t % 40 == 0 && t != 0 && t != 120) flv.Inter(t);
  }
  ReaderPtr reader = OpenReader(flv.Write("seek.flv"));
  ASSERT_EQ(FLVAVTagReader_Seek(reader.get(), row.type, row.time), row.code);
  if (row.code != FLV_READER_OK) {
    FLVAVTagReader_Close(reader.get());
    EXPECT_EQ(FLVAVTagReader_Seek(reader.get(), row.type, row.time), FLV_READER_NOT_OPEN);
    return;
  }
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->tagType, row.tagType);
  EXPECT_EQ(tag->timestamp, row.timestamp);
  if (row.tagType == FLV_TAG_TYPE_VIDEO) {
    EXPECT_EQ(tag->frameType, kKeyFrame);
  }
}

constexpr int kAudio = FLV_TAG_TYPE_AUDIO;
constexpr int kVideo = FLV_TAG_TYPE_VIDEO;
constexpr int kScript = FLV_TAG_TYPE_SCRIPT_DATA;
INSTANTIATE_TEST_SUITE_P(
    Rows, TagReaderSeek,
    testing::Values(SeekRow{kAudio, 50, FLV_READER_OK, 60, kAudio},
                    SeekRow{kAudio, 40, FLV_READER_OK, 60, kAudio},
                    SeekRow{kAudio, 0, FLV_READER_OK, 20, kAudio},
                    SeekRow{kVideo, 130, FLV_READER_OK, 120, kVideo},
                    SeekRow{kVideo, 120, FLV_READER_OK, 120, kVideo},
                    SeekRow{kVideo, 100, FLV_READER_OK, 0, kVideo},
                    SeekRow{kAudio, 180, FLV_READER_SEEK_NO_TAG_AFTER, 0, 0},
                    SeekRow{kVideo, 5000, FLV_READER_SEEK_NO_TAG_AFTER, 0, 0},
                    SeekRow{kScript, 50, FLV_READER_SEEK_NO_MATCH, 0, 0},
                    SeekRow{0, 50, FLV_READER_SEEK_NO_MATCH, 0, 0},
                    SeekRow{kScript, 180, FLV_READER_SEEK_NO_TAG_AFTER, 0, 0}));

TEST(TagReaderKeyFrames, NoKeyFrameBeforeTheTimeAndTheNextKeyFrame) {
  TaggedFlv flv;
  flv.Inter(0).Inter(40).Key(80).Inter(120);
  ReaderPtr reader = OpenReader(flv.Write("late_key.flv"));

  EXPECT_EQ(FLVAVTagReader_Seek(reader.get(), FLV_TAG_TYPE_VIDEO, 10), FLV_READER_SEEK_NO_MATCH);
  std::uint32_t next = 0;
  ASSERT_EQ(FLVAVTagReader_GetNextKeyFrameTimeStamp(reader.get(), 10, &next), 1);
  EXPECT_EQ(next, 80u);
  next = 0;
  ASSERT_EQ(FLVAVTagReader_GetNextKeyFrameTimeStamp(reader.get(), 80, &next), 1);
  EXPECT_EQ(next, 80u);
  next = 7;
  EXPECT_EQ(FLVAVTagReader_GetNextKeyFrameTimeStamp(reader.get(), 81, &next), 0);
  EXPECT_EQ(next, 7u);

  // When the first tag after the time is itself a key frame, Seek lands on
  // it although it lies after the time.
  ASSERT_EQ(FLVAVTagReader_Seek(reader.get(), FLV_TAG_TYPE_VIDEO, 50), FLV_READER_OK);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->timestamp, 80u);
  EXPECT_EQ(tag->frameType, kKeyFrame);
  EXPECT_EQ(tag->filePosition, flv.Position(2));
}

}  // namespace
}  // namespace kelvra::test
