#include "command_line.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "converter_settings.h"

namespace kelvra {
namespace {

struct ParseRun {
  ConverterSettings settings;
  std::optional<int> stop;
  std::string output;  // what went to the program's standard output
};

std::string ReadBack(std::FILE* file) {
  std::string text;
  std::rewind(file);
  char chunk[4096];
  std::size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, n);
  return text;
}

// Parses "sonex" followed by `args`.
ParseRun Parse(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"sonex"};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  ParseRun run;
  std::FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  run.stop = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), run.settings, out);
  run.output = ReadBack(out);
  std::fclose(out);
  return run;
}

std::string UsageText() {
  std::FILE* out = std::tmpfile();
  EXPECT_EQ(PrintUsage(out), 1);
  std::string text = ReadBack(out);
  std::fclose(out);
  return text;
}

std::string Full(const std::string& relative) {
  return (std::filesystem::current_path() / relative).lexically_normal().string();
}

bool IsUntouched(const ConverterSettings& s) {
  return s.inputs.empty() && s.outputPath.empty() && s.infoPath.empty() && !s.formatName &&
         s.channels == -1 && s.codecId == -1 && s.sampleRate == -1 && s.bitRate == -1 &&
         s.sleepTime == 0 && s.quiet == 0 && s.writer == nullptr && s.encoder == nullptr;
}

// ---- decimal values ----

TEST(ParseDecimalTest, ReadsLikeStrtolFromTheStart) {
  EXPECT_EQ(ParseDecimal("44100"), 44100);
  EXPECT_EQ(ParseDecimal("  \t22050"), 22050);
  EXPECT_EQ(ParseDecimal("+7"), 7);
  EXPECT_EQ(ParseDecimal("-1"), -1);
  EXPECT_EQ(ParseDecimal("12abc"), 12);
  EXPECT_EQ(ParseDecimal("007"), 7);
  EXPECT_EQ(ParseDecimal("0x10"), 0);  // decimal only
}

TEST(ParseDecimalTest, TextWithoutANumberGivesZero) {
  EXPECT_EQ(ParseDecimal("two"), 0);
  EXPECT_EQ(ParseDecimal(""), 0);
  EXPECT_EQ(ParseDecimal("-"), 0);
  EXPECT_EQ(ParseDecimal("- 3"), 0);
  EXPECT_EQ(ParseDecimal("+-3"), 0);
  EXPECT_EQ(ParseDecimal(nullptr), 0);
}

TEST(ParseDecimalTest, SaturatesAtThe32BitBounds) {
  constexpr auto kMax = std::numeric_limits<std::int32_t>::max();
  constexpr auto kMin = std::numeric_limits<std::int32_t>::min();
  EXPECT_EQ(ParseDecimal("2147483647"), kMax);
  EXPECT_EQ(ParseDecimal("2147483648"), kMax);
  EXPECT_EQ(ParseDecimal("99999999999999999999999999"), kMax);
  EXPECT_EQ(ParseDecimal("-2147483648"), kMin);
  EXPECT_EQ(ParseDecimal("-99999999999999999999999999"), kMin);
}

// ---- option pairs ----

TEST(ParseCommandLineTest, TwoOrFewerArgumentsReadNothing) {
  for (const auto& args : {std::vector<std::string>{}, std::vector<std::string>{"-info"},
                           std::vector<std::string>{"-x"}}) {
    ParseRun run = Parse(args);
    EXPECT_FALSE(run.stop);
    EXPECT_TRUE(IsUntouched(run.settings));
    EXPECT_EQ(run.output, "");
  }
}

TEST(ParseCommandLineTest, ReadsEveryOption) {
  ParseRun run = Parse({"-i", "in.flv", "-st", "1000", "-dt", "2000", "-out", "out.mp3", "-fmt",
                        "wav", "-ac", "1", "-acodec", "pcm_u8", "-asr", "22050", "-abr", "32000",
                        "-slp", "5", "-quiet", "1"});
  ASSERT_FALSE(run.stop);
  const ConverterSettings& s = run.settings;
  ASSERT_EQ(s.inputs.size(), 1u);
  EXPECT_EQ(s.inputs[0].path, Full("in.flv"));
  EXPECT_EQ(s.inputs[0].startTime, 1000u);
  EXPECT_EQ(s.inputs[0].duration, 2000u);
  EXPECT_EQ(s.outputPath, Full("out.mp3"));
  EXPECT_EQ(s.infoPath, "");
  EXPECT_EQ(s.formatName, "wav");
  EXPECT_EQ(s.channels, 1);
  EXPECT_EQ(s.codecId, 0x10005);
  EXPECT_EQ(s.sampleRate, 22050);
  EXPECT_EQ(s.bitRate, 32000);
  EXPECT_EQ(s.sleepTime, 5);
  EXPECT_EQ(s.quiet, 1);
  EXPECT_EQ(run.output, "");
}

