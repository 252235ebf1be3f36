// The progress lines of a conversion: the current output time and the total
// time of the batch, and on a terminal a bar with the percentage, the time
// elapsed and the time left, all redrawn in place.
#ifndef KELVRA_CONVERTER_PROGRESS_DISPLAY_H
#define KELVRA_CONVERTER_PROGRESS_DISPLAY_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace kelvra {

class ProgressDisplay {
 public:
  // kDetect asks the stream whether it is a terminal; the others force the
  // answer (tests, and output that is known to be a file).
  enum class Mode { kDetect, kTerminal, kPlain };

  // `out` is borrowed and must outlive the display. The clock for the
  // elapsed time starts here.
  explicit ProgressDisplay(std::FILE* out, Mode mode = Mode::kDetect);

  // The two time lines. On a terminal the bar follows them and the cursor
  // goes back to the first line, so that the next call overwrites all
  // three; redirected output keeps every line.
  void Show(std::uint32_t current, std::uint32_t total);

  // The two closing lines, shown whatever the quiet flag says. On a
  // terminal where a bar was drawn, the finished bar stays under them.
  void Finish(std::uint32_t total);

  // The bar line without its escapes: "[####----] 50% elapsed 0:05 left
  // 0:05". The time left is the elapsed time scaled by the share still to
  // do; unknown ("--:--") until some output time has passed.
  static std::string FormatBar(std::uint32_t current, std::uint32_t total,
                               std::chrono::milliseconds elapsed);

 private:
  void PrintTimes(std::uint32_t current, std::uint32_t total);
  void PrintBar(std::uint32_t current, std::uint32_t total);

  std::FILE* out_;
  bool terminal_;
  bool barShown_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace kelvra

#endif  // KELVRA_CONVERTER_PROGRESS_DISPLAY_H
