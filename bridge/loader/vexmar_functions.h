// Every function of vexmar.h with its failure value (see
// bridge_forwarding.h): null for a handle, 0 for a flag or a count, -1 for
// an error code.
#ifndef KELVRA_BRIDGE_LOADER_VEXMAR_FUNCTIONS_H
#define KELVRA_BRIDGE_LOADER_VEXMAR_FUNCTIONS_H

#include "vexmar/vexmar.h"

#define VEXMAR_FUNCTIONS(F, V)                                                                    \
  F(int, Vexmar_init, (void), (), 0)                                                              \
  F(int, Vexmar_GetVersions, (char* text, int size), (text, size), 0)                              \
  F(VexmarWriter*, AVW_Create, (int reserved0, int reserved1), (reserved0, reserved1), nullptr)  \
  F(int, AVW_SetupAudioParams,                                                                    \
    (VexmarWriter * writer, int codecId, int bitRate, int sampleRate, int channels),              \
    (writer, codecId, bitRate, sampleRate, channels), 0)                                          \
  F(int, AVW_SetOutputFormat, (VexmarWriter * writer, const char* formatName),                   \
    (writer, formatName), 0)                                                                      \
  F(int, AVW_SetOutFile, (VexmarWriter * writer, const char* path), (writer, path), 0)           \
  F(int, AVW_SetEncoderThreads, (VexmarWriter * writer, int threads), (writer, threads), 0)        \
  F(int, AVW_SetEncoderSegmentMs, (VexmarWriter * writer, int milliseconds),                      \
    (writer, milliseconds), 0)                                                                    \
  F(int, AVW_Open, (VexmarWriter * writer), (writer), 0)                                          \
  F(int, AVW_WriteAudioFrame,                                                                     \
    (VexmarWriter * writer, const uint8_t* data, int size, int sampleRate, int channels),         \
    (writer, data, size, sampleRate, channels), 0)                                                \
  F(int, AVW_Close, (VexmarWriter * writer), (writer), 0)                                         \
  F(int, AVW_GetLastError, (VexmarWriter * writer), (writer), -1)                                 \
  V(AVW_Delete, (VexmarWriter * writer), (writer))                                                \
  F(VexmarDataBuffer*, DB2_Create, (void), (), nullptr)                                           \
  F(int, DB2_Push, (VexmarDataBuffer * buffer, const void* data, size_t length),                 \
    (buffer, data, length), 0)                                                                    \
  F(size_t, DB2_GetDataSize, (VexmarDataBuffer * buffer), (buffer), 0)                            \
  F(size_t, DB2_Read, (VexmarDataBuffer * buffer, void* destination, size_t count),              \
    (buffer, destination, count), 0)                                                              \
  F(int, DB2_Clear, (VexmarDataBuffer * buffer), (buffer), 0)                                     \
  F(int, DB2_Delete, (VexmarDataBuffer * buffer), (buffer), 0)                                    \
  F(VexmarAudioDecoder*, ADD_Create, (void), (), nullptr)                                         \
  F(int, ADD_Open, (VexmarAudioDecoder * decoder, int codecId), (decoder, codecId), 0)           \
  F(int, ADD_Decode,                                                                              \
    (VexmarAudioDecoder * decoder, const uint8_t* input, int inputSize, uint8_t** output,         \
     int* outputSize, int* sampleRate, int* channels),                                            \
    (decoder, input, inputSize, output, outputSize, sampleRate, channels), 0)                     \
  F(int, ADD_Close, (VexmarAudioDecoder * decoder), (decoder), 0)                                 \
  V(ADD_Delete, (VexmarAudioDecoder * decoder), (decoder))                                        \
  F(VexmarResampler*, ARes_Create, (int targetSampleRate, int targetChannels),                   \
    (targetSampleRate, targetChannels), nullptr)                                                  \
  F(int, ARes_GetOutBufferSize,                                                                   \
    (VexmarResampler * resampler, int sourceSampleRate, int sourceChannels, int sourceBytes),     \
    (resampler, sourceSampleRate, sourceChannels, sourceBytes), 0)                                \
  F(int, ARes_Convert,                                                                            \
    (VexmarResampler * resampler, const uint8_t* source, int sourceBytes, int sourceSampleRate,   \
     int sourceChannels, uint8_t* output, int* outputBytes),                                      \
    (resampler, source, sourceBytes, sourceSampleRate, sourceChannels, output, outputBytes), 0)   \
  V(ARes_Free, (VexmarResampler * resampler), (resampler))                                        \
  F(VexmarVideoDecoder*, VDD_Create, (void), (), nullptr)                                         \
  F(int, VDD_SetOutputImageFormat, (VexmarVideoDecoder * decoder, int imageFormat),              \
    (decoder, imageFormat), 0)                                                                    \
  F(int, VDD_Open, (VexmarVideoDecoder * decoder, int codecId), (decoder, codecId), 0)           \
  F(int, VDD_OpenEx,                                                                              \
    (VexmarVideoDecoder * decoder, int codecId, const uint8_t* config, int configSize),           \
    (decoder, codecId, config, configSize), 0)                                                    \
  F(int, VDD_SendPacket,                                                                          \
    (VexmarVideoDecoder * decoder, const uint8_t* data, int size, int64_t time, int keyFrame),    \
    (decoder, data, size, time, keyFrame), 0)                                                     \
  F(int, VDD_ReceivePicture,                                                                      \
    (VexmarVideoDecoder * decoder, uint8_t** picture, int* pictureSize, int* width, int* height,  \
     int64_t* time),                                                                              \
    (decoder, picture, pictureSize, width, height, time), 0)                                      \
  F(int, VDD_Decode,                                                                              \
    (VexmarVideoDecoder * decoder, const uint8_t* data, int size, uint8_t** picture,              \
     int* pictureSize, int* width, int* height),                                                  \
    (decoder, data, size, picture, pictureSize, width, height), 0)                                \
  F(int, VDD_Close, (VexmarVideoDecoder * decoder), (decoder), 0)                                 \
  V(VDD_Delete, (VexmarVideoDecoder * decoder), (decoder))                                        \
  F(int, VideoEncoder_Crop,                                                                       \
    (uint8_t * destination, const int32_t* rect, const uint8_t* source, int sourceWidth,          \
     int sourceHeight, int sourceRowBytes, int bytesPerPixel),                                    \
    (destination, rect, source, sourceWidth, sourceHeight, sourceRowBytes, bytesPerPixel), 0)     \
  F(int, VideoEncoder_SwapImageRowOrderInPlace, (uint8_t * picture, int rowBytes, int height),   \
    (picture, rowBytes, height), 0)                                                               \
  F(VexmarResizer*, VRes_CreateByResizeMode,                                                      \
    (int sourceWidth, int sourceHeight, int destinationWidth, int destinationHeight,              \
     int imageFormat, int resizeMode),                                                            \
    (sourceWidth, sourceHeight, destinationWidth, destinationHeight, imageFormat, resizeMode),    \
    nullptr)                                                                                      \
  F(int, VRes_Resize, (VexmarResizer * resizer, const uint8_t* source, uint8_t* destination),    \
    (resizer, source, destination), 0)                                                            \
  V(VRes_Free, (VexmarResizer * resizer), (resizer))

#endif  // KELVRA_BRIDGE_LOADER_VEXMAR_FUNCTIONS_H
