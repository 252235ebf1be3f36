#include "command_line.h"

#include <array>
#include <cctype>
#include <limits>
#include <string>
#include <string_view>

#include "codec_name_table.h"
#include "pellow/pellow.h"
#include "vexmar/vexmar.h"

namespace kelvra {

namespace {

// The usage text, printed as it is (it holds no % directives).
// The two "possible value is: " lines keep their trailing blank.
constexpr std::string_view kUsageText =
    "Usage: sonex\n"
    "       -i flv_file -st start_time_ms -dt duration_ms ...\n"
    "       -out output_file\n"
    "       [-fmt {mp3|asf|adts|wav|amr}]\n"
    "       [-ac {1|2}]\n"
    "       [-acodec codec]\n"
    "       [-asr n]\n"
    "       [-abr n]\n"
    "       [-slp n]\n"
    "       [-quiet {0|1}]\n"
    "       [-info flv_file]\n"
    "\n"
    "-i\n"
    "    FLV file to be converted\n"
    "-st\n"
    "    Specify the starting time of conversion\n"
    "-dt\n"
    "    Set the timing of conversion\n"
    "-out\n"
    "    Set output file name\n"
    "-fmt\n"
    "    Set output format\n"
    "-ac\n"
    "    Set output audio channels\n"
    "-acodec\n"
    "    Set output audio codec, for codecs supported, please refer to the help document\n"
    "-asr\n"
    "    Set output audio sample rate, for mp3, possible value is: \n"
    "    44100, 22050, 11025\n"
    "-abr\n"
    "    Set output audio bit rate, for mp3, possible value is: \n"
    "    16000, 32000, 48000, 64000, 96000, 128000\n"
    "-slp\n"
    "    Set number of milliseconds to sleep when encoding\n"
    "-quiet\n"
    "    Set whether to display the progress of conversion information. 0, show the "
    "information; 1, do not show.\n"
    "-info\n"
    "    Show information of the defined FLV file, such as size, frame rate, sample rate, "
    "channels, etc.\n"
    "\n"
    "Examples:\n"
    "1) convert flv to mp3\n"
    "sonex -i xxx.flv -out xxx.mp3 -fmt mp3 -ac 1 -asr 44100 -abr 64000\n"
    "\n"
    "2) convert flv to wav\n"
    "sonex -i xxx.flv -out xxx.wav -fmt wav -ac 1 -asr 44100\n"
    "\n"
    "3) convert flv to amr\n"
    "sonex -i xxx.flv -out xxx.amr -fmt amr -ac 1 -asr 8000 -abr 12000\n"
    "\n"
    "4) convert flv to wma\n"
    "sonex -i xxx.flv -out xxx.wma\n"
    "\n"
    "5) convert flv to aac\n"
    "sonex -i xxx.flv -out xxx.aac\n"
    "\n"
    "6) convert a batch of FLV files\n"
    "sonex -i x1.flv -i x2.flv -i x3.flv -out xxx.mp3\n"
    "\n"
    "7) convert a batch of FLV files and set start time and the timing of conversion.\n"
    "sonex -i x1.flv -st 10000 -dt 30000 -i x2.flv -st 30000 -dt 30000 -out xxx.mp3\n"
    "\n"
    "8) get FLV file information\n"
    "sonex -info x1.flv\n";

constexpr int kUsageExitCode = 1;

// ---- option table ----

using OptionHandler = void (*)(ConverterSettings& settings, const char* value);

struct OptionRow {
  std::string_view name;
  OptionHandler apply;
};

// A path that cannot be resolved leaves the earlier value in place.
// "-" (standard input or output) stays as it is.
void SetFullPath(std::string& target, const char* value) {
  if (IsStandardStream(value)) {
    target = kStandardStream;
  } else if (std::optional<std::string> full = ResolveFullPath(value)) {
    target = std::move(*full);
  }
}

void ApplyInput(ConverterSettings& s, const char* value) {
  InputFileItem item;
  SetFullPath(item.path, value);
  s.inputs.push_back(std::move(item));
}

// Start and duration belong to the item of the nearest "-i" before them;
// before the first "-i" there is none and the value is dropped.
void ApplyStartTime(ConverterSettings& s, const char* value) {
  if (!s.inputs.empty()) s.inputs.back().startTime = static_cast<std::uint32_t>(ParseDecimal(value));
}
void ApplyDuration(ConverterSettings& s, const char* value) {
  if (!s.inputs.empty()) s.inputs.back().duration = static_cast<std::uint32_t>(ParseDecimal(value));
}

void ApplyOutput(ConverterSettings& s, const char* value) { SetFullPath(s.outputPath, value); }
void ApplyFormat(ConverterSettings& s, const char* value) { s.formatName = std::string(value); }
void ApplyChannels(ConverterSettings& s, const char* value) { s.channels = ParseDecimal(value); }
void ApplyCodec(ConverterSettings& s, const char* value) { s.codecId = LookupCodecId(value); }
void ApplySampleRate(ConverterSettings& s, const char* value) { s.sampleRate = ParseDecimal(value); }
void ApplyBitRate(ConverterSettings& s, const char* value) { s.bitRate = ParseDecimal(value); }
void ApplySleep(ConverterSettings& s, const char* value) { s.sleepTime = ParseDecimal(value); }
void ApplyQuiet(ConverterSettings& s, const char* value) { s.quiet = ParseDecimal(value); }
void ApplyInfo(ConverterSettings& s, const char* value) { SetFullPath(s.infoPath, value); }

constexpr std::array<OptionRow, 12> kOptions{{
    {"-i", ApplyInput},
    {"-st", ApplyStartTime},
    {"-dt", ApplyDuration},
    {"-out", ApplyOutput},
    {"-fmt", ApplyFormat},
    {"-ac", ApplyChannels},
    {"-acodec", ApplyCodec},
    {"-asr", ApplySampleRate},
    {"-abr", ApplyBitRate},
    {"-slp", ApplySleep},
    {"-quiet", ApplyQuiet},
    {"-info", ApplyInfo},
}};

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

const OptionRow* FindOption(std::string_view name) {
  for (const OptionRow& row : kOptions) {
    if (EqualsIgnoringAsciiCase(row.name, name)) return &row;
  }
  return nullptr;
}

// ---- single-word options ----

// Options that take no value and end the program at once with success: the
// usage text or the versions. They are recognised wherever a name is
// expected, so a value ("-i -h") is never taken for one.
enum class SingleWordAction { kPrintUsage, kPrintVersion };

struct SingleWordRow {
  std::string_view name;
  SingleWordAction action;
};

constexpr std::array<SingleWordRow, 5> kSingleWordOptions{{
    {"-h", SingleWordAction::kPrintUsage},
    {"-help", SingleWordAction::kPrintUsage},
    {"--help", SingleWordAction::kPrintUsage},
    {"-version", SingleWordAction::kPrintVersion},
    {"--version", SingleWordAction::kPrintVersion},
}};

const SingleWordRow* FindSingleWordOption(std::string_view name) {
  for (const SingleWordRow& row : kSingleWordOptions) {
    if (EqualsIgnoringAsciiCase(row.name, name)) return &row;
  }
  return nullptr;
}

// The program's version (the project version the build was configured
// with), then the FFmpeg libraries the codec bridge runs on.
void PrintVersion(std::FILE* out) {
  std::fprintf(out, "sonex %s\n", SONEX_VERSION);
  const int length = Vexmar_GetVersions(nullptr, 0);
  if (length <= 0) return;
  std::string libraries(static_cast<std::size_t>(length) + 1, '\0');
  Vexmar_GetVersions(libraries.data(), length + 1);
  std::fwrite(libraries.data(), 1, static_cast<std::size_t>(length), out);
}

int RunSingleWordOption(const SingleWordRow& option, std::FILE* out) {
  switch (option.action) {
    case SingleWordAction::kPrintUsage:
      PrintUsage(out);
      break;
    case SingleWordAction::kPrintVersion:
      PrintVersion(out);
      break;
  }
  return kExitSuccess;
}

// ---- output format ----

// Extensions are compared over this many characters at the path's end.
constexpr std::size_t kExtensionLength = 4;

struct ExtensionRow {
  std::string_view extension;
  const char* formatName;
};

constexpr const char* kFallbackFormat = "mp3";

constexpr std::array<ExtensionRow, 7> kExtensions{{
    {".mp3", "mp3"},
    {".wav", "wav"},
    {".amr", "amr"},
    {".asf", "asf"},
    {".wma", "asf"},
    {".wmv", "asf"},
    {".aac", "adts"},
}};

constexpr std::int32_t kCodecMp3 = 0x15001;
constexpr std::int32_t kCodecPcmS16le = 0x10000;
constexpr std::int32_t kCodecAmrNb = 0x12000;
constexpr std::int32_t kCodecAac = 0x15002;
constexpr std::int32_t kUnknownCodec = 0;

struct FormatDefaults {
  std::string_view name;
  std::int32_t codecId;
  // The ASF encoder takes only its own codec, whatever "-acodec" said.
  bool codecFixed;
  std::int32_t channels;
  std::int32_t sampleRate;
  std::int32_t bitRate;
};

constexpr std::array<FormatDefaults, 5> kFormats{{
    {"mp3", kCodecMp3, false, 2, 44100, 96000},
    {"wav", kCodecPcmS16le, false, 2, 44100, 0},
    {"amr", kCodecAmrNb, false, 1, 8000, 12000},
    {"asf", PELLOW_CODEC_WMAV2, true, 2, 44100, 64000},
    {"adts", kCodecAac, false, 2, 44100, 96000},
}};

const char* FormatFromExtension(const std::string& path) {
  if (path.size() < kExtensionLength) return kFallbackFormat;
  const std::string_view ending = std::string_view(path).substr(path.size() - kExtensionLength);
  for (const ExtensionRow& row : kExtensions) {
    if (EqualsIgnoringAsciiCase(row.extension, ending)) return row.formatName;
  }
  return kFallbackFormat;
}

void FillDefault(std::int32_t& value, std::int32_t fallback) {
  if (value == kNotGiven) value = fallback;
}

}  // namespace

std::int32_t ParseDecimal(const char* text) {
  if (text == nullptr) return 0;
  const char* p = text;
  while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = (*p == '-');
    ++p;
  }
  // Accumulated as a negative number so that the 32-bit minimum fits too;
  // past either end the value sticks at the bound, as strtol's does.
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  std::int64_t magnitude = 0;
  while (*p >= '0' && *p <= '9') {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > -kMin) magnitude = -kMin;
    ++p;
  }
  const std::int64_t value = negative ? -magnitude : (magnitude > kMax ? kMax : magnitude);
  return static_cast<std::int32_t>(value);
}

