#include "progress_display.h"

#include <unistd.h>

#include <algorithm>

namespace kelvra {

namespace {

constexpr std::size_t kBarWidth = 30;
constexpr char kBarDone = '#';
constexpr char kBarToDo = '-';
constexpr std::uint64_t kPercent = 100;
constexpr long long kSecondsPerMinute = 60;
constexpr long long kSecondsPerHour = 3600;
constexpr const char* kUnknownTime = "--:--";
// Room for "h:mm:ss" of any 64-bit count of seconds, and for "100%".
constexpr std::size_t kDurationTextSize = 32;
constexpr std::size_t kPercentTextSize = 8;
// Erases the rest of the line (a shorter bar leaves no tail behind).
constexpr const char* kEraseToLineEnd = "\x1b[K";
// Cursor to column 0, three lines up: onto the first progress line.
constexpr const char* kBackToFirstLine = "\x1b[3F";

// "m:ss", or "h:mm:ss" from an hour on.
std::string FormatDuration(std::chrono::milliseconds time) {
  const long long seconds = std::max<long long>(0, std::chrono::duration_cast<std::chrono::seconds>(time).count());
  const long long hours = seconds / kSecondsPerHour;
  const long long minutes = (seconds % kSecondsPerHour) / kSecondsPerMinute;
  const long long rest = seconds % kSecondsPerMinute;
  char text[kDurationTextSize];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, rest);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, rest);
  }
  return text;
}

}  // namespace

ProgressDisplay::ProgressDisplay(std::FILE* out, Mode mode)
    : out_(out),
      terminal_(mode == Mode::kTerminal || (mode == Mode::kDetect && isatty(fileno(out)) != 0)),
      start_(std::chrono::steady_clock::now()) {}

std::string ProgressDisplay::FormatBar(std::uint32_t current, std::uint32_t total,
                                       std::chrono::milliseconds elapsed) {
  // The output time can pass the total of the files opened so far by a
  // tag's length; the bar never runs past its end.
  const std::uint32_t done = std::min(current, total);
  const std::uint64_t percent = total == 0 ? 0 : done * kPercent / total;
  const std::size_t filled = total == 0 ? 0 : static_cast<std::size_t>(std::uint64_t{done} * kBarWidth / total);
  std::string line = "[";
  line.append(filled, kBarDone).append(kBarWidth - filled, kBarToDo).append("] ");
  char number[kPercentTextSize];
  std::snprintf(number, sizeof number, "%3u%%", static_cast<unsigned>(percent));
  line += number;
  line += " elapsed " + FormatDuration(elapsed) + " left ";
  if (done == 0) {
    line += kUnknownTime;
  } else {
    const auto left = elapsed * (total - done) / done;
    line += FormatDuration(std::chrono::duration_cast<std::chrono::milliseconds>(left));
  }
  return line;
}

void ProgressDisplay::Show(std::uint32_t current, std::uint32_t total) {
  PrintTimes(current, total);
  if (terminal_) {
    PrintBar(current, total);
    std::fputs(kBackToFirstLine, out_);
    barShown_ = true;
    std::fflush(out_);
  }
}

void ProgressDisplay::Finish(std::uint32_t total) {
  PrintTimes(total, total);
  if (terminal_ && barShown_) PrintBar(total, total);
  std::fflush(out_);
}

void ProgressDisplay::PrintTimes(std::uint32_t current, std::uint32_t total) {
  std::fprintf(out_, "Current Time: %ldms\n", static_cast<long>(current));
  std::fprintf(out_, "Total Time: %ldms\n", static_cast<long>(total));
}

void ProgressDisplay::PrintBar(std::uint32_t current, std::uint32_t total) {
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_);
  std::fprintf(out_, "%s%s\n", FormatBar(current, total, elapsed).c_str(), kEraseToLineEnd);
}

}  // namespace kelvra
