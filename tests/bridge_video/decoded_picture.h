// A copy of a picture handed out by a bridge video decoder, for comparing
// pictures across calls (the decoder's own buffer lives only until its next
// call).
#ifndef KELVRA_TESTS_BRIDGE_VIDEO_DECODED_PICTURE_H
#define KELVRA_TESTS_BRIDGE_VIDEO_DECODED_PICTURE_H

#include <algorithm>
#include <cstdint>
#include <vector>

namespace kelvra::test {

struct DecodedPicture {
  std::vector<std::uint8_t> bytes;
  int width = 0;
  int height = 0;

  int bytesPerPixel() const {
    return width > 0 && height > 0 ? static_cast<int>(bytes.size()) / (width * height) : 0;
  }
};

// The picture with its rows in the opposite order.
inline std::vector<std::uint8_t> RowsReversed(const DecodedPicture& picture) {
  const std::size_t rowBytes = picture.bytes.size() / static_cast<std::size_t>(picture.height);
  std::vector<std::uint8_t> reversed;
  reversed.reserve(picture.bytes.size());
  for (int row = picture.height - 1; row >= 0; --row) {
    const auto start = picture.bytes.begin() + static_cast<std::ptrdiff_t>(row * rowBytes);
    reversed.insert(reversed.end(), start, start + static_cast<std::ptrdiff_t>(rowBytes));
  }
  return reversed;
}

// Whether every fourth byte (the alpha of format 6) is 255.
inline bool AllOpaque(const std::vector<std::uint8_t>& bgra) {
  for (std::size_t i = 3; i < bgra.size(); i += 4) {
    if (bgra[i] != 0xFF) return false;
  }
  return true;
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_BRIDGE_VIDEO_DECODED_PICTURE_H
