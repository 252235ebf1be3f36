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

VEXMAR_API int VDD_OpenEx(VexmarVideoDecoder* decoder, int codecId, const uint8_t* config,
                          int configSize) {
  if (decoder == nullptr) return 0;
  using RowOrder = kelvra::VideoDecoder::RowOrder;
  AVCodecID codec = AV_CODEC_ID_NONE;
  // Callers of VP6 expect its pictures bottom row first, as the codec
  // stores them, and turn them over themselves.
  RowOrder rowOrder = RowOrder::kTopFirst;
  switch (codecId) {
    case VEXMAR_CODEC_FLV1:
      codec = AV_CODEC_ID_FLV1;
      break;
    case VEXMAR_CODEC_H264:
      codec = AV_CODEC_ID_H264;
      break;
    case VEXMAR_CODEC_VP6F:
      codec = AV_CODEC_ID_VP6F;
      rowOrder = RowOrder::kBottomFirst;
      break;
    case VEXMAR_CODEC_FLASHSV:
      codec = AV_CODEC_ID_FLASHSV;
      break;
    case VEXMAR_CODEC_FLASHSV2:
      codec = AV_CODEC_ID_FLASHSV2;
      break;
    default:
      FromHandle(decoder)->Close();
      return 0;
  }
  try {
    return FromHandle(decoder)->Open(codec, rowOrder, config, configSize) ? 1 : 0;
  } catch (...) {
    FromHandle(decoder)->Close();
    return 0;
  }
}

VEXMAR_API int VDD_Open(VexmarVideoDecoder* decoder, int codecId) {
  return VDD_OpenEx(decoder, codecId, nullptr, 0);
}

VEXMAR_API int VDD_SendPacket(VexmarVideoDecoder* decoder, const uint8_t* data, int size,
                              int64_t time, int keyFrame) {
  if (decoder == nullptr) return 0;
  try {
    return FromHandle(decoder)->Send(data, size, time, keyFrame != 0) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

VEXMAR_API int VDD_ReceivePicture(VexmarVideoDecoder* decoder, uint8_t** picture,
                                  int* pictureSize, int* width, int* height, int64_t* time) {
  if (decoder == nullptr || picture == nullptr || pictureSize == nullptr || width == nullptr ||
      height == nullptr || time == nullptr) {
    return 0;
  }
  try {
    kelvra::VideoDecoder::Picture decoded;
    std::int64_t stamp = 0;
    if (!FromHandle(decoder)->Receive(&decoded, &stamp)) return 0;
    *picture = decoded.data;
    *pictureSize = decoded.size;
    *width = decoded.width;
    *height = decoded.height;
    *time = stamp;
    return 1;
  } catch (...) {
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
