// The sonex command line, output format defaults, output path and progress display.
#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <tuple>

#include "codec_name_table.h"
#include "converter_settings.h"
#include "output_writer.h"
#include "progress_display.h"

namespace kelvra {
namespace {

using Args = std::vector<std::string>;
constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
constexpr auto kMin = std::numeric_limits<std::int32_t>::min();

std::string ReadBack(std::FILE* file) {
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
  std::fclose(file);
  return text;
}

// The settings that differ from the defaults; "./" stands for the working folder.
std::string Summary(const ConverterSettings& s) {
  const std::string cwd = std::filesystem::current_path().string() + "/";
  const auto path = [&](const std::string& p) {
    return p.rfind(cwd, 0) == 0 ? "./" + p.substr(cwd.size()) : p;
  };
  std::string text;
  for (const InputFileItem& in : s.inputs) {
    text += "i=" + path(in.path) + "@" + std::to_string(in.startTime) + "+" +
            (in.duration == kToEndOfFile ? "end" : std::to_string(in.duration)) + " ";
  }
  if (!s.outputPath.empty()) text += "out=" + path(s.outputPath) + " ";
  if (!s.infoPath.empty()) text += "info=" + path(s.infoPath) + " ";
  if (s.formatName) text += "fmt=" + *s.formatName + " ";
  const auto number = [&](const std::string& key, std::int32_t value, std::int32_t unset) {
    char digits[16];
    std::snprintf(digits, sizeof digits, key == "codec" ? "%x" : "%d", value);
    if (value != unset) text += key + "=" + digits + " ";
  };
  number("ac", s.channels, kNotGiven);
  number("codec", s.codecId, kNotGiven);
  number("asr", s.sampleRate, kNotGiven);
  number("abr", s.bitRate, kNotGiven);
  number("slp", s.sleepTime, 0);
  number("q", s.quiet, 0);
  return text;
}

// Where the reading stopped (-1: the conversion goes on) and what it printed.
std::pair<int, std::string> Parse(const Args& args, ConverterSettings& settings) {
  std::vector<const char*> argv{"sonex"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  std::FILE* out = std::tmpfile();
  const int stop =
      ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), settings, out).value_or(-1);
  return {stop, ReadBack(out)};
}

TEST(CommandLineValues, NumbersAndCodecNames) {
  const std::pair<const char*, std::int32_t> decimals[] = {
      {"  \t22050", 22050},
      {"+7", 7},
      {"- 3", 0},
      {"+-3", 0},
      {nullptr, 0},
      {"2147483647", kMax},
      {"2147483648", kMax},
      {"-2147483648", kMin},
      {"-99999999999999999999999999", kMin}};
  for (const auto& [text, value] : decimals)
    EXPECT_EQ(ParseDecimal(text), value) << (text ? text : "null");
  // Names are exact and lower case.
  const std::pair<const char*, std::int32_t> names[] = {
      {"adpcm_ct", 0x1100C},
      {nullptr, 0},
      {"MP3", 0},
      {"mp3 ", 0}};
  for (const auto& [name, id] : names) EXPECT_EQ(LookupCodecId(name), id) << (name ? name : "null");
}

// "U" stands for the usage text, "V" for a version text. -st and -dt bind to the input
// before them; repeats replace, except -i which appends.
TEST(CommandLine, ParseTable) {
  std::FILE* usage = std::tmpfile();
  ASSERT_EQ(PrintUsage(usage), 1);
  const std::string usageText = ReadBack(usage);
  const std::string longName = "/tmp/" + std::string(600, 'n') + ".flv";
  const struct {
    Args args;
    int stop;  // -1: the conversion goes on
    std::string output, settings;
  } rows[] = {
      {{"-x"}, -1, "", ""},  // two or fewer arguments read nothing
      {{"-i",   "in.flv", "-St",  "1000", "-dt",     "2000",   "-OUT",  "out.mp3",
        "-fmt", "wav",    "-ac",  "1",    "-ACodec", "pcm_u8", "-asr",  "22050",
        "-abr", "32000",  "-slp", "5",    "-QUIET",  "1",      "-INFO", "a.flv"},
       -1,
       "",
       "i=./in.flv@1000+2000 out=./out.mp3 info=./a.flv fmt=wav ac=1 codec=10005 asr=22050 "
       "abr=32000 slp=5 q=1 "},
      {{"-st",  "7",     "-dt",  "500",   "-i",     "x1.flv", "-i",   "x1.flv", "-st",  "5",
        "-st",  "30000", "-dt",  "30000", "-i",     "x3.flv", "-st",  "-5",     "-dt",  "-1",
        "-out", "a.mp3", "-out", "b.wav", "-ac",    "1",      "-ac",  "two",    "-asr", "-8000",
        "-abr", "12k",   "-slp", " 3",    "-quiet", "yes",    "-fmt", "amr",    "-fmt", "adts"},
       -1,
       "",
       "i=./x1.flv@0+end i=./x1.flv@30000+30000 i=./x3.flv@4294967291+end out=./b.wav fmt=adts "
       "ac=0 asr=-8000 abr=12 slp=3 "},
      {{"-ac", "1", "-ac", "-1", "-asr", "-1", "-abr", "-1"}, -1, "", ""},
      // A path that cannot be resolved keeps the earlier value.
      {{"-i", "/no/such/dir/../file.flv", "-out", "./sub/./x.mp3", "-info", "/tmp//a.flv", "-i",
        longName, "-i", ""},
       -1,
       "",
       "i=/no/such/file.flv@0+end i=" + longName +
           "@0+end i=@0+end out=./sub/x.mp3 info=/tmp/a.flv "},
      {{"-out", "a.mp3", "-out", "", "-info", ""}, -1, "", "out=./a.mp3 "},
      {{"-i", "a.flv", "-bogus"}, -1, "", "i=./a.flv@0+end "},
      {{"-i", "a.flv", "-x", "1", "-out", "b.mp3"}, 1, "Unknown option -x\nU", "i=./a.flv@0+end "},
      {{"-Out%s", "x"}, 1, "Unknown option -Out%s\nU", ""},
      {{"-HELP"}, 0, "U", ""},
      {{"-i", "a.flv", "-out", "b.mp3", "-h", "x"}, 0, "U", "i=./a.flv@0+end out=./b.mp3 "},
      {{"-quiet", "1", "-Version"}, 0, "V", "q=1 "},
      // A value is never a name.
      {{"-i", "-h", "-out", "--version"}, -1, "", "i=./-h@0+end out=./--version "}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args).substr(0, 300));
    ConverterSettings settings;
    const auto [stop, output] = Parse(row.args, settings);
    EXPECT_EQ(stop, row.stop);
    EXPECT_EQ(Summary(settings), row.settings);
    std::string want = row.output;
    if (want.ends_with("U")) want.replace(want.size() - 1, 1, usageText);
    EXPECT_TRUE(want == "V" ? output.starts_with("sonex ") : output == want) << output;
  }
}

