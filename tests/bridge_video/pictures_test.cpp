// The bridge's picture helpers (cropping, turning rows over) and resizer.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

// Pixel (x, y) holds x, y, x + y, 7 (4 bytes a pixel); row padding is 0xEE.
std::vector<std::uint8_t> NumberedPicture(int w, int h, int rowBytes) {
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(std::max(rowBytes * h, 0)) + 64, 0xEE);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      std::copy_n(std::array<int, 4>{x, y, x + y, 7}.begin(), 4, &picture[y * rowBytes + x * 4]);
  return picture;
}

TEST(PictureHelpers, CropAndSwapRows) {
  const struct {
    int width, height, rowBytes, bytesPerPixel;
    std::array<int32_t, 4> rect;      // left, top, right, bottom asked for
    std::array<int32_t, 4> expected;  // what is copied; all 0: refused
  } rows[] = {{20, 12, 20 * 4 + 12, 4, {3, 2, 17, 9}, {3, 2, 17, 9}},  // padded rows
              {32, 16, 32 * 4, 4, {0, 0, 28, 12}, {0, 0, 28, 12}},  // coded size, declared smaller
              {10, 8, 40, 4, {-5, 4, 100, 50}, {0, 4, 10, 8}},
              {10, 8, 40, 4, {3, 3, 3, 6}, {}},
              {10, 8, 40, 4, {1, 5, 4, 5}, {}},
              {0, 8, 40, 4, {1, 1, 5, 5}, {}},
              {10, 8, 39, 4, {1, 1, 5, 5}, {}},
              {10, 8, 40, 0, {1, 1, 5, 5}, {}}};
  for (const auto& row : rows) {
    const auto [left, top, right, bottom] = row.expected;
    SCOPED_TRACE(testing::Message() << "row " << &row - rows);
    const auto source = NumberedPicture(row.width, row.height, row.rowBytes);
    std::vector<std::uint8_t> out(32 * 16 * 4 + 64, 0xAB);
    ASSERT_EQ(VideoEncoder_Crop(out.data(), row.rect.data(), source.data(), row.width, row.height,
                                row.rowBytes, row.bytesPerPixel),
              right > left ? 1 : 0);
    const int width = right - left;
    for (int y = top; y < bottom; ++y)
      for (int x = left; x < right; ++x) {
        const std::uint8_t* p = &out[((y - top) * width + (x - left)) * 4];
        ASSERT_TRUE(p[0] == x && p[1] == y && p[2] == x + y && p[3] == 7)
            << "pixel " << x << "," << y;
      }
    const auto past = out.begin() + width * (bottom - top) * 4;
    ASSERT_EQ(std::count(past, out.end(), 0xAB), out.end() - past) << "written past";
  }
  // Swapping rows in place reverses them.
  for (const int height : {1, 2, 5, 6}) {
    const auto original = NumberedPicture(7, height, 28);
    auto expected = original;  // the bytes past the picture stay
    for (int y = 0; y < height; ++y)
      std::copy_n(&original[(height - 1 - y) * 28], 28, &expected[y * 28]);
    auto picture = original;
    ASSERT_EQ(VideoEncoder_SwapImageRowOrderInPlace(picture.data(), 28, height), 1);
    EXPECT_EQ(picture, expected) << height;
  }
  std::vector<std::uint8_t> small(16);
  for (const auto& [length, height] : {std::pair(0, 4), std::pair(4, 0), std::pair(-4, 4)})
    EXPECT_EQ(VideoEncoder_SwapImageRowOrderInPlace(small.data(), length, height), 0);
}

// A ramp in blue, its mirror in red: whatever the scaler, both keep their place.
TEST(Resizer, RampsKeepTheirPlaceAndColourOrAreRefused) {
  const struct {
    int mode, sourceWidth, sourceHeight, width, height;
    bool made;
  } rows[] = {{0, 316, 228, 320, 240, true},
              {1, 176, 144, 352, 288, true},
              {2, 37, 29, 64, 48, true},
              {7, 100, 75, 33, 21, true},  // an unknown mode: a default
              {0, 0, 240, 320, 240, false},
              {2, 320, 240, 320, -240, false},
              {0, 1 << 16, 1 << 16, 16, 16, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << &row - rows);
    VexmarResizer* resizer = VRes_CreateByResizeMode(row.sourceWidth, row.sourceHeight, row.width,
                                                     row.height, VEXMAR_IMAGE_BGRA, row.mode);
    ASSERT_EQ(resizer != nullptr, row.made);
    if (!row.made) continue;
    const auto ramp = [](double x, int width) { return (x + 0.5) * 255.0 / width; };
    std::vector<std::uint8_t> source;
    for (int i = 0; i < row.sourceWidth * row.sourceHeight; ++i) {
      const auto value =
          static_cast<std::uint8_t>(std::lround(ramp(i % row.sourceWidth, row.sourceWidth)));
      source.insert(source.end(), {value, 200, static_cast<std::uint8_t>(255 - value), 255});
    }
    std::vector<std::uint8_t> out(static_cast<std::size_t>(row.width * row.height + 1) * 4, 0x11);
    ASSERT_EQ(VRes_Resize(resizer, source.data(), out.data()), 1);
    VRes_Free(resizer);
    // Point sampling may be off by half a source pixel; the scalers' edges are not checked.
    const double tolerance = 2 + 128.0 / row.sourceWidth;
    for (int i = 0; i < row.width * row.height; ++i) {
      const int x = i % row.width;
      const std::uint8_t* p = &out[i * 4];
      ASSERT_TRUE(p[1] == 200 && p[3] == 255 && p[0] + p[2] >= 254 && p[0] + p[2] <= 256)
          << "pixel " << i;
      ASSERT_TRUE(x < 2 || x >= row.width - 2 || std::abs(p[0] - ramp(x, row.width)) <= tolerance)
          << "pixel " << i << ": " << int{p[0]};
    }
    EXPECT_TRUE(std::all_of(out.end() - 4, out.end(), [](int b) { return b == 0x11; }));
  }
}

}  // namespace
