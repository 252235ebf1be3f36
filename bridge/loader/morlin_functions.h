// Every function of morlin.h with its failure value (see
// bridge_forwarding.h).
#ifndef KELVRA_BRIDGE_LOADER_MORLIN_FUNCTIONS_H
#define KELVRA_BRIDGE_LOADER_MORLIN_FUNCTIONS_H

#include "morlin/morlin.h"

#define MORLIN_FUNCTIONS(F, V)                                                                   \
  F(MorlinDecoder*, FlvDecoder_Create, (int direction, int codec), (direction, codec), nullptr) \
  F(int, FlvDecoder_Open, (MorlinDecoder * decoder, int imageFormat, int width, int height),    \
    (decoder, imageFormat, width, height), 0)                                                    \
  F(int, FlvDecoder_DecodeVideo,                                                                 \
    (MorlinDecoder * decoder, const uint8_t* data, int size, uint8_t** picture,                  \
     int* pictureSize, int* width, int* height),                                                 \
    (decoder, data, size, picture, pictureSize, width, height), 0)                               \
  F(int, FlvDecoder_Close, (MorlinDecoder * decoder), (decoder), 0)                              \
  V(FlvDecoder_Free, (MorlinDecoder * decoder), (decoder))

#endif  // KELVRA_BRIDGE_LOADER_MORLIN_FUNCTIONS_H
