// Every function of pellow.h with its failure value (see
// bridge_forwarding.h): null for a handle, 0 for a flag, -1 for an error
// code.
#ifndef KELVRA_BRIDGE_LOADER_PELLOW_FUNCTIONS_H
#define KELVRA_BRIDGE_LOADER_PELLOW_FUNCTIONS_H

#include "pellow/pellow.h"

#define PELLOW_FUNCTIONS(F, V)                                                                   \
  F(PellowEncoder*, AsfEnc_Create, (void), (), nullptr)                                          \
  F(int, AsfEnc_SetEncodingParams,                                                               \
    (PellowEncoder * encoder, int unused0, int unused1, int unused2, int audioCodecId,           \
     int unused3, int unused4, int sampleRate, int channels, int bitRate),                       \
    (encoder, unused0, unused1, unused2, audioCodecId, unused3, unused4, sampleRate, channels,   \
     bitRate), 0)                                                                                \
  F(int, AsfEnc_Open, (PellowEncoder * encoder, const char16_t* path), (encoder, path), 0)      \
  F(int, AsfEnc_WriteAudioEx,                                                                    \
    (PellowEncoder * encoder, const uint8_t* data, int size, int sampleRate, int channels,       \
     int64_t timestamp, int64_t duration),                                                       \
    (encoder, data, size, sampleRate, channels, timestamp, duration), 0)                         \
  F(int, AsfEnc_WriteAudioEnd, (PellowEncoder * encoder), (encoder), 0)                          \
  F(int, AsfEnc_Close, (PellowEncoder * encoder), (encoder), 0)                                  \
  F(int, AsfEnc_GetLastError, (PellowEncoder * encoder), (encoder), -1)                          \
  V(AsfEnc_Delete, (PellowEncoder * encoder), (encoder))

#endif  // KELVRA_BRIDGE_LOADER_PELLOW_FUNCTIONS_H
