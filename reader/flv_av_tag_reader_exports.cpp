// The FLVAVTagReader_ exports: C functions over the opaque reader handle.
// None lets an exception escape; a null handle gets the "not open" answer.

#include "kelvra.h"
#include "reader/flv_av_tag_reader.h"

namespace {

kelvra::FLVAVTagReader* Reader(FLVAVTagReader* handle) {
  return reinterpret_cast<kelvra::FLVAVTagReader*>(handle);
}

constexpr int kCloseResult = -1;  // Close answers nothing useful

}  // namespace

extern "C" {

KELVRA_API FLVAVTagReader* FLVAVTagReader_Create(void) {
  try {
    return reinterpret_cast<FLVAVTagReader*>(new kelvra::FLVAVTagReader());
  } catch (...) {
    return nullptr;
  }
}

KELVRA_API void FLVAVTagReader_Delete(FLVAVTagReader* reader) {
  delete Reader(reader);  // through the virtual destructor; null ignored
}

KELVRA_API int FLVAVTagReader_Open(FLVAVTagReader* reader, const char* path) {
  if (reader == nullptr) return 0;
  try {
    return Reader(reader)->Open(path);
  } catch (...) {
    Reader(reader)->Close();
    return 0;
  }
}

KELVRA_API int FLVAVTagReader_Assign(FLVAVTagReader* source, FLVAVTagReader* destination) {
  if (destination == nullptr) return 0;
  if (source == nullptr) {
    Reader(destination)->Close();
    return 0;
  }
  try {
    return Reader(source)->AssignTo(*Reader(destination));
  } catch (...) {
    Reader(destination)->Close();
    return 0;
  }
}

KELVRA_API int FLVAVTagReader_GetFLVInfo(FLVAVTagReader* reader, FLVInfo* info) {
  return reader == nullptr ? 0 : Reader(reader)->GetFLVInfo(info);
}

KELVRA_API int FLVAVTagReader_GetFLVInfoEx(FLVAVTagReader* reader, FLVInfo* info) {
  return reader == nullptr ? 0 : Reader(reader)->GetFLVInfoEx(info);
}

KELVRA_API int FLVAVTagReader_GetMinIntervaledFrameTime(FLVAVTagReader* reader, int* interval) {
  return reader == nullptr ? 0 : Reader(reader)->GetMinIntervaledFrameTime(interval);
}

KELVRA_API int FLVAVTagReader_GetDuration(FLVAVTagReader* reader, uint32_t* audioDuration,
                                          uint32_t* videoDuration) {
  if (reader == nullptr) {
    if (audioDuration != nullptr) *audioDuration = 0;
    if (videoDuration != nullptr) *videoDuration = 0;
    return 0;
  }
  Reader(reader)->GetDuration(audioDuration, videoDuration);
  return 0;
}

KELVRA_API int FLVAVTagReader_GetSkippedBytes(FLVAVTagReader* reader, int64_t* ranges,
                                             int64_t* bytes, int64_t* firstOffset) {
  const kelvra::FLVStreamParser::SkippedBytes skipped =
      reader == nullptr ? kelvra::FLVStreamParser::SkippedBytes{} : Reader(reader)->skippedBytes();
  if (ranges != nullptr) *ranges = skipped.ranges;
  if (bytes != nullptr) *bytes = skipped.bytes;
  if (firstOffset != nullptr) *firstOffset = skipped.firstOffset;
  return reader != nullptr && Reader(reader)->IsOpen() ? 1 : 0;
}

KELVRA_API int FLVAVTagReader_Close(FLVAVTagReader* reader) {
  if (reader != nullptr) Reader(reader)->Close();
  return kCloseResult;
}

KELVRA_API int FLVAVTagReader_ReadTag(FLVAVTagReader* reader, int copyData, int typeFilter,
                                      FLVTag** tag, uint32_t* duration) {
  if (reader == nullptr) return FLV_READER_NOT_OPEN;
  try {
    return Reader(reader)->ReadTag(copyData, typeFilter, tag, duration);
  } catch (...) {
    return FLV_READER_OUT_OF_MEMORY;
  }
}

KELVRA_API int FLVAVTagReader_Seek(FLVAVTagReader* reader, int tagType, uint32_t time) {
  return reader == nullptr ? FLV_READER_NOT_OPEN : Reader(reader)->Seek(tagType, time);
}

KELVRA_API int FLVAVTagReader_SeekToBegin(FLVAVTagReader* reader) {
  return reader == nullptr ? FLV_READER_OK : Reader(reader)->SeekToBegin();
}

KELVRA_API int FLVAVTagReader_GetNextKeyFrameTimeStamp(FLVAVTagReader* reader, uint32_t time,
                                                       uint32_t* timestamp) {
  return reader == nullptr ? 0 : Reader(reader)->GetNextKeyFrameTimeStamp(time, timestamp);
}

KELVRA_API int FLVAVTagReader_SetAutoReleaseMemory(FLVAVTagReader* reader, int flag) {
  if (reader != nullptr) Reader(reader)->SetAutoReleaseMemory(flag);
  return flag;
}

}  // extern "C"
