#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "stop_signals.h"

namespace kelvra {

namespace {

// A new output gets these permissions less the process's umask.
constexpr mode_t kNewFileMode = 0666;
// The temporary name: "." + the output's name + ".XXXXXX.part".
constexpr const char* kTempPrefix = ".";
constexpr const char* kTempSuffix = ".part";
constexpr const char* kTempRandom = ".XXXXXX";
// The longest file name most file systems take; the output's name is cut
// in the temporary name so that it fits.
constexpr std::size_t kMaxNameBytes = NAME_MAX;

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

mode_t CurrentUmask() {
  // Reading the umask means setting it; the main thread does this before
  // any other thread exists.
  const mode_t mask = umask(0);
  umask(mask);
  return mask;
}

// Holds the stop signals off while the temporary file is created and made
// known to their handler, so that no signal falls between the two.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    sigemptyset(&held);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&held, signal);
    pthread_sigmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

constexpr const char* kStandardOutputPipe = "pipe:1";
constexpr const char* kStandardOutputFile = "/dev/stdout";

}  // namespace

OutputFile::OutputFile(std::string path) : path_(std::move(path)), target_(path_) {}

OutputFile::~OutputFile() { Discard(); }

std::optional<std::string> OutputFile::SameFileAsInput(
    const std::vector<InputFileItem>& inputs) const {
  // Standard output is never one of the named inputs' files here: a shell
  // redirection onto an input has emptied it before the program runs.
  if (IsStandardStream(path_)) return std::nullopt;
  struct stat output {};
  const bool outputExists = stat(path_.c_str(), &output) == 0;
  for (const InputFileItem& item : inputs) {
    if (item.path == path_) return item.path;
    struct stat input {};
    if (outputExists && stat(item.path.c_str(), &input) == 0 && SameFile(input, output)) {
      return item.path;
    }
  }
  return std::nullopt;
}

bool OutputFile::Prepare() {
  if (state_ != State::kIdle || path_.empty() || path_.size() >= PATH_MAX) return false;
  if (IsStandardStream(path_)) {
    // Redirected into a file, standard output can be rewound like any file
    // (the MP3 info frame is completed at the end); a pipe, or a file
    // opened for appending, is written as a stream.
    struct stat out {};
    const bool plainFile = fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode) &&
                           (fcntl(STDOUT_FILENO, F_GETFL) & O_APPEND) == 0;
    writePath_ = plainFile ? kStandardOutputFile : kStandardOutputPipe;
    state_ = State::kDirect;
    return true;
  }
  struct stat existing {};
  if (stat(path_.c_str(), &existing) == 0) {
    if (S_ISDIR(existing.st_mode)) return false;
    if (!S_ISREG(existing.st_mode)) {
      // A device or pipe: written in place, as it cannot be replaced.
      const int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) return false;
      close(fd);
      writePath_ = path_;
      state_ = State::kDirect;
      return true;
    }
    // A file that may not be written is not replaced either.
    if (access(path_.c_str(), W_OK) != 0) return false;
    const std::unique_ptr<char, decltype(&free)> resolved(realpath(path_.c_str(), nullptr), &free);
    if (resolved) target_ = resolved.get();
  }
  return CreateTemporary();
}

bool OutputFile::CreateTemporary() {
  const std::filesystem::path target(target_);
  std::string name = target.filename().string();
  if (name.empty() || name.size() > kMaxNameBytes) return false;
  const std::size_t fixedBytes =
      std::char_traits<char>::length(kTempPrefix) + std::char_traits<char>::length(kTempRandom) +
      std::char_traits<char>::length(kTempSuffix);
  if (name.size() + fixedBytes > kMaxNameBytes) name.resize(kMaxNameBytes - fixedBytes);
  std::string pattern =
      (target.parent_path() / (kTempPrefix + name + kTempRandom + kTempSuffix)).string();

  const SignalsHeld held;
  const int fd = mkstemps(pattern.data(), static_cast<int>(std::char_traits<char>::length(kTempSuffix)));
  if (fd < 0) return false;
  StopSignals::SetPendingFile(pattern);
  const bool ready = fchmod(fd, kNewFileMode & ~CurrentUmask()) == 0;
  if (close(fd) != 0 || !ready) {
    unlink(pattern.c_str());
    StopSignals::ClearPendingFile();
    return false;
  }
  writePath_ = pattern;
  state_ = State::kTemporary;
  return true;
}

int OutputFile::Commit() {
  if (state_ == State::kDirect) {
    state_ = State::kDone;
    return 0;
  }
  if (state_ != State::kTemporary) return EINVAL;
  int error = 0;
  const int fd = open(writePath_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    error = errno;
  } else {
    if (fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
  }
  if (error == 0 && rename(writePath_.c_str(), target_.c_str()) != 0) error = errno;
  if (error != 0) {
    Discard();
    return error;
  }
  // The new name is made durable too where the file system allows; the
  // file is in place already, so a refusal here changes nothing.
  const std::string folder = std::filesystem::path(target_).parent_path().string();
  if (const int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  StopSignals::ClearPendingFile();
  state_ = State::kDone;
  return 0;
}

void OutputFile::Discard() {
  if (state_ == State::kTemporary) {
    unlink(writePath_.c_str());
    StopSignals::ClearPendingFile();
  }
  state_ = State::kDone;
}

}  // namespace kelvra