TEST(ParseCommandLineTest, OptionNamesIgnoreCase) {
  ParseRun run = Parse({"-INFO", "a.flv", "-I", "b.flv", "-St", "7", "-OUT", "c.mp3", "-ACodec",
                        "mp3", "-QUIET", "1"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.infoPath, Full("a.flv"));
  ASSERT_EQ(run.settings.inputs.size(), 1u);
  EXPECT_EQ(run.settings.inputs[0].startTime, 7u);
  EXPECT_EQ(run.settings.outputPath, Full("c.mp3"));
  EXPECT_EQ(run.settings.codecId, 0x15001);  // the value keeps its case rule
  EXPECT_EQ(run.settings.quiet, 1);
}

TEST(ParseCommandLineTest, LastNameWithoutValueIsIgnored) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.mp3", "-quiet"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.quiet, 0);
  EXPECT_EQ(run.settings.outputPath, Full("b.mp3"));
  // An unknown name in that place is not even looked at.
  ParseRun unknownLast = Parse({"-i", "a.flv", "-bogus"});
  EXPECT_FALSE(unknownLast.stop);
  EXPECT_EQ(unknownLast.output, "");
}

TEST(ParseCommandLineTest, UnknownOptionStopsWithMessageAndUsage) {
  ParseRun run = Parse({"-i", "a.flv", "-x", "1", "-out", "b.mp3"});
  ASSERT_TRUE(run.stop);
  EXPECT_EQ(*run.stop, 1);
  EXPECT_EQ(run.output, "Unknown option -x\n" + UsageText());
  // Pairs before it were read, pairs after it were not.
  EXPECT_EQ(run.settings.inputs.size(), 1u);
  EXPECT_EQ(run.settings.outputPath, "");
}

TEST(ParseCommandLineTest, UnknownOptionIsEchoedAsTyped) {
  ParseRun run = Parse({"-Out%s", "x"});
  ASSERT_TRUE(run.stop);
  EXPECT_EQ(run.output.substr(0, run.output.find('\n') + 1), "Unknown option -Out%s\n");
  // A value is never taken for a name, whatever it looks like.
  ParseRun value = Parse({"-i", "-x", "-out", "-y"});
  EXPECT_FALSE(value.stop);
  EXPECT_EQ(value.settings.outputPath, Full("-y"));
}

TEST(ParseCommandLineTest, HelpAndVersionStopWithSuccessWhereANameIsExpected) {
  const std::vector<std::vector<std::string>> usageRows = {
      {"-HELP"}, {"-i", "a.flv", "--help"}, {"-i", "a.flv", "-out", "b.mp3", "-h", "x"}};
  for (const auto& args : usageRows) {
    ParseRun run = Parse(args);
    ASSERT_TRUE(run.stop) << args.back();
    EXPECT_EQ(*run.stop, 0);
    EXPECT_EQ(run.output, UsageText());
  }
  ParseRun version = Parse({"-quiet", "1", "-Version"});
  ASSERT_TRUE(version.stop);
  EXPECT_EQ(*version.stop, 0);
  EXPECT_EQ(version.output.rfind("sonex ", 0), 0u);
  // In a value's place they are values.
  ParseRun value = Parse({"-i", "-h", "-out", "--version"});
  EXPECT_FALSE(value.stop);
  EXPECT_EQ(value.settings.outputPath, Full("--version"));
}

TEST(ParseCommandLineTest, StartAndDurationBindToTheLastInput) {
  ParseRun run = Parse({"-i", "x1.flv", "-st", "10000", "-dt", "30000", "-i", "x2.flv", "-st",
                        "30000", "-dt", "30000", "-i", "x3.flv"});
  ASSERT_FALSE(run.stop);
  const auto& in = run.settings.inputs;
  ASSERT_EQ(in.size(), 3u);
  EXPECT_EQ(in[0].path, Full("x1.flv"));
  EXPECT_EQ(in[0].startTime, 10000u);
  EXPECT_EQ(in[0].duration, 30000u);
  EXPECT_EQ(in[1].path, Full("x2.flv"));
  EXPECT_EQ(in[1].startTime, 30000u);
  EXPECT_EQ(in[1].duration, 30000u);
  EXPECT_EQ(in[2].startTime, 0u);
  EXPECT_EQ(in[2].duration, kToEndOfFile);
}

TEST(ParseCommandLineTest, StartAndDurationBeforeAnyInputAreLost) {
  ParseRun run = Parse({"-st", "10000", "-dt", "500", "-i", "a.flv"});
  ASSERT_FALSE(run.stop);
  ASSERT_EQ(run.settings.inputs.size(), 1u);
  EXPECT_EQ(run.settings.inputs[0].startTime, 0u);
  EXPECT_EQ(run.settings.inputs[0].duration, kToEndOfFile);
}

