// Tags beyond 4 GiB must be indexed and read at their full 64-bit offsets.
// The file is sparse (the filler tags' bodies are holes): on tmpfs holes read
// from the shared zero page in about a second, on a disk file system every
// hole page is first allocated in the page cache (up to half a minute).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>

#include "reader/flv_av_tag_reader.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

void WriteAt(int fd, const Bytes& bytes, std::uint64_t offset) {
  ASSERT_EQ(pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
}

Bytes Pcm(std::uint32_t timestamp, std::uint8_t fill) {  // 20 ms of 44.1 kHz 8-bit mono
  return FlvBuilder().Audio(timestamp, 3, 3, 0, 0, Bytes(882, fill)).bytes();
}

TEST(TagReaderLargeFile, TagsBeyondFourGiBAreIndexedAndReadAtTheirOwnOffsets) {
  struct statfs status {};
  const bool tmpfs = statfs("/dev/shm", &status) == 0 && status.f_type == TMPFS_MAGIC && access("/dev/shm", W_OK) == 0;
  const std::string path = (tmpfs ? std::string("/dev/shm") : TestTempDir()) + "/kelvra_larger_than_4gib_" +
                           std::to_string(getpid()) + ".flv";
  const int fd = open(path.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  // Header and one audio tag, script-data fillers of the largest body (each
  // spans 16 MiB) up past 4 GiB, then an audio tag, a key frame and another audio tag.
  FlvBuilder head;
  head.Header().Raw(Pcm(0, 0x21));
  WriteAt(fd, head.bytes(), 0);
  std::uint64_t offset = head.size();
  std::vector<std::uint64_t> fillers, tail;
  for (; offset < kFourGiB; offset += 11 + 0xFFFFFF + 4) {
    Bytes header{FLV_TAG_TYPE_SCRIPT_DATA, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0};
    WriteAt(fd, header, offset);
    WriteAt(fd, Bytes{0x01, 0x00, 0x00, 0x0A}, offset + 11 + 0xFFFFFF);  // previous-tag-size 11 + 0xFFFFFF
    fillers.push_back(offset);
  }
  const Bytes audio = Pcm(20, 0x22), video = FlvBuilder().Video(20, 1, 2, H263PictureHeader(6)).bytes();
  for (const Bytes& tag : {audio, video, Pcm(40, 0x23)}) {
    tail.push_back(offset);
    WriteAt(fd, tag, offset);
    offset += tag.size();
  }
  close(fd);
  FLVAVTagReader reader;
  const int opened = reader.Open(path.c_str());
  std::filesystem::remove(path);  // the reader keeps its descriptor
  ASSERT_EQ(opened, 1);
  const auto& index = reader.index();
  ASSERT_EQ(index.size(), 1 + fillers.size() + tail.size());
  EXPECT_EQ(index[fillers.size()].filePosition, fillers.back());
  for (std::size_t i = 0; i < tail.size(); ++i) EXPECT_EQ(index[index.size() - 3 + i].filePosition, tail[i]);
  std::uint32_t audioEnd = 0, videoEnd = 0;
  reader.GetDuration(&audioEnd, &videoEnd);
  EXPECT_EQ(audioEnd, 60u);

  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  ASSERT_EQ(reader.Seek(FLV_TAG_TYPE_AUDIO, 10), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, FLV_TAG_TYPE_AUDIO, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(std::tuple(std::uint64_t(tag->filePosition), tag->timestamp, tag->dataSize, tag->audioData[0]),
            std::tuple(tail[0], 20u, 883u, 0x22));
  // The key frame is found by time and read whole, picture size and all.
  ASSERT_EQ(reader.Seek(FLV_TAG_TYPE_VIDEO, 30), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(static_cast<std::uint64_t>(tag->filePosition), tail[1]);
  EXPECT_EQ(std::tie(tag->frameType, tag->width, tag->height), std::tuple(1, 160, 120));
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(static_cast<std::uint64_t>(tag->filePosition), tail[2]);
  EXPECT_EQ(tag->audioData[0], 0x23);
  EXPECT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_END);
  ASSERT_EQ(reader.SeekToBegin(), FLV_READER_OK);
  ASSERT_EQ(reader.ReadTag(1, 0, &tag, &duration), FLV_READER_OK);
  EXPECT_EQ(tag->audioData[0], 0x21);
}

}  // namespace
}  // namespace kelvra::test
