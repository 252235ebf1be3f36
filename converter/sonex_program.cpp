#include "sonex_program.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "command_line.h"
#include "conversion_driver.h"
#include "conversion_status.h"
#include "converter_settings.h"
#include "flv_info_display.h"
#include "output_file.h"
#include "output_writer.h"
#include "stop_signals.h"
#include "vexmar/vexmar.h"

namespace kelvra {

namespace {

// Standard error is for messages that must appear at once, each on its own.
void ReportError(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
}

// Standard output or error closed or a broken pipe must not end or corrupt
// a conversion: a write to a broken pipe fails instead of killing the
// process, and a closed standard descriptor is held by /dev/null so that no
// file opened later (the output) takes its number and receives messages.
void GuardStandardStreams() {
  signal(SIGPIPE, SIG_IGN);
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      // open takes the lowest free number, which is `fd`.
      if (open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY) != fd) return;
    }
  }
}

int RunInformationMode(ConverterSettings& settings) {
  // Whatever the display found (even no FLV file at all), the run succeeds.
  ShowFLVInfo(settings.infoPath);
  return kExitSuccess;
}

// The output's fate once the writer is finished: replaced only by a
// conversion that was not stopped, wrote without error and wrote audio.
int SettleOutput(const ConverterSettings& settings, OutputFile& output,
                 const ConversionStatus& status, int finishError) {
  if (const int signal = StopSignals::Received(); signal != 0) {
    output.Discard();
    std::fprintf(stderr, "Error: (%d) Interrupted; the output file was not written\n",
                 StopSignals::ExitCode(signal));
    std::fflush(stderr);
    return StopSignals::ExitCode(signal);
  }
  const int writeError = status.WriteFailed() ? status.WriteError() : finishError;
  if (writeError != 0) {
    output.Discard();
    ReportWriteError(settings.outputPath, writeError);
    return kExitWriteError;
  }
  if (!status.AudioWritten()) {
    output.Discard();
    ReportError("Error: (4) No audio was converted; no output file written");
    return kExitNoAudio;
  }
  if (const int commitError = output.Commit(); commitError != 0) {
    ReportWriteError(settings.outputPath, commitError);
    return kExitWriteError;
  }
  // Files that could not be read were reported one by one; the run itself
  // succeeded.
  return kExitSuccess;
}

int RunConversionMode(ConverterSettings& settings) {
  Vexmar_init();  // its answer carries nothing to act on
  ResolveOutputFormat(settings);
  OutputFile output(settings.outputPath);
  if (const std::optional<std::string> input = output.SameFileAsInput(settings.inputs)) {
    std::printf("Error: (2) Can't write '%s': it is the input file '%s'\n",
                settings.outputPath.c_str(), input->c_str());
    return kExitCannotCreateOutput;
  }
  StopSignals::Install();
  if (!output.Prepare()) {
    std::printf("Error: (2) Can't create '%s' for writting\n", settings.outputPath.c_str());
    return kExitCannotCreateOutput;
  }
  // A failed open leaves the temporary file to `output`, which removes it.
  if (const int exitCode = OpenOutputWriter(settings, output.WritePath()); exitCode != kExitSuccess) {
    return exitCode;
  }
  ConversionStatus status;
  settings.status = &status;
  RunConversion(settings);
  const int finishError = FinishOutputWriter(settings);
  settings.status = nullptr;
  return SettleOutput(settings, output, status, finishError);
}

}  // namespace

int RunSonex(int argc, char** argv) {
  GuardStandardStreams();
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
