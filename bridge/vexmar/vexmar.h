/*
 * vexmar.h - the codec bridge: audio and video decoding, resampling, picture
 * cropping and resizing, a byte FIFO and an audio file writer, on FFmpeg.
 *
 * Handles are opaque. Each handle is used by one thread at a time.
 */
#ifndef VEXMAR_H
#define VEXMAR_H

#include <stddef.h>
#include <stdint.h>

#if defined(VEXMAR_BUILDING_LIBRARY)
#define VEXMAR_API __attribute__((visibility("default")))
#else
#define VEXMAR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Codec identifiers (libavcodec's 2008 numbering) that the bridge decodes. */
enum {
  VEXMAR_CODEC_PCM_S16LE = 0x10000,
  VEXMAR_CODEC_PCM_S8 = 0x10004, /* FLV 8-bit PCM (unsigned on the wire) */
  VEXMAR_CODEC_ADPCM_SWF = 0x1100D,
  VEXMAR_CODEC_MP3 = 0x15001,
  VEXMAR_CODEC_NELLYMOSER = 0x11800,
  VEXMAR_CODEC_PCM_MULAW = 0x10006, /* G.711 mu-law */
  VEXMAR_CODEC_PCM_ALAW = 0x10007,  /* G.711 A-law */
  /* FLV AAC payloads, AACPacketType byte first: a sequence header (0)
   * configures the decoder from its AudioSpecificConfig, raw frames (1)
   * decode. Frames before any configuration are skipped; after
   * VEXMAR_AAC_FRAMES_BEFORE_FALLBACK of them the nominal format given to
   * ADD_Decode configures the decoder instead. */
  VEXMAR_CODEC_AAC = 0x15002,
  VEXMAR_CODEC_SPEEX = 0x15024, /* one or more Speex frames per payload */
  VEXMAR_CODEC_FLV1 = 22, /* Sorenson H.263, rows top first */
  VEXMAR_CODEC_H264 = 28, /* H.264, rows top first; open with VDD_OpenEx */
  VEXMAR_CODEC_VP6F = 94, /* VP6 (Flash), rows bottom first */
  /* The screen codecs' numbers are the bridge's own. Rows top first. */
  VEXMAR_CODEC_FLASHSV = 0x20001, /* Screen Video */
  VEXMAR_CODEC_FLASHSV2 = 0x20002 /* Screen Video 2 */
};

enum { VEXMAR_AAC_FRAMES_BEFORE_FALLBACK = 16 };

/* Image formats of decoded pictures. */
enum {
  VEXMAR_IMAGE_ALPHA_PLANE = 1, /* 2 bytes per pixel, the value in the first */
  VEXMAR_IMAGE_BGRA = 6         /* 4 bytes per pixel: B, G, R, A */
};

typedef struct VexmarWriter VexmarWriter;
typedef struct VexmarDataBuffer VexmarDataBuffer;
typedef struct VexmarAudioDecoder VexmarAudioDecoder;
typedef struct VexmarResampler VexmarResampler;
typedef struct VexmarVideoDecoder VexmarVideoDecoder;
typedef struct VexmarResizer VexmarResizer;

/* Start-up: once per process before any other call; idempotent. Silences
 * FFmpeg's own logging. Answers 1. */
VEXMAR_API int Vexmar_init(void);

/* The FFmpeg libraries the bridge runs on, one "name major.minor.micro" line
 * each (libavcodec, libavformat, libavutil, libswresample, libswscale).
 * Writes at most size - 1 characters and a NUL into text (nothing when text
 * is null or size is not positive) and answers the length of the whole text,
 * as snprintf does. Needs no Vexmar_init. */
VEXMAR_API int Vexmar_GetVersions(char* text, int size);

/* Audio file writer. Create(0, 1); set parameters, format and file (a
 * local path; "pipe:1" alone names standard output, written as a stream); Open
 * answers non-zero only when the file is created and its header is ready
 * (0 leaves no file behind); WriteAudioFrame takes interleaved 16-bit PCM
 * blocks of any size; Close completes the file; Delete frees the writer.
 * GetLastError says why Open, WriteAudioFrame or Close last failed: 0 when
 * nothing failed, the system's error number (errno, e.g. ENOSPC) when
 * writing, flushing or closing the file failed, -1 for another failure.
 *
 * MP3 in "mp3" (LAME) and AAC in "adts" outputs of two segments or more
 * (a segment: about 20 s) are encoded in segments on worker threads and
 * joined without a gap. SetEncoderThreads sets the number of workers, 0 or
 * less for one per core (the default); SetEncoderSegmentMs the segment
 * length, 0 or less for the default 20000 ms. Both only before Open (1
 * when stored, 0 when refused); the file is the same byte for byte whatever
 * the number of workers. */
VEXMAR_API VexmarWriter* AVW_Create(int reserved0, int reserved1);
VEXMAR_API int AVW_SetupAudioParams(VexmarWriter* writer, int codecId, int bitRate, int sampleRate,
                                    int channels);
VEXMAR_API int AVW_SetOutputFormat(VexmarWriter* writer, const char* formatName);
VEXMAR_API int AVW_SetOutFile(VexmarWriter* writer, const char* path);
VEXMAR_API int AVW_SetEncoderThreads(VexmarWriter* writer, int threads);
VEXMAR_API int AVW_SetEncoderSegmentMs(VexmarWriter* writer, int milliseconds);
VEXMAR_API int AVW_Open(VexmarWriter* writer);
VEXMAR_API int AVW_WriteAudioFrame(VexmarWriter* writer, const uint8_t* data, int size,
                                   int sampleRate, int channels);