int PrintUsage(std::FILE* out) {
  std::fwrite(kUsageText.data(), 1, kUsageText.size(), out);
  return kUsageExitCode;
}

std::optional<int> ParseCommandLine(int argc, const char* const* argv, ConverterSettings& settings,
                                    std::FILE* out) {
  // Names sit at the odd positions and their values right after them; a
  // last name without a value is not read, unless it needs no value.
  for (int position = 1; position < argc; position += 2) {
    const char* name = argv[position];
    if (const SingleWordRow* single = FindSingleWordOption(name)) {
      return RunSingleWordOption(*single, out);
    }
    if (position == argc - 1) break;
    const char* value = argv[position + 1];
    const OptionRow* option = FindOption(name);
    if (option == nullptr) {
      std::fprintf(out, "Unknown option %s\n", name);
      return PrintUsage(out);
    }
    option->apply(settings, value);
  }
  return std::nullopt;
}

void ResolveOutputFormat(ConverterSettings& settings) {
  if (!settings.formatName) settings.formatName = FormatFromExtension(settings.outputPath);
  for (const FormatDefaults& format : kFormats) {
    if (*settings.formatName != format.name) continue;
    if (format.codecFixed || settings.codecId == kNotGiven || settings.codecId == kUnknownCodec) {
      settings.codecId = format.codecId;
    }
    FillDefault(settings.channels, format.channels);
    FillDefault(settings.sampleRate, format.sampleRate);
    FillDefault(settings.bitRate, format.bitRate);
    return;
  }
  // Any other name gets no defaults and goes to the writer as typed.
}

}  // namespace kelvra
