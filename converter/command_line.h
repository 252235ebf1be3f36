// The command line of sonex: options into ConverterSettings, the output
// format and its defaults, and the usage text.
#ifndef KELVRA_CONVERTER_COMMAND_LINE_H
#define KELVRA_CONVERTER_COMMAND_LINE_H

#include <cstdint>
#include <cstdio>
#include <optional>

#include "converter_settings.h"

namespace kelvra {

// Exit codes of the program.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitUnknownOption = 1;
inline constexpr int kExitCannotCreateOutput = 2;
inline constexpr int kExitBadEncodingParameters = 3;
inline constexpr int kExitNoAudio = 4;
inline constexpr int kExitWriteError = 5;
inline constexpr int kExitParametersNotEnough = 11;
// The reader of the converted audio on standard output went away: the
// shell's code for a process ended by SIGPIPE (128 + 13).
inline constexpr int kExitBrokenPipe = 141;

// Reads the option pairs of argv[1..argc-1] into `settings`. An option name
// that is not known stops the reading: its message and the usage text go to
// `out`, and the exit code the process must end with is returned. A help or
// version option in a name's place (-h, -help, --help, -version, --version)
// stops it too: the usage text or the versions go to `out`, with exit code
// 0. nullopt when the program goes on.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, ConverterSettings& settings,
                                    std::FILE* out = stdout);

// Sets the format name from the output path's extension when none was given
// and fills in the defaults of the five known formats.
void ResolveOutputFormat(ConverterSettings& settings);

// Writes the usage text to `out`. Answers 1.
int PrintUsage(std::FILE* out = stdout);

// A decimal number as the C library's strtol reads it from the start of the
// text (leading white space, a sign, digits up to the first other
// character), saturated to the 32-bit range. Text that does not begin with a
// number gives 0.
std::int32_t ParseDecimal(const char* text);

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_COMMAND_LINE_H
