// The bridge's picture resizer (VRes_ family): scales image-format-6
// pictures (B, G, R, A; rows of width x 4 bytes back to back) between two
// sizes fixed at creation, on libswscale.
//
// Resize modes choose the scaler's filter:
//   0  SWS_BICUBIC   the default; smooth, for the decoding pipeline
//   1  SWS_BILINEAR
//   2  SWS_POINT     nearest neighbour: fast and sharp (used by the frame
//                    readers, whose pictures rarely need scaling at all)
// Any other mode falls back to mode 0. SWS_FAST_BILINEAR is deliberately not
// offered: for BGRA to BGRA it goes through subsampled chroma and shifts even
// a solid colour.
#ifndef KELVRA_BRIDGE_VEXMAR_RESIZER_H
#define KELVRA_BRIDGE_VEXMAR_RESIZER_H

#include <cstdint>
#include <memory>
#include <vector>

struct SwsContext;

namespace kelvra {

class Resizer {
 public:
  static constexpr int kImageFormatBgra = 6;
  static constexpr int kBytesPerPixel = 4;

  // Null when a size is not positive, a picture would not fit an int, the
  // image format is not 6 or the scaler cannot be made.
  static std::unique_ptr<Resizer> Create(int sourceWidth, int sourceHeight, int destinationWidth,
                                         int destinationHeight, int imageFormat, int resizeMode);
  // The scaler flags a resize mode selects.
  static int ScalerFlagsForMode(int resizeMode);

  ~Resizer();
  Resizer(const Resizer&) = delete;
  Resizer& operator=(const Resizer&) = delete;

  // Reads a whole source picture and writes a whole destination picture.
  bool Resize(const std::uint8_t* source, std::uint8_t* destination);

 private:
  struct ScalerDeleter {
    void operator()(SwsContext* scaler) const;
  };

  Resizer() = default;

  std::unique_ptr<SwsContext, ScalerDeleter> scaler_;
  int sourceWidth_ = 0;
  int sourceHeight_ = 0;
  int destinationWidth_ = 0;
  int destinationHeight_ = 0;
  // The scaler writes into this aligned, padded image and the rows are then
  // copied out, so the caller's buffer of exactly width x height x 4 bytes
  // is never written past its end.
  std::vector<std::uint8_t> scaled_;
  int scaledRowBytes_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_BRIDGE_VEXMAR_RESIZER_H