TEST(CommandLine, ResolveOutputFormat) {
  const std::string mp3 = "fmt=mp3 ac=2 codec=15001 asr=44100 abr=96000 ";
  const std::string wav = "fmt=wav ac=2 codec=10000 asr=44100 abr=0 ";
  const std::string asf = "fmt=asf ac=2 codec=70000 asr=44100 abr=64000 ";
  const std::pair<Args, std::string> rows[] = {
      {{"-out", "/o/a.MP3"}, mp3},
      {{"-out", "/o/a.Wav"}, wav},
      {{"-out", "a.WMA"}, asf},
      {{"-out", "a.flac"}, mp3},
      {{"-out", "/o/wav"}, mp3},
      {{"-out", "/o/.wav"}, wav},
      {{"-out", "b.mp3", "-acodec", "vorbis"}, mp3},
      {{"-out", "b.mp3", "-fmt", "wav"}, wav},
      {{"-out", "a.amr"}, "fmt=amr ac=1 codec=12000 asr=8000 abr=12000 "},
      {{"-out", "a.aac"}, "fmt=adts ac=2 codec=15002 asr=44100 abr=96000 "},
      {{"-out", "a.amr", "-ac", "2", "-asr", "16000", "-abr", "0", "-acodec", "aac"},
       "fmt=amr ac=2 codec=15002 asr=16000 abr=0 "},
      {{"-out", "b.mp3", "-ac", "two"}, "fmt=mp3 ac=0 codec=15001 asr=44100 abr=96000 "},
      {{"-out", "b.wma", "-fmt", "ASF", "-acodec", "zzz"}, "fmt=ASF codec=0 "},
      {{"-out", "b.wma", "-fmt", "", "-acodec", "zzz"}, "fmt= codec=0 "}};
  for (const auto& [options, expected] : rows) {
    Args args{"-i", "/a.flv"};
    args.insert(args.end(), options.begin(), options.end());
    ConverterSettings settings;
    Parse(args, settings);
    ResolveOutputFormat(settings);
    const std::string summary = Summary(settings);
    EXPECT_EQ(summary.substr(summary.find("fmt=")), expected) << testing::PrintToString(options);
  }
}

