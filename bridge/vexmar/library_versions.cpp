// The versions of the FFmpeg libraries the bridge runs on, as text for
// programs that do not link FFmpeg themselves.
#include <cstdio>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "vexmar/vexmar.h"

namespace {

// FFmpeg packs a version as major << 16 | minor << 8 | micro.
constexpr unsigned kMajorShift = 16;
constexpr unsigned kMinorShift = 8;
constexpr unsigned kPartMask = 0xFF;

struct LibraryVersion {
  const char* name;
  unsigned (*version)();
};

// The run-time versions (those of the loaded libraries, not of the headers
// the bridge was built with).
constexpr LibraryVersion kLibraries[] = {
    {"libavcodec", avcodec_version},     {"libavformat", avformat_version},
    {"libavutil", avutil_version},       {"libswresample", swresample_version},
    {"libswscale", swscale_version},
};

std::string VersionLines() {
  std::string text;
  for (const LibraryVersion& library : kLibraries) {
    const unsigned v = library.version();
    text += library.name;
    text += ' ';
    text += std::to_string(v >> kMajorShift) + '.' + std::to_string((v >> kMinorShift) & kPartMask) +
            '.' + std::to_string(v & kPartMask);
    text += '\n';
  }
  return text;
}

}  // namespace

extern "C" VEXMAR_API int Vexmar_GetVersions(char* text, int size) {
  const std::string lines = VersionLines();
  if (text != nullptr && size > 0) {
    const std::size_t room = static_cast<std::size_t>(size) - 1;
    const std::size_t copied = lines.size() < room ? lines.size() : room;
    lines.copy(text, copied);
    text[copied] = '\0';
  }
  return static_cast<int>(lines.size());
}
