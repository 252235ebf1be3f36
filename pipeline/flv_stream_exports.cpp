// The exported FLVStream_ family: thin C entry points over kelvra::FLVStream.
#include "pipeline/flv_stream.h"
#include "kelvra.h"

namespace {
kelvra::FLVStream* Unwrap(FLVStream* handle) { return reinterpret_cast<kelvra::FLVStream*>(handle); }
}  // namespace

extern "C" {

KELVRA_API FLVStream* FLVStream_Create(void) {
  return reinterpret_cast<FLVStream*>(kelvra::FLVStream::Create());
}

KELVRA_API void FLVStream_Delete(FLVStream* stream) { delete Unwrap(stream); }

KELVRA_API int FLVStream_SetOutputSize(FLVStream* stream, int width, int height) {
  return stream ? Unwrap(stream)->SetOutputSize(width, height) : 0;
}
KELVRA_API int FLVStream_SetOutputFPS(FLVStream* stream, double fps) {
  return stream ? Unwrap(stream)->SetOutputFPS(fps) : 0;
}
KELVRA_API int FLVStream_SetDecodeAlphaChannel(FLVStream* stream, int flag) {
  return stream ? Unwrap(stream)->SetDecodeAlphaChannel(flag) : 0;
}
KELVRA_API int FLVStream_SetSampleRate(FLVStream* stream, int sampleRate) {
  return stream ? Unwrap(stream)->SetSampleRate(sampleRate) : 0;
}
KELVRA_API int FLVStream_SetNumberOfChannels(FLVStream* stream, int channels) {
  return stream ? Unwrap(stream)->SetNumberOfChannels(channels) : 0;
}
KELVRA_API int FLVStream_SetCropRect(FLVStream* stream, const FLVRect* rect) {
  return stream && rect ? Unwrap(stream)->SetCropRect(*rect) : 0;
}
KELVRA_API int FLVStream_SetResizeMode(FLVStream* stream, int mode) {
  return stream ? Unwrap(stream)->SetResizeMode(mode) : 0;
}
KELVRA_API int FLVStream_SetParserMaxFLVTagQueue(FLVStream* stream, int count) {
  return stream ? Unwrap(stream)->SetParserMaxFLVTagQueue(count) : 0;
}
KELVRA_API int FLVStream_SetParserMaxInterleavedTime(FLVStream* stream, int seconds) {
  return stream ? Unwrap(stream)->SetParserMaxInterleavedTime(seconds) : 0;
}
KELVRA_API int FLVStream_SetAudioDecoderMaxFLVTagQueue(FLVStream* stream, int count) {
  return stream ? Unwrap(stream)->SetAudioDecoderMaxFLVTagQueue(count) : 0;
}
KELVRA_API int FLVStream_SetVideoDecoderMaxFLVTagQueue(FLVStream* stream, int count) {
  return stream ? Unwrap(stream)->SetVideoDecoderMaxFLVTagQueue(count) : 0;
}
KELVRA_API int FLVStream_SetDecoderMaxIntervalTime(FLVStream* stream, int milliseconds) {
  return stream ? Unwrap(stream)->SetDecoderMaxIntervalTime(milliseconds) : 0;
}
KELVRA_API int FLVStream_SetFLVInfoCallBack(FLVStream* stream, FLVInfoCallBack callBack,
                                            void* userData) {
  return stream ? Unwrap(stream)->SetFLVInfoCallBack(callBack, userData) : 0;
}
KELVRA_API int FLVStream_SetGetVideoCallBack(FLVStream* stream,
                                             FLVStreamDecoderOutputCallBack callBack,
                                             void* userData) {
  return stream ? Unwrap(stream)->SetGetVideoCallBack(callBack, userData) : 0;
}
KELVRA_API int FLVStream_SetGetAudioCallBack(FLVStream* stream,
                                             FLVStreamDecoderOutputCallBack callBack,
                                             void* userData) {
  return stream ? Unwrap(stream)->SetGetAudioCallBack(callBack, userData) : 0;
}

KELVRA_API int FLVStream_Run(FLVStream* stream) { return stream ? Unwrap(stream)->Run() : 0; }
KELVRA_API int FLVStream_DeliverData(FLVStream* stream, const uint8_t* data, int length) {
  return stream ? Unwrap(stream)->DeliverData(data, length) : FLV_STREAM_STOPPED;
}
KELVRA_API int FLVStream_Flush(FLVStream* stream) { return stream ? Unwrap(stream)->Flush() : 1; }
KELVRA_API int FLVStream_Stop(FLVStream* stream) { return stream ? Unwrap(stream)->Stop() : 0; }
KELVRA_API int FLVStream_RunEx(FLVStream* stream, const FLVInfo* info, int decodeVideo,
                               int decodeAudio) {
  return stream ? Unwrap(stream)->RunEx(info, decodeVideo, decodeAudio) : 0;
}
KELVRA_API int FLVStream_DeliverDataEx(FLVStream* stream, FLVTag* tag) {
  return stream ? Unwrap(stream)->DeliverDataEx(tag) : FLV_STREAM_STOPPED;
}
KELVRA_API int FLVStream_StopEx(FLVStream* stream) { return stream ? Unwrap(stream)->StopEx() : 0; }
KELVRA_API uint32_t FLVStream_GetTimeStamp(FLVStream* stream) {
  return stream ? Unwrap(stream)->GetTimeStamp() : 0;
}
KELVRA_API int FLVStream_GetParsedPacketsCount(FLVStream* stream, int* audioCount,
                                               int* videoCount) {
  return stream ? Unwrap(stream)->GetParsedPacketsCount(audioCount, videoCount) : 0;
}
KELVRA_API int FLVStream_HasCalledFLVInfoCallBack(FLVStream* stream) {
  return stream ? Unwrap(stream)->HasCalledFLVInfoCallBack() : 0;
}

}  // extern "C"
