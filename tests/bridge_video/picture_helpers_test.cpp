// The bridge's picture helpers: cropping and turning rows over.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

// Pixel (x, y) holds x, y, x + y, 7 (4 bytes a pixel); row padding is 0xEE.
std::vector<std::uint8_t> NumberedPicture(int w, int h, int rowBytes) {
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(std::max(rowBytes * h, 0)) + 64, 0xEE);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) std::copy_n(std::array<int, 4>{x, y, x + y, 7}.begin(), 4, &picture[y * rowBytes + x * 4]);
  }
  return picture;
}

TEST(PictureHelpers, CropCopiesTheClippedRectangleRowsBackToBackOrRefuses) {
  const struct {
    int width, height, rowBytes, bytesPerPixel;
    std::array<int32_t, 4> rect;      // left, top, right, bottom asked for
    std::array<int32_t, 4> expected;  // what is copied; all 0: refused
  } rows[] = {
      {20, 12, 20 * 4 + 12, 4, {3, 2, 17, 9}, {3, 2, 17, 9}},  // padded rows
      {32, 16, 32 * 4, 4, {0, 0, 32, 16}, {0, 0, 32, 16}},
      {32, 16, 32 * 4, 4, {0, 0, 28, 12}, {0, 0, 28, 12}},  // coded size, declared smaller
      {10, 8, 10 * 4, 4, {-5, 4, 100, 50}, {0, 4, 10, 8}},
      {10, 8, 40, 4, {-1, -1, -1, -1}, {}}, {10, 8, 40, 4, {3, 3, 3, 6}, {}}, {10, 8, 40, 4, {5, 2, 4, 6}, {}},
      {10, 8, 40, 4, {20, 0, 30, 8}, {}}, {10, 8, 40, 4, {0, 8, 10, 12}, {}}, {0, 8, 40, 4, {1, 1, 5, 5}, {}},
      {10, -1, 40, 4, {1, 1, 5, 5}, {}}, {10, 8, 39, 4, {1, 1, 5, 5}, {}}, {10, 8, 40, 0, {1, 1, 5, 5}, {}},
  };
  for (const auto& row : rows) {
    const auto [left, top, right, bottom] = row.expected;
    SCOPED_TRACE(testing::Message() << row.width << "x" << row.height << " rect " << row.rect[0] << "," << row.rect[1]
                                    << "," << row.rect[2] << "," << row.rect[3]);
    const auto source = NumberedPicture(row.width, row.height, row.rowBytes);
    std::vector<std::uint8_t> out(32 * 16 * 4 + 64, 0xAB);
    ASSERT_EQ(VideoEncoder_Crop(out.data(), row.rect.data(), source.data(), row.width, row.height, row.rowBytes,
                                row.bytesPerPixel),
              right > left ? 1 : 0);
    const int width = right - left;
    for (int y = top; y < bottom; ++y) {
      for (int x = left; x < right; ++x) {
        const std::uint8_t* p = &out[((y - top) * width + (x - left)) * 4];
        ASSERT_TRUE(p[0] == x && p[1] == y && p[2] == x + y && p[3] == 7) << "pixel " << x << "," << y;
      }
    }
    ASSERT_TRUE(std::all_of(out.begin() + width * (bottom - top) * 4, out.end(), [](int b) { return b == 0xAB; }))
        << "written past the crop";
  }
  const std::int32_t rect[4] = {1, 1, 5, 5};
  std::vector<std::uint8_t> source = NumberedPicture(10, 8, 40), out(source.size());
  EXPECT_EQ(VideoEncoder_Crop(nullptr, rect, source.data(), 10, 8, 40, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), nullptr, source.data(), 10, 8, 40, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, nullptr, 10, 8, 40, 4), 0);
}

TEST(PictureHelpers, SwapRowsReversesRowsAndTwiceRestores) {
  for (const int height : {1, 2, 5, 6}) {
    const auto original = NumberedPicture(7, height, 28);
    auto picture = original;
    ASSERT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), 28, height), 1);
    for (int y = 0; y < height; ++y) {
      ASSERT_TRUE(std::equal(&picture[y * 28], &picture[(y + 1) * 28], &original[(height - 1 - y) * 28])) << height << " " << y;
    }
    ASSERT_TRUE(std::equal(picture.begin() + height * 28, picture.end(), original.begin() + height * 28)) << "past the picture";
    ASSERT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), 28, height), 1);
    EXPECT_EQ(picture, original);
  }
  std::vector<std::uint8_t> picture(16, 1);
  for (const auto& [rowBytes, height] : {std::pair{0, 4}, {4, 0}, {-4, 4}}) {
    EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), rowBytes, height), 0);
  }
  EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(nullptr, 4, 4), 0);
}

}  // namespace
