// The bridge's byte FIFO against a std::deque reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

TEST(DataBuffer, RandomPushesReadsAndClearsMatchADeque) {
  Vexmar_init();
  VexmarDataBuffer* buffer = DB2_Create();
  std::deque<std::uint8_t> reference;
  std::mt19937 rng(12345);
  std::uint8_t next = 0;
  std::vector<std::uint8_t> piece, out;
  for (int step = 0; step < 4000; ++step) {
    // Sizes straddle the ring's growth points and wrap it; reads sometimes
    // ask for more than is held.
    const std::size_t size = rng() % (step % 50 == 0 ? 20000 : 700);
    if (step % 1000 == 999) {
      ASSERT_EQ(DB2_Clear(buffer), 1);
      reference.clear();
    } else if (rng() % 2 == 0) {
      piece.resize(size);
      for (auto& b : piece) b = next++;
      ASSERT_EQ(DB2_Push(buffer, piece.data(), piece.size()), 1);
      reference.insert(reference.end(), piece.begin(), piece.end());
    } else {
      out.assign(size, 0xEE);
      const std::size_t moved = DB2_Read(buffer, out.data(), size);
      ASSERT_EQ(moved, std::min(size, reference.size()));
      for (std::size_t i = 0; i < moved; ++i, reference.pop_front()) ASSERT_EQ(out[i], reference.front()) << step << " " << i;
      for (std::size_t i = moved; i < size; ++i) ASSERT_EQ(out[i], 0xEE) << "written past what was moved";
    }
    ASSERT_EQ(DB2_GetDataSize(buffer), reference.size());
  }
  EXPECT_EQ(DB2_Push(buffer, nullptr, 5), 0);
  EXPECT_EQ(DB2_Read(buffer, nullptr, 1), 0u);
  EXPECT_EQ(DB2_Delete(buffer), 1);
  EXPECT_EQ(DB2_Delete(nullptr), 0);
}

}  // namespace
