#include "stop_signals.h"

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace kelvra {

namespace {

// Shells report a process ended by signal N with status 128 + N.
constexpr int kSignalExitBase = 128;
constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Written by the handler on whichever thread the signal lands, read by the
// driver and the audio callback: lock-free atomics are safe in both places.
std::atomic<int> gReceived{0};
std::atomic<bool> gPendingFileSet{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
// The temporary output file; stable while gPendingFileSet is true.
char gPendingFile[PATH_MAX];

// Only async-signal-safe work here: an atomic exchange, unlink and _exit.
void OnStopSignal(int signal) {
  int none = 0;
  if (gReceived.compare_exchange_strong(none, signal)) return;
  if (gPendingFileSet.load()) unlink(gPendingFile);
  _exit(kSignalExitBase + signal);
}

}  // namespace

void StopSignals::Install() {
  struct sigaction action {};
  action.sa_handler = &OnStopSignal;
  // Writes under way on other threads go on rather than fail with EINTR.
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  for (const int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

int StopSignals::Received() { return gReceived.load(); }

int StopSignals::ExitCode(int signal) { return kSignalExitBase + signal; }

void StopSignals::SetPendingFile(const std::string& path) {
  gPendingFileSet = false;
  if (path.size() >= sizeof gPendingFile) return;
  std::memcpy(gPendingFile, path.c_str(), path.size() + 1);
  gPendingFileSet = true;
}

void StopSignals::ClearPendingFile() { gPendingFileSet = false; }

}  // namespace kelvra
