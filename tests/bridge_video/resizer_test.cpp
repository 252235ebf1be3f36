// The bridge's resizer: BGRA pictures between two sizes, by resize mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

std::vector<std::uint8_t> SolidPicture(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r,
                                       std::uint8_t a) {
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(w * h * 4));
  for (std::size_t i = 0; i < picture.size(); i += 4) {
    picture[i] = b;
    picture[i + 1] = g;
    picture[i + 2] = r;
    picture[i + 3] = a;
  }
  return picture;
}

struct ResizeCase {
  int mode;
  int sourceWidth, sourceHeight, destinationWidth, destinationHeight;
};

class SolidColourResize : public ::testing::TestWithParam<ResizeCase> {};

TEST_P(SolidColourResize, StaysThatColourAndFillsTheWholeDestination) {
  const ResizeCase& c = GetParam();
  VexmarResizer* resizer =
      VRes_CreateByResizeMode(c.sourceWidth, c.sourceHeight, c.destinationWidth,
                              c.destinationHeight, VEXMAR_IMAGE_BGRA, c.mode);
  ASSERT_NE(resizer, nullptr);
  const auto source = SolidPicture(c.sourceWidth, c.sourceHeight, 30, 200, 90, 255);
  // One guard pixel after the destination shows nothing is written past it.
  const std::size_t destinationBytes =
      static_cast<std::size_t>(c.destinationWidth * c.destinationHeight * 4);
  std::vector<std::uint8_t> destination(destinationBytes + 4, 0x11);
  ASSERT_EQ(VRes_Resize(resizer, source.data(), destination.data()), 1);
  const auto expected = SolidPicture(c.destinationWidth, c.destinationHeight, 30, 200, 90, 255);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), destination.begin()));
  for (std::size_t i = destinationBytes; i < destination.size(); ++i)
    EXPECT_EQ(destination[i], 0x11);
  VRes_Free(resizer);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SolidColourResize,
    ::testing::Values(ResizeCase{0, 316, 228, 320, 240}, ResizeCase{0, 640, 480, 320, 240},
                      ResizeCase{1, 176, 144, 352, 288}, ResizeCase{2, 400, 304, 400, 300},
                      ResizeCase{2, 37, 29, 64, 48}, ResizeCase{7, 100, 75, 33, 21},
                      ResizeCase{-3, 8, 8, 16, 16}));

TEST(Resizer, ScalesAGradientSmoothly) {
  // A left-to-right ramp keeps its ramp at half width, whatever the mode.
  constexpr int kW = 256, kH = 16;
  std::vector<std::uint8_t> source(kW * kH * 4);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      std::uint8_t* p = &source[static_cast<std::size_t>((y * kW + x) * 4)];
      p[0] = p[1] = p[2] = static_cast<std::uint8_t>(x);
      p[3] = 255;
    }
  }
  for (int mode : {0, 1, 2}) {
    VexmarResizer* resizer =
        VRes_CreateByResizeMode(kW, kH, kW / 2, kH / 2, VEXMAR_IMAGE_BGRA, mode);
    ASSERT_NE(resizer, nullptr);
    std::vector<std::uint8_t> destination(kW / 2 * kH / 2 * 4);
    ASSERT_EQ(VRes_Resize(resizer, source.data(), destination.data()), 1);
    for (int y = 0; y < kH / 2; ++y) {
      for (int x = 0; x < kW / 2; ++x) {
        const std::uint8_t* p = &destination[static_cast<std::size_t>((y * kW / 2 + x) * 4)];
        ASSERT_LE(std::abs(int{p[0]} - 2 * x), 2) << "mode " << mode << " x " << x;
        ASSERT_EQ(p[0], p[1]);
        ASSERT_EQ(p[1], p[2]);
        ASSERT_EQ(p[3], 255);
      }
    }
    VRes_Free(resizer);
  }
}

TEST(Resizer, RefusesBadSizesFormatsAndArguments) {
  EXPECT_EQ(VRes_CreateByResizeMode(0, 240, 320, 240, VEXMAR_IMAGE_BGRA, 0), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(320, -1, 320, 240, VEXMAR_IMAGE_BGRA, 0), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(320, 240, 0, 240, VEXMAR_IMAGE_BGRA, 0), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(320, 240, 320, -240, VEXMAR_IMAGE_BGRA, 2), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(320, 240, 160, 120, VEXMAR_IMAGE_ALPHA_PLANE, 0), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(320, 240, 160, 120, 3, 0), nullptr);
  EXPECT_EQ(VRes_CreateByResizeMode(1 << 16, 1 << 16, 16, 16, VEXMAR_IMAGE_BGRA, 0), nullptr);

  VexmarResizer* resizer = VRes_CreateByResizeMode(16, 16, 8, 8, VEXMAR_IMAGE_BGRA, 0);
  ASSERT_NE(resizer, nullptr);
  std::vector<std::uint8_t> picture(16 * 16 * 4);
  EXPECT_EQ(VRes_Resize(resizer, nullptr, picture.data()), 0);
  EXPECT_EQ(VRes_Resize(resizer, picture.data(), nullptr), 0);
  EXPECT_EQ(VRes_Resize(nullptr, picture.data(), picture.data()), 0);
  VRes_Free(resizer);
  VRes_Free(nullptr);
}

}  // namespace
}  // namespace kelvra::test
