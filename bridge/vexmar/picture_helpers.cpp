// Picture helpers of the bridge: cutting a rectangle out of a picture and
// turning a picture's rows upside down. Pictures are rows of pixels stored
// one after the other; nothing here owns memory.
#include <algorithm>
#include <cstring>

#include "vexmar/vexmar.h"

namespace {

// Indices into a rectangle: left, top, right, bottom.
constexpr int kLeft = 0;
constexpr int kTop = 1;
constexpr int kRight = 2;
constexpr int kBottom = 3;

}  // namespace

extern "C" {

VEXMAR_API int VideoEncoder_Crop(uint8_t* destination, const int32_t* rect, const uint8_t* source,
                                 int sourceWidth, int sourceHeight, int sourceRowBytes,
                                 int bytesPerPixel) {
  if (destination == nullptr || rect == nullptr || source == nullptr || sourceWidth <= 0 ||
      sourceHeight <= 0 || bytesPerPixel <= 0) {
    return 0;
  }
  const long long fullRowBytes = static_cast<long long>(sourceWidth) * bytesPerPixel;
  if (sourceRowBytes < fullRowBytes) return 0;

  // Only the part of the rectangle that lies on the picture is copied; the
  // destination receives its rows back to back.
  const int left = std::max(rect[kLeft], 0);
  const int top = std::max(rect[kTop], 0);
  const int right = std::min(rect[kRight], sourceWidth);
  const int bottom = std::min(rect[kBottom], sourceHeight);
  if (left >= right || top >= bottom) return 0;

  const size_t rowBytes = static_cast<size_t>(right - left) * static_cast<size_t>(bytesPerPixel);
  const size_t columnOffset = static_cast<size_t>(left) * static_cast<size_t>(bytesPerPixel);
  for (int row = top; row < bottom; ++row) {
    const uint8_t* from =
        source + static_cast<size_t>(row) * static_cast<size_t>(sourceRowBytes) + columnOffset;
    std::memcpy(destination + static_cast<size_t>(row - top) * rowBytes, from, rowBytes);
  }
  return 1;
}

VEXMAR_API int VideoEncoder_SwapImageRowOrderInPlace(uint8_t* picture, int rowBytes, int height) {
  if (picture == nullptr || rowBytes <= 0 || height <= 0) return 0;
  const size_t length = static_cast<size_t>(rowBytes);
  for (int upper = 0, lower = height - 1; upper < lower; ++upper, --lower) {
    uint8_t* a = picture + static_cast<size_t>(upper) * length;
    uint8_t* b = picture + static_cast<size_t>(lower) * length;
    std::swap_ranges(a, a + length, b);
  }
  return 1;
}

}  // extern "C"
