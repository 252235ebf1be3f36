#include "sonex_program.h"

#include <cstdio>

#include "command_line.h"
#include "conversion_driver.h"
#include "converter_settings.h"
#include "flv_info_display.h"
#include "output_writer.h"
#include "vexmar/vexmar.h"

namespace kelvra {

namespace {

// Standard error is for messages that must appear at once, each on its own.
void ReportError(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

int RunInformationMode(ConverterSettings& settings) {
  // Whatever the display found (even no FLV file at all), the run succeeds.
  ShowFLVInfo(settings.infoPath);
  return kExitSuccess;
}

int RunConversionMode(ConverterSettings& settings) {
  Vexmar_init();  // its answer carries nothing to act on
  ResolveOutputFormat(settings);
  if (const int exitCode = OpenOutputWriter(settings); exitCode != kExitSuccess) return exitCode;
  RunConversion(settings);
  FinishOutputWriter(settings);
  // Files that could not be read were reported one by one; the run itself
  // succeeded.
  return kExitSuccess;
}

}  // namespace

int RunSonex(int argc, char** argv) {
  ConverterSettings settings;
  int exitCode = kExitSuccess;
  if (std::optional<int> stop = ParseCommandLine(argc, argv, settings)) {
    exitCode = *stop;
  } else if (!settings.infoPath.empty()) {
    // Every conversion option is ignored in this mode.
    exitCode = RunInformationMode(settings);
  } else if (!settings.inputs.empty() && !settings.outputPath.empty()) {
    exitCode = RunConversionMode(settings);
  } else {
    ReportError("Parameters not enough, not entered (-i) or not specified output parameters (-out)");
    PrintUsage(stdout);
    exitCode = kExitParametersNotEnough;
  }
  std::fflush(stdout);
  return exitCode;
}

}  // namespace kelvra
