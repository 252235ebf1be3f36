#include "flv_info_display.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "kelvra.h"

namespace kelvra {

namespace {

constexpr int kNotPresent = -1;  // videoCodec / audioFormat of a missing stream
constexpr double kKilo = 0.001;

// Every line goes out at once, so a reader of the console sees each as soon
// as it is known.
template <typename... Args>
void PrintLine(const char* format, Args... args) {
  std::printf(format, args...);
  std::fflush(stdout);
}

}  // namespace

void ShowFLVInfo(const std::string& infoPath) {
  FLVAVTagReader* reader = FLVAVTagReader_Create();
  if (reader == nullptr || FLVAVTagReader_Open(reader, infoPath.c_str()) == 0) {
    std::fputs("Fail to get the FLV information. It probably is not a FLV file.\n", stderr);
    std::fflush(stderr);
    FLVAVTagReader_Delete(reader);
    return;
  }

  FLVInfo info{};
  FLVAVTagReader_GetFLVInfoEx(reader, &info);
  std::uint32_t audioDuration = 0;
  std::uint32_t videoDuration = 0;
  FLVAVTagReader_GetDuration(reader, &audioDuration, &videoDuration);

  if (info.videoCodec != kNotPresent) {
    PrintLine("size: %dx%d\n", static_cast<int>(info.width), static_cast<int>(info.height));
    PrintLine("video bit rate: %.3fkbps\n", static_cast<double>(info.videoBitRate) * kKilo);
    PrintLine("frame rate: %.2f\n", info.frameRate);
  }
  if (info.audioFormat != kNotPresent) {
    PrintLine("sample rate: %dHz\n", static_cast<int>(info.sampleRate));
    PrintLine("channels: %d\n", static_cast<int>(info.channels));
    PrintLine("audio bit rate: %dbps\n", static_cast<int>(info.audioBitRate));
  }
  PrintLine("duration: %ums\n", static_cast<unsigned>(std::max(audioDuration, videoDuration)));

  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
}

}  // namespace kelvra
