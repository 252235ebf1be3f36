// The VDD_ family: the bridge's video decoders over kelvra::VideoDecoder.
#include <new>

#include "vexmar/vexmar.h"
#include "vexmar/video_decoder.h"

namespace {

kelvra::VideoDecoder* FromHandle(VexmarVideoDecoder* handle) {
  return reinterpret_cast<kelvra::VideoDecoder*>(handle);
}

}  // namespace

extern "C" {

VEXMAR_API VexmarVideoDecoder* VDD_Create(void) {
  try {
    return reinterpret_cast<VexmarVideoDecoder*>(new kelvra::VideoDecoder());
  } catch (...) {
    return nullptr;
  }
}

VEXMAR_API int VDD_SetOutputImageFormat(VexmarVideoDecoder* decoder, int imageFormat) {
  if (decoder == nullptr) return 0;
  return FromHandle(decoder)->SetOutputImageFormat(imageFormat) ? 1 : 0;
}

VEXMAR_API int VDD_Open(VexmarVideoDecoder* decoder, int codecId) {
  if (decoder == nullptr) return 0;
  try {
    switch (codecId) {
      case VEXMAR_CODEC_FLV1:
        return FromHandle(decoder)->Open(AV_CODEC_ID_FLV1,
                                         kelvra::VideoDecoder::RowOrder::kTopFirst)
                   ? 1
                   : 0;
      case VEXMAR_CODEC_VP6F:
        // Callers of this identifier expect VP6 pictures bottom row first,
        // as the codec stores them, and turn them over themselves.
        return FromHandle(decoder)->Open(AV_CODEC_ID_VP6F,
                                         kelvra::VideoDecoder::RowOrder::kBottomFirst)
                   ? 1
                   : 0;
      default:
        FromHandle(decoder)->Close();
        return 0;
    }
  } catch (...) {
    FromHandle(decoder)->Close();
    return 0;
  }
}

VEXMAR_API int VDD_Decode(VexmarVideoDecoder* decoder, const uint8_t* data, int size,
                          uint8_t** picture, int* pictureSize, int* width, int* height) {
  return kelvra::DecodeForExport(decoder == nullptr ? nullptr : FromHandle(decoder), data, size,
                                 picture, pictureSize, width, height);
}

VEXMAR_API int VDD_Close(VexmarVideoDecoder* decoder) {
  if (decoder == nullptr) return 0;
  FromHandle(decoder)->Close();
  return 1;
}

VEXMAR_API void VDD_Delete(VexmarVideoDecoder* decoder) { delete FromHandle(decoder); }

}  // extern "C"
