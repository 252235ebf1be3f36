#include "morlin/flv_decoder.h"

#include <new>

#include "morlin/morlin.h"

namespace kelvra {

bool FlvDecoder::Open(int imageFormat, int declaredWidth, int declaredHeight) {
  Close();
  // A declared size of 0 (nothing read from a picture header) is harmless;
  // a negative one means the caller's header reading went wrong.
  if (declaredWidth < 0 || declaredHeight < 0) return false;
  if (!decoder_.SetOutputImageFormat(imageFormat)) return false;
  // The adjustment byte is not handed to libavcodec: without it the decoder
  // keeps the full coded size.
  if (!decoder_.Open(AV_CODEC_ID_VP6F, VideoDecoder::RowOrder::kTopFirst)) return false;
  declaredWidth_ = declaredWidth;
  declaredHeight_ = declaredHeight;
  return true;
}

void FlvDecoder::Close() {
  decoder_.Close();
  declaredWidth_ = 0;
  declaredHeight_ = 0;
}

bool FlvDecoder::Decode(const std::uint8_t* data, int size, VideoDecoder::Picture* picture) {
  return decoder_.Decode(data, size, picture);
}

}  // namespace kelvra

namespace {

kelvra::FlvDecoder* FromHandle(MorlinDecoder* handle) {
  return reinterpret_cast<kelvra::FlvDecoder*>(handle);
}

}  // namespace

extern "C" {

MORLIN_API MorlinDecoder* FlvDecoder_Create(int direction, int codec) {
  if (!kelvra::FlvDecoder::Supports(direction, codec)) return nullptr;
  return reinterpret_cast<MorlinDecoder*>(new (std::nothrow) kelvra::FlvDecoder());
}

MORLIN_API int FlvDecoder_Open(MorlinDecoder* decoder, int imageFormat, int width, int height) {
  if (decoder == nullptr) return 0;
  try {
    return FromHandle(decoder)->Open(imageFormat, width, height) ? 1 : 0;
  } catch (...) {
    FromHandle(decoder)->Close();
    return 0;
  }
}

MORLIN_API int FlvDecoder_DecodeVideo(MorlinDecoder* decoder, const uint8_t* data, int size,
                                      uint8_t** picture, int* pictureSize, int* width,
                                      int* height) {
  return kelvra::DecodeForExport(decoder == nullptr ? nullptr : FromHandle(decoder), data, size,
                                 picture, pictureSize, width, height);
}

MORLIN_API int FlvDecoder_Close(MorlinDecoder* decoder) {
  if (decoder == nullptr) return 0;
  FromHandle(decoder)->Close();
  return 1;
}

MORLIN_API void FlvDecoder_Free(MorlinDecoder* decoder) { delete FromHandle(decoder); }

}  // extern "C"
