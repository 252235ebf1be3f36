#include "conversion_status.h"

#include "stop_signals.h"

namespace kelvra {

void ConversionStatus::NoteWriteFailure(int reason) {
  int none = 0;
  writeError_.compare_exchange_strong(none, reason > 0 ? reason : kNotSystemError);
}

bool ConversionStatus::StopRequested() const {
  return WriteFailed() || StopSignals::Received() != 0;
}

}  // namespace kelvra
