/*
 * morlin.h - the FLV video codec library: VP6 (Flash flavour) decoding,
 * pictures rows top first.
 */
#ifndef MORLIN_H
#define MORLIN_H

#include <stdint.h>

#if defined(MORLIN_BUILDING_LIBRARY)
#define MORLIN_API __attribute__((visibility("default")))
#else
#define MORLIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct MorlinDecoder MorlinDecoder;

/* Create(1, 4): a VP6 decoder; null when it cannot be made. */
MORLIN_API MorlinDecoder* FlvDecoder_Create(int direction, int codec);
/* Image format 6 (BGRA) or 1 (alpha plane); the declared picture size.
 * Non-zero on success. */
MORLIN_API int FlvDecoder_Open(MorlinDecoder* decoder, int imageFormat, int width, int height);
/* Decodes one VP6 frame; the picture belongs to the decoder and is valid
 * until its next call. Non-zero on success; a frame that does not decode
 * fails. */
MORLIN_API int FlvDecoder_DecodeVideo(MorlinDecoder* decoder, const uint8_t* data, int size,
                                      uint8_t** picture, int* pictureSize, int* width,
                                      int* height);
MORLIN_API int FlvDecoder_Close(MorlinDecoder* decoder);
MORLIN_API void FlvDecoder_Free(MorlinDecoder* decoder);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* MORLIN_H */
