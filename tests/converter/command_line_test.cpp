// The sonex command line (option pairs, numbers, codec names, full paths,
// output format defaults), the output path as the ASF encoder takes it, and
// the progress display. The program's exit codes are in tests/e2e.
#include "command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "codec_name_table.h"
#include "converter_settings.h"
#include "output_writer.h"
#include "progress_display.h"

namespace kelvra {
namespace {

using Args = std::vector<std::string>;
constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMp3 = 0x15001, kAac = 0x15002, kWav = 0x10000, kAmr = 0x12000,
                       kWma = 0x70000, kPcmU8 = 0x10005, kAdpcmMs = 0x11006;

std::string ReadBack(std::FILE* file) {
  std::string text(static_cast<std::size_t>(std::ftell(file)), '\0');
  std::rewind(file);
  EXPECT_EQ(std::fread(text.data(), 1, text.size(), file), text.size());
  std::fclose(file);
  return text;
}

struct ParseRun {
  ConverterSettings settings;
  std::optional<int> stop;
  std::string output;  // the program's standard output
};

// Parses "sonex" followed by `args`.
ParseRun Parse(const Args& args) {
  std::vector<const char*> argv{"sonex"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  ParseRun run;
  std::FILE* out = std::tmpfile();
  run.stop = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), run.settings, out);
  run.output = ReadBack(out);
  return run;
}

std::string UsageText() {
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(PrintUsage(out), 1);
  return ReadBack(out);
}

std::string Full(const std::string& relative) {
  return (std::filesystem::current_path() / relative).lexically_normal().string();
}

TEST(CommandLineValues, NumbersAndCodecNames) {
  const std::pair<const char*, std::int32_t> decimals[] = {
      {"44100", 44100}, {"  \t22050", 22050}, {"+7", 7}, {"-1", -1}, {"12abc", 12}, {"007", 7},
      {"0x10", 0}, {"two", 0}, {"", 0}, {"-", 0}, {"- 3", 0}, {"+-3", 0}, {nullptr, 0},
      {"2147483647", kMax}, {"2147483648", kMax}, {"99999999999999999999999999", kMax},
      {"-2147483648", kMin}, {"-99999999999999999999999999", kMin}};
  for (const auto& [text, value] : decimals) EXPECT_EQ(ParseDecimal(text), value) << (text ? text : "null");
  // Video names are accepted too; the ASF encoder's own codec is not listed.
  const std::pair<const char*, std::int32_t> names[] = {
      {"mp3", kMp3}, {"aac", kAac}, {"adpcm_ms", kAdpcmMs}, {"adpcm_ct", 0x1100C},
      {"pcm_u8", kPcmU8}, {"wmav2", 0x15009}, {"flv", 22}, {"mpeg4", 13}, {"wmv3", 74},
      {nullptr, 0}, {"", 0}, {"MP3", 0}, {"mp", 0}, {"mp3 ", 0}, {"vorbis", 0}, {"wma", 0}};
  for (const auto& [name, id] : names) EXPECT_EQ(LookupCodecId(name), id) << (name ? name : "null");
}

TEST(CommandLine, ReadsEveryOptionWhateverItsCase) {
  ParseRun run = Parse({"-i", "in.flv", "-St", "1000", "-dt", "2000", "-OUT", "out.mp3", "-fmt",
                        "wav", "-ac", "1", "-ACodec", "pcm_u8", "-asr", "22050", "-abr", "32000",
                        "-slp", "5", "-QUIET", "1", "-INFO", "a.flv"});
  ASSERT_FALSE(run.stop);
  const ConverterSettings& s = run.settings;
  ASSERT_EQ(s.inputs.size(), 1u);
  EXPECT_EQ(s.inputs[0].path, Full("in.flv"));
  EXPECT_EQ(s.inputs[0].startTime, 1000u);
  EXPECT_EQ(s.inputs[0].duration, 2000u);
  EXPECT_EQ(s.outputPath, Full("out.mp3"));
  EXPECT_EQ(s.infoPath, Full("a.flv"));
  EXPECT_EQ(s.formatName, "wav");
  EXPECT_EQ(s.channels, 1);
  EXPECT_EQ(s.codecId, kPcmU8);
  EXPECT_EQ(s.sampleRate, 22050);
  EXPECT_EQ(s.bitRate, 32000);
  EXPECT_EQ(s.sleepTime, 5);
  EXPECT_EQ(s.quiet, 1);
  EXPECT_EQ(run.output, "");
}

// Where the reading stops, and what it prints then.
TEST(CommandLine, StopsAndMessages) {
  const struct {
    Args args;
    std::optional<int> stop;
    std::string output;  // "usage" for the usage text, "version" for its first word
    std::size_t inputs;
    std::string outputPath;
  } rows[] = {
      {{}, std::nullopt, "", 0, ""},
      {{"-info"}, std::nullopt, "", 0, ""},  // two or fewer arguments read nothing
      {{"-x"}, std::nullopt, "", 0, ""},
      {{"-i", "a.flv", "-out", "b.mp3", "-quiet"}, std::nullopt, "", 1, "b.mp3"},  // last name alone
      {{"-i", "a.flv", "-bogus"}, std::nullopt, "", 1, ""},
      {{"-i", "a.flv", "-x", "1", "-out", "b.mp3"}, 1, "Unknown option -x\nusage", 1, ""},
      {{"-Out%s", "x"}, 1, "Unknown option -Out%s\nusage", 0, ""},
      {{"-i", "-x", "-out", "-y"}, std::nullopt, "", 1, "-y"},  // a value is never a name
      {{"-HELP"}, 0, "usage", 0, ""},
      {{"-i", "a.flv", "--help"}, 0, "usage", 1, ""},
      {{"-i", "a.flv", "-out", "b.mp3", "-h", "x"}, 0, "usage", 1, "b.mp3"},
      {{"-quiet", "1", "-Version"}, 0, "version", 0, ""},
      {{"--version"}, 0, "version", 0, ""},
      {{"-i", "-h", "-out", "--version"}, std::nullopt, "", 1, "--version"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    ParseRun run = Parse(row.args);
    EXPECT_EQ(run.stop, row.stop);
    std::string expected = row.output;
    if (const auto at = expected.find("usage"); at != std::string::npos) expected.replace(at, 5, UsageText());
    if (expected == "version") {
      EXPECT_EQ(run.output.rfind("sonex ", 0), 0u);
    } else {
      EXPECT_EQ(run.output, expected);
    }
    EXPECT_EQ(run.settings.inputs.size(), row.inputs);
    EXPECT_EQ(run.settings.outputPath, row.outputPath.empty() ? "" : Full(row.outputPath));
    if (row.args.size() <= 1) {
      EXPECT_FALSE(run.settings.formatName);
      EXPECT_EQ(run.settings.channels, kNotGiven);
      EXPECT_EQ(run.settings.quiet, 0);
    }
  }
}

// -st and -dt bind to the input before them; repeats replace, except -i
// which appends; numbers are not range-checked; -1 is "not given".
TEST(CommandLine, InputsRepeatsAndNumbers) {
  ParseRun run = Parse({"-st", "7", "-dt", "500", "-i", "x1.flv", "-i", "x1.flv", "-st", "5",
                        "-st", "30000", "-dt", "30000", "-i", "x3.flv", "-st", "-5", "-dt", "-1", "-out", "a.mp3", "-out", "b.wav", "-ac", "1",
                        "-ac", "two", "-asr", "-8000", "-abr", "12k", "-slp", " 3", "-quiet",
                        "yes", "-fmt", "amr", "-fmt", "adts"});
  ASSERT_FALSE(run.stop);
  const auto& in = run.settings.inputs;
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[0].path, Full("x1.flv"));
  EXPECT_EQ(in[0].startTime, 0u);
  EXPECT_EQ(in[0].duration, kToEndOfFile);
  EXPECT_EQ(in[1].startTime, 30000u);
  EXPECT_EQ(in[1].duration, 30000u);
  EXPECT_EQ(in[2].startTime, 0xFFFFFFFBu);
  EXPECT_EQ(in[2].duration, kToEndOfFile);
  EXPECT_EQ(run.settings.outputPath, Full("b.wav"));
  EXPECT_EQ(run.settings.formatName, "adts");
  EXPECT_EQ(run.settings.channels, 0);
  EXPECT_EQ(run.settings.sampleRate, -8000);
  EXPECT_EQ(run.settings.bitRate, 12);
  EXPECT_EQ(run.settings.sleepTime, 3);
  EXPECT_EQ(run.settings.quiet, 0);
  ParseRun unset = Parse({"-ac", "1", "-ac", "-1", "-asr", "-1", "-abr", "-1"});
  EXPECT_EQ(unset.settings.channels, kNotGiven);
  EXPECT_EQ(unset.settings.sampleRate, kNotGiven);
  EXPECT_EQ(unset.settings.bitRate, kNotGiven);
}

// Paths become full paths without an existence check; one that cannot be
// resolved keeps the earlier value (an input is still made, and fails later).
TEST(CommandLine, FullPaths) {
  const std::string longName = "/tmp/" + std::string(600, 'n') + ".flv";
  ParseRun run = Parse({"-i", "/no/such/dir/../file.flv", "-out", "./sub/./x.mp3", "-info",
                        "/tmp//a.flv", "-i", longName, "-i", ""});
  ASSERT_EQ(run.settings.inputs.size(), 3u);
  EXPECT_EQ(run.settings.inputs[0].path, "/no/such/file.flv");
  EXPECT_EQ(run.settings.inputs[1].path, longName);
  EXPECT_EQ(run.settings.inputs[2].path, "");
  EXPECT_EQ(run.settings.outputPath, Full("sub/x.mp3"));
  EXPECT_EQ(run.settings.infoPath, "/tmp/a.flv");
  ParseRun kept = Parse({"-out", "a.mp3", "-out", "", "-info", ""});
  EXPECT_EQ(kept.settings.outputPath, Full("a.mp3"));
  EXPECT_EQ(kept.settings.infoPath, "");
}

struct FormatRow {
  const char* name;
  Args options;  // after -i a.flv
  const char* format;
  std::int32_t codec, channels, rate, bitRate;
};

class ResolveOutputFormatTest : public testing::TestWithParam<FormatRow> {};

TEST_P(ResolveOutputFormatTest, FormatAndDefaults) {
  const FormatRow& row = GetParam();
  Args args{"-i", "a.flv"};
  args.insert(args.end(), row.options.begin(), row.options.end());
  ParseRun run = Parse(args);
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.formatName, row.format);
  EXPECT_EQ(run.settings.codecId, row.codec);
  EXPECT_EQ(run.settings.channels, row.channels);
  EXPECT_EQ(run.settings.sampleRate, row.rate);
  EXPECT_EQ(run.settings.bitRate, row.bitRate);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ResolveOutputFormatTest,
    testing::Values(
        FormatRow{"Mp3", {"-out", "/o/a.MP3"}, "mp3", kMp3, 2, 44100, 96000},
        FormatRow{"Wav", {"-out", "/o/a.Wav"}, "wav", kWav, 2, 44100, 0},
        FormatRow{"Amr", {"-out", "a.amr"}, "amr", kAmr, 1, 8000, 12000},
        FormatRow{"Wma", {"-out", "a.WMA"}, "asf", kWma, 2, 44100, 64000},
        FormatRow{"Asf", {"-out", "a.asf"}, "asf", kWma, 2, 44100, 64000},
        FormatRow{"Wmv", {"-out", "a.wmv"}, "asf", kWma, 2, 44100, 64000},
        FormatRow{"Aac", {"-out", "a.aac"}, "adts", kAac, 2, 44100, 96000},
        FormatRow{"OtherExtension", {"-out", "a.flac"}, "mp3", kMp3, 2, 44100, 96000},
        FormatRow{"NoExtension", {"-out", "/o/a"}, "mp3", kMp3, 2, 44100, 96000},
        FormatRow{"NameWithoutDot", {"-out", "/o/wav"}, "mp3", kMp3, 2, 44100, 96000},
        FormatRow{"DotName", {"-out", "/o/.wav"}, "wav", kWav, 2, 44100, 0},
        FormatRow{"LastExtension", {"-out", "a.mp3.wav"}, "wav", kWav, 2, 44100, 0},
        FormatRow{"GivenValuesStay",
                  {"-out", "a.amr", "-ac", "2", "-asr", "16000", "-abr", "0", "-acodec", "aac"},
                  "amr", kAac, 2, 16000, 0},
        FormatRow{"ZeroChannelsStay", {"-out", "b.mp3", "-ac", "two"}, "mp3", kMp3, 0, 44100, 96000},
        FormatRow{"UnknownCodecTakesTheDefault", {"-out", "b.mp3", "-acodec", "vorbis"}, "mp3",
                  kMp3, 2, 44100, 96000},
        FormatRow{"AsfTakesItsOwnCodec", {"-out", "b.wma", "-acodec", "aac"}, "asf", kWma, 2,
                  44100, 64000},
        FormatRow{"FormatBeatsTheExtension", {"-out", "b.mp3", "-fmt", "wav"}, "wav", kWav, 2,
                  44100, 0},
        FormatRow{"OtherFormatNoDefaults", {"-out", "b.wma", "-fmt", "ASF", "-acodec", "zzz"},
                  "ASF", 0, -1, -1, -1},
        FormatRow{"EmptyFormatNoDefaults", {"-out", "b.wma", "-fmt", "", "-acodec", "zzz"}, "", 0,
                  -1, -1, -1}),
    [](const testing::TestParamInfo<FormatRow>& info) { return std::string(info.param.name); });

