// sonex end to end: the built program converts FLV files, and the output is
// checked with ffprobe and by decoding it and finding its tones.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

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

FlvSpec Input(AudioCodec codec, double toneHz, int durationMs, int rate = 22050, int channels = 2) {
  return FlvSpec{.audio = codec, .sampleRate = rate, .channels = channels, .toneHz = toneHz, .durationMs = durationMs};
}

// What a file without -st and -dt adds to the total time.
std::uint32_t AudioEndTime(const std::string& path) {
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  std::uint32_t audio = 0, video = 0;
  EXPECT_NE(FLVAVTagReader_Open(reader, path.c_str()), 0) << path;
  FLVAVTagReader_GetDuration(reader, &audio, &video);
  FLVAVTagReader_Delete(reader);
  return audio;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) text.replace(at, from.size(), to);
  return text;
}

// A fresh output folder per test.
class SonexTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = Replaced(std::string(info->test_suite_name()) + "_" + info->name(), "/", "_");
    fs::create_directories(dir_ = fs::path(TestTempDir()) / name);
  }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }
  ProgramRun Sonex(const Args& args, int exitCode = 0, const std::string& workDir = "") {
    ProgramRun run = RunSonex(args, workDir);
    EXPECT_EQ(run.exitCode, exitCode) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    return run;
  }
  fs::path dir_;
};

template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) { return info.param.name; }

struct FormatCase {
  const char* name;
  Args options;  // besides -i, -out and -quiet
  const char* outName;
  const char* codec;
  const char* formatName;  // ffprobe's format_name contains it
  int sampleRate, channels, bitRate;  // bit rate 0: not checked
  // The encoder's start-up delay that the container cannot record (ADTS,
  // AMR), and its frame length.
  int primingSamples, frameSamples;
};

