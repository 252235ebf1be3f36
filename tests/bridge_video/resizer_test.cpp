// The bridge's resizer: BGRA pictures between two sizes, by resize mode.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

// The source is a ramp in blue, its mirror in red, green and alpha
// constant: every row keeps both ramps in place, whatever the scaler.
TEST(Resizer, RampsKeepTheirPlaceAndColourOrRefused) {
  const struct {
    int mode, sourceWidth, sourceHeight, width, height, format;
    bool made;
  } rows[] = {
      {0, 316, 228, 320, 240, VEXMAR_IMAGE_BGRA, true}, {0, 640, 480, 320, 240, VEXMAR_IMAGE_BGRA, true},
      {1, 176, 144, 352, 288, VEXMAR_IMAGE_BGRA, true}, {2, 400, 304, 400, 300, VEXMAR_IMAGE_BGRA, true},
      {2, 37, 29, 64, 48, VEXMAR_IMAGE_BGRA, true},     {1, 256, 16, 128, 8, VEXMAR_IMAGE_BGRA, true},
      {7, 100, 75, 33, 21, VEXMAR_IMAGE_BGRA, true},    {-3, 8, 8, 16, 16, VEXMAR_IMAGE_BGRA, true},  // unknown: a default
      {0, 0, 240, 320, 240, VEXMAR_IMAGE_BGRA, false},  {0, 320, -1, 320, 240, VEXMAR_IMAGE_BGRA, false},
      {0, 320, 240, 0, 240, VEXMAR_IMAGE_BGRA, false},  {2, 320, 240, 320, -240, VEXMAR_IMAGE_BGRA, false},
      {0, 320, 240, 160, 120, VEXMAR_IMAGE_ALPHA_PLANE, false}, {0, 320, 240, 160, 120, 3, false},
      {0, 1 << 16, 1 << 16, 16, 16, VEXMAR_IMAGE_BGRA, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << row.mode << " " << row.sourceWidth << "x" << row.sourceHeight << " to "
                                    << row.width << "x" << row.height);
    VexmarResizer* resizer = VRes_CreateByResizeMode(row.sourceWidth, row.sourceHeight, row.width, row.height, row.format, row.mode);
    ASSERT_EQ(resizer != nullptr, row.made);
    if (!row.made) continue;
    const auto ramp = [](double x, int width) { return (x + 0.5) * 255.0 / width; };
    std::vector<std::uint8_t> source;
    for (int i = 0; i < row.sourceWidth * row.sourceHeight; ++i) {
      const auto value = static_cast<std::uint8_t>(std::lround(ramp(i % row.sourceWidth, row.sourceWidth)));
      source.insert(source.end(), {value, 200, static_cast<std::uint8_t>(255 - value), 255});
    }
    // One guard pixel after the destination.
    std::vector<std::uint8_t> out(static_cast<std::size_t>(row.width * row.height + 1) * 4, 0x11);
    ASSERT_EQ(VRes_Resize(resizer, source.data(), out.data()), 1);
    VRes_Free(resizer);
    // Point sampling may be off by half a source pixel; the scalers' edges are not checked.
    const double tolerance = 2 + 128.0 / row.sourceWidth;
    for (int i = 0; i < row.width * row.height; ++i) {
      const int x = i % row.width;
      const std::uint8_t* p = &out[i * 4];
      ASSERT_TRUE(p[1] == 200 && p[3] == 255 && p[0] + p[2] >= 254 && p[0] + p[2] <= 256) << "pixel " << i;
      if (x > 1 && x < row.width - 2) {
        ASSERT_NEAR(p[0], ramp(x, row.width), tolerance) << "pixel " << i;
      }
    }
    for (std::size_t i = out.size() - 4; i < out.size(); ++i) EXPECT_EQ(out[i], 0x11) << "written past the picture";
  }
  VexmarResizer* resizer = VRes_CreateByResizeMode(16, 16, 8, 8, VEXMAR_IMAGE_BGRA, 0);
  std::vector<std::uint8_t> picture(16 * 16 * 4);
  EXPECT_EQ(VRes_Resize(resizer, nullptr, picture.data()), 0);
  EXPECT_EQ(VRes_Resize(resizer, picture.data(), nullptr), 0);
  EXPECT_EQ(VRes_Resize(nullptr, picture.data(), picture.data()), 0);
  VRes_Free(resizer);
  VRes_Free(nullptr);
}

}  // namespace
