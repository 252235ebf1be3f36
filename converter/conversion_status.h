// What the audio callback tells the driver and the program during a
// conversion: whether any audio reached the writer, and whether writing
// failed (and why). Shared between the audio decoder's thread, which
// writes it, and the main thread, which reads it.
#ifndef KELVRA_CONVERTER_CONVERSION_STATUS_H
#define KELVRA_CONVERTER_CONVERSION_STATUS_H

#include <atomic>

namespace kelvra {

class ConversionStatus {
 public:
  // The reason of a failure that is not the system's.
  static constexpr int kNotSystemError = -1;

  void NoteAudioWritten() { audioWritten_ = true; }
  // `reason`: the writer's errno value, or 0 or less when it gave none.
  // The first failure's reason is kept.
  void NoteWriteFailure(int reason);

  bool AudioWritten() const { return audioWritten_; }
  bool WriteFailed() const { return writeError_ != 0; }
  // An errno value, or kNotSystemError; 0 while writing has not failed.
  int WriteError() const { return writeError_; }
  // True once writing failed or a stop signal came: feeding and writing end.
  bool StopRequested() const;

 private:
  std::atomic<bool> audioWritten_{false};
  std::atomic<int> writeError_{0};
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_CONVERSION_STATUS_H
