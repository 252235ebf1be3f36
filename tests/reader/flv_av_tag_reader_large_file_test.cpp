// A file larger than 4 GiB: tags beyond the 4 GiB mark must be indexed and
// read at their full 64-bit offsets. The file is sparse: the filler tags'
// bodies are holes, so it costs no disk space, only the time to read 4 GiB
// of zeros through the parser once. On tmpfs holes read from the shared zero
// page (about a second); on a disk file system every hole page is allocated
// in the page cache first, which can take half a minute.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "reader/flv_av_tag_reader.h"
#include "reader/reader_test_util.h"

namespace kelvra::test {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;
// The largest body a tag can declare; each filler tag spans 16 MiB.
constexpr std::uint32_t kFillerDataSize = 0xFFFFFF;
constexpr std::uint32_t kTagHeaderBytes = 11;
constexpr std::uint32_t kPreviousTagSizeBytes = 4;

void PutU24(std::uint8_t* out, std::uint32_t value) {
  out[0] = static_cast<std::uint8_t>(value >> 16);
  out[1] = static_cast<std::uint8_t>(value >> 8);
  out[2] = static_cast<std::uint8_t>(value);
}

void WriteAt(int fd, const std::uint8_t* bytes, std::size_t length, std::uint64_t offset) {
  ASSERT_EQ(pwrite(fd, bytes, length, static_cast<off_t>(offset)),
            static_cast<ssize_t>(length));
}

// A folder on tmpfs when there is one, else the test scratch folder.
std::string SparseFileFolder() {
  struct statfs status {};
  if (statfs("/dev/shm", &status) == 0 && status.f_type == TMPFS_MAGIC &&
      access("/dev/shm", W_OK) == 0) {
    return "/dev/shm";
  }
  return TestTempDir();
}

class LargeFlvFile {
 public:
  // Header and one audio tag, script-data fillers up past 4 GiB, then an
  // audio tag, a video key frame and another audio tag.
  explicit LargeFlvFile(const std::string& path) : path_(path) {
    const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    if (fd < 0) return;

    TaggedFlv head;
    head.Pcm(0, kPcm20MsBytes, 0x21);
    WriteAt(fd, head.bytes().data(), head.bytes().size(), 0);
    std::uint64_t offset = head.bytes().size();

    while (offset < kFourGiB) {
      std::uint8_t header[kTagHeaderBytes] = {FLV_TAG_TYPE_SCRIPT_DATA};
      PutU24(header + 1, kFillerDataSize);  // time stamp and stream id stay 0
      WriteAt(fd, header, sizeof header, offset);
      const std::uint32_t stored = kTagHeaderBytes + kFillerDataSize;
      const std::uint8_t previous[kPreviousTagSizeBytes] = {
          static_cast<std::uint8_t>(stored >> 24), static_cast<std::uint8_t>(stored >> 16),
          static_cast<std::uint8_t>(stored >> 8), static_cast<std::uint8_t>(stored)};
      WriteAt(fd, previous, sizeof previous, offset + stored);
      fillerPositions_.push_back(offset);
      offset += stored + kPreviousTagSizeBytes;
    }

    FlvBuilder tail;  // tags only, no file header
    tailPositions_.push_back(offset + tail.size());
    tail.Audio(20, kPcmLittleEndian, kRate44100, kEightBit, kMono, Bytes(kPcm20MsBytes, 0x22));
    tailPositions_.push_back(offset + tail.size());
    tail.Video(20, kKeyFrame, kSorensonH263, H263PictureHeader(kH263Size160x120));
    tailPositions_.push_back(offset + tail.size());
    tail.Audio(40, kPcmLittleEndian, kRate44100, kEightBit, kMono, Bytes(kPcm20MsBytes, 0x23));
    WriteAt(fd, tail.bytes().data(), tail.size(), offset);
    close(fd);
  }
  ~LargeFlvFile() { std::filesystem::remove(path_); }

  const std::vector<std::uint64_t>& fillerPositions() const { return fillerPositions_; }
  const std::vector<std::uint64_t>& tailPositions() const { return tailPositions_; }

 private:
  std::string path_;
  std::vector<std::uint64_t> fillerPositions_;
  std::vector<std::uint64_t> tailPositions_;
};

TEST(TagReaderLargeFile, TagsBeyondFourGiBAreIndexedAndReadAtTheirOwnOffsets) {
  const std::string path =
      SparseFileFolder() + "/kelvra_larger_than_4gib_" + std::to_string(getpid()) + ".flv";
  LargeFlvFile file(path);
  ASSERT_GT(file.tailPositions().front(), kFourGiB);

  FLVAVTagReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), 1);

  // One entry per tag, each at its full offset.
  const auto& index = reader.index();
  ASSERT_EQ(index.size(), 1 + file.fillerPositions().size() + file.tailPositions().size());
  EXPECT_EQ(index[file.fillerPositions().size()].filePosition, file.fillerPositions().back());
  for (std::size_t i = 0; i < file.tailPositions().size(); ++i) {
    EXPECT_EQ(index[index.size() - 3 + i].filePosition, file.tailPositions()[i]);
  }

  std::uint32_t audioEnd = 0;
  std::uint32_t videoEnd = 0;
  reader.GetDuration(&audioEnd, &videoEnd);
  EXPECT_EQ(audioEnd, 60u);

  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(reader.Seek(FLV_TAG_TYPE_AUDIO, 10), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, FLV_TAG_TYPE_AUDIO, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(static_cast<std::uint64_t>(tag->filePosition), file.tailPositions()[0]);
  EXPECT_EQ(tag->timestamp, 20u);
  ASSERT_EQ(tag->dataSize, 1 + kPcm20MsBytes);
  EXPECT_EQ(tag->audioData[0], 0x22);

  // The video key frame is found by time and read whole, picture size and all.
  ASSERT_EQ(reader.Seek(FLV_TAG_TYPE_VIDEO, 30), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(static_cast<std::uint64_t>(tag->filePosition), file.tailPositions()[1]);
  EXPECT_EQ(tag->frameType, kKeyFrame);
  EXPECT_EQ(tag->width, 160);
  EXPECT_EQ(tag->height, 120);

  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(static_cast<std::uint64_t>(tag->filePosition), file.tailPositions()[2]);
  EXPECT_EQ(tag->audioData[0], 0x23);
  EXPECT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_END);

  // The first tag, before the fillers, still reads from the start.
  ASSERT_EQ(reader.SeekToBegin(), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->audioData[0], 0x21);
}

}  // namespace
}  // namespace kelvra::test