TEST(ParseCommandLineTest, RepeatsReplaceExceptInputWhichAppends) {
  ParseRun run = Parse({"-out", "a.mp3", "-out", "b.wav", "-ac", "1", "-ac", "2", "-st", "1",
                        "-i", "a.flv", "-i", "a.flv", "-st", "5", "-st", "9", "-fmt", "amr",
                        "-fmt", "adts"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.outputPath, Full("b.wav"));
  EXPECT_EQ(run.settings.channels, 2);
  EXPECT_EQ(run.settings.formatName, "adts");
  ASSERT_EQ(run.settings.inputs.size(), 2u);  // the same file twice is kept twice
  EXPECT_EQ(run.settings.inputs[0].startTime, 0u);
  EXPECT_EQ(run.settings.inputs[1].startTime, 9u);
}

TEST(ParseCommandLineTest, NumericValuesAreNotRangeChecked) {
  ParseRun run = Parse({"-i", "a.flv", "-st", "-5", "-dt", "-1", "-ac", "two", "-asr", "-8000",
                        "-abr", "12k", "-slp", " 3", "-quiet", "yes"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.inputs[0].startTime, 0xFFFFFFFBu);
  EXPECT_EQ(run.settings.inputs[0].duration, kToEndOfFile);
  EXPECT_EQ(run.settings.channels, 0);
  EXPECT_EQ(run.settings.sampleRate, -8000);
  EXPECT_EQ(run.settings.bitRate, 12);
  EXPECT_EQ(run.settings.sleepTime, 3);
  EXPECT_EQ(run.settings.quiet, 0);
}

TEST(ParseCommandLineTest, MinusOneIsTheSameAsNotGiven) {
  ParseRun run = Parse({"-ac", "1", "-ac", "-1", "-asr", "-1", "-abr", "-1"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.channels, kNotGiven);
  EXPECT_EQ(run.settings.sampleRate, kNotGiven);
  EXPECT_EQ(run.settings.bitRate, kNotGiven);
}

TEST(ParseCommandLineTest, UnknownCodecNameGivesZero) {
  EXPECT_EQ(Parse({"-acodec", "ogg"}).settings.codecId, 0);
  EXPECT_EQ(Parse({"-acodec", "MP3"}).settings.codecId, 0);
  EXPECT_EQ(Parse({"-acodec", "adpcm_ms"}).settings.codecId, 0x11006);
}

// ---- full paths ----

TEST(ParseCommandLineTest, PathsBecomeFullPathsWithoutExistenceCheck) {
  ParseRun run = Parse({"-i", "/no/such/dir/../file.flv", "-out", "./sub/./x.mp3", "-info",
                        "/tmp//a.flv"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.inputs[0].path, "/no/such/file.flv");
  EXPECT_EQ(run.settings.outputPath, Full("sub/x.mp3"));
  EXPECT_EQ(run.settings.infoPath, "/tmp/a.flv");
}

TEST(ParseCommandLineTest, LongPathsAreKeptWhole) {
  const std::string longName = "/tmp/" + std::string(600, 'n') + ".flv";
  ParseRun run = Parse({"-i", longName, "-out", longName + ".mp3"});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.inputs[0].path, longName);
  EXPECT_EQ(run.settings.outputPath, longName + ".mp3");
}

TEST(ParseCommandLineTest, UnresolvablePathKeepsEarlierValue) {
  ParseRun run = Parse({"-out", "a.mp3", "-out", "", "-info", "", "-i", ""});
  ASSERT_FALSE(run.stop);
  EXPECT_EQ(run.settings.outputPath, Full("a.mp3"));
  EXPECT_EQ(run.settings.infoPath, "");
  // The item is still made; its empty path fails to open later.
  ASSERT_EQ(run.settings.inputs.size(), 1u);
  EXPECT_EQ(run.settings.inputs[0].path, "");
}

// ---- output format and defaults ----

ConverterSettings WithOutput(const std::string& path) {
  ConverterSettings s;
  s.outputPath = path;
  return s;
}

TEST(ResolveOutputFormatTest, FormatFromExtensionIgnoringCase) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/o/a.mp3", "mp3"}, {"/o/a.MP3", "mp3"},  {"/o/a.wav", "wav"},  {"/o/a.Wav", "wav"},
      {"/o/a.amr", "amr"}, {"/o/a.asf", "asf"},  {"/o/a.WMA", "asf"},  {"/o/a.wmv", "asf"},
      {"/o/a.aac", "adts"}, {"/o/a.mp4", "mp3"}, {"/o/a.ogg", "mp3"},  {"/o/a", "mp3"},
      {"/o/a.flac", "mp3"}, {"wav", "mp3"},      {".wav", "wav"},      {"/o/a.mp3.wav", "wav"}};
  for (const auto& [path, format] : cases) {
    ConverterSettings s = WithOutput(path);
    ResolveOutputFormat(s);
    EXPECT_EQ(s.formatName, format) << path;
  }
}

TEST(ResolveOutputFormatTest, DefaultsOfTheFiveFormats) {
  struct Row {
    std::string path;
    std::int32_t codec, channels, rate, bitRate;
  };
  const std::vector<Row> rows = {{"a.mp3", 0x15001, 2, 44100, 96000},
                                 {"a.wav", 0x10000, 2, 44100, 0},
                                 {"a.amr", 0x12000, 1, 8000, 12000},
                                 {"a.wma", 0x70000, 2, 44100, 64000},
                                 {"a.aac", 0x15002, 2, 44100, 96000}};
  for (const Row& row : rows) {
    ConverterSettings s = WithOutput(row.path);
    ResolveOutputFormat(s);
    EXPECT_EQ(s.codecId, row.codec) << row.path;
    EXPECT_EQ(s.channels, row.channels) << row.path;
    EXPECT_EQ(s.sampleRate, row.rate) << row.path;
    EXPECT_EQ(s.bitRate, row.bitRate) << row.path;
  }
}

TEST(ResolveOutputFormatTest, GivenValuesStay) {
  ConverterSettings s = WithOutput("a.amr");
  s.channels = 2;
  s.sampleRate = 16000;
  s.bitRate = 0;
  s.codecId = 0x12001;
  ResolveOutputFormat(s);
  EXPECT_EQ(s.channels, 2);
  EXPECT_EQ(s.sampleRate, 16000);
  EXPECT_EQ(s.bitRate, 0);
  EXPECT_EQ(s.codecId, 0x12001);
}

TEST(ResolveOutputFormatTest, ZeroChannelsFromTextIsNotReplaced) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.mp3", "-ac", "two"});
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.channels, 0);
}

