// FileAudioCheck watches the audio tags the driver reads from one file and
// tells the user what the decoders will make of them: a file whose audio is
// all of a format nothing decodes gives no sound, and AAC frames without a
// configuration before them are skipped or decoded at a guessed format.
#ifndef KELVRA_CONVERTER_FILE_AUDIO_CHECK_H
#define KELVRA_CONVERTER_FILE_AUDIO_CHECK_H

#include <cstdint>
#include <string>

#include "kelvra.h"

namespace kelvra {

class FileAudioCheck {
 public:
  void Observe(const FLVTag& tag);
  // One line on standard error per finding, each starting with the path.
  void Report(const std::string& path) const;

 private:
  std::int64_t audioTags_ = 0;
  std::int64_t decodableTags_ = 0;
  int undecodableFormat_ = -1;
  bool aacConfigSeen_ = false;
  std::int64_t aacFramesBeforeConfig_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_FILE_AUDIO_CHECK_H
