// SIGINT, SIGTERM and SIGHUP during a conversion: the first asks the
// conversion to stop cleanly (the driver and the audio callback poll for
// it), a second ends the process at once after removing the temporary
// output file. Process-wide, as signal dispositions are.
#ifndef KELVRA_CONVERTER_STOP_SIGNALS_H
#define KELVRA_CONVERTER_STOP_SIGNALS_H

#include <string>

namespace kelvra {

class StopSignals {
 public:
  StopSignals() = delete;

  // Installs the handlers; calling it again changes nothing.
  static void Install();
  // The signal that asked for the stop, or 0 while none came. Any thread.
  static int Received();
  // The exit code of a process stopped by `signal`, as shells report it.
  static int ExitCode(int signal);
  // The file a second signal removes; copied into storage the handler can
  // read. A path too long for that storage is not kept.
  static void SetPendingFile(const std::string& path);
  static void ClearPendingFile();
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_STOP_SIGNALS_H