TEST(ResolveOutputFormatTest, UnknownCodecNameTakesTheFormatDefault) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.mp3", "-acodec", "vorbis"});
  EXPECT_EQ(run.settings.codecId, 0);
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.codecId, 0x15001);
}

TEST(ResolveOutputFormatTest, AsfAlwaysTakesItsOwnCodec) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.wma", "-acodec", "aac"});
  EXPECT_EQ(run.settings.codecId, 0x15002);
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.formatName, "asf");
  EXPECT_EQ(run.settings.codecId, 0x70000);
}

TEST(ResolveOutputFormatTest, GivenCodecStaysEvenWhenItDoesNotSuit) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.mp3", "-fmt", "mp3", "-acodec", "aac"});
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.formatName, "mp3");
  EXPECT_EQ(run.settings.codecId, 0x15002);
}

TEST(ResolveOutputFormatTest, GivenFormatNameBeatsTheExtension) {
  ParseRun run = Parse({"-i", "a.flv", "-out", "b.mp3", "-fmt", "wav"});
  ResolveOutputFormat(run.settings);
  EXPECT_EQ(run.settings.formatName, "wav");
  EXPECT_EQ(run.settings.codecId, 0x10000);
  EXPECT_EQ(run.settings.bitRate, 0);
}

TEST(ResolveOutputFormatTest, OtherFormatNamesGetNoDefaults) {
  for (const char* name : {"ASF", "MP3", "ogg", ""}) {
    ParseRun run = Parse({"-i", "a.flv", "-out", "b.wma", "-fmt", name, "-acodec", "zzz"});
    ResolveOutputFormat(run.settings);
    EXPECT_EQ(run.settings.formatName, name);
    EXPECT_EQ(run.settings.codecId, 0) << name;
    EXPECT_EQ(run.settings.channels, -1) << name;
    EXPECT_EQ(run.settings.sampleRate, -1) << name;
    EXPECT_EQ(run.settings.bitRate, -1) << name;
  }
}

// ---- usage ----

TEST(PrintUsageTest, TextShape) {
  const std::string usage = UsageText();
  EXPECT_EQ(usage.rfind("Usage: sonex\n", 0), 0u);
  ASSERT_FALSE(usage.empty());
  EXPECT_EQ(usage.back(), '\n');
  EXPECT_EQ(usage.find('%'), std::string::npos);
  EXPECT_NE(usage.find("for mp3, possible value is: \n    44100, 22050, 11025\n"), std::string::npos);
  EXPECT_NE(usage.find("possible value is: \n    16000, 32000, 48000, 64000, 96000, 128000\n"),
            std::string::npos);
  EXPECT_NE(usage.find("\n8) get FLV file information\nsonex -info x1.flv\n"), std::string::npos);
}

}  // namespace
}  // namespace kelvra
