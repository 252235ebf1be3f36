#include "vexmar/resizer.h"

#include <climits>
#include <cstring>
#include <new>

extern "C" {
#include <libswscale/swscale.h>
}

#include "vexmar/vexmar.h"

namespace kelvra {

namespace {

enum ResizeMode { kModeBicubic = 0, kModeBilinear = 1, kModePoint = 2 };

// Row stride of the scaler's own image: a multiple of its widest vector block.
constexpr int kScaledRowAlignment = 64;
// Extra bytes after the scaler's image for writes past its last row.
constexpr int kScaledTailSlack = 64;

bool FitsInt(long long value) { return value >= 0 && value <= INT_MAX; }

}  // namespace

void Resizer::ScalerDeleter::operator()(SwsContext* scaler) const { sws_freeContext(scaler); }

Resizer::~Resizer() = default;

int Resizer::ScalerFlagsForMode(int resizeMode) {
  switch (resizeMode) {
    case kModeBilinear:
      return SWS_BILINEAR;
    case kModePoint:
      return SWS_POINT;
    case kModeBicubic:
    default:
      return SWS_BICUBIC;
  }
}

std::unique_ptr<Resizer> Resizer::Create(int sourceWidth, int sourceHeight, int destinationWidth,
                                         int destinationHeight, int imageFormat, int resizeMode) {
  if (imageFormat != kImageFormatBgra || sourceWidth <= 0 || sourceHeight <= 0 ||
      destinationWidth <= 0 || destinationHeight <= 0) {
    return nullptr;
  }
  const long long sourceBytes = static_cast<long long>(sourceWidth) * sourceHeight * kBytesPerPixel;
  const long long rowBytes =
      (static_cast<long long>(destinationWidth) * kBytesPerPixel + kScaledRowAlignment - 1) /
      kScaledRowAlignment * kScaledRowAlignment;
  const long long scaledBytes = rowBytes * destinationHeight + kScaledTailSlack;
  if (!FitsInt(sourceBytes) || !FitsInt(scaledBytes)) return nullptr;

  std::unique_ptr<Resizer> resizer(new Resizer());
  resizer->scaler_.reset(sws_getContext(sourceWidth, sourceHeight, AV_PIX_FMT_BGRA,
                                        destinationWidth, destinationHeight, AV_PIX_FMT_BGRA,
                                        ScalerFlagsForMode(resizeMode), nullptr, nullptr, nullptr));
  if (!resizer->scaler_) return nullptr;
  resizer->sourceWidth_ = sourceWidth;
  resizer->sourceHeight_ = sourceHeight;
  resizer->destinationWidth_ = destinationWidth;
  resizer->destinationHeight_ = destinationHeight;
  resizer->scaled_.assign(static_cast<size_t>(scaledBytes), 0);
  resizer->scaledRowBytes_ = static_cast<int>(rowBytes);
  return resizer;
}

bool Resizer::Resize(const std::uint8_t* source, std::uint8_t* destination) {
  if (source == nullptr || destination == nullptr) return false;
  const std::uint8_t* const sourcePlanes[4] = {source, nullptr, nullptr, nullptr};
  const int sourceStrides[4] = {sourceWidth_ * kBytesPerPixel, 0, 0, 0};
  std::uint8_t* const scaledPlanes[4] = {scaled_.data(), nullptr, nullptr, nullptr};
  const int scaledStrides[4] = {scaledRowBytes_, 0, 0, 0};
  const int rows = sws_scale(scaler_.get(), sourcePlanes, sourceStrides, 0, sourceHeight_,
                             scaledPlanes, scaledStrides);
  if (rows != destinationHeight_) return false;
  const size_t rowBytes = static_cast<size_t>(destinationWidth_) * kBytesPerPixel;
  for (int row = 0; row < destinationHeight_; ++row) {
    std::memcpy(destination + static_cast<size_t>(row) * rowBytes,
                scaled_.data() + static_cast<size_t>(row) * scaledRowBytes_, rowBytes);
  }
  return true;
}

}  // namespace kelvra

extern "C" {

VEXMAR_API VexmarResizer* VRes_CreateByResizeMode(int sourceWidth, int sourceHeight,
                                                  int destinationWidth, int destinationHeight,
                                                  int imageFormat, int resizeMode) {
  try {
    return reinterpret_cast<VexmarResizer*>(
        kelvra::Resizer::Create(sourceWidth, sourceHeight, destinationWidth, destinationHeight,
                                imageFormat, resizeMode)
            .release());
  } catch (...) {
    return nullptr;
  }
}

VEXMAR_API int VRes_Resize(VexmarResizer* resizer, const uint8_t* source, uint8_t* destination) {
  if (resizer == nullptr) return 0;
  return reinterpret_cast<kelvra::Resizer*>(resizer)->Resize(source, destination) ? 1 : 0;
}

VEXMAR_API void VRes_Free(VexmarResizer* resizer) {
  delete reinterpret_cast<kelvra::Resizer*>(resizer);
}

}  // extern "C"
