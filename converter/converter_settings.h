// The process-wide settings of sonex: filled from the command line, completed
// with the output format's defaults, then read by the information display,
// the conversion driver and the output writers.
#ifndef KELVRA_CONVERTER_CONVERTER_SETTINGS_H
#define KELVRA_CONVERTER_CONVERTER_SETTINGS_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "pellow/pellow.h"
#include "vexmar/vexmar.h"

namespace kelvra {

class ConversionStatus;

// "Not given" for the numeric output parameters: the format's default
// applies.
inline constexpr std::int32_t kNotGiven = -1;
// Duration of an input item that runs to the end of its file. Start time and
// duration are compared as unsigned 32-bit numbers, so -1 is the largest.
inline constexpr std::uint32_t kToEndOfFile = 0xFFFFFFFFu;

// "-" as an input, output or information path: standard input or output.
inline constexpr const char* kStandardStream = "-";
inline bool IsStandardStream(const std::string& path) { return path == kStandardStream; }

// One FLV file of the batch, with the part of it to convert.
struct InputFileItem {
  // Full path of the file, or "-" for standard input; empty when the path
  // could not be resolved, which makes the file fail to open later.
  std::string path;
  std::uint32_t startTime = 0;           // milliseconds
  std::uint32_t duration = kToEndOfFile;  // milliseconds
};

struct ConverterSettings {
  // The batch in command-line order.
  std::vector<InputFileItem> inputs;
  // Full paths; empty when not given. Held whole: a path is never cut to a
  // fixed length, which would open or create a different file.
  std::string outputPath;
  std::string infoPath;
  // The "-fmt" value exactly as typed, or the name taken from the output
  // path's extension; nullopt until one of the two sets it.
  std::optional<std::string> formatName;
  std::int32_t channels = kNotGiven;
  std::int32_t codecId = kNotGiven;
  std::int32_t sampleRate = kNotGiven;  // Hz
  std::int32_t bitRate = kNotGiven;     // bits per second
  std::int32_t sleepTime = 0;           // milliseconds after each delivered tag
  std::int32_t quiet = 0;               // non-zero hides the progress lines
  // The open output writer or ASF encoder; owned by the output writer code,
  // which creates and deletes them. Null while none is open.
  VexmarWriter* writer = nullptr;
  PellowEncoder* encoder = nullptr;
  // How the running conversion fares; owned by the program for the length
  // of one conversion, null outside it (nothing is then noted or stopped
  // by it).
  ConversionStatus* status = nullptr;
};

// Where the program's own lines go: standard output, unless the converted
// audio goes there (then standard error, so the audio stays clean).
inline std::FILE* MessageStream(const ConverterSettings& settings) {
  return IsStandardStream(settings.outputPath) ? stderr : stdout;
}

// Absolute, lexically normalised form of `path`, relative paths being taken
// from the current directory. The file need not exist. nullopt when the path
// cannot be resolved (an empty path, or no current directory).
std::optional<std::string> ResolveFullPath(const std::string& path);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_CONVERTER_SETTINGS_H
