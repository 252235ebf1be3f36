// The output file of a conversion as the file system sees it: the refusal
// to write over an input, and the temporary file beside the output that
// the writer fills and that replaces the output only when the conversion
// finished well. Devices and pipes given as the output (/dev/null, a FIFO)
// are written directly: they cannot be replaced.
#ifndef KELVRA_CONVERTER_OUTPUT_FILE_H
#define KELVRA_CONVERTER_OUTPUT_FILE_H

#include <optional>
#include <string>
#include <vector>

#include "converter_settings.h"

namespace kelvra {

class OutputFile {
 public:
  // `path`: the output's full path.
  explicit OutputFile(std::string path);
  // Removes a temporary file that was not committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The first input that is the output's own file: the same path, or the
  // same file on disk (a symbolic or hard link). nullopt when none is.
  std::optional<std::string> SameFileAsInput(const std::vector<InputFileItem>& inputs) const;

  // Creates the temporary file, with the permissions a new output would
  // get, or checks that a device output opens for writing. False when the
  // output cannot be created; nothing is left then.
  bool Prepare();
  // Where the writer writes: the temporary file, or the device itself.
  const std::string& WritePath() const { return writePath_; }
  // Syncs the temporary file to disk and renames it over the output.
  // Answers 0, or the errno value of the step that failed (the temporary
  // file is removed then).
  int Commit();
  // Removes the temporary file; the output stays as it was.
  void Discard();

 private:
  // kIdle --Prepare--> kTemporary --Commit/Discard--> kDone
  // kIdle --Prepare (device)--> kDirect --Commit/Discard--> kDone
  enum class State { kIdle, kTemporary, kDirect, kDone };

  bool CreateTemporary();

  State state_ = State::kIdle;
  std::string path_;
  // The file the temporary one replaces: the output with its symbolic
  // links followed, so that a link keeps pointing at the new file.
  std::string target_;
  std::string writePath_;
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_OUTPUT_FILE_H
