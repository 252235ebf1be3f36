// sonex end to end: the built program converts FLV files, and the output is
// checked with ffprobe and by decoding it and finding its tones. One row per
// rule: formats, exit codes, pipes, batches and cuts, holes, output faults.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

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
constexpr double kToneA = 600, kToneB = 1200, kToneC = 2400;

FlvSpec Input(AudioCodec codec, double toneHz, int durationMs, int rate = 22050, int channels = 2) {
  FlvSpec fileSpec;
  fileSpec.audio = codec;
  fileSpec.sampleRate = rate;
  fileSpec.channels = channels;
  fileSpec.toneHz = toneHz;
  fileSpec.durationMs = durationMs;
  return fileSpec;
}
// The usual input: MP3 at 22050 Hz stereo. PCM has no codec delay, so where
// one file ends and the next begins shows sharply in the output.
FlvSpec Mp3Input(int durationMs = 2000) { return Input(AudioCodec::kMp3, 440, durationMs); }
FlvSpec PcmInput(double toneHz, int durationMs) { return Input(AudioCodec::kPcmS16le, toneHz, durationMs, 22050, 1); }

// The audio end time the tag reader gives a file: what a file without -st
// and -dt adds to the total time.
std::uint32_t AudioEndTime(const std::string& path) {
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  std::uint32_t audio = 0, video = 0;
  EXPECT_NE(FLVAVTagReader_Open(reader, path.c_str()), 0) << path;
  FLVAVTagReader_GetDuration(reader, &audio, &video);
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
  return audio;
}

std::string TestName() {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

// A fresh output folder per test.
class SonexTest : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ = fs::path(TestTempDir()) / TestName()); }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }
  // Runs sonex and checks that it ended with `exitCode`.
  ProgramRun Sonex(const Args& args, int exitCode = 0, const std::string& workDir = "") {
    ProgramRun run = RunSonex(args, workDir);
    EXPECT_EQ(run.exitCode, exitCode) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    return run;
  }
  fs::path dir_;
};

template <typename Row>
std::string RowName(const testing::TestParamInfo<Row>& info) { return info.param.name; }

// ---- output formats: defaults and what the command line overrides ----

struct FormatCase {
  const char* name;
  Args options;  // besides -i, -out and -quiet
  const char* outName;
  const char* codec;
  const char* formatName;  // ffprobe's format_name contains it
  int sampleRate, channels, bitRate;  // bit rate 0: not checked
  // Samples of the encoder's start-up delay that the container cannot
  // record (ADTS, AMR), and the encoder's frame length.
  int primingSamples, frameSamples;
};

class OutputFormatTest : public SonexTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(OutputFormatTest, FormatLengthAndTone) {
  const FormatCase& c = GetParam();
  const std::string input = GenerateFlv(Mp3Input());
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
  if (c.bitRate > 0) {
    EXPECT_EQ(probe.at("bit_rate"), std::to_string(c.bitRate));
  }
  if (std::string(c.codec) == "pcm_s16le") {
    EXPECT_EQ(probe.at("bits_per_sample"), "16");
  }

  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(output.sampleRate, c.sampleRate);
  // The input's audio in output samples, against what came out less the
  // encoder's unrecorded start-up delay: within one encoder frame.
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
        FormatCase{"Mp3MonoHalfRateLowBitRate", {"-ac", "1", "-asr", "22050", "-abr", "64000"}, "o.mp3", "mp3",
                   "mp3", 22050, 1, 64000, 0, 1152},
        FormatCase{"WavMono11025", {"-ac", "1", "-asr", "11025"}, "o.wav", "pcm_s16le", "wav", 11025, 1, 0, 0, 32},
        FormatCase{"WavCodecByName", {"-acodec", "pcm_u8"}, "o.wav", "pcm_u8", "wav", 44100, 2, 0, 0, 32},
        FormatCase{"UnknownCodecNameTakesTheDefault", {"-acodec", "nosuchcodec"}, "o.mp3", "mp3", "mp3", 44100, 2,
                   96000, 0, 1152},
        FormatCase{"FormatBeatsTheExtension", {"-fmt", "wav"}, "o.mp3", "pcm_s16le", "wav", 44100, 2, 0, 0, 32},
        FormatCase{"AdtsByFormatName", {"-fmt", "adts"}, "o.bin", "aac", "aac", 44100, 2, 0, 1024, 1024},
        FormatCase{"OtherExtensionIsMp3", {}, "o.mp4", "mp3", "mp3", 44100, 2, 96000, 0, 1152},
        FormatCase{"WmaMonoHalfRate", {"-ac", "1", "-asr", "22050", "-abr", "32000"}, "o.WMA", "wmav2", "asf",
                   22050, 1, 32000, 0, 2048}),
    RowName<FormatCase>);

