// The bridge's byte FIFO against a std::deque reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

struct BufferDeleter {
  void operator()(VexmarDataBuffer* b) const { DB2_Delete(b); }
};
using Buffer = std::unique_ptr<VexmarDataBuffer, BufferDeleter>;

TEST(DataBuffer, RandomPushesAndReadsMatchADeque) {
  Vexmar_init();
  Buffer buffer(DB2_Create());
  ASSERT_NE(buffer, nullptr);
  std::deque<std::uint8_t> reference;
  std::mt19937 rng(12345);
  std::uint8_t next = 0;
  std::vector<std::uint8_t> piece, out;
  for (int step = 0; step < 4000; ++step) {
    // Sizes straddle the ring's growth points and wrap it; reads sometimes
    // ask for more than is held.
    const std::size_t size = rng() % (step % 50 == 0 ? 20000 : 700);
    if (rng() % 2 == 0) {
      piece.resize(size);
      for (auto& b : piece) b = next++;
      ASSERT_EQ(DB2_Push(buffer.get(), piece.data(), piece.size()), 1);
      reference.insert(reference.end(), piece.begin(), piece.end());
    } else {
      out.assign(size, 0xEE);
      const std::size_t moved = DB2_Read(buffer.get(), out.data(), size);
      ASSERT_EQ(moved, std::min(size, reference.size()));
      for (std::size_t i = 0; i < moved; ++i) {
        ASSERT_EQ(out[i], reference.front()) << "step " << step << " byte " << i;
        reference.pop_front();
      }
      for (std::size_t i = moved; i < size; ++i) ASSERT_EQ(out[i], 0xEE) << "written past what was moved";
    }
    ASSERT_EQ(DB2_GetDataSize(buffer.get()), reference.size());
  }
}

TEST(DataBuffer, ClearAndBadArguments) {
  std::uint8_t byte = 7;
  EXPECT_EQ(DB2_Push(nullptr, &byte, 1), 0);
  EXPECT_EQ(DB2_GetDataSize(nullptr), 0u);
  EXPECT_EQ(DB2_Read(nullptr, &byte, 1), 0u);
  EXPECT_EQ(DB2_Clear(nullptr), 0);
  EXPECT_EQ(DB2_Delete(nullptr), 0);
  Vexmar_init();
  Buffer buffer(DB2_Create());
  EXPECT_EQ(DB2_Push(buffer.get(), nullptr, 5), 0);
  EXPECT_EQ(DB2_Push(buffer.get(), nullptr, 0), 1);
  const std::vector<std::uint8_t> bytes(100000, 0x42);
  DB2_Push(buffer.get(), bytes.data(), bytes.size());
  EXPECT_EQ(DB2_Read(buffer.get(), nullptr, 1), 0u);
  EXPECT_EQ(DB2_Clear(buffer.get()), 1);
  EXPECT_EQ(DB2_GetDataSize(buffer.get()), 0u);
  DB2_Push(buffer.get(), &byte, 1);
  std::uint8_t out = 0;
  EXPECT_EQ(DB2_Read(buffer.get(), &out, 1), 1u);
  EXPECT_EQ(out, 7);
}

}  // namespace
