// The FLVStreamParser_ exports: C functions over the opaque handle. No
// exception leaves them; a null parser is answered like a stopped one.
#include <new>

#include "flv/flv_stream_parser.h"
#include "flv/flv_tag_parsing.h"
#include "kelvra.h"

namespace {

kelvra::FLVStreamParser* FromHandle(FLVStreamParser* parser) {
  return reinterpret_cast<kelvra::FLVStreamParser*>(parser);
}

}  // namespace

extern "C" {

KELVRA_API FLVStreamParser* FLVStreamParser_Create(void) {
  try {
    return reinterpret_cast<FLVStreamParser*>(new kelvra::FLVStreamParser());
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API void FLVStreamParser_Delete(FLVStreamParser* parser) {
  // Destruction calls no callback and releases only memory: it cannot throw.
  delete FromHandle(parser);
}

KELVRA_API int FLVStreamParser_SetMaxInterleavedTime(FLVStreamParser* parser, uint32_t seconds) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetMaxInterleavedTime(seconds);
}

KELVRA_API int FLVStreamParser_SetMaxFLVTagQueue(FLVStreamParser* parser, uint32_t count) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetMaxFLVTagQueue(count);
}

KELVRA_API int FLVStreamParser_SetFLVInfoCallBack(FLVStreamParser* parser, FLVInfoCallBack callBack,
                                                  void* userData) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetFLVInfoCallBack(callBack, userData);
}

KELVRA_API int FLVStreamParser_SetFLVVideoCallBack(FLVStreamParser* parser, FLVTagCallBack callBack,
                                                   void* userData) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetFLVVideoCallBack(callBack, userData);
}

KELVRA_API int FLVStreamParser_SetFLVAudioCallBack(FLVStreamParser* parser, FLVTagCallBack callBack,
                                                   void* userData) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetFLVAudioCallBack(callBack, userData);
}

KELVRA_API int FLVStreamParser_SetParserNotAudioVideoPacket(FLVStreamParser* parser, int flag) {
  return parser == nullptr ? 0 : FromHandle(parser)->SetParserNotAudioVideoPacket(flag);
}

KELVRA_API int FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(FLVStreamParser* parser,
                                                                 FLVTagCallBack callBack,
                                                                 void* userData) {
  return parser == nullptr ? 0
                           : FromHandle(parser)->SetFLVNotAudioVideoPacketCallBack(callBack, userData);
}

KELVRA_API int FLVStreamParser_Run(FLVStreamParser* parser) {
  return parser == nullptr ? 0 : FromHandle(parser)->Run();
}

KELVRA_API int FLVStreamParser_DeliverData(FLVStreamParser* parser, const uint8_t* data, int length) {
  if (parser == nullptr) return FLV_PARSER_NOT_RUNNING;
  try {
    return FromHandle(parser)->DeliverData(data, length);
  } catch (...) {
    // Only memory can run out inside; the parser handles that itself.
    return FLV_PARSER_OUT_OF_MEMORY;
  }
}

KELVRA_API int FLVStreamParser_Flush(FLVStreamParser* parser) {
  if (parser == nullptr) return 1;
  try {
    return FromHandle(parser)->Flush();
  } catch (...) {
    return 0;
  }
}

KELVRA_API int FLVStreamParser_Stop(FLVStreamParser* parser) {
  if (parser == nullptr) return 0;
  try {
    return FromHandle(parser)->Stop();
  } catch (...) {
    return 0;
  }
}

KELVRA_API void FLVStreamParser_DeleteFLVTag(FLVStreamParser* /*parser*/, FLVTag* tag) {
  kelvra::DeleteFLVTag(tag);
}

KELVRA_API uint32_t FLVStreamParser_GetTimeStamp(FLVStreamParser* parser) {
  return parser == nullptr ? 0 : FromHandle(parser)->GetTimeStamp();
}

KELVRA_API int FLVStreamParser_GetParsedPacketsCount(FLVStreamParser* parser, int* audioCount,
                                                     int* videoCount) {
  if (parser == nullptr) {
    if (audioCount != nullptr) *audioCount = 0;
    if (videoCount != nullptr) *videoCount = 0;
    return 0;
  }
  return FromHandle(parser)->GetParsedPacketsCount(audioCount, videoCount);
}

KELVRA_API int FLVStreamParser_HasCalledFLVInfoCallBack(FLVStreamParser* parser) {
  return parser == nullptr ? 0 : FromHandle(parser)->HasCalledFLVInfoCallBack();
}

KELVRA_API int FLVStreamParser_GetSkippedBytes(FLVStreamParser* parser, int64_t* ranges,
                                              int64_t* bytes, int64_t* firstOffset) {
  const kelvra::FLVStreamParser::SkippedBytes skipped =
      parser == nullptr ? kelvra::FLVStreamParser::SkippedBytes{}
                        : FromHandle(parser)->GetSkippedBytes();
  if (ranges != nullptr) *ranges = skipped.ranges;
  if (bytes != nullptr) *bytes = skipped.bytes;
  if (firstOffset != nullptr) *firstOffset = skipped.firstOffset;
  return parser == nullptr ? 0 : 1;
}

}  // extern "C"
