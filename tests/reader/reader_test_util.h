// Shared pieces of the tag reader tests: files built tag by tag with their
// offsets noted, a reader handle that deletes itself, and a walk over every
// tag a reader hands out.
#ifndef KELVRA_TESTS_READER_READER_TEST_UTIL_H
#define KELVRA_TESTS_READER_READER_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {

// Linear PCM, little endian, 44.1 kHz, 8-bit mono: 882 payload bytes play
// for exactly 20 ms, so the parser's rebuilt audio clock matches the file's
// time stamps.
inline constexpr int kPcmLittleEndian = 3;
inline constexpr int kRate44100 = 3;
inline constexpr int kEightBit = 0;
inline constexpr int kMono = 0;
inline constexpr std::size_t kPcm20MsBytes = 882;
inline constexpr std::uint32_t kPcmBlockMs = 20;
// A sound format no duration is known for.
inline constexpr int kDeviceSpecificSound = 15;

inline constexpr int kKeyFrame = 1;
inline constexpr int kInterFrame = 2;
inline constexpr int kSorensonH263 = 2;
inline constexpr int kH263Size320x240 = 5;
inline constexpr int kH263Size160x120 = 6;
inline constexpr int kH263Size352x288 = 2;

// A builder that remembers where each tag begins.
class TaggedFlv {
 public:
  explicit TaggedFlv(const FlvHeaderOptions& header = {}) { builder_.Header(header); }

  TaggedFlv& Pcm(std::uint32_t timestamp, std::size_t bytes = kPcm20MsBytes,
                 std::uint8_t fill = 0x80) {
    Note();
    builder_.Audio(timestamp, kPcmLittleEndian, kRate44100, kEightBit, kMono, Bytes(bytes, fill));
    return *this;
  }
  TaggedFlv& Audio(std::uint32_t timestamp, int soundFormat, const Bytes& payload) {
    Note();
    builder_.Audio(timestamp, soundFormat, kRate44100, kEightBit, kMono, payload);
    return *this;
  }
  TaggedFlv& Key(std::uint32_t timestamp, int sizeCode = kH263Size320x240) {
    Note();
    builder_.Video(timestamp, kKeyFrame, kSorensonH263, H263PictureHeader(sizeCode));
    return *this;
  }
  TaggedFlv& Inter(std::uint32_t timestamp, int sizeCode = kH263Size352x288) {
    Note();
    builder_.Video(timestamp, kInterFrame, kSorensonH263, H263PictureHeader(sizeCode));
    return *this;
  }
  TaggedFlv& Script(std::uint32_t timestamp = 0) {
    Note();
    builder_.Script(timestamp, Bytes{0x02, 0x00, 0x0A, 'o', 'n', 'M', 'e', 't', 'a', 'D', 'a',
                                     't', 'a', 0x08, 0x00, 0x00, 0x00, 0x00});
    return *this;
  }
  TaggedFlv& Raw(const Bytes& bytes) {
    builder_.Raw(bytes);
    return *this;
  }

  // File offset of the i-th tag added.
  std::int64_t Position(std::size_t i) const { return positions_.at(i); }
  const Bytes& bytes() const { return builder_.bytes(); }

  // Writes the stream under the test scratch folder and returns the path.
  std::string Write(const std::string& name) const {
    const std::string path = TestTempDir() + "/" + name;
    builder_.WriteTo(path);
    return path;
  }

 private:
  void Note() { positions_.push_back(static_cast<std::int64_t>(builder_.size())); }

  FlvBuilder builder_;
  std::vector<std::int64_t> positions_;
};

struct ReaderDeleter {
  void operator()(::FLVAVTagReader* reader) const { FLVAVTagReader_Delete(reader); }
};
using ReaderPtr = std::unique_ptr<::FLVAVTagReader, ReaderDeleter>;

inline ReaderPtr NewReader() {
  ReaderPtr reader(FLVAVTagReader_Create());
  EXPECT_NE(reader, nullptr);
  return reader;
}

inline ReaderPtr OpenReader(const std::string& path) {
  ReaderPtr reader = NewReader();
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1) << path;
  return reader;
}

// What a read handed out, copied out of the record.
struct ReadTagRecord {
  int tagType = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t duration = 0;
  std::int64_t filePosition = 0;
  std::uint32_t dataSize = 0;
  int frameType = 0;  // video tags only
  bool hasBlock = false;
};

// Reads until the reader answers anything but success; that answer must be
// "no more tags".
inline std::vector<ReadTagRecord> ReadAll(::FLVAVTagReader* reader, int typeFilter,
                                          int copyData = 1) {
  std::vector<ReadTagRecord> records;
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    const int code = FLVAVTagReader_ReadTag(reader, copyData, typeFilter, &tag, &duration);
    if (code != FLV_READER_OK) {
      EXPECT_EQ(code, FLV_READER_END) << "after " << records.size() << " tags";
      return records;
    }
    ReadTagRecord record;
    record.tagType = tag->tagType;
    record.timestamp = tag->timestamp;
    record.duration = duration;
    record.filePosition = tag->filePosition;
    record.dataSize = tag->dataSize;
    record.frameType = tag->tagType == FLV_TAG_TYPE_VIDEO ? tag->frameType : 0;
    record.hasBlock = tag->block != nullptr;
    records.push_back(record);
  }
}

template <typename Field>
std::vector<Field> Column(const std::vector<ReadTagRecord>& records,
                          Field ReadTagRecord::*field) {
  std::vector<Field> values;
  for (const ReadTagRecord& record : records) values.push_back(record.*field);
  return values;
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_READER_READER_TEST_UTIL_H