// ---- every input audio format decodes to the right content ----

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
  const std::string out = Out("o.wav");
  Sonex({"-i", input, "-out", out, "-quiet", "1"});
  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(output.sampleRate, 44100);
  ASSERT_EQ(output.channels, 2);
  // Resampling gives or takes a sample or two.
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
                    InputCase{"AdpcmMono44100", AudioCodec::kAdpcmSwf, 44100, 1, 770},
                    InputCase{"Mp3Mono11025", AudioCodec::kMp3, 11025, 1, 440},
                    InputCase{"Mp3Stereo22050", AudioCodec::kMp3, 22050, 2, 880},
                    InputCase{"Mp3Stereo44100", AudioCodec::kMp3, 44100, 2, 990},
                    InputCase{"Nellymoser8000", AudioCodec::kNellymoser, 8000, 1, 500},
                    InputCase{"Nellymoser22050", AudioCodec::kNellymoser, 22050, 1, 600},
                    InputCase{"Nellymoser16000", AudioCodec::kNellymoser, 16000, 1, 650},
                    InputCase{"AacMono22050", AudioCodec::kAac, 22050, 1, 700},
                    InputCase{"AacStereo48000", AudioCodec::kAac, 48000, 2, 750},
                    InputCase{"Speex16000", AudioCodec::kSpeex, 16000, 1, 800},
                    InputCase{"G711ALaw", AudioCodec::kG711ALaw, 8000, 1, 850},
                    InputCase{"G711MuLaw", AudioCodec::kG711MuLaw, 8000, 1, 900}),
    RowName<InputCase>);

// ---- exit codes and what the program prints with them ----

struct ExitCase {
  const char* name;
  Args args;
  int exitCode;
  const char* outStart;  // standard output begins with it
  const char* err;       // standard error is exactly this
};

class ExitCodeTest : public SonexTest, public testing::WithParamInterface<ExitCase> {};

TEST_P(ExitCodeTest, CodeAndMessages) {
  const ExitCase& c = GetParam();
  const ProgramRun run = Sonex(c.args, c.exitCode, dir_.string());
  EXPECT_EQ(run.out.rfind(c.outStart, 0), 0u) << run.out;
  EXPECT_EQ(run.err, c.err);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 0);  // nothing written
  if (std::string(c.outStart).ends_with("Usage: sonex\n")) {
    EXPECT_TRUE(run.out.ends_with("sonex -info x1.flv\n"));
  }
  if (std::string(c.outStart).starts_with("sonex ")) {
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), '\n'), 6);  // the program's and FFmpeg's five libraries
  }
  if (std::string(c.outStart).empty()) {
    EXPECT_EQ(run.out.find("Usage: sonex"), std::string::npos);
  }
}

constexpr const char* kMissingParameters =
    "Parameters not enough, not entered (-i) or not specified output parameters (-out)\n";

