// Feeding an FLVStream the bytes of a file, as a network source would.
#ifndef KELVRA_TESTS_SUPPORT_STREAM_FEED_H
#define KELVRA_TESTS_SUPPORT_STREAM_FEED_H

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "kelvra.h"

namespace kelvra::test {

// Delivers the bytes in pieces of `piece` bytes, offering a refused piece
// again after `retryWait`, then flushes (again while the parser is busy). The
// stream stays running.
inline void FeedStream(::FLVStream* stream, const std::vector<std::uint8_t>& bytes,
                       std::size_t piece,
                       std::chrono::milliseconds retryWait = std::chrono::milliseconds(1)) {
  for (std::size_t at = 0; at < bytes.size();) {
    const std::size_t length = std::min(piece, bytes.size() - at);
    const int code = FLVStream_DeliverData(stream, bytes.data() + at, static_cast<int>(length));
    if (code == FLV_PARSER_QUEUE_FULL) {
      std::this_thread::sleep_for(retryWait);
      continue;
    }
    ASSERT_TRUE(code == FLV_PARSER_OK || code == FLV_PARSER_INFO_PENDING) << code;
    at += length;
  }
  int flushed = 0;
  while ((flushed = FLVStream_Flush(stream)) == 0) std::this_thread::sleep_for(retryWait);
  EXPECT_EQ(flushed, 1);
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_SUPPORT_STREAM_FEED_H
