// The bridge's picture helpers: cropping and turning rows over.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

// A w x h picture whose pixel (x, y) holds x, y, x + y, 7 (bpp 4), padded
// to rowBytes with 0xEE.
std::vector<std::uint8_t> NumberedPicture(int w, int h, int rowBytes) {
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(rowBytes * h), 0xEE);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      std::uint8_t* p = &picture[static_cast<std::size_t>(y * rowBytes + x * 4)];
      p[0] = static_cast<std::uint8_t>(x);
      p[1] = static_cast<std::uint8_t>(y);
      p[2] = static_cast<std::uint8_t>(x + y);
      p[3] = 7;
    }
  }
  return picture;
}

// Checks that `out` holds pixels [left, right) x [top, bottom) of a
// NumberedPicture, rows back to back, and nothing was written after them.
void ExpectCropOf(const std::vector<std::uint8_t>& out, int left, int top, int right, int bottom) {
  const int width = right - left;
  for (int y = top; y < bottom; ++y) {
    for (int x = left; x < right; ++x) {
      const std::uint8_t* p = &out[static_cast<std::size_t>(((y - top) * width + (x - left)) * 4)];
      ASSERT_EQ(p[0], x);
      ASSERT_EQ(p[1], y);
      ASSERT_EQ(p[2], static_cast<std::uint8_t>(x + y));
      ASSERT_EQ(p[3], 7);
    }
  }
  for (std::size_t i = static_cast<std::size_t>(width * (bottom - top) * 4); i < out.size(); ++i) {
    ASSERT_EQ(out[i], 0xAB) << "written past the crop at " << i;
  }
}

struct CropRow {
  const char* name;
  int width, height, rowBytes;
  std::array<int32_t, 4> rect;      // left, top, right, bottom asked for
  std::array<int32_t, 4> expected;  // what is copied
};

class Crop : public ::testing::TestWithParam<CropRow> {};

TEST_P(Crop, CopiesTheRectangleRowsBackToBack) {
  const CropRow& row = GetParam();
  const auto source = NumberedPicture(row.width, row.height, row.rowBytes);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(row.width * row.height * 4 + 64), 0xAB);
  ASSERT_EQ(VideoEncoder_Crop(out.data(), row.rect.data(), source.data(), row.width, row.height,
                              row.rowBytes, 4),
            1);
  ExpectCropOf(out, row.expected[0], row.expected[1], row.expected[2], row.expected[3]);
}

INSTANTIATE_TEST_SUITE_P(
    Rectangles, Crop,
    ::testing::Values(CropRow{"InsidePaddedRows", 20, 12, 20 * 4 + 12, {3, 2, 17, 9}, {3, 2, 17, 9}},
                      CropRow{"WholePicture", 32, 16, 32 * 4, {0, 0, 32, 16}, {0, 0, 32, 16}},
                      // Coded 32 x 16, declared 28 x 12.
                      CropRow{"DeclaredSize", 32, 16, 32 * 4, {0, 0, 28, 12}, {0, 0, 28, 12}},
                      CropRow{"LargerThanThePictureIsClipped", 10, 8, 10 * 4, {-5, 4, 100, 50},
                              {0, 4, 10, 8}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CropArguments, RefusesBadArgumentsAndEmptyRectangles) {
  constexpr int kW = 10, kH = 8;
  const auto source = NumberedPicture(kW, kH, kW * 4);
  std::vector<std::uint8_t> out(kW * kH * 4, 0xAB);
  const int32_t rect[4] = {1, 1, 5, 5};
  EXPECT_EQ(VideoEncoder_Crop(nullptr, rect, source.data(), kW, kH, kW * 4, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), nullptr, source.data(), kW, kH, kW * 4, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, nullptr, kW, kH, kW * 4, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, source.data(), 0, kH, kW * 4, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, source.data(), kW, -1, kW * 4, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, source.data(), kW, kH, kW * 4 - 1, 4), 0);
  EXPECT_EQ(VideoEncoder_Crop(out.data(), rect, source.data(), kW, kH, kW * 4, 0), 0);
  for (const auto& empty : {std::array<int32_t, 4>{-1, -1, -1, -1},
                            {3, 3, 3, 6},
                            {5, 2, 4, 6},
                            {20, 0, 30, 8},
                            {0, 8, 10, 12}}) {
    EXPECT_EQ(VideoEncoder_Crop(out.data(), empty.data(), source.data(), kW, kH, kW * 4, 4), 0);
  }
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == 0xAB; }));
}

TEST(SwapRows, ReversesRowsAndTwiceRestores) {
  for (int height : {1, 2, 5, 6}) {
    constexpr int kW = 7;
    const auto original = NumberedPicture(kW, height, kW * 4);
    auto picture = original;
    ASSERT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), kW * 4, height), 1);
    for (int y = 0; y < height; ++y) {
      ASSERT_TRUE(std::equal(picture.begin() + y * kW * 4, picture.begin() + (y + 1) * kW * 4,
                             original.begin() + (height - 1 - y) * kW * 4))
          << "height " << height << " row " << y;
    }
    ASSERT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), kW * 4, height), 1);
    EXPECT_TRUE(picture == original);
  }
}

TEST(SwapRows, RefusesBadArguments) {
  std::vector<std::uint8_t> picture(16, 1);
  EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(nullptr, 4, 4), 0);
  EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), 0, 4), 0);
  EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), 4, 0), 0);
  EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), -4, 4), 0);
}

}  // namespace
}  // namespace kelvra::test
