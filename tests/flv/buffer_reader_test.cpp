#include "flv/buffer_reader.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace kelvra {
namespace {

TEST(BufferReader, ReadsNeverPassTheEndWhereverTheCursorStands) {
  const std::vector<std::uint8_t> bytes{1, 2, 3, 4, 5};
  BufferReader reader(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  std::uint8_t out[8] = {};
  EXPECT_EQ(reader.Read(out, 3), 3);
  EXPECT_EQ(reader.Read(out, 8), 2);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(reader.Position(), 5);
  EXPECT_EQ(reader.Read(out, 1), 0);

  // Seeks are unchecked; reads from outside the range copy nothing.
  EXPECT_EQ(reader.Seek(10, BufferReader::kFromCurrent), 15);
  EXPECT_EQ(reader.Read(out, 4), 0);
  EXPECT_EQ(reader.Seek(-20, BufferReader::kFromEnd), -15);
  EXPECT_EQ(reader.Read(out, 4), 0);
  EXPECT_EQ(reader.Seek(-2, BufferReader::kFromEnd), 3);
  EXPECT_EQ(reader.Read(out, 4), 2);
  EXPECT_EQ(reader.Seek(1, BufferReader::kFromStart), 1);
  EXPECT_EQ(reader.Size(), 5);
}

TEST(BufferReader, UnknownSeekOriginRaisesItsMessage) {
  const std::vector<std::uint8_t> bytes{1};
  BufferReader reader(bytes.data(), 1);
  for (int origin : {-1, 3, 7}) {
    try {
      reader.Seek(0, origin);
      FAIL() << "origin " << origin << " accepted";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(std::string(error.what()), "Buffer Read Able Seek Error!");
    }
  }
}

TEST(BufferReader, BigEndianFieldsCutShortReportFailureAndZero) {
  const std::vector<std::uint8_t> bytes{0x12, 0x34, 0x56, 0x78, 0x9A};
  BufferReader reader(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  std::uint32_t value = 1;
  std::uint8_t byte = 1;
  EXPECT_TRUE(reader.ReadU24BE(&value));
  EXPECT_EQ(value, 0x123456u);
  EXPECT_FALSE(reader.ReadU32BE(&value));
  EXPECT_EQ(value, 0u);
  EXPECT_FALSE(reader.ReadU8(&byte));
  EXPECT_EQ(byte, 0u);

  BufferReader empty(nullptr, 100);
  EXPECT_EQ(empty.Size(), 0);
  value = 1;
  EXPECT_FALSE(empty.ReadU32BE(&value));
  EXPECT_EQ(value, 0u);
}

}  // namespace
}  // namespace kelvra
