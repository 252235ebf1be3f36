// Process start-up of the codec bridge.
#include <mutex>

extern "C" {
#include <libavutil/log.h>
}

#include "vexmar/vexmar.h"

extern "C" VEXMAR_API int Vexmar_init(void) {
  // The console belongs to sonex and the library writes no log, so FFmpeg's
  // own messages are switched off once for the whole process.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
  return 1;
}
