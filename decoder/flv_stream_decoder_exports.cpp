// The FLVStreamDecoder_ exports: C functions over the opaque handle. None lets
// an exception escape; a null handle answers 0 (or is ignored).
#include <new>

#include "decoder/flv_audio_decoder.h"
#include "decoder/flv_stream_decoder.h"
#include "decoder/flv_video_decoder.h"
#include "kelvra.h"

namespace {

kelvra::FLVStreamDecoder* Impl(::FLVStreamDecoder* decoder) {
  return reinterpret_cast<kelvra::FLVStreamDecoder*>(decoder);
}

// Runs `call` on the decoder, answering 0 for a null handle or an exception.
template <typename Call>
int Guarded(::FLVStreamDecoder* decoder, Call call) {
  if (decoder == nullptr) return 0;
  try {
    return call(*Impl(decoder));
  } catch (...) {
    return 0;
  }
}

}  // namespace

extern "C" {

KELVRA_API FLVStreamDecoder* FLVStreamDecoder_Create(int video) {
  try {
    kelvra::FLVStreamDecoder* decoder = nullptr;
    if (video != 0) {
      decoder = new (std::nothrow) kelvra::FLVVideoDecoder();
    } else {
      decoder = new (std::nothrow) kelvra::FLVAudioDecoder();
    }
    return reinterpret_cast<::FLVStreamDecoder*>(decoder);
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API void FLVStreamDecoder_Delete(FLVStreamDecoder* decoder) {
  if (decoder == nullptr) return;
  try {
    delete Impl(decoder);
  } catch (...) {
  }
}

KELVRA_API int FLVStreamDecoder_SetOutputCallBack(FLVStreamDecoder* decoder,
                                                  FLVStreamDecoderOutputCallBack callBack,
                                                  void* userData) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) {
    return d.SetOutputCallBack(callBack, userData);
  });
}

KELVRA_API int FLVStreamDecoder_SetDeleteFLVTagCallBack(FLVStreamDecoder* decoder,
                                                        DeleteFLVTagCallBack callBack,
                                                        void* userData) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) {
    return d.SetDeleteFLVTagCallBack(callBack, userData);
  });
}

KELVRA_API int FLVStreamDecoder_SetMaxFLVTagQueue(FLVStreamDecoder* decoder, int count) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetMaxFLVTagQueue(count); });
}

KELVRA_API int FLVStreamDecoder_SetBrother(FLVStreamDecoder* decoder, FLVStreamDecoder* brother) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.SetBrother(Impl(brother)); });
}

KELVRA_API int FLVStreamDecoder_SetMaxIntervalTime(FLVStreamDecoder* decoder, int milliseconds) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.SetMaxIntervalTime(milliseconds); });
}

KELVRA_API int FLVStreamDecoder_SetDecodeSyncMode(FLVStreamDecoder* decoder, int mode) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetDecodeSyncMode(mode); });
}

KELVRA_API int FLVStreamDecoder_SetSampleRate(FLVStreamDecoder* decoder, int sampleRate) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetSampleRate(sampleRate); });
}

KELVRA_API int FLVStreamDecoder_SetNumberOfChannels(FLVStreamDecoder* decoder, int channels) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.SetNumberOfChannels(channels); });
}

KELVRA_API int FLVStreamDecoder_SetOutputSize(FLVStreamDecoder* decoder, int width, int height) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.SetOutputSize(width, height); });
}

KELVRA_API int FLVStreamDecoder_SetOutputFPS(FLVStreamDecoder* decoder, double fps) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetOutputFPS(fps); });
}

KELVRA_API int FLVStreamDecoder_SetDecodeAlphaChannel(FLVStreamDecoder* decoder, int flag) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.SetDecodeAlphaChannel(flag); });
}

KELVRA_API int FLVStreamDecoder_SetCropRect(FLVStreamDecoder* decoder, const FLVRect* rect) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetCropRect(rect); });
}

KELVRA_API int FLVStreamDecoder_SetResizeMode(FLVStreamDecoder* decoder, int mode) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.SetResizeMode(mode); });
}

KELVRA_API int FLVStreamDecoder_DecodeFLVTag(FLVStreamDecoder* decoder, FLVTag* tag, uint8_t** data,
                                             int* size) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.DecodeFLVTag(tag, data, size); });
}

KELVRA_API int FLVStreamDecoder_GetPictureTime(FLVStreamDecoder* decoder,
                                               uint32_t* milliseconds) {
  return Guarded(decoder,
                 [&](kelvra::FLVStreamDecoder& d) { return d.GetPictureTime(milliseconds); });
}

KELVRA_API int FLVStreamDecoder_Run(FLVStreamDecoder* decoder) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.Run(); });
}

KELVRA_API int FLVStreamDecoder_DeliverFLVPacket(FLVStreamDecoder* decoder, FLVTag* tag) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.DeliverFLVPacket(tag); });
}

KELVRA_API int FLVStreamDecoder_Stop(FLVStreamDecoder* decoder) {
  return Guarded(decoder, [&](kelvra::FLVStreamDecoder& d) { return d.Stop(); });
}

}  // extern "C"