TEST(CommandLine, UsageText) {
  const std::string usage = UsageText();
  EXPECT_EQ(usage.rfind("Usage: sonex\n", 0), 0u);
  // Its 63 lines as users know them: any line lost or changed shows in the size.
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 63);
  EXPECT_EQ(usage.size(), 1716u);
  EXPECT_EQ(usage.find('%'), std::string::npos);
  EXPECT_NE(usage.find("for mp3, possible value is: \n    44100, 22050, 11025\n"), std::string::npos);
  EXPECT_NE(usage.find("possible value is: \n    16000, 32000, 48000, 64000, 96000, 128000\n"),
            std::string::npos);
  EXPECT_TRUE(usage.ends_with("\n8) get FLV file information\nsonex -info x1.flv\n")) << usage;
}

// UTF-8 becomes UTF-16 with surrogate pairs; each byte that is not UTF-8 (a
// lone continuation, a cut sequence, an overlong form, an encoded
// surrogate) travels as U+DC00 + byte.
TEST(PathToUtf16, Utf8AndEscapes) {
  const auto escaped = [](std::initializer_list<char16_t> units) { return std::u16string(units); };
  EXPECT_EQ(PathToUtf16("tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5"), u"tone_\u00e9_\u20ac_\U0001F3B5");
  EXPECT_EQ(PathToUtf16("a\x80z"), escaped({u'a', 0xDC80, u'z'}));
  EXPECT_EQ(PathToUtf16("a\xe2\x82"), escaped({u'a', 0xDCE2, 0xDC82}));
  EXPECT_EQ(PathToUtf16("\xc0\xaf"), escaped({0xDCC0, 0xDCAF}));
  EXPECT_EQ(PathToUtf16("\xed\xa0\x80"), escaped({0xDCED, 0xDCA0, 0xDC80}));
}

