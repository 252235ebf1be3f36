// The tag reader opening the input as a file, reading every tag in both
// ownership modes, seeking, copying itself with Assign, and an audio frame
// reader pulling a few blocks.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "kelvra.h"

namespace {

using kelvra::fuzz::Check;
using kelvra::fuzz::CheckTag;

// Reads tags until the reader answers anything but OK; answers how many.
// Each tag ends within the file, so there is at most one per 15 bytes.
std::size_t ReadAll(FLVAVTagReader* reader, int copyData, int typeFilter, bool callerOwned,
                    std::size_t fileSize) {
  for (std::size_t count = 0;; ++count) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    const int code = FLVAVTagReader_ReadTag(reader, copyData, typeFilter, &tag, &duration);
    Check(code == FLV_READER_OK || code == FLV_READER_END || code == FLV_READER_READ_ERROR ||
              code == FLV_READER_OUT_OF_MEMORY,
          "undocumented ReadTag code");
    if (code != FLV_READER_OK) {
      Check(tag == nullptr, "a tag written with a failure");
      return count;
    }
    CheckTag(tag);
    Check(typeFilter == 0 || tag->tagType == typeFilter, "type filter ignored");
    Check(copyData != 0 || tag->block == nullptr, "a block without copy-data");
    if (callerOwned) FLVStreamParser_DeleteFLVTag(nullptr, tag);
    Check(count <= fileSize / 15, "ReadTag never ends");
  }
}

// Called with auto-release off: the tag read is the caller's.
void SeekThenRead(FLVAVTagReader* reader, int kind, std::uint32_t time) {
  const int code = FLVAVTagReader_Seek(reader, kind, time);
  Check(code == FLV_READER_OK || code == FLV_READER_SEEK_NO_TAG_AFTER ||
            code == FLV_READER_SEEK_NO_MATCH,
        "undocumented Seek code");
  Check(code != FLV_READER_OK || kind == FLV_TAG_TYPE_AUDIO || kind == FLV_TAG_TYPE_VIDEO,
        "a bad kind sought");
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  if (FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration) == FLV_READER_OK) {
    CheckTag(tag);
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
  }
}

void ReadFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  // Times to seek to come from the input's last bytes (no layout is imposed).
  std::uint32_t tail = 0;
  for (std::size_t i = size > 4 ? size - 4 : 0; i < size; ++i) tail = tail << 8 | data[i];
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  Check(reader != nullptr, "create");
  FLVInfo info{};
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  if (FLVAVTagReader_Open(reader, path.c_str()) != 1) {
    Check(FLVAVTagReader_GetFLVInfo(reader, &info) == 0, "info of a closed reader");
    Check(FLVAVTagReader_ReadTag(reader, 1, 0, &tag, &duration) == FLV_READER_NOT_OPEN,
          "read on a closed reader");
    return FLVAVTagReader_Delete(reader);
  }
  Check(FLVAVTagReader_GetFLVInfo(reader, &info) == 1, "info");
  Check(FLVAVTagReader_GetFLVInfoEx(reader, &info) == 1, "info ex");
  Check(info.duration == info.duration && info.frameRate == info.frameRate, "NaN");
  int interval = 0;
  FLVAVTagReader_GetMinIntervaledFrameTime(reader, &interval);
  std::uint32_t audioEnd = 0;
  std::uint32_t videoEnd = 0;
  FLVAVTagReader_GetDuration(reader, &audioEnd, &videoEnd);

  // The reader's own records, then caller-owned ones of each kind.
  const std::size_t all = ReadAll(reader, 1, 0, false, size);
  Check(FLVAVTagReader_SeekToBegin(reader) == 0, "seek to the beginning of an open file");
  Check(ReadAll(reader, 0, 0, false, size) == all, "the same tags without data");
  FLVAVTagReader_SetAutoReleaseMemory(reader, 0);
  for (int filter : {FLV_TAG_TYPE_AUDIO, FLV_TAG_TYPE_VIDEO, FLV_TAG_TYPE_SCRIPT_DATA}) {
    Check(FLVAVTagReader_SeekToBegin(reader) == 0, "seek to the beginning");
    ReadAll(reader, (tail & 1) != 0 ? 0 : 1, filter, true, size);
  }
  for (std::uint32_t time : {0u, audioEnd / 2, videoEnd, audioEnd + 1, tail, 0xFFFFFFFFu}) {
    SeekThenRead(reader, FLV_TAG_TYPE_AUDIO, time);
    SeekThenRead(reader, FLV_TAG_TYPE_VIDEO, time);
    std::uint32_t keyTime = 0;
    FLVAVTagReader_GetNextKeyFrameTimeStamp(reader, time, &keyTime);
  }
  SeekThenRead(reader, FLV_TAG_TYPE_SCRIPT_DATA, 0);

  // A copy reads on from the same place, in its own ownership mode.
  FLVAVTagReader* copy = FLVAVTagReader_Create();
  Check(copy != nullptr, "create copy");
  FLVAVTagReader_SetAutoReleaseMemory(copy, (tail & 2) != 0 ? 0 : 1);
  if (FLVAVTagReader_Assign(reader, copy) == 1) ReadAll(copy, 1, 0, (tail & 2) != 0, size);
  FLVAVTagReader_Delete(copy);

  FLVAVTagReader_SetAutoReleaseMemory(reader, 1);
  Check(FLVAVTagReader_SeekToBegin(reader) == 0, "seek to the beginning");
  if (AudioFrameReader* audio = AudioFrameReader_Create(reader)) {
    std::vector<std::uint8_t> block(4096);
    for (int i = 0; i < 8 && AudioFrameReader_ReadFrame(audio, block.data(), block.size()) == 1;)
      ++i;
    AudioFrameReader_Delete(audio);
  }
  Check(FLVAVTagReader_Close(reader) == -1, "close");
  FLVAVTagReader_Delete(reader);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // One file per process, removed after each input (libFuzzer may end a
  // process without running exit handlers).
  static const std::string path = (std::filesystem::temp_directory_path() /
                                   ("kelvra_tag_reader_fuzz_" + std::to_string(getpid()) + ".flv"))
                                      .string();
  std::ofstream file(path, std::ios::binary);
  file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  file.close();
  if (file) ReadFile(path, data, size);
  std::remove(path.c_str());
  return 0;
}
