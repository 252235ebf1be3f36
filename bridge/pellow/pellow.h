/*
 * pellow.h - the ASF encoder: WMA version 2 audio in an ASF file.
 */
#ifndef PELLOW_H
#define PELLOW_H

#include <stdint.h>
#ifdef __cplusplus
#else
#include <uchar.h>
#endif

#if defined(PELLOW_BUILDING_LIBRARY)
#define PELLOW_API __attribute__((visibility("default")))
#else
#define PELLOW_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Audio codec identifier of WMA version 2 in this encoder. */
enum { PELLOW_CODEC_WMAV2 = 0x70000 };

typedef struct PellowEncoder PellowEncoder;

PELLOW_API PellowEncoder* AsfEnc_Create(void);
/* The arguments marked unused are video settings this encoder ignores. */
PELLOW_API int AsfEnc_SetEncodingParams(PellowEncoder* encoder, int unused0, int unused1,
                                        int unused2, int audioCodecId, int unused3, int unused4,
                                        int sampleRate, int channels, int bitRate);
/* Path as UTF-16, NUL-terminated. Non-zero when the file is created and
 * ready; 0 (and no file) for parameters the encoder refuses. */
PELLOW_API int AsfEnc_Open(PellowEncoder* encoder, const char16_t* path);
/* Interleaved 16-bit PCM with its time stamp and duration (100 ns units). */
PELLOW_API int AsfEnc_WriteAudioEx(PellowEncoder* encoder, const uint8_t* data, int size,
                                   int sampleRate, int channels, int64_t timestamp,
                                   int64_t duration);
/* Drains the encoder. */
PELLOW_API int AsfEnc_WriteAudioEnd(PellowEncoder* encoder);
/* Completes the file. */
PELLOW_API int AsfEnc_Close(PellowEncoder* encoder);
/* Why Open, WriteAudioEx, WriteAudioEnd or Close last failed: 0 when nothing
 * failed, the system's error number (errno, e.g. ENOSPC) when writing the
 * file failed, -1 for another failure. */
PELLOW_API int AsfEnc_GetLastError(PellowEncoder* encoder);
PELLOW_API void AsfEnc_Delete(PellowEncoder* encoder);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* PELLOW_H */
