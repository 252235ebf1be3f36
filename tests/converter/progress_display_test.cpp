#include "progress_display.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvra {
namespace {

using std::chrono::milliseconds;

TEST(ProgressDisplayTest, BarShowsShareElapsedAndTimeLeft) {
  struct Row {
    std::uint32_t current, total;
    milliseconds elapsed;
    std::string bar;
  };
  const Row rows[] = {
      {0, 1000, milliseconds(0), "[------------------------------]   0% elapsed 0:00 left --:--"},
      {500, 1000, milliseconds(5000), "[###############---------------]  50% elapsed 0:05 left 0:05"},
      {1, 3, milliseconds(61000), "[##########--------------------]  33% elapsed 1:01 left 2:02"},
      {1000, 4000, milliseconds(1200000), "[#######-----------------------]  25% elapsed 20:00 left 1:00:00"},
      // Past the total (a tag's length over it) and an empty batch stay in bounds.
      {1200, 1000, milliseconds(9000), "[##############################] 100% elapsed 0:09 left 0:00"},
      {0, 0, milliseconds(0), "[------------------------------]   0% elapsed 0:00 left --:--"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ProgressDisplay::FormatBar(row.current, row.total, row.elapsed), row.bar)
        << row.current << "/" << row.total;
  }
}

// What a display prints for one progress step and the closing lines.
std::string Output(ProgressDisplay::Mode mode, bool showProgress) {
  std::FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  ProgressDisplay display(out, mode);
  if (showProgress) display.Show(0, 4000);
  display.Finish(4000);
  std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
  std::rewind(out);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), out), text.size());
  std::fclose(out);
  return text;
}

TEST(ProgressDisplayTest, BarAndCursorMovesOnlyOnATerminal) {
  const std::string step = "Current Time: 0ms\nTotal Time: 4000ms\n";
  const std::string closing = "Current Time: 4000ms\nTotal Time: 4000ms\n";
  // A file (and a tmpfile is not a terminal) gets the plain lines.
  EXPECT_EQ(Output(ProgressDisplay::Mode::kPlain, true), step + closing);
  EXPECT_EQ(Output(ProgressDisplay::Mode::kDetect, true), step + closing);
  const std::string terminal = Output(ProgressDisplay::Mode::kTerminal, true);
  EXPECT_EQ(terminal.rfind(step + "[---", 0), 0u) << terminal;
  // The bar's line is erased to its end, then the cursor goes three lines up
  // for the closing lines to overwrite the step; the finished bar stays.
  const std::string backUp = "left --:--\x1b[K\n\x1b[3F";
  const std::size_t back = terminal.find(backUp);
  ASSERT_NE(back, std::string::npos) << terminal;
  EXPECT_EQ(terminal.substr(back + backUp.size()), closing + "[" + std::string(30, '#') + "] 100% elapsed 0:00 left 0:00\x1b[K\n");
  // Without a progress step (quiet) the terminal gets no bar either.
  EXPECT_EQ(Output(ProgressDisplay::Mode::kTerminal, false), closing);
}

}  // namespace
}  // namespace kelvra