TEST(ProgressDisplayTest, BarShowsShareElapsedAndTimeLeft) {
  using std::chrono::milliseconds;
  const struct {
    std::uint32_t current, total;
    milliseconds elapsed;
    std::string bar;
  } rows[] = {
      {0, 1000, milliseconds(0), "[------------------------------]   0% elapsed 0:00 left --:--"},
      {500, 1000, milliseconds(5000), "[###############---------------]  50% elapsed 0:05 left 0:05"},
      {1, 3, milliseconds(61000), "[##########--------------------]  33% elapsed 1:01 left 2:02"},
      {1000, 4000, milliseconds(1200000), "[#######-----------------------]  25% elapsed 20:00 left 1:00:00"},
      // Past the total and an empty batch stay in bounds.
      {1200, 1000, milliseconds(9000), "[##############################] 100% elapsed 0:09 left 0:00"},
      {0, 0, milliseconds(0), "[------------------------------]   0% elapsed 0:00 left --:--"},
  };
  for (const auto& row : rows) EXPECT_EQ(ProgressDisplay::FormatBar(row.current, row.total, row.elapsed), row.bar);
}

// What a display prints for one progress step and the closing lines.
std::string Output(ProgressDisplay::Mode mode, bool showProgress) {
  std::FILE* out = std::tmpfile();
  {
    ProgressDisplay display(out, mode);
    if (showProgress) display.Show(0, 4000);
    display.Finish(4000);
  }
  return ReadBack(out);
}

TEST(ProgressDisplayTest, BarAndCursorMovesOnlyOnATerminal) {
  const std::string step = "Current Time: 0ms\nTotal Time: 4000ms\n";
  const std::string closing = "Current Time: 4000ms\nTotal Time: 4000ms\n";
  EXPECT_EQ(Output(ProgressDisplay::Mode::kPlain, true), step + closing);
  EXPECT_EQ(Output(ProgressDisplay::Mode::kDetect, true), step + closing);  // a tmpfile is no terminal
  // The bar's line is erased to its end, then the cursor goes three lines up
  // for the closing lines to overwrite the step; the finished bar stays.
  EXPECT_EQ(Output(ProgressDisplay::Mode::kTerminal, true),
            step + "[" + std::string(30, '-') + "]   0% elapsed 0:00 left --:--\x1b[K\n\x1b[3F" +
                closing + "[" + std::string(30, '#') + "] 100% elapsed 0:00 left 0:00\x1b[K\n");
  EXPECT_EQ(Output(ProgressDisplay::Mode::kTerminal, false), closing);
}

}  // namespace
}  // namespace kelvra