class OutputFormatTest : public SonexTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(OutputFormatTest, FormatLengthAndTone) {
  const FormatCase& c = GetParam();
  const std::string input = GenerateFlv(Input(AudioCodec::kMp3, 440, 2000));
  const Pcm source = DecodeAudio(input);
  ASSERT_GT(source.Frames(), 0);
  const std::string out = Out(c.outName);
  Args args{"-i", input, "-out", out, "-quiet", "1"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  Sonex(args);
  const auto probe = Probe(out);
  ASSERT_FALSE(probe.empty());
  EXPECT_EQ(probe.at("codec_name"), c.codec);
  EXPECT_NE(probe.at("format.format_name").find(c.formatName), std::string::npos) << probe.at("format.format_name");
  EXPECT_EQ(probe.at("sample_rate"), std::to_string(c.sampleRate));
  EXPECT_EQ(probe.at("channels"), std::to_string(c.channels));
  if (c.bitRate > 0) { EXPECT_EQ(probe.at("bit_rate"), std::to_string(c.bitRate)); }
  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(output.sampleRate, c.sampleRate);
  const double expected = static_cast<double>(source.Frames()) * c.sampleRate / source.sampleRate;
  EXPECT_NEAR(static_cast<double>(output.Frames() - c.primingSamples), expected, c.frameSamples);
  const std::int64_t quarter = output.Frames() / 4;
  EXPECT_NEAR(ZeroCrossingFrequency(output, quarter, 2 * quarter), 440.0, 4.4);
  EXPECT_GT(Rms(output, quarter, 2 * quarter), 500.0);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, OutputFormatTest,
    testing::Values(
        FormatCase{"mp3", {}, "o.mp3", "mp3", "mp3", 44100, 2, 96000, 0, 1152},
        FormatCase{"wav", {}, "o.wav", "pcm_s16le", "wav", 44100, 2, 0, 0, 32},
        FormatCase{"amr", {}, "o.amr", "amr_nb", "amr", 8000, 1, 0, 50, 160},
        FormatCase{"adts", {}, "o.aac", "aac", "aac", 44100, 2, 0, 1024, 1024},
        FormatCase{"wma", {}, "o.wma", "wmav2", "asf", 44100, 2, 64000, 0, 2048},
        FormatCase{"Mp3MonoHalfRate", {"-ac", "1", "-asr", "22050", "-abr", "64000"}, "o.mp3", "mp3", "mp3", 22050,
                   1, 64000, 0, 1152},
        FormatCase{"WavCodecByName", {"-acodec", "pcm_u8"}, "o.wav", "pcm_u8", "wav", 44100, 2, 0, 0, 32},
        FormatCase{"WmaMonoHalfRate", {"-ac", "1", "-asr", "22050", "-abr", "32000"}, "o.WMA", "wmav2", "asf",
                   22050, 1, 32000, 0, 2048}),
    RowName<FormatCase>);

struct InputCase {
  const char* name;
  AudioCodec codec;
  int sampleRate, channels;
  double toneHz;
};

class InputFormatTest : public SonexTest, public testing::WithParamInterface<InputCase> {};

TEST_P(InputFormatTest, ToneAndLengthSurviveIntoWav) {
  const InputCase& c = GetParam();
  const std::string input = GenerateFlv(Input(c.codec, c.toneHz, 1000, c.sampleRate, c.channels));
  const Pcm source = DecodeAudio(input);
  ASSERT_GT(source.Frames(), 0);
  Sonex({"-i", input, "-out", Out("o.wav"), "-quiet", "1"});
  const Pcm output = DecodeAudio(Out("o.wav"));
  ASSERT_EQ(output.sampleRate, 44100);
  ASSERT_EQ(output.channels, 2);
  EXPECT_NEAR(output.Seconds(), source.Seconds(), 0.001) << source.Frames() << " frames at " << source.sampleRate;
  const std::int64_t quarter = output.Frames() / 4;
  EXPECT_NEAR(ZeroCrossingFrequency(output, quarter, 2 * quarter), c.toneHz, c.toneHz * 0.01);
  EXPECT_GT(Rms(output, quarter, 2 * quarter), 1000.0);
  // Mono reaches both sides at full level.
  double difference = 0;
  for (std::int64_t i = quarter; c.channels == 1 && i < 3 * quarter; ++i) {
    difference += std::abs(output.samples[static_cast<std::size_t>(2 * i)] - output.samples[static_cast<std::size_t>(2 * i + 1)]);
  }
  EXPECT_LT(difference / static_cast<double>(2 * quarter), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, InputFormatTest,
    testing::Values(InputCase{"Pcm16Stereo22050", AudioCodec::kPcmS16le, 22050, 2, 330},
                    InputCase{"Pcm8Mono11025", AudioCodec::kPcmU8, 11025, 1, 550},
                    InputCase{"AdpcmStereo22050", AudioCodec::kAdpcmSwf, 22050, 2, 660},
                    InputCase{"Mp3Mono11025", AudioCodec::kMp3, 11025, 1, 440},
                    InputCase{"Mp3Stereo44100", AudioCodec::kMp3, 44100, 2, 990},
                    InputCase{"Nellymoser8000", AudioCodec::kNellymoser, 8000, 1, 500},
                    InputCase{"Nellymoser16000", AudioCodec::kNellymoser, 16000, 1, 650},
                    InputCase{"AacMono22050", AudioCodec::kAac, 22050, 1, 700},
                    InputCase{"AacStereo48000", AudioCodec::kAac, 48000, 2, 750},
                    InputCase{"Speex16000", AudioCodec::kSpeex, 16000, 1, 800},
                    InputCase{"G711ALaw", AudioCodec::kG711ALaw, 8000, 1, 850},
                    InputCase{"G711MuLaw", AudioCodec::kG711MuLaw, 8000, 1, 900}),
    RowName<InputCase>);

// ---- exit codes: the inputs keep their bytes, an older output stays as it
// was, and nothing is left behind (no output, no temporary file) ----

enum class Fault { kNone, kSamePath, kSymlink, kHardLink, kMissingFolder, kUnwritable, kDevFull, kSmallTmpfs,
                   kBadFormat, kNoAudio };

struct ExitCase {
  const char* name;
  Fault fault;
  Args args;  // kNone: the whole command line
  int exitCode;
  // Standard output begins with `out`, standard error is `err`; $D stands for
  // the test's folder (the working folder), $O for the output.
  std::string out, err;
};

class ExitCodeTest : public SonexTest, public testing::WithParamInterface<ExitCase> {
 protected:
  void TearDown() override {
    if (!mounted_.empty()) umount(mounted_.c_str());
    chmod(dir_.c_str(), 0755);
  }
  std::string mounted_;
};

std::set<std::string> Listing(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

TEST_P(ExitCodeTest, CodeMessagesAndNoDataLost) {
  const ExitCase& c = GetParam();
  Args args = c.args;
  std::string out = "o.wav", old;  // `old`: an older output put at `out` first
  if (c.fault != Fault::kNone) {
    fs::copy_file(GenerateFlv(Input(AudioCodec::kMp3, 440, 2000)), Out("in.flv"));
    args = {"-i", "in.flv", "-quiet", "1", "-fmt", "wav"};
  }
  switch (c.fault) {
    case Fault::kNone: break;
    case Fault::kSamePath: out = "in.flv"; break;
    case Fault::kSymlink: fs::create_symlink("in.flv", Out(out = "link.flv")); break;
    case Fault::kHardLink: fs::create_hard_link(Out("in.flv"), Out(out = "hard.flv")); break;
    case Fault::kMissingFolder: out = "no/such/folder/o.wav"; break;
    case Fault::kUnwritable:
      if (geteuid() == 0) out = "/proc/sonex_e2e_output.wav";  // root writes anywhere else
      chmod(dir_.c_str(), 0555);
      break;
    case Fault::kDevFull:
      if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
      out = "/dev/full";
      break;
    case Fault::kSmallTmpfs:
      fs::create_directory(Out("small"));
      if (mount("tmpfs", Out("small").c_str(), "tmpfs", 0, "size=200k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
      mounted_ = Out("small");
      out = "small/o.wav";  // 2 s of 44100 Hz stereo: 350 KB
      old = "an older output";
      break;
    case Fault::kBadFormat:
      args.back() = "nosuchformat";
      old = "an older output";
      break;
    case Fault::kNoAudio: {
      // Audio all of the reserved sound format 9, which nothing decodes.
      std::ofstream(Out("notes.flv")) << "not a video\n";
      FlvBuilder reserved;
      reserved.Header();
      for (std::uint32_t ms = 0; ms < 1000; ms += 20) reserved.Audio(ms, 9, 3, 1, 1, Bytes(64, 1));
      reserved.WriteTo(Out("reserved.flv"));
      args = {"-i", "missing.flv", "-i", "notes.flv", "-i", "reserved.flv", "-quiet", "1"};
      old = "an older output";
      break;
    }
  }
  if (c.fault != Fault::kNone) args.insert(args.end(), {"-out", out});
  if (!old.empty()) std::ofstream(fs::absolute(dir_ / out)) << old;
  const std::vector<std::uint8_t> inputBytes = c.fault == Fault::kNone ? Bytes{} : ReadWholeFile(Out("in.flv"));
  const std::set<std::string> before = Listing(dir_.string());
  const ProgramRun run = Sonex(args, c.exitCode, dir_.string());
  const auto expand = [&](const std::string& text) {
    return Replaced(Replaced(text, "$O", (dir_ / out).lexically_normal().string()), "$D", dir_.string());
  };
  EXPECT_EQ(run.out.rfind(expand(c.out), 0), 0u) << run.out;
  EXPECT_EQ(run.err, expand(c.err));
  if (c.out.starts_with("Usage")) { EXPECT_TRUE(run.out.ends_with("sonex -info x1.flv\n")); }
  if (c.out.starts_with("sonex ")) { EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 6); }  // and FFmpeg's five
  if (c.out.empty() && c.fault == Fault::kNone) { EXPECT_EQ(run.out, ""); }
  if (c.fault != Fault::kNone) { EXPECT_EQ(ReadWholeFile(Out("in.flv")), inputBytes); }
  EXPECT_EQ(Listing(dir_.string()), before);
  if (!mounted_.empty()) { EXPECT_EQ(Listing(mounted_), std::set<std::string>{"o.wav"}); }
  if (!old.empty()) {
    const std::vector<std::uint8_t> left = ReadWholeFile(fs::absolute(dir_ / out));
    EXPECT_EQ(std::string(left.begin(), left.end()), old);
  }
}

const std::string kMissingParameters =
    "Parameters not enough, not entered (-i) or not specified output parameters (-out)\n";
const std::string kIsInput = "Error: (2) Can't write '$O': it is the input file '$D/in.flv'\n";
std::string NoTags(const std::string& file) {
  return file + ", Warning: If the start time is more than the total time, it will be set to 0.\n" + file +
         ", The operation of seek is failed\n";
}
const std::string kCannotCreate = "Error: (2) Can't create '$O' for writting\n";

INSTANTIATE_TEST_SUITE_P(
    Codes, ExitCodeTest,
    testing::Values(
        ExitCase{"Nothing", Fault::kNone, {}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"InfoWithoutFile", Fault::kNone, {"-INFO"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"InputOnly", Fault::kNone, {"-i", "a.flv"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"OutputWithoutValue", Fault::kNone, {"-i", "a.flv", "-out"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"UnknownOption", Fault::kNone, {"-i", "a.flv", "-Bogus", "1", "-out", "b.mp3"}, 1,
                 "Unknown option -Bogus\nUsage: sonex\n", ""},
        ExitCase{"Help", Fault::kNone, {"--help"}, 0, "Usage: sonex\n", ""},
        ExitCase{"Version", Fault::kNone, {"-version"}, 0,
                 "sonex " SONEX_VERSION_TEXT "\nlibavcodec " SONEX_AVCODEC_VERSION_TEXT "\n", ""},
        // Information mode ignores the conversion options.
        ExitCase{"InfoOfMissingFile", Fault::kNone, {"-info", "missing.flv", "-i", "b.flv", "-out", "c.mp3"}, 0, "",
                 "Fail to get the FLV information. It probably is not a FLV file.\n"},
        ExitCase{"same_path", Fault::kSamePath, {}, 2, kIsInput, ""},
        ExitCase{"symlink", Fault::kSymlink, {}, 2, kIsInput, ""},
        ExitCase{"hard_link", Fault::kHardLink, {}, 2, kIsInput, ""},
        ExitCase{"missing_folder", Fault::kMissingFolder, {}, 2, kCannotCreate, ""},
        ExitCase{"unwritable", Fault::kUnwritable, {}, 2, kCannotCreate, ""},
        ExitCase{"dev_full", Fault::kDevFull, {}, 5, "", "Error: (5) Can't write '/dev/full': No space left on device\n"},
        ExitCase{"small_tmpfs", Fault::kSmallTmpfs, {}, 5, "Current Time: ",
                 "Error: (5) Can't write '$O': No space left on device\n"},
        ExitCase{"bad_format", Fault::kBadFormat, {}, 3, "Error: (3) Bad encoding parameters\n", ""},
        ExitCase{"no_audio", Fault::kNoAudio, {}, 4, "Current Time: 0ms\nTotal Time: 0ms\n",
                 "$D/missing.flv, Error on file opening.\n" + NoTags("$D/notes.flv") + NoTags("$D/reserved.flv") +
                 "Error: (4) No audio was converted; no output file written\n"}),
    RowName<ExitCase>);

// ---- standard input and output ----

struct PipeCase {
  const char* name;
  // S, I, O and R stand for the program, the input, the output and the
  // reference; the reference command makes the bytes the output must hold.
  const char* reference;
  const char* command;
  int exitCode;
};

class PipeTest : public SonexTest, public testing::WithParamInterface<PipeCase> {};

TEST_P(PipeTest, SameBytesAsFileToFile) {
  const PipeCase& c = GetParam();
  const std::string vars = "S='" + SonexPath() + "'; I='" + FixturePath("real/Red5_red5-server_NAPNAP.flv") +
                           "'; O='" + Out("o") + "'; R='" + Out("r") + "'; ";
  if (*c.reference != '\0') { ASSERT_EQ(RunShell(vars + c.reference).exitCode, 0); }
  const ProgramRun run = RunShell(vars + c.command);
  EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
  if (*c.reference != '\0') {
    EXPECT_GT(fs::file_size(Out("r")), 0u);
    EXPECT_EQ(ReadWholeFile(Out("o")), ReadWholeFile(Out("r")));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PipeTest,
    testing::Values(
        PipeCase{"StdinToFile", "\"$S\" -i \"$I\" -out \"$R\" -quiet 1", "\"$S\" -i - -out \"$O\" -quiet 1 < \"$I\"", 0},
        PipeCase{"FileToPipe", "\"$S\" -i \"$I\" -out \"$R\" -fmt adts -quiet 1",
                 "\"$S\" -i \"$I\" -out - -fmt adts 2>/dev/null | cat > \"$O\"", 0},
        PipeCase{"FileToRedirect", "\"$S\" -i \"$I\" -out \"$R\" -quiet 1", "\"$S\" -i \"$I\" -out - 2>/dev/null > \"$O\"", 0},
        PipeCase{"PipeToPipe", "\"$S\" -i \"$I\" -out \"$R\" -fmt adts -quiet 1",
                 "cat \"$I\" | \"$S\" -i - -out - -fmt adts -quiet 1 | cat > \"$O\"", 0},
        PipeCase{"InfoFromStdin", "\"$S\" -info \"$I\" > \"$R\"", "\"$S\" -info - < \"$I\" > \"$O\"", 0},
        // A reader that stops early: the shell's code for a broken pipe.
        PipeCase{"EarlyClose", "", "\"$S\" -i \"$I\" -out - -fmt wav | head -c 100 >/dev/null", 141},
        PipeCase{"AsfRefusedOnStdout", "", "\"$S\" -i \"$I\" -out - -fmt asf >/dev/null", 3},
        PipeCase{"StdinTwice", "", "\"$S\" -i - -i - -out \"$O\" < \"$I\"", 1}),
    RowName<PipeCase>);

// ---- every real file with audio, against FFmpeg's own decoding ----

// The best Pearson correlation of one channel of `a` and `b` over their
// common part, with `b` shifted by at most `maxLag` frames.
double BestCorrelation(const Pcm& a, const Pcm& b, int channel, std::int64_t maxLag) {
  const std::int64_t frames = std::min(a.Frames(), b.Frames());
  const auto at = [channel](const Pcm& p, std::int64_t frame) { return static_cast<double>(p.samples[static_cast<std::size_t>(frame * p.channels + channel)]); };
  const auto correlate = [&](std::int64_t lag, std::int64_t from, std::int64_t count) {
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t i = from; i < from + count; ++i) {
      if (i + lag < 0 || i + lag >= b.Frames() || i >= a.Frames()) continue;
      const double x = at(a, i), y = at(b, i + lag);
      ab += x * y, aa += x * x, bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : (aa == bb ? 1.0 : 0.0);
  };
  std::int64_t bestLag = 0;
  double best = -2;
  for (std::int64_t lag = -maxLag; lag <= maxLag; ++lag) {
    const double c = correlate(lag, frames / 3, std::min<std::int64_t>(8192, frames / 2));
    if (c > best) best = c, bestLag = lag;
  }
  return correlate(bestLag, 0, frames);
}

// FFmpeg cannot read the audio of the two files with wrong previous-tag-size
// fields, and decodes only the first Speex frame of a tag: those (compare
// false) are checked for audio only.
class RealFileTest : public SonexTest, public testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(RealFileTest, AudioMatchesFfmpegsDecoding) {
  const std::string input = FixturePath(std::string("real/") + GetParam().first);
  if (!GetParam().second) {
    Sonex({"-i", input, "-out", Out("o.wav"), "-quiet", "1"});
    EXPECT_GT(DecodeAudio(Out("o.wav")).Seconds(), 1.0);
    return;
  }
  const Pcm reference = DecodeAudio(input);
  ASSERT_GT(reference.Frames(), 0);
  Sonex({"-i", input, "-out", Out("o.wav"), "-quiet", "1", "-asr", std::to_string(reference.sampleRate), "-ac",
         std::to_string(reference.channels)});
  const Pcm output = DecodeAudio(Out("o.wav"));
  constexpr std::int64_t kFrameLag = 2048;  // one codec frame, HE-AAC's included
  EXPECT_NEAR(output.Frames(), reference.Frames(), kFrameLag);
  for (int channel = 0; channel < reference.channels; ++channel) {
    EXPECT_GE(BestCorrelation(output, reference, channel, kFrameLag), 0.99) << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, RealFileTest,
    testing::Values(std::pair{"Red5_red5-server_NAPNAP.flv", true}, std::pair{"Red5_red5-server_flashContent.flv", false},
                    std::pair{"Red5_red5-server_h264_aac.flv", false}, std::pair{"Red5_red5-server_h264_mp3.flv", false},
                    std::pair{"Red5_red5-server_h264_speex.flv", true}, std::pair{"Red5_red5-server_rotations.flv", true},
                    std::pair{"apache_flex-sdk_phone.flv", true}, std::pair{"jcodec_jcodec_test.flv", true},
                    std::pair{"mondain_red5_fp_fcs_live_audio.flv", true},
                    std::pair{"ruffle-rs_ruffle_audio_timewarp.flv", true}, std::pair{"ruffle-rs_ruffle_square.flv", true},
                    std::pair{"ruffle-rs_ruffle_tone_alaw_mono.flv", true},
                    std::pair{"ruffle-rs_ruffle_tone_mulaw_mono.flv", true},
                    std::pair{"ruffle-rs_ruffle_tone_mono_22050hz.flv", true},
                    std::pair{"ruffle-rs_ruffle_tone_stereo_48000hz.flv", true}),
    [](const testing::TestParamInfo<std::pair<const char*, bool>>& info) {
      std::string name = fs::path(info.param.first).stem().string();
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
      return name;
    });

// ---- batches: each file's part on one time line, without gaps ----

// The tones of `pcm` (label: index in `tones`, -1 silence) and where each ends (ms).
std::vector<std::pair<int, double>> ToneEnds(const Pcm& pcm, const std::vector<double>& tones, bool withSilence) {
  std::vector<std::pair<int, double>> ends;
  for (const Segment& s : ToneSegments(pcm, tones, kWindowMs)) {
    if (withSilence || s.label >= 0) ends.emplace_back(s.label, (s.firstWindow + s.windowCount) * kWindowMs);
  }
  return ends;
}

TEST_F(SonexTest, BatchCutsAndJoinsFiles) {
  const std::vector<double> tones = {600, 1200, 2400};
  const std::string a = GenerateFlv(Input(AudioCodec::kPcmS16le, tones[0], 3000, 22050, 1));
  const std::string b = GenerateFlv(Input(AudioCodec::kPcmS16le, tones[1], 1000, 22050, 1));
  const std::string c = GenerateFlv(Input(AudioCodec::kPcmS16le, tones[2], 2000, 22050, 1));
  fs::copy_file(a, Out("a.flv"));
  const double aEnd = AudioEndTime(a), bEnd = AudioEndTime(b), cEnd = AudioEndTime(c);
  const double aPart = std::min(2000.0, aEnd - 1000);
  const std::string kStartWarning = ", Warning: If the start time is more than the total time, it will be set to 0.\n";
  const struct {
    Args args;
    std::string err;
    std::vector<std::pair<int, double>> ends;  // each piece's tone and end
  } rows[] = {
      // a has under 3 s of audio: less than 2 s remain after its first second.
      {{"-i", a, "-st", "1000", "-dt", "2000", "-i", b, "-i", c, "-dt", "500"}, "",
       {{0, aPart}, {1, aPart + bEnd}, {2, aPart + bEnd + 500}}},
      // Relative paths are reported in full.
      {{"-i", "a.flv", "-i", "missing.flv", "-i", b}, Out("missing.flv") + ", Error on file opening.\n",
       {{0, aEnd}, {1, aEnd + bEnd}}},
      {{"-i", b, "-st", "99999", "-i", c}, b + kStartWarning, {{1, bEnd}, {2, bEnd + cEnd}}},
      {{"-i", a, "-dt", "0", "-i", b}, "", {{1, bEnd}}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.args));
    std::ofstream(Out("o.wav"), std::ios::binary) << std::string(1 << 20, 'x');  // replaced
    Args args = row.args;
    args.insert(args.end(), {"-out", Out("o.wav"), "-quiet", "1"});
    const ProgramRun run = Sonex(args, 0, dir_.string());
    const std::string total = std::to_string(static_cast<std::uint32_t>(row.ends.back().second + 0.5));
    EXPECT_EQ(run.out, "Current Time: " + total + "ms\nTotal Time: " + total + "ms\n");
    EXPECT_EQ(run.err, row.err);
    const Pcm pcm = DecodeAudio(Out("o.wav"));
    const auto ends = ToneEnds(pcm, tones, true);
    ASSERT_EQ(ends.size(), row.ends.size());
    for (std::size_t i = 0; i < ends.size(); ++i) {
      EXPECT_EQ(ends[i].first, row.ends[i].first);
      EXPECT_NEAR(ends[i].second, row.ends[i].second, kPcmBlockMs + kWindowMs) << i;
    }
    EXPECT_NEAR(pcm.Seconds() * 1000, row.ends.back().second, kPcmBlockMs + kWindowMs);
  }
}

// Three codecs, each cut inside (AAC from a seek needs its configuration). A
// decoder started inside a stream gives a few silent milliseconds first (MP3's
// bit reservoir, Speex's look-ahead); the parts still end where the time line
// puts them.
TEST_F(SonexTest, Mp3AacAndSpeexCutAndJoinedWithoutGaps) {
  const std::vector<double> tones = {600, 1200, 2400};
  const ProgramRun run = Sonex({"-i", GenerateFlv(Input(AudioCodec::kMp3, tones[0], 3000, 44100, 1)), "-st", "500", "-dt", "1500",
                                "-i", GenerateFlv(Input(AudioCodec::kAac, tones[1], 3000, 44100, 1)), "-st", "700", "-dt", "1000",
                                "-i", GenerateFlv(Input(AudioCodec::kSpeex, tones[2], 3000, 22050, 1)), "-st", "300", "-dt", "1200",
                                "-out", Out("o.wav"), "-quiet", "1"});
  EXPECT_EQ(run.err, "");
  const Pcm pcm = DecodeAudio(Out("o.wav"));
  const auto ends = ToneEnds(pcm, tones, false);
  ASSERT_EQ(ends.size(), 3u);
  const double expectedEnds[] = {1500, 2500, 3700};
  for (std::size_t i = 0; i < ends.size(); ++i) {
    EXPECT_EQ(ends[i].first, static_cast<int>(i));
    EXPECT_NEAR(ends[i].second, expectedEnds[i], 60) << i;
  }
  EXPECT_NEAR(pcm.Seconds() * 1000, 3700, 60);
}

// Progress every 50 tags as plain lines: 65 + 22 + 44 tags show with the
// 51st and the 101st (the 14th of the third file); the total counts the
// files opened so far.
TEST_F(SonexTest, ProgressEveryFiftyTags) {
  const std::string a = GenerateFlv(Input(AudioCodec::kPcmS16le, 600, 3000, 22050, 1));
  const std::string b = GenerateFlv(Input(AudioCodec::kPcmS16le, 1200, 1000, 22050, 1));
  const std::string c = GenerateFlv(Input(AudioCodec::kPcmS16le, 2400, 2000, 22050, 1));
  const ProgramRun run = Sonex({"-i", a, "-i", b, "-i", c, "-out", Out("o.wav")});
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  const std::uint32_t aEnd = AudioEndTime(a), bEnd = AudioEndTime(b), total = aEnd + bEnd + AudioEndTime(c);
  const double expected[] = {50 * kPcmBlockMs, double(aEnd), aEnd + bEnd + 13 * kPcmBlockMs, double(total),
                             double(total), double(total)};
  const double tolerance[] = {1, 0, 2, 0, 0, 0};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string prefix = i % 2 == 0 ? "Current Time: " : "Total Time: ";
    EXPECT_EQ(lines[i].rfind(prefix, 0), 0u) << lines[i];
    EXPECT_TRUE(lines[i].ends_with("ms")) << lines[i];
    EXPECT_NEAR(std::atof(lines[i].c_str() + prefix.size()), expected[i], tolerance[i]) << i;
  }
}

}  // namespace
}  // namespace kelvra::test