INSTANTIATE_TEST_SUITE_P(
    Codes, ExitCodeTest,
    testing::Values(
        ExitCase{"Nothing", {}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"InfoWithoutFile", {"-INFO"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"InputOnly", {"-i", "a.flv"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"OutputOnly", {"-out", "b.mp3"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"OutputWithoutValue", {"-i", "a.flv", "-out"}, 11, "Usage: sonex\n", kMissingParameters},
        ExitCase{"UnknownOption", {"-i", "a.flv", "-Bogus", "1", "-out", "b.mp3"}, 1,
                 "Unknown option -Bogus\nUsage: sonex\n", ""},
        ExitCase{"Help", {"--help"}, 0, "Usage: sonex\n", ""},
        ExitCase{"Version", {"-version"}, 0, "sonex " SONEX_VERSION_TEXT "\nlibavcodec " SONEX_AVCODEC_VERSION_TEXT "\n", ""},
        // Information mode ignores the conversion options.
        ExitCase{"InfoIgnoresConversion", {"-info", "missing.flv", "-i", "b.flv", "-out", "c.mp3"}, 0, "",
                 "Fail to get the FLV information. It probably is not a FLV file.\n"}),
    RowName<ExitCase>);

// ---- standard input and output ----

// The MP3 stream without its info frame (the first frame after the ID3v2
// tag): what FFmpeg's mp3 muxer writes to a pipe, where it cannot go back.
std::vector<std::uint8_t> WithoutInfoFrame(std::vector<std::uint8_t> mp3) {
  constexpr std::size_t kId3HeaderSize = 10;
  if (mp3.size() < kId3HeaderSize || mp3[0] != 'I' || mp3[1] != 'D' || mp3[2] != '3') return mp3;
  const std::size_t tag = kId3HeaderSize + (std::size_t{mp3[6]} << 21 | std::size_t{mp3[7]} << 14 | std::size_t{mp3[8]} << 7 | mp3[9]);
  // MPEG-1 layer III: 144 x bit rate / rate + padding bytes.
  constexpr int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  constexpr int kRates[] = {44100, 48000, 32000};
  const std::uint8_t b2 = mp3[tag + 2];
  const std::size_t frame = 144 * kKbps[b2 >> 4] * 1000 / kRates[(b2 >> 2) & 3] + ((b2 >> 1) & 1);
  mp3.erase(mp3.begin() + static_cast<std::ptrdiff_t>(tag), mp3.begin() + static_cast<std::ptrdiff_t>(tag + frame));
  return mp3;
}

struct PipeCase {
  const char* name;
  const char* extension;
  const char* command;  // S, I and O stand for the program, the input and the output
  bool throughPipe;     // MP3 then lacks its info frame
};

class PipeTest : public SonexTest, public testing::WithParamInterface<PipeCase> {};

TEST_P(PipeTest, SameBytesAsFileToFile) {
  const PipeCase& c = GetParam();
  const std::string input = FixturePath("real/Red5_red5-server_NAPNAP.flv");
  const std::string reference = Out(std::string("reference.") + c.extension);
  const std::string out = Out(std::string("piped.") + c.extension);
  Sonex({"-i", input, "-out", reference, "-quiet", "1"});
  const ProgramRun run = RunShell("S='" + SonexPath() + "'; I='" + input + "'; O='" + out + "'; " + c.command);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::uint8_t> expected = ReadWholeFile(reference);
  EXPECT_EQ(ReadWholeFile(out), c.throughPipe && std::string(c.extension) == "mp3" ? WithoutInfoFrame(expected) : expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PipeTest,
    testing::Values(PipeCase{"StdinToFileMp3", "mp3", "\"$S\" -i - -out \"$O\" -quiet 1 < \"$I\"", false},
                    PipeCase{"FileToPipeAdts", "aac", "\"$S\" -i \"$I\" -out - -fmt adts 2>/dev/null | cat > \"$O\"", true},
                    PipeCase{"FileToRedirectMp3", "mp3", "\"$S\" -i \"$I\" -out - 2>/dev/null > \"$O\"", false},
                    PipeCase{"PipeToPipeMp3", "mp3", "cat \"$I\" | \"$S\" -i - -out - -quiet 1 | cat > \"$O\"", true}),
    RowName<PipeCase>);

TEST_F(SonexTest, StandardStreamsRefusalsAndEarlyClose) {
  const std::string prefix = "S='" + SonexPath() + "'; I='" + FixturePath("real/ruffle-rs_ruffle_square.flv") + "'; ";
  // A reader that stops early: the shell's code for a broken pipe, quietly.
  const ProgramRun early = RunShell(prefix + "\"$S\" -i \"$I\" -out - -fmt wav 2>&1 >/dev/null | true; "
                                    "\"$S\" -i \"$I\" -out - -fmt wav | head -c 100 >/dev/null");
  EXPECT_EQ(early.exitCode, 141) << early.err;
  EXPECT_EQ(RunShell(prefix + "\"$S\" -i \"$I\" -out - -fmt asf >/dev/null").exitCode, 3);
  EXPECT_EQ(RunShell(prefix + "\"$S\" -i - -i - -out x.mp3 < \"$I\"").exitCode, 1);
  const ProgramRun fromStdin = RunShell(prefix + "\"$S\" -info - < \"$I\"");
  EXPECT_EQ(fromStdin.out, RunShell(prefix + "\"$S\" -info \"$I\"").out);
  EXPECT_NE(fromStdin.out.find("duration: 2298ms"), std::string::npos) << fromStdin.out;
}

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

// FFmpeg cannot read the audio of some files at all (a writer's wrong
// previous-tag-size fields), and decodes only the first Speex frame of a
// tag: those (compare false) are checked for audio only.
class RealFileTest : public SonexTest, public testing::WithParamInterface<std::pair<const char*, bool>> {};

TEST_P(RealFileTest, AudioMatchesFfmpegsDecoding) {
  const std::string input = FixturePath(std::string("real/") + GetParam().first);
  const std::string out = Out("o.wav");
  if (!GetParam().second) {
    Sonex({"-i", input, "-out", out, "-quiet", "1"});
    EXPECT_GT(DecodeAudio(out).Seconds(), 1.0);
    return;
  }
  const Pcm reference = DecodeAudio(input);
  ASSERT_GT(reference.Frames(), 0);
  Sonex({"-i", input, "-out", out, "-quiet", "1", "-asr", std::to_string(reference.sampleRate), "-ac", std::to_string(reference.channels)});
  const Pcm output = DecodeAudio(out);
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

// ---- batches: files a (3 s), b (1 s) and c (2 s) of three tones ----

class BatchTest : public SonexTest {
 protected:
  void SetUp() override {
    SonexTest::SetUp();
    a_ = GenerateFlv(PcmInput(kToneA, 3000));
    b_ = GenerateFlv(PcmInput(kToneB, 1000));
    c_ = GenerateFlv(PcmInput(kToneC, 2000));
    ASSERT_FALSE(a_.empty() || b_.empty() || c_.empty());
  }
  static std::vector<Segment> Tones(const Pcm& pcm) { return ToneSegments(pcm, {kToneA, kToneB, kToneC}, kWindowMs); }
  // The output holds exactly these tones (0 a, 1 b, 2 c) for these lengths
  // (ms), in this order, without silence; each boundary within one block.
  static void ExpectPieces(const std::string& out, const std::vector<std::pair<int, double>>& pieces) {
    const Pcm pcm = DecodeAudio(out);
    const std::vector<Segment> segments = Tones(pcm);
    std::string seen;
    for (const Segment& s : segments) seen += std::to_string(s.label) + ":" + std::to_string(s.windowCount * kWindowMs) + "ms ";
    ASSERT_EQ(segments.size(), pieces.size()) << seen;
    double end = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(segments[i].label, pieces[i].first) << seen;
      end += pieces[i].second;
      if (i + 1 < pieces.size()) {
        EXPECT_NEAR((segments[i].firstWindow + segments[i].windowCount) * kWindowMs, end, kPcmBlockMs + kWindowMs) << i << ": " << seen;
      }
    }
    EXPECT_NEAR(pcm.Seconds() * 1000, end, kPcmBlockMs + kWindowMs) << seen;
  }
  static std::string TotalLine(std::uint32_t ms) { return "Total Time: " + std::to_string(ms) + "ms"; }
  std::string a_, b_, c_;
};

TEST_F(BatchTest, StartAndDurationCutEachFileAndTheyFollowInOrder) {
  const ProgramRun run = Sonex({"-i", a_, "-st", "1000", "-dt", "2000", "-i", b_, "-i", c_, "-dt", "500", "-out", Out("o.wav"), "-quiet", "1"});
  // a has just under 3 s of audio, so less than 2 s remain after its first
  // second: the duration is cut to the rest.
  const std::uint32_t aPart = std::min<std::uint32_t>(2000, AudioEndTime(a_) - 1000);
  const std::uint32_t total = aPart + AudioEndTime(b_) + 500;
  EXPECT_EQ(run.out, "Current Time: " + std::to_string(total) + "ms\n" + TotalLine(total) + "\n");
  EXPECT_EQ(run.err, "");
  ExpectPieces(Out("o.wav"), {{0, aPart}, {1, AudioEndTime(b_)}, {2, 500}});
}

// Files of three codecs, each cut inside: every part keeps its length on
// one time line without gaps (AAC from a seek needs its configuration).
TEST_F(BatchTest, Mp3AacAndSpeexCutAndJoinedWithoutGaps) {
  const ProgramRun run = Sonex({"-i", GenerateFlv(Input(AudioCodec::kMp3, kToneA, 3000, 44100, 1)), "-st", "500", "-dt", "1500",
                                "-i", GenerateFlv(Input(AudioCodec::kAac, kToneB, 3000, 44100, 1)), "-st", "700", "-dt", "1000",
                                "-i", GenerateFlv(Input(AudioCodec::kSpeex, kToneC, 3000, 22050, 1)), "-st", "300", "-dt", "1200",
                                "-out", Out("o.wav"), "-quiet", "1"});
  EXPECT_EQ(run.err, "");
  // A decoder started inside a stream gives a few silent milliseconds first
  // (MP3's bit reservoir, Speex's look-ahead); the parts still end where
  // the time line puts them.
  const Pcm pcm = DecodeAudio(Out("o.wav"));
  std::vector<int> labels;
  std::vector<double> ends;
  for (const Segment& segment : Tones(pcm)) {
    if (segment.label < 0) continue;
    labels.push_back(segment.label);
    ends.push_back((segment.firstWindow + segment.windowCount) * kWindowMs);
  }
  ASSERT_EQ(labels, (std::vector<int>{0, 1, 2}));
  const double expectedEnds[] = {1500, 2500, 3700};
  for (std::size_t i = 0; i < ends.size(); ++i) EXPECT_NEAR(ends[i], expectedEnds[i], 60) << i;
  EXPECT_NEAR(pcm.Seconds() * 1000, 3700, 60);
}

// Files that give nothing are reported and skipped; the total counts only
// what was converted. Relative paths are reported in full.
TEST_F(BatchTest, FilesGivingNothingAreReportedAndSkipped) {
  const std::string warning = ", Warning: If the start time is more than the total time, it will be set to 0.\n";
  fs::copy_file(a_, dir_ / "a.flv");
  fs::copy_file(b_, dir_ / "b.flv");
  std::ofstream(Out("notes.flv")) << "not a video at all, just some words\n";
  ProgramRun run = Sonex({"-i", "a.flv", "-i", "missing.flv", "-i", "b.flv", "-out", "o.wav", "-quiet", "1"}, 0, dir_.string());
  EXPECT_EQ(run.err, Out("missing.flv") + ", Error on file opening.\n");
  EXPECT_EQ(Lines(run.out).back(), TotalLine(AudioEndTime(a_) + AudioEndTime(b_)));
  ExpectPieces(Out("o.wav"), {{0, AudioEndTime(a_)}, {1, AudioEndTime(b_)}});

  run = Sonex({"-i", b_, "-st", "99999", "-i", c_, "-out", Out("o2.wav"), "-quiet", "1"});
  EXPECT_EQ(run.err, b_ + warning);
  ExpectPieces(Out("o2.wav"), {{1, AudioEndTime(b_)}, {2, AudioEndTime(c_)}});

  run = Sonex({"-i", a_, "-dt", "0", "-i", b_, "-out", Out("o3.wav"), "-quiet", "1"});
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(Lines(run.out).back(), TotalLine(AudioEndTime(b_)));
  ExpectPieces(Out("o3.wav"), {{1, AudioEndTime(b_)}});

  run = Sonex({"-i", Out("notes.flv"), "-i", b_, "-out", Out("o4.wav"), "-quiet", "1"});
  EXPECT_EQ(run.err, Out("notes.flv") + warning + Out("notes.flv") + ", The operation of seek is failed\n");
  ExpectPieces(Out("o4.wav"), {{1, AudioEndTime(b_)}});
}

TEST_F(BatchTest, ProgressEveryFiftyTagsAsPlainLines) {
  // 65 + 22 + 44 tags: shown with the 51st and the 101st.
  const ProgramRun run = Sonex({"-i", a_, "-i", b_, "-i", c_, "-out", Out("o.wav")});
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  const std::uint32_t aEnd = AudioEndTime(a_), bEnd = AudioEndTime(b_), total = aEnd + bEnd + AudioEndTime(c_);
  const auto value = [&](std::size_t line, const std::string& prefix) {
    EXPECT_EQ(lines[line].rfind(prefix, 0), 0u) << lines[line];
    EXPECT_EQ(lines[line].back(), 's') << lines[line];
    return std::atoll(lines[line].c_str() + prefix.size());
  };
  // The 51st tag starts after 50 blocks of a; the 101st is the 14th of c,
  // which starts where a and b end. The total counts the files opened.
  EXPECT_NEAR(value(0, "Current Time: "), 50 * kPcmBlockMs, 1.0);
  EXPECT_EQ(value(1, "Total Time: "), aEnd);
  EXPECT_NEAR(value(2, "Current Time: "), aEnd + bEnd + 13 * kPcmBlockMs, 2.0);
  EXPECT_EQ(value(3, "Total Time: "), total);
  EXPECT_EQ(value(4, "Current Time: "), total);
  EXPECT_EQ(value(5, "Total Time: "), total);
}

TEST_F(SonexTest, QuietShowsOnlyTheTwoFinalLinesAndAnOldOutputIsReplaced) {
  const std::string input = GenerateFlv(Mp3Input(3000));
  const std::string out = Out("o.wav");
  std::ofstream(out, std::ios::binary) << std::string(1 << 20, 'x');
  const ProgramRun run = Sonex({"-i", input, "-out", out, "-quiet", "1"});
  const std::string end = std::to_string(AudioEndTime(input));
  EXPECT_EQ(run.out, "Current Time: " + end + "ms\nTotal Time: " + end + "ms\n");
  EXPECT_EQ(run.err, "");
  // The file's audio as 44100 Hz stereo, not the old megabyte.
  EXPECT_NEAR(static_cast<double>(fs::file_size(out)), AudioEndTime(input) * 44.1 * 4, 0.05 * 44100 * 4);
}

// ---- holes in the audio time line become silence of their length ----

struct HoleCase {
  const char* name;
  FlvSpec fileSpec;
  int startMs, lengthMs;
  double tolerance;       // of the edges: a tag (an MP3 frame smears into the hole)
  double totalTolerance;  // of the whole length
};

class AudioHoleTest : public SonexTest, public testing::WithParamInterface<HoleCase> {};

TEST_P(AudioHoleTest, BecomesSilenceOfItsLength) {
  const HoleCase& c = GetParam();
  FlvSpec fileSpec = c.fileSpec;
  const std::string whole = GenerateFlv(fileSpec);
  fileSpec.holeStartMs = c.startMs;
  fileSpec.holeLengthMs = c.lengthMs;
  Sonex({"-i", GenerateFlv(fileSpec), "-out", Out("o.wav"), "-quiet", "1"});
  const Pcm output = DecodeAudio(Out("o.wav"));
  const std::vector<Segment> all = ToneSegments(output, {fileSpec.toneHz}, kWindowMs);
  // The codec's start-up delay is silence of its own at the very start.
  const auto inner = std::find_if(all.begin(), all.end(), [](const Segment& s) { return s.firstWindow * kWindowMs > 100; });
  ASSERT_TRUE(inner != all.begin() && all.end() - inner == 2) << all.size();
  EXPECT_EQ(inner[-1].label, 0);
  EXPECT_EQ(inner[0].label, -1);
  EXPECT_EQ(inner[1].label, 0);
  EXPECT_NEAR(inner[0].firstWindow * kWindowMs, c.startMs, c.tolerance + kWindowMs);
  EXPECT_NEAR(inner[0].windowCount * kWindowMs, c.lengthMs, c.tolerance + kWindowMs);
  EXPECT_NEAR(output.Seconds(), DecodeAudio(whole).Seconds(), c.totalTolerance / 1000);
}

INSTANTIATE_TEST_SUITE_P(Holes, AudioHoleTest,
                         testing::Values(HoleCase{"Pcm", PcmInput(700, 2000), 600, 400, kPcmBlockMs, kPcmBlockMs},
                                         HoleCase{"Mp3", Input(AudioCodec::kMp3, 440, 2000), 500, 600, 2 * 576 * 1000.0 / 22050, 576 * 1000.0 / 22050}),
                         RowName<HoleCase>);

// ---- outputs that must not or cannot be written ----

// An existing output is left as it was, every input keeps its bytes, and no
// temporary file stays.
enum class Fault {
  kSamePath, kDotPath, kSymlink, kHardLink,  // the output is the input
  kMissingFolder, kFolder, kFileAsFolder, kLongName, kUnwritableFolder,
  kDevFull, kSmallTmpfs,                      // the disk fills up
  kBadFormat, kNoAudio                        // nothing can be encoded
};

struct FaultCase {
  const char* name;
  Fault fault;
  int exitCode;
  const char* message;  // found on standard output or error
};

class OutputFaultTest : public SonexTest, public testing::WithParamInterface<FaultCase> {
 protected:
  void TearDown() override {
    if (!mounted_.empty()) umount(mounted_.c_str());
    chmod(dir_.c_str(), 0755);
  }
  std::string mounted_;
};

TEST_P(OutputFaultTest, RefusedOrFailedWithoutLosingData) {
  const FaultCase& c = GetParam();
  const std::string input = Out("in.flv");
  fs::copy_file(GenerateFlv(Mp3Input()), input);
  Args args{"-i", input, "-quiet", "1", "-fmt", "wav"};
  std::string out = Out("o.wav");
  std::string old;  // an older output, put at `out` first when not empty
  switch (c.fault) {
    case Fault::kSamePath: out = input; break;
    case Fault::kDotPath: out = "./in.flv"; break;
    case Fault::kSymlink: fs::create_symlink(input, out = Out("link.flv")); break;
    case Fault::kHardLink: fs::create_hard_link(input, out = Out("hard.flv")); break;
    case Fault::kMissingFolder: out = Out("no/such/folder/o.wav"); break;
    case Fault::kFolder: out = dir_.string(); break;
    case Fault::kFileAsFolder: out = input + "/o.wav"; break;
    case Fault::kLongName: out = Out(std::string(5000, 'o') + ".wav"); break;
    case Fault::kUnwritableFolder:
      // Root writes anywhere, but not into /proc.
      if (geteuid() == 0) out = "/proc/sonex_e2e_output.wav";
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
      out = mounted_ + "/o.wav";  // 2 s of 44100 Hz stereo: 350 KB
      old = "an older output";
      break;
    case Fault::kBadFormat:
      args.back() = "nosuchformat";
      old = "an older output";
      break;
    case Fault::kNoAudio: {
      // A missing file, one that is not FLV, and one whose audio is all of
      // the reserved sound format 9, which nothing decodes.
      std::ofstream(Out("notes.flv")) << "not a video\n";
      FlvBuilder reserved;
      reserved.Header();
      for (std::uint32_t ms = 0; ms < 1000; ms += 20) reserved.Audio(ms, 9, 3, 1, 1, Bytes(64, 1));
      reserved.WriteTo(Out("reserved.flv"));
      args = {"-i", Out("missing.flv"), "-i", Out("notes.flv"), "-i", Out("reserved.flv"), "-quiet", "1"};
      old = "an older output";
      break;
    }
  }
  if (!old.empty()) std::ofstream(out) << old;
  const std::vector<std::uint8_t> inputBytes = ReadWholeFile(input);
  args.insert(args.end(), {"-out", out});
  const ProgramRun run = Sonex(args, c.exitCode, dir_.string());
  const std::string exact = "Error: (2) Can't create '" + fs::absolute(dir_ / out).lexically_normal().string() + "' for writting\n";
  if (c.exitCode == 2 && std::string(c.message) == "for writting") {
    EXPECT_EQ(run.out, exact);
  } else {
    EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
  }
  EXPECT_EQ(ReadWholeFile(input), inputBytes);
  if (!old.empty()) {
    const std::vector<std::uint8_t> left = ReadWholeFile(out);
    EXPECT_EQ(std::string(left.begin(), left.end()), old);
  }
  for (const std::string& folder : {dir_.string(), mounted_}) {
    for (const auto& entry : fs::directory_iterator(folder.empty() ? dir_.string() : folder)) {
      EXPECT_NE(entry.path().extension(), ".part") << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, OutputFaultTest,
    testing::Values(FaultCase{"same_path", Fault::kSamePath, 2, "it is the input file"},
                    FaultCase{"dot_path", Fault::kDotPath, 2, "it is the input file"},
                    FaultCase{"symlink", Fault::kSymlink, 2, "it is the input file"},
                    FaultCase{"hard_link", Fault::kHardLink, 2, "it is the input file"},
                    FaultCase{"missing_folder", Fault::kMissingFolder, 2, "for writting"},
                    FaultCase{"folder", Fault::kFolder, 2, "for writting"},
                    FaultCase{"file_as_folder", Fault::kFileAsFolder, 2, "for writting"},
                    FaultCase{"long_name", Fault::kLongName, 2, "for writting"},
                    FaultCase{"unwritable_folder", Fault::kUnwritableFolder, 2, "for writting"},
                    FaultCase{"dev_full", Fault::kDevFull, 5, "Error: (5) Can't write '/dev/full': No space left on device"},
                    FaultCase{"small_tmpfs", Fault::kSmallTmpfs, 5, "No space left on device"},
                    FaultCase{"bad_format", Fault::kBadFormat, 3, "Error: (3) Bad encoding parameters\n"},
                    FaultCase{"no_audio", Fault::kNoAudio, 4, "Error: (4) No audio was converted; no output file written"}),
    RowName<FaultCase>);

}  // namespace
}  // namespace kelvra::test
