// sonex end to end: the output checked with ffprobe and by the tones in it.
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr int kWindowMs = 10;
constexpr double kPcmBlockMs = 1024 * 1000.0 / 22050;  // a generated PCM tag

FlvRecipe Input(AudioCodec codec, double toneHz, int durationMs, int rate = 22050,
                int channels = 2) {
  return {.audio = codec, .sampleRate = rate, .channels = channels, .toneHz = toneHz,
          .durationMs = durationMs};
}

std::uint32_t AudioEndTime(const std::string& path) {
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  std::uint32_t audio = 0, video = 0;
  EXPECT_NE(FLVAVTagReader_Open(reader, path.c_str()), 0) << path;
  FLVAVTagReader_GetDuration(reader, &audio, &video);
  FLVAVTagReader_Delete(reader);
  return audio;
}
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

class SonexTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name =
        Replaced(std::string(info->test_suite_name()) + "_" + info->name(), "/", "_");
    fs::create_directories(dir_ = fs::path(TestTempDir()) / name);
  }
  void TearDown() override { umount(Out("small").c_str()); }  // the small_tmpfs row's
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }
  ProgramRun Sonex(const Args& args, int exitCode = 0, const std::string& workDir = "") {
    ProgramRun run = RunSonex(args, workDir);
    EXPECT_EQ(run.exitCode, exitCode) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    return run;
  }
  fs::path dir_;
};
constexpr auto kRowName = [](const auto& info) { return std::string(info.param.name); };

// `priming`: the encoder's start-up delay, where the container keeps it.
struct FormatCase {
  const char* name;
  Args options;                                  // besides -i, -out and -quiet
  const char *outName, *codec, *formatName;     // ffprobe's format_name contains formatName
  int sampleRate, channels, bitRate, priming, frameSamples;  // bit rate 0: not checked
  FlvRecipe input = Input(AudioCodec::kMp3, 440, 2000);
};

class FormatTest : public SonexTest, public testing::WithParamInterface<FormatCase> {};
FormatCase FromCodec(const char* name, AudioCodec codec, double hz, int rate, int channels) {
  return {name, {}, "o.wav", "pcm_s16le", "wav", 44100, 2, 0, 0, 32,
          Input(codec, hz, 1000, rate, channels)};
}