// Each byte that is not UTF-8 travels as U+DC00 + byte.
TEST(PathToUtf16, Utf8AndEscapes) {
  const std::pair<const char*, std::u16string> rows[] = {
      {"tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5", u"tone_\u00e9_\u20ac_\U0001F3B5"},
      {"\xf4\x8f\xbf\xbf", {0xDBFF, 0xDFFF}},  // the last code point
      {"a\x80z", {u'a', 0xDC80, u'z'}},
      {"a\xe2\x82", {u'a', 0xDCE2, 0xDC82}},
      {"\xc0\xaf", {0xDCC0, 0xDCAF}},
      {"\xed\xa0\x80", {0xDCED, 0xDCA0, 0xDC80}}};
  for (const auto& [path, utf16] : rows) EXPECT_EQ(PathToUtf16(path), utf16) << path;
}

TEST(ProgressDisplayTest, BarAndTerminalOutput) {
  using ms = std::chrono::milliseconds;
  const std::tuple<std::uint32_t, std::uint32_t, ms, std::string> rows[] = {
      {500, 1000, ms(5000), "[###############---------------]  50% elapsed 0:05 left 0:05"},
      {1, 3, ms(61000), "[##########--------------------]  33% elapsed 1:01 left 2:02"},
      {1000, 4000, ms(1200000), "[#######-----------------------]  25% elapsed 20:00 left 1:00:00"},
      // Past the total and an empty batch stay in bounds.
      {1200, 1000, ms(9000), "[##############################] 100% elapsed 0:09 left 0:00"},
      {0, 0, ms(0), "[------------------------------]   0% elapsed 0:00 left --:--"}};
  for (const auto& [current, total, elapsed, bar] : rows)
    EXPECT_EQ(ProgressDisplay::FormatBar(current, total, elapsed), bar);
  const auto output = [](ProgressDisplay::Mode mode, bool showProgress) {
    std::FILE* out = std::tmpfile();
    auto display = std::make_unique<ProgressDisplay>(out, mode);
    if (showProgress) display->Show(0, 4000);
    display->Finish(4000);
    display.reset();
    return ReadBack(out);
  };
  const std::string step = "Current Time: 0ms\nTotal Time: 4000ms\n",
                    closing = "Current Time: 4000ms\nTotal Time: 4000ms\n";
  EXPECT_EQ(output(ProgressDisplay::Mode::kPlain, true), step + closing);
  EXPECT_EQ(output(ProgressDisplay::Mode::kDetect, true), step + closing);  // no terminal
  // The cursor goes three lines up for the closing lines to overwrite the step.
  EXPECT_EQ(output(ProgressDisplay::Mode::kTerminal, true),
            step + "[" + std::string(30, '-') + "]   0% elapsed 0:00 left --:--\x1b[K\n\x1b[3F" +
                closing + "[" + std::string(30, '#') + "] 100% elapsed 0:00 left 0:00\x1b[K\n");
  EXPECT_EQ(output(ProgressDisplay::Mode::kTerminal, false), closing);
}

}  // namespace
}  // namespace kelvra