VEXMAR_API int AVW_Close(VexmarWriter* writer);
VEXMAR_API int AVW_GetLastError(VexmarWriter* writer);
VEXMAR_API void AVW_Delete(VexmarWriter* writer);

/* Unbounded byte FIFO. Push appends a copy; Read moves the oldest bytes out
 * (at most what is held) and answers how many it moved. */
VEXMAR_API VexmarDataBuffer* DB2_Create(void);
VEXMAR_API int DB2_Push(VexmarDataBuffer* buffer, const void* data, size_t length);
VEXMAR_API size_t DB2_GetDataSize(VexmarDataBuffer* buffer);
VEXMAR_API size_t DB2_Read(VexmarDataBuffer* buffer, void* destination, size_t count);
VEXMAR_API int DB2_Clear(VexmarDataBuffer* buffer);
VEXMAR_API int DB2_Delete(VexmarDataBuffer* buffer);

/* Audio decoder: one FLV audio payload per Decode call to interleaved 16-bit
 * PCM. On entry *sampleRate and *channels hold the tag's nominal format; on
 * return they hold the format produced. *output is owned by the decoder and
 * valid until its next call. A null input with size 0 flushes. Non-zero on
 * success. */
VEXMAR_API VexmarAudioDecoder* ADD_Create(void);
VEXMAR_API int ADD_Open(VexmarAudioDecoder* decoder, int codecId);
VEXMAR_API int ADD_Decode(VexmarAudioDecoder* decoder, const uint8_t* input, int inputSize,
                          uint8_t** output, int* outputSize, int* sampleRate, int* channels);
VEXMAR_API int ADD_Close(VexmarAudioDecoder* decoder);
VEXMAR_API void ADD_Delete(VexmarAudioDecoder* decoder);

/* Resampler to the rate and channel count fixed at creation. Streaming: the
 * resampler keeps its state between calls. GetOutBufferSize is a true upper
 * bound for the next Convert of that input; on entry *outputBytes holds the
 * room in `output`, on return the bytes produced. */
VEXMAR_API VexmarResampler* ARes_Create(int targetSampleRate, int targetChannels);
VEXMAR_API int ARes_GetOutBufferSize(VexmarResampler* resampler, int sourceSampleRate,
                                     int sourceChannels, int sourceBytes);
VEXMAR_API int ARes_Convert(VexmarResampler* resampler, const uint8_t* source, int sourceBytes,
                            int sourceSampleRate, int sourceChannels, uint8_t* output,
                            int* outputBytes);
VEXMAR_API void ARes_Free(VexmarResampler* resampler);

/* Video decoder for the VEXMAR_CODEC_ video codecs into image format 6 or 1.
 * The picture belongs to the decoder and is valid until its next call.
 * Non-zero on success. Decode takes one frame and gives its picture.
 * OpenEx opens with the codec's configuration: for H.264 the
 * AVCDecoderConfigurationRecord, whose NAL length size the packets then use.
 * SendPacket and ReceivePicture serve codecs that hold pictures back to
 * reorder them (H.264), and codecs that need to be told which packets are
 * key frames (Screen Video 2): each packet carries a time (any unit), and each
 * picture comes out in presentation order with the time of its packet. A
 * null packet of size 0 ends the stream: the pictures still held back come
 * out, and the decoder then takes packets of a new stream (the next must
 * start at a key frame). ReceivePicture answers 0 when no picture is ready;
 * call it until then after each SendPacket. */
VEXMAR_API VexmarVideoDecoder* VDD_Create(void);
VEXMAR_API int VDD_SetOutputImageFormat(VexmarVideoDecoder* decoder, int imageFormat);
VEXMAR_API int VDD_Open(VexmarVideoDecoder* decoder, int codecId);
VEXMAR_API int VDD_OpenEx(VexmarVideoDecoder* decoder, int codecId, const uint8_t* config,
                          int configSize);
VEXMAR_API int VDD_Decode(VexmarVideoDecoder* decoder, const uint8_t* data, int size,
                          uint8_t** picture, int* pictureSize, int* width, int* height);
VEXMAR_API int VDD_SendPacket(VexmarVideoDecoder* decoder, const uint8_t* data, int size,
                              int64_t time, int keyFrame);
VEXMAR_API int VDD_ReceivePicture(VexmarVideoDecoder* decoder, uint8_t** picture,
                                  int* pictureSize, int* width, int* height, int64_t* time);
VEXMAR_API int VDD_Close(VexmarVideoDecoder* decoder);
VEXMAR_API void VDD_Delete(VexmarVideoDecoder* decoder);

/* Picture helpers. rect is left, top, right, bottom. */
VEXMAR_API int VideoEncoder_Crop(uint8_t* destination, const int32_t* rect, const uint8_t* source,
                                 int sourceWidth, int sourceHeight, int sourceRowBytes,
                                 int bytesPerPixel);
VEXMAR_API int VideoEncoder_SwapImageRowOrderInPlace(uint8_t* picture, int rowBytes, int height);

/* Resizer of image-format pictures between sizes fixed at creation. */
VEXMAR_API VexmarResizer* VRes_CreateByResizeMode(int sourceWidth, int sourceHeight,
                                                  int destinationWidth, int destinationHeight,
                                                  int imageFormat, int resizeMode);
VEXMAR_API int VRes_Resize(VexmarResizer* resizer, const uint8_t* source, uint8_t* destination);
VEXMAR_API void VRes_Free(VexmarResizer* resizer);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VEXMAR_H */
