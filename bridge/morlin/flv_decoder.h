// The Morlin VP6 decoder: FLV's VP6 (Flash flavour) frames into pictures in
// the bridge's image formats 6 (BGRA) or 1 (alpha plane), rows top first.
// Pictures have the coded size, whole macroblocks; cutting them down to the
// declared size is the caller's business.
#ifndef KELVRA_BRIDGE_MORLIN_FLV_DECODER_H
#define KELVRA_BRIDGE_MORLIN_FLV_DECODER_H

#include <cstdint>

#include "vexmar/video_decoder.h"

namespace kelvra {

class FlvDecoder {
 public:
  // The arguments of FlvDecoder_Create this library serves: pictures top
  // row first, FLV video codec 4 (VP6).
  static constexpr int kDirectionTopFirst = 1;
  static constexpr int kCodecVp6 = 4;

  static bool Supports(int direction, int codec) {
    return direction == kDirectionTopFirst && codec == kCodecVp6;
  }

  // Opens (or re-opens) the decoder. The declared size is kept only for
  // reference: the coded frames carry their own size.
  bool Open(int imageFormat, int declaredWidth, int declaredHeight);
  void Close();
  bool Decode(const std::uint8_t* data, int size, VideoDecoder::Picture* picture);

 private:
  VideoDecoder decoder_;
  int declaredWidth_ = 0;
  int declaredHeight_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_BRIDGE_MORLIN_FLV_DECODER_H
