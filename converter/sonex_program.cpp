#include "sonex_program.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

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

constexpr std::size_t kSpoolBlockSize = 64 * 1024;

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

// Standard input, copied whole into an unnamed temporary file: the
// information needs an index of every tag, which the tag reader builds from
// a file it can read again. Answers the file's /proc path and keeps it open
// in *fd, or "" when the copy failed.
std::string SpoolStandardInput(int* fd) {
  std::FILE* spool = std::tmpfile();
  if (spool == nullptr) return {};
  std::vector<char> block(kSpoolBlockSize);
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (std::fwrite(block.data(), 1, static_cast<std::size_t>(got), spool) !=
        static_cast<std::size_t>(got)) {
      std::fclose(spool);
      return {};
    }
  }
  if (std::fflush(spool) != 0) {
    std::fclose(spool);
    return {};
  }
  *fd = dup(fileno(spool));
  std::fclose(spool);
  return *fd < 0 ? std::string() : "/proc/self/fd/" + std::to_string(*fd);
}

int RunInformationMode(ConverterSettings& settings) {
  // Whatever the display found (even no FLV file at all), the run succeeds.
  if (IsStandardStream(settings.infoPath)) {
    int fd = -1;
    ShowFLVInfo(SpoolStandardInput(&fd));
    if (fd >= 0) close(fd);
  } else {
    ShowFLVInfo(settings.infoPath);
  }
  return kExitSuccess;
}

// What the command line may not combine: standard input twice, and the ASF
// encoder (which seeks in its file) on standard output. 0, or the exit code
// after the message.
int RefuseStandardStreamMisuse(const ConverterSettings& settings) {
  const auto fromInput = std::count_if(settings.inputs.begin(), settings.inputs.end(),
                                       [](const InputFileItem& item) { return IsStandardStream(item.path); });
  if (fromInput > 1) {
    ReportError("Error: (1) Standard input (-i -) can be read only once in a batch");
    return kExitUnknownOption;
  }
  if (IsStandardStream(settings.outputPath) && UsesAsfEncoder(settings)) {
    ReportError("Error: (3) ASF output cannot be written to standard output");
    return kExitBadEncodingParameters;
  }
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
  if (writeError == EPIPE && IsStandardStream(settings.outputPath)) {
    // The reader of the audio stopped reading (| head): nothing to report.
    return kExitBrokenPipe;
  }
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
  if (const int refused = RefuseStandardStreamMisuse(settings); refused != kExitSuccess) {
    return refused;
  }
  OutputFile output(settings.outputPath);
  if (const std::optional<std::string> input = output.SameFileAsInput(settings.inputs)) {
    std::printf("Error: (2) Can't write '%s': it is the input file '%s'\n",
                settings.outputPath.c_str(), input->c_str());
    return kExitCannotCreateOutput;
  }
  StopSignals::Install();
  if (!output.Prepare()) {
    std::fprintf(MessageStream(settings), "Error: (2) Can't create '%s' for writting\n",
                 settings.outputPath.c_str());
    return kExitCannotCreateOutput;
  }
  // A failed open leaves the temporary file to `output`, which removes it.
  if (const int exitCode = OpenOutputWriter(settings, output.WritePath()); exitCode != kExitSuccess) {
    return exitCode;
  }
  ConversionStatus status;
  settings.status = &status;
  RunConversion(settings, MessageStream(settings));
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