TEST_P(FormatTest, FormatLengthAndTone) {
  const FormatCase& c = GetParam();
  const std::string input = GenerateFlv(c.input), out = Out(c.outName);
  const Pcm source = DecodeAudio(input);
  Args args{"-i", input, "-out", out, "-quiet", "1"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  Sonex(args);
  const auto probe = Probe(out);
  EXPECT_EQ(probe.at("codec_name"), c.codec);
  EXPECT_NE(probe.at("format.format_name").find(c.formatName), std::string::npos)
      << probe.at("format.format_name");
  if (c.bitRate > 0) { EXPECT_EQ(probe.at("bit_rate"), std::to_string(c.bitRate)); }
  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(std::pair(output.sampleRate, output.channels), std::pair(c.sampleRate, c.channels));
  EXPECT_NEAR(output.Frames() - c.priming,
              static_cast<double>(source.Frames()) * c.sampleRate / source.sampleRate,
              c.frameSamples);
  const std::int64_t quarter = output.Frames() / 4;
  const double tone = c.input.toneHz;
  EXPECT_NEAR(ZeroCrossingFrequency(output, quarter, 2 * quarter), tone, tone * 0.01);
  EXPECT_GT(Rms(output, quarter, 2 * quarter), 500.0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, FormatTest,
    testing::ValuesIn(std::vector<FormatCase>{
        {"mp3", {}, "o.mp3", "mp3", "mp3", 44100, 2, 96000, 0, 1152},
        {"amr", {}, "o.amr", "amr_nb", "amr", 8000, 1, 0, 50, 160},
        {"WavCodecByName", {"-acodec", "pcm_u8"}, "o.wav", "pcm_u8", "wav", 44100, 2, 0, 0, 32},
        {"WmaMonoHalfRate", {"-ac", "1", "-asr", "22050", "-abr", "32000"}, "o.WMA", "wmav2",
         "asf", 22050, 1, 32000, 0, 2048},
        FromCodec("Pcm8Mono11025", AudioCodec::kPcmU8, 550, 11025, 1),
        FromCodec("AdpcmStereo22050", AudioCodec::kAdpcmSwf, 660, 22050, 2),
        FromCodec("Nellymoser16000", AudioCodec::kNellymoser, 650, 16000, 1),
        FromCodec("AacStereo48000", AudioCodec::kAac, 750, 48000, 2),
        FromCodec("Speex16000", AudioCodec::kSpeex, 800, 16000, 1),
        FromCodec("G711ALaw", AudioCodec::kG711ALaw, 850, 8000, 1),
        FromCodec("G711MuLaw", AudioCodec::kG711MuLaw, 900, 8000, 1)}),
    kRowName);

// A folder with in.flv and reserved.flv (sound format 9, undecodable), whose files all stay.
struct ExitCase {
  const char* name;
  const char* setup;  // shell commands run in the folder first
  Args args;
  int exitCode;
  // Standard output begins with `out`; $D stands for the folder.
  std::string out, err;
};

class ExitCodeTest : public SonexTest, public testing::WithParamInterface<ExitCase> {};

std::map<std::string, Bytes> Contents(const fs::path& folder) {
  std::map<std::string, Bytes> files;
  for (const auto& e : fs::recursive_directory_iterator(folder))
    files[e.path()] = e.is_regular_file() ? ReadWholeFile(e.path()) : Bytes{};
  return files;
}

TEST_P(ExitCodeTest, CodeMessagesAndNoDataLost) {
  const ExitCase& c = GetParam();
  fs::copy_file(GenerateFlv(Input(AudioCodec::kMp3, 440, 2000)), Out("in.flv"));
  FlvBuilder reserved;
  reserved.Header();
  for (std::uint32_t ms = 0; ms < 1000; ms += 20) reserved.Audio(ms, 9, 3, 1, 1, Bytes(64, 1));
  reserved.WriteTo(Out("reserved.flv"));
  if (RunShell("cd '" + dir_.string() + "' && " + c.setup).exitCode != 0)
    GTEST_SKIP() << "cannot " << c.setup;
  const auto before = Contents(dir_);
  const ProgramRun run = Sonex(c.args, c.exitCode, dir_.string());
  EXPECT_EQ(run.out.rfind(Replaced(c.out, "$D", dir_.string()), 0), 0u) << run.out;
  EXPECT_EQ(run.err, Replaced(c.err, "$D", dir_.string()));
  if (c.out.starts_with("Usage")) { EXPECT_TRUE(run.out.ends_with("sonex -info x1.flv\n")); }
  if (c.out.starts_with("sonex ")) { EXPECT_EQ(Lines(run.out).size(), 6u); }  // FFmpeg's 5
  if (c.out.empty()) { EXPECT_EQ(run.out, ""); }
  EXPECT_EQ(Contents(dir_), before);
}

const std::string kUsage = "Usage: sonex\n";
const std::string kMissingParameters =
    "Parameters not enough, not entered (-i) or not specified output parameters (-out)\n";
std::string NoTags(const std::string& file) {
  return file + ", Warning: If the start time is more than the total time, it will be set to 0.\n" +
         file + ", The operation of seek is failed\n";
}
Args ToWav(const std::string& out, const std::string& format = "wav") {
  return {"-i", "in.flv", "-quiet", "1", "-fmt", format, "-out", out};
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ExitCodeTest,
    testing::ValuesIn(std::vector<ExitCase>{
        {"Nothing", "true", {}, 11, kUsage, kMissingParameters},
        {"UnknownOption", "true", {"-i", "a.flv", "-Bogus", "1", "-out", "b.mp3"}, 1,
         "Unknown option -Bogus\n" + kUsage, ""},
        {"Version", "true", {"-version"}, 0,
         "sonex " SONEX_VERSION_TEXT "\nlibavcodec " SONEX_AVCODEC_VERSION_TEXT "\n", ""},
        // Information mode ignores the conversion options.
        {"InfoOfMissingFile", "true", {"-info", "missing.flv", "-i", "b.flv", "-out", "c.mp3"}, 0,
         "", "Fail to get the FLV information. It probably is not a FLV file.\n"},
        {"hard_link", "ln in.flv hard.flv", ToWav("hard.flv"), 2,
         "Error: (2) Can't write '$D/hard.flv': it is the input file '$D/in.flv'\n", ""},
        {"missing_folder", "true", ToWav("no/such/o.wav"), 2,
         "Error: (2) Can't create '$D/no/such/o.wav' for writting\n", ""},
        {"dev_full", "test -e /dev/full", ToWav("/dev/full"), 5, "",
         "Error: (5) Can't write '/dev/full': No space left on device\n"},
        // 2 s of 44100 Hz stereo, 350 KB, into 200 KB.
        {"small_tmpfs",
         "mkdir small && mount -t tmpfs -o size=200k tmpfs small && echo old > small/o.wav",
         ToWav("small/o.wav"), 5, "Current Time: ",
         "Error: (5) Can't write '$D/small/o.wav': No space left on device\n"},
        {"bad_format", "echo old > o.wav", ToWav("o.wav", "nosuchformat"), 3,
         "Error: (3) Bad encoding parameters\n", ""},
        {"no_audio", "echo old > o.wav && echo not a video > notes.flv",
         {"-i", "missing.flv", "-i", "notes.flv", "-i", "reserved.flv", "-quiet", "1", "-out",
          "o.wav"},
         4, "Current Time: 0ms\nTotal Time: 0ms\n",
         "$D/missing.flv, Error on file opening.\n" + NoTags("$D/notes.flv") +
             NoTags("$D/reserved.flv") +
             "Error: (4) No audio was converted; no output file written\n"}}),
    kRowName);

// Each command's output against the reference command's, or only its exit code.
TEST_F(SonexTest, StandardInputAndOutput) {
  const std::tuple<const char*, const char*, int> rows[] = {
      {"\"$S\" -i \"$I\" -out \"$R\" -quiet 1", "\"$S\" -i - -out \"$O\" -quiet 1 < \"$I\"", 0},
      {"\"$S\" -i \"$I\" -out \"$R\" -fmt adts -quiet 1",
       "cat \"$I\" | \"$S\" -i - -out - -fmt adts -quiet 1 | cat > \"$O\"", 0},
      {"\"$S\" -info \"$I\" > \"$R\"", "\"$S\" -info - < \"$I\" > \"$O\"", 0},
      // AAC cut with -st: standard input holds the configuration for the first kept tag.
      {"\"$S\" -i \"$A\" -st 500 -out \"$R\" -fmt wav -quiet 1",
       "\"$S\" -i - -st 500 -out \"$O\" -fmt wav -quiet 1 < \"$A\"", 0},
      {"", "\"$S\" -i \"$I\" -out - -fmt wav | head -c 100 >/dev/null", 141},  // broken pipe
      {"", "\"$S\" -i \"$I\" -out - -fmt asf >/dev/null", 3},
      {"", "\"$S\" -i - -i - -out \"$O\" < \"$I\"", 1}};
  const std::string vars = "S='" + SonexPath() + "'; I='" +
                           FixturePath("real/Red5_red5-server_NAPNAP.flv") + "'; A='" +
                           FixturePath("real/jcodec_jcodec_test.flv") + "'; O='" + Out("o") +
                           "'; R='" + Out("r") + "'; ";
  for (const auto& [reference, command, exitCode] : rows) {
    SCOPED_TRACE(command);
    fs::remove(Out("o"));
    if (*reference != '\0') { ASSERT_EQ(RunShell(vars + reference).exitCode, 0); }
    const ProgramRun run = RunShell(vars + command);
    EXPECT_EQ(run.exitCode, exitCode) << run.err;
    if (*reference != '\0') {
      EXPECT_GT(fs::file_size(Out("r")), 0u);
      EXPECT_EQ(ReadWholeFile(Out("o")), ReadWholeFile(Out("r")));
    }
  }
}

// Correlation of one channel, `b` shifted by the lag that matches best in the middle.
double BestCorrelation(const Pcm& a, const Pcm& b, int channel, std::int64_t maxLag) {
  const std::int64_t frames = std::min(a.Frames(), b.Frames());
  const auto correlate = [&](std::int64_t lag, std::int64_t from, std::int64_t count) {
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t i = std::max(from, -lag);
         i < std::min({from + count, a.Frames(), b.Frames() - lag}); ++i) {
      const double x = a.samples[i * a.channels + channel],
                   y = b.samples[(i + lag) * b.channels + channel];
      ab += x * y, aa += x * x, bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : (aa == bb ? 1.0 : 0.0);
  };
  std::int64_t bestLag = 0;
  double best = -2;
  const std::int64_t middle = std::min<std::int64_t>(8192, frames / 2);
  for (std::int64_t lag = -maxLag; lag <= maxLag; ++lag)
    if (const double c = correlate(lag, frames / 3, middle); c > best) best = c, bestLag = lag;
  return correlate(bestLag, 0, frames);
}

// false: FFmpeg misreads the audio (wrong previous-tag-size fields, Speex): no reference.
class RealFileTest : public SonexTest,
                     public testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(RealFileTest, AudioMatchesFfmpegsDecoding) {
  const std::string input = FixturePath(std::string("real/") + GetParam().first);
  const Pcm reference = GetParam().second ? DecodeAudio(input) : Pcm{};
  Args args{"-i", input, "-out", Out("o.wav"), "-quiet", "1"};
  if (GetParam().second)
    args.insert(args.end(), {"-asr", std::to_string(reference.sampleRate), "-ac",
                             std::to_string(reference.channels)});
  Sonex(args);
  const Pcm output = DecodeAudio(Out("o.wav"));
  EXPECT_GT(output.Seconds(), GetParam().second ? reference.Seconds() - 0.05 : 1.0);
  constexpr std::int64_t kFrameLag = 2048;  // one codec frame, HE-AAC's included
  if (GetParam().second) { EXPECT_NEAR(output.Frames(), reference.Frames(), kFrameLag); }
  for (int channel = 0; channel < reference.channels; ++channel)
    EXPECT_GE(BestCorrelation(output, reference, channel, kFrameLag), 0.99) << channel;
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RealFileTest,
                         testing::ValuesIn(std::vector<std::pair<const char*, bool>>{
                             {"Red5_red5-server_NAPNAP.flv", true},
                             {"Red5_red5-server_flashContent.flv", false},
                             {"Red5_red5-server_h264_aac.flv", false},
                             {"Red5_red5-server_h264_mp3.flv", false},
                             {"apache_flex-sdk_phone.flv", true},
                             {"Red5_red5-server_h264_speex.flv", true},
                             {"Red5_red5-server_rotations.flv", true},
                             {"jcodec_jcodec_test.flv", true},
                             {"mondain_red5_fp_fcs_live_audio.flv", true},
                             {"ruffle-rs_ruffle_square.flv", true},
                             {"ruffle-rs_ruffle_audio_timewarp.flv", true},
                             {"ruffle-rs_ruffle_tone_alaw_mono.flv", true},
                             {"ruffle-rs_ruffle_tone_mulaw_mono.flv", true},
                             {"ruffle-rs_ruffle_tone_mono_22050hz.flv", true},
                             {"ruffle-rs_ruffle_tone_stereo_48000hz.flv", true}}));

TEST_F(SonexTest, BatchCutsAndJoinsFiles) {
  const std::vector<double> tones = {600, 1200, 2400};
  const auto pcm = [&](int tone, int ms) {
    return GenerateFlv(Input(AudioCodec::kPcmS16le, tones[tone], ms, 22050, 1));
  };
  const std::string a = pcm(0, 3000), b = pcm(1, 1000), c = pcm(2, 2000);
  const std::string webrtc = FixturePath("real/Red5_red5-server_webrtctestrecord.flv");
  const double aEnd = AudioEndTime(a), bEnd = AudioEndTime(b), cEnd = AudioEndTime(c);
  const double aPart = std::min(2000.0, aEnd - 1000);  // a has under 3 s of audio
  const struct {
    Args args;
    std::string err;
    // Each piece's tone and end (ms); -1 silence, -2 not checked.
    std::vector<std::pair<int, double>> ends;
    double tolerance = kPcmBlockMs + kWindowMs;
  } rows[] = {
      {{"-i", a, "-st", "1000", "-dt", "2000", "-i", b, "-i", c, "-dt", "500"},
       "",
       {{0, aPart}, {1, aPart + bEnd}, {2, aPart + bEnd + 500}}},
      {{"-i", b, "-st", "99999", "-i", c},
       b + ", Warning: If the start time is more than the total time, it will be set to 0.\n",
       {{1, bEnd}, {2, bEnd + cEnd}}},
      {{"-i", a, "-dt", "0", "-i", b}, "", {{1, bEnd}}},
      // Zero-filled stretches between tags: the reader resynchronises, says so once.
      {{"-i", webrtc},
       webrtc + ", Skipped 50 damaged byte ranges (261723 bytes), the first at offset 354.\n",
       {{-2, AudioEndTime(webrtc)}}},
      // AAC from a seek needs its configuration; MP3 and Speex start with a few silent ms.
      {{"-i", GenerateFlv(Input(AudioCodec::kMp3, tones[0], 3000, 44100, 1)), "-st", "500", "-dt",
        "1500", "-i", GenerateFlv(Input(AudioCodec::kAac, tones[1], 3000, 44100, 1)), "-st", "700",
        "-dt", "1000", "-i", GenerateFlv(Input(AudioCodec::kSpeex, tones[2], 3000, 22050, 1)),
        "-st", "300", "-dt", "1200"},
       "",
       {{0, 1500}, {1, 2500}, {2, 3700}},
       60}};
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    std::ofstream(Out("o.wav"), std::ios::binary) << std::string(1 << 20, 'x');  // replaced
    Args args = row.args;
    args.insert(args.end(), {"-out", Out("o.wav"), "-quiet", "1"});
    const ProgramRun run = Sonex(args, 0, dir_.string());
    const std::string total = std::to_string(static_cast<int>(row.ends.back().second)) + "ms\n";
    EXPECT_TRUE(row.tolerance >= 60 || run.out == "Current Time: " + total + "Total Time: " + total)
        << run.out;
    EXPECT_EQ(run.err, row.err);
    const Pcm output = DecodeAudio(Out("o.wav"));
    std::vector<std::pair<int, double>> ends;
    for (const Segment& s : ToneSegments(output, tones, kWindowMs))
      if (s.label >= 0 || row.tolerance < 60)
        ends.emplace_back(s.label, (s.firstWindow + s.windowCount) * kWindowMs);
    if (row.ends[0].first == -2) ends = row.ends;
    ASSERT_EQ(ends.size(), row.ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
      EXPECT_EQ(ends[i].first, row.ends[i].first);
      EXPECT_NEAR(ends[i].second, row.ends[i].second, row.tolerance) << i;
    }
    EXPECT_NEAR(output.Seconds() * 1000, row.ends.back().second, row.tolerance);
  }
}

}  // namespace
}  // namespace kelvra::test
