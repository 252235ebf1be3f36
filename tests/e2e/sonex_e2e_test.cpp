// sonex end to end: the built program converts generated FLV files, and the
// output is checked with ffprobe and by decoding it and finding its tones.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "e2e/sonex_runner.h"
#include "support/flv_builder.h"
#include "kelvra.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

// ---- inputs ----

// The usual input: MP3 at 22050 Hz stereo.
FlvSpec Mp3Input(double toneHz = 440, int durationMs = 2000) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kMp3;
  fileSpec.sampleRate = 22050;
  fileSpec.channels = 2;
  fileSpec.toneHz = toneHz;
  fileSpec.durationMs = durationMs;
  return fileSpec;
}

// Batch pieces: PCM has no codec delay, so where one file ends and the next
// begins shows sharply in the output. A block is 1024 samples (46 ms).
FlvSpec PcmInput(double toneHz, int durationMs) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kPcmS16le;
  fileSpec.sampleRate = 22050;
  fileSpec.channels = 1;
  fileSpec.toneHz = toneHz;
  fileSpec.durationMs = durationMs;
  return fileSpec;
}
constexpr double kPcmBlockMs = 1024 * 1000.0 / 22050;

// The audio end time the tag reader gives a file: what a file without -st
// and -dt adds to the total time.
std::uint32_t AudioEndTime(const std::string& path) {
  ::FLVAVTagReader* reader = FLVAVTagReader_Create();
  std::uint32_t audio = 0;
  std::uint32_t video = 0;
  if (FLVAVTagReader_Open(reader, path.c_str()) != 0) {
    FLVAVTagReader_GetDuration(reader, &audio, &video);
  } else {
    ADD_FAILURE() << "cannot open " << path;
  }
  FLVAVTagReader_Close(reader);
  FLVAVTagReader_Delete(reader);
  return audio;
}

// A fresh output folder per test.
class SonexTest : public testing::Test {
 protected:
  void SetUp() override {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "_" + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';  // parameterised names carry slashes
    }
    dir_ = fs::path(TestTempDir()) / name;
    fs::create_directories(dir_);
  }
  std::string Out(const std::string& name) const { return (dir_ / name).string(); }

  // Runs sonex and checks that it ended with `exitCode`.
  ProgramRun Sonex(const std::vector<std::string>& args, int exitCode = 0,
                   const std::string& workDir = "") {
    ProgramRun run = RunSonex(args, workDir);
    EXPECT_EQ(run.exitCode, exitCode) << "stdout:\n" << run.out << "stderr:\n" << run.err;
    return run;
  }

  fs::path dir_;
};

// ---- every output format, with its defaults ----

struct FormatCase {
  const char* name;
  const char* extension;
  const char* codec;
  const char* formatName;  // ffprobe's format_name contains it
  int sampleRate;
  int channels;
  int bitRate;  // 0: not checked
  // Samples of the encoder's start-up delay that the container cannot
  // record (ADTS, AMR), and the encoder's frame length.
  int primingSamples;
  int frameSamples;
};

const FormatCase kFormats[] = {
    {"mp3", ".mp3", "mp3", "mp3", 44100, 2, 96000, 0, 1152},
    {"wav", ".wav", "pcm_s16le", "wav", 44100, 2, 0, 0, 32},
    {"amr", ".amr", "amr_nb", "amr", 8000, 1, 0, 50, 160},
    {"adts", ".aac", "aac", "aac", 44100, 2, 0, 1024, 1024},
    {"wma", ".wma", "wmav2", "asf", 44100, 2, 64000, 0, 2048},
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.name; }

class OutputFormatTest : public SonexTest, public testing::WithParamInterface<FormatCase> {};

TEST_P(OutputFormatTest, DefaultsLengthAndTone) {
  const FormatCase& format = GetParam();
  const std::string input = GenerateFlv(Mp3Input());
  ASSERT_FALSE(input.empty());
  const Pcm source = DecodeAudio(input);
  ASSERT_GT(source.Frames(), 0);

  const std::string out = Out(std::string("out") + format.extension);
  const ProgramRun run = Sonex({"-i", input, "-out", out, "-quiet", "1"});
  ASSERT_TRUE(fs::exists(out));

  const auto probe = Probe(out);
  EXPECT_EQ(probe.at("codec_name"), format.codec);
  EXPECT_NE(probe.at("format.format_name").find(format.formatName), std::string::npos)
      << probe.at("format.format_name");
  EXPECT_EQ(probe.at("sample_rate"), std::to_string(format.sampleRate));
  EXPECT_EQ(probe.at("channels"), std::to_string(format.channels));
  if (format.bitRate > 0) {
    EXPECT_EQ(probe.at("bit_rate"), std::to_string(format.bitRate));
  }
  if (std::string(format.codec) == "pcm_s16le") {
    EXPECT_EQ(probe.at("bits_per_sample"), "16");
  }

  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(output.sampleRate, format.sampleRate);
  // The input's audio, in output samples, against what came out less the
  // encoder's unrecorded start-up delay: within one encoder frame.
  const double expected = static_cast<double>(source.Frames()) * format.sampleRate / source.sampleRate;
  const double produced = static_cast<double>(output.Frames() - format.primingSamples);
  EXPECT_NEAR(produced, expected, format.frameSamples)
      << "output " << output.Seconds() << " s, input " << source.Seconds() << " s";

  // The tone survives, in every channel's first.
  const std::int64_t middle = output.Frames() / 4;
  EXPECT_NEAR(ZeroCrossingFrequency(output, middle, output.Frames() / 2), 440.0, 4.4);
  EXPECT_GT(Rms(output, middle, output.Frames() / 2), 500.0);
}

INSTANTIATE_TEST_SUITE_P(Formats, OutputFormatTest, testing::ValuesIn(kFormats),
                         [](const testing::TestParamInfo<FormatCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- what the command line overrides ----

struct OverrideCase {
  const char* name;
  std::vector<std::string> options;  // besides -i, -out and -quiet
  const char* outName;
  const char* codec;
  const char* formatName;
  int sampleRate;
  int channels;
  int bitRate;  // 0: not checked
};

void PrintTo(const OverrideCase& c, std::ostream* os) { *os << c.name; }

class OverrideTest : public SonexTest, public testing::WithParamInterface<OverrideCase> {};

TEST_P(OverrideTest, OptionsReachTheOutput) {
  const OverrideCase& c = GetParam();
  const std::string input = GenerateFlv(Mp3Input());
  ASSERT_FALSE(input.empty());
  const std::string out = Out(c.outName);
  std::vector<std::string> args{"-i", input, "-out", out, "-quiet", "1"};
  args.insert(args.end(), c.options.begin(), c.options.end());
  Sonex(args);
  ASSERT_TRUE(fs::exists(out));
  const auto probe = Probe(out);
  EXPECT_EQ(probe.at("codec_name"), c.codec);
  EXPECT_NE(probe.at("format.format_name").find(c.formatName), std::string::npos)
      << probe.at("format.format_name");
  EXPECT_EQ(probe.at("sample_rate"), std::to_string(c.sampleRate));
  EXPECT_EQ(probe.at("channels"), std::to_string(c.channels));
  if (c.bitRate > 0) {
    EXPECT_EQ(probe.at("bit_rate"), std::to_string(c.bitRate));
  }

  const Pcm output = DecodeAudio(out);
  EXPECT_NEAR(output.Seconds(), 2.0, 0.1);
  EXPECT_NEAR(ZeroCrossingFrequency(output, output.Frames() / 4, output.Frames() / 2), 440.0, 4.4);
}

const OverrideCase kOverrides[] = {
    {"Mp3MonoHalfRateLowBitRate",
     {"-ac", "1", "-asr", "22050", "-abr", "64000"}, "o.mp3", "mp3", "mp3", 22050, 1, 64000},
    {"WavMono11025", {"-ac", "1", "-asr", "11025"}, "o.wav", "pcm_s16le", "wav", 11025, 1, 0},
    {"WavCodecByName", {"-acodec", "pcm_u8"}, "o.wav", "pcm_u8", "wav", 44100, 2, 0},
    {"UnknownCodecNameTakesTheDefault", {"-acodec", "nosuchcodec"}, "o.mp3", "mp3", "mp3", 44100,
     2, 96000},
    {"FormatBeatsTheExtension", {"-fmt", "wav"}, "o.mp3", "pcm_s16le", "wav", 44100, 2, 0},
    {"AdtsByFormatName", {"-fmt", "adts"}, "o.bin", "aac", "aac", 44100, 2, 0},
    {"OtherExtensionIsMp3", {}, "o.mp4", "mp3", "mp3", 44100, 2, 96000},
    {"WmaMonoHalfRate", {"-ac", "1", "-asr", "22050", "-abr", "32000"}, "o.WMA", "wmav2", "asf",
     22050, 1, 32000},
};

INSTANTIATE_TEST_SUITE_P(Options, OverrideTest, testing::ValuesIn(kOverrides),
                         [](const testing::TestParamInfo<OverrideCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SonexTest, UnknownFormatNameIsBadEncodingParametersAndKeepsTheOldFile) {
  const std::string input = GenerateFlv(Mp3Input());
  ASSERT_FALSE(input.empty());
  const std::string out = Out("o.mp3");
  std::ofstream(out) << "an older file of that name";
  const ProgramRun run = Sonex({"-i", input, "-out", out, "-fmt", "nosuchformat"}, 3);
  EXPECT_EQ(run.out, "Error: (3) Bad encoding parameters\n");
  EXPECT_EQ(ReadWholeFile(out).size(), 26u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

// ---- every input audio format decodes to the right content ----

struct InputCase {
  const char* name;
  AudioCodec codec;
  int sampleRate;
  int channels;
  double toneHz;
};

void PrintTo(const InputCase& c, std::ostream* os) { *os << c.name; }

class InputFormatTest : public SonexTest, public testing::WithParamInterface<InputCase> {};

TEST_P(InputFormatTest, ToneAndLengthSurviveIntoWav) {
  const InputCase& c = GetParam();
  FlvSpec fileSpec;
  fileSpec.audio = c.codec;
  fileSpec.sampleRate = c.sampleRate;
  fileSpec.channels = c.channels;
  fileSpec.toneHz = c.toneHz;
  fileSpec.durationMs = 1000;
  const std::string input = GenerateFlv(fileSpec);
  ASSERT_FALSE(input.empty());
  const Pcm source = DecodeAudio(input);
  ASSERT_GT(source.Frames(), 0);

  const std::string out = Out("o.wav");
  Sonex({"-i", input, "-out", out, "-quiet", "1"});
  const Pcm output = DecodeAudio(out);
  ASSERT_EQ(output.sampleRate, 44100);
  ASSERT_EQ(output.channels, 2);
  // Resampling gives or takes a sample or two.
  EXPECT_NEAR(output.Seconds(), source.Seconds(), 0.001)
      << "input " << source.Frames() << " frames at " << source.sampleRate;
  const std::int64_t quarter = output.Frames() / 4;
  EXPECT_NEAR(ZeroCrossingFrequency(output, quarter, 2 * quarter), c.toneHz, c.toneHz * 0.01);
  EXPECT_GT(Rms(output, quarter, 2 * quarter), 1000.0);
  // Mono reaches both sides at full level.
  if (c.channels == 1) {
    double difference = 0;
    for (std::int64_t i = quarter; i < 3 * quarter; ++i) {
      difference += std::abs(output.samples[static_cast<std::size_t>(2 * i)] -
                             output.samples[static_cast<std::size_t>(2 * i + 1)]);
    }
    EXPECT_LT(difference / static_cast<double>(2 * quarter), 1.0);
  }
}

const InputCase kInputs[] = {
    {"Pcm16Stereo22050", AudioCodec::kPcmS16le, 22050, 2, 330},
    {"Pcm8Mono11025", AudioCodec::kPcmU8, 11025, 1, 550},
    {"AdpcmStereo22050", AudioCodec::kAdpcmSwf, 22050, 2, 660},
    {"AdpcmMono44100", AudioCodec::kAdpcmSwf, 44100, 1, 770},
    {"Mp3Mono11025", AudioCodec::kMp3, 11025, 1, 440},
    {"Mp3Stereo22050", AudioCodec::kMp3, 22050, 2, 880},
    {"Mp3Stereo44100", AudioCodec::kMp3, 44100, 2, 990},
    {"Nellymoser8000", AudioCodec::kNellymoser, 8000, 1, 500},
    {"Nellymoser22050", AudioCodec::kNellymoser, 22050, 1, 600},
    {"Nellymoser16000", AudioCodec::kNellymoser, 16000, 1, 650},
    {"AacMono22050", AudioCodec::kAac, 22050, 1, 700},
    {"AacStereo48000", AudioCodec::kAac, 48000, 2, 750},
    {"Speex16000", AudioCodec::kSpeex, 16000, 1, 800},
    {"G711ALaw", AudioCodec::kG711ALaw, 8000, 1, 850},
    {"G711MuLaw", AudioCodec::kG711MuLaw, 8000, 1, 900},
};

INSTANTIATE_TEST_SUITE_P(Inputs, InputFormatTest, testing::ValuesIn(kInputs),
                         [](const testing::TestParamInfo<InputCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- standard input and output ----

// The MP3 stream without its info frame (the first frame after the ID3v2
// tag): what FFmpeg's mp3 muxer writes to a pipe, where it cannot go back
// to complete that frame.
std::vector<std::uint8_t> WithoutInfoFrame(std::vector<std::uint8_t> mp3) {
  constexpr std::size_t kId3HeaderSize = 10;
  if (mp3.size() < kId3HeaderSize || mp3[0] != 'I' || mp3[1] != 'D' || mp3[2] != '3') return mp3;
  const std::size_t tag = kId3HeaderSize + (std::size_t{mp3[6]} << 21 | std::size_t{mp3[7]} << 14 |
                                            std::size_t{mp3[8]} << 7 | mp3[9]);
  // MPEG-1 layer III: 144 x bit rate / rate + padding bytes.
  constexpr int kKbps[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  constexpr int kRates[] = {44100, 48000, 32000};
  const std::uint8_t b2 = mp3[tag + 2];
  const std::size_t frame = 144 * kKbps[b2 >> 4] * 1000 / kRates[(b2 >> 2) & 3] + ((b2 >> 1) & 1);
  mp3.erase(mp3.begin() + static_cast<std::ptrdiff_t>(tag),
            mp3.begin() + static_cast<std::ptrdiff_t>(tag + frame));
  return mp3;
}

struct PipeCase {
  const char* name;
  const char* extension;
  // A bash command; IN, OUT and SONEX stand for the input, the output and
  // the program.
  const char* command;
  bool throughPipe;  // MP3 then lacks its info frame
};

class PipeTest : public SonexTest, public testing::WithParamInterface<PipeCase> {};

TEST_P(PipeTest, SameBytesAsFileToFile) {
  const PipeCase& c = GetParam();
  const std::string input = FixturePath("real/Red5_red5-server_NAPNAP.flv");
  const std::string reference = Out(std::string("reference.") + c.extension);
  Sonex({"-i", input, "-out", reference, "-quiet", "1"});
  std::string command = c.command;
  const std::string out = Out(std::string("piped.") + c.extension);
  for (const auto& [name, value] :
       {std::pair<std::string, std::string>{"IN", input}, {"OUT", out}, {"SONEX", SonexPath()}}) {
    for (std::size_t at; (at = command.find(name)) != std::string::npos;) {
      command.replace(at, name.size(), "'" + value + "'");
    }
  }
  const ProgramRun run = RunProgram("/bin/bash", {"-c", "set -o pipefail; " + command});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::vector<std::uint8_t> expected = ReadWholeFile(reference);
  const bool mp3 = std::string(c.extension) == "mp3";
  EXPECT_EQ(ReadWholeFile(out), c.throughPipe && mp3 ? WithoutInfoFrame(expected) : expected);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, PipeTest,
    testing::Values(
        PipeCase{"StdinToFileMp3", "mp3", "SONEX -i - -out OUT -quiet 1 < IN", false},
        PipeCase{"FileToPipeAdts", "aac", "SONEX -i IN -out - -fmt adts 2>/dev/null | cat > OUT", true},
        PipeCase{"FileToRedirectMp3", "mp3", "SONEX -i IN -out - 2>/dev/null > OUT", false},
        PipeCase{"PipeToPipeMp3", "mp3", "cat IN | SONEX -i - -out - -quiet 1 | cat > OUT", true}),
    [](const testing::TestParamInfo<PipeCase>& info) { return std::string(info.param.name); });

TEST_F(SonexTest, StandardStreamsRefusalsAndEarlyClose) {
  const std::string input = FixturePath("real/ruffle-rs_ruffle_square.flv");
  auto bash = [&](const std::string& command) {
    return RunProgram("/bin/bash", {"-c", "set -o pipefail; S='" + SonexPath() + "'; I='" + input +
                                              "'; " + command});
  };
  // A reader that stops early: the shell's code for a broken pipe, quietly.
  const ProgramRun early = bash("\"$S\" -i \"$I\" -out - -fmt wav 2>&1 >/dev/null | true; "
                                "\"$S\" -i \"$I\" -out - -fmt wav | head -c 100 >/dev/null");
  EXPECT_EQ(early.exitCode, 141) << early.err;
  EXPECT_EQ(bash("\"$S\" -i \"$I\" -out - -fmt asf >/dev/null").exitCode, 3);
  EXPECT_EQ(bash("\"$S\" -i - -i - -out x.mp3 < \"$I\"").exitCode, 1);
  const ProgramRun fromStdin = bash("\"$S\" -info - < \"$I\"");
  EXPECT_EQ(fromStdin.out, bash("\"$S\" -info \"$I\"").out);
  EXPECT_NE(fromStdin.out.find("duration: 2298ms"), std::string::npos) << fromStdin.out;
}

// ---- every real file with audio, against FFmpeg's own decoding ----

struct RealFileCase {
  const char* name;  // below real/
  // FFmpeg cannot read the audio of some files at all (a writer's wrong
  // previous-tag-size fields), and decodes only the first Speex frame of a
  // tag: those are checked for audio only.
  bool compare;
};

class RealFileTest : public SonexTest, public testing::WithParamInterface<RealFileCase> {};

// The best Pearson correlation of one channel of `a` and `b` over their
// common part, with `b` shifted by at most `maxLag` frames.
double BestCorrelation(const Pcm& a, const Pcm& b, int channel, std::int64_t maxLag) {
  const std::int64_t frames = std::min(a.Frames(), b.Frames());
  const std::int64_t window = std::min<std::int64_t>(8192, frames / 2);
  const std::int64_t start = frames / 3;
  auto at = [](const Pcm& p, std::int64_t frame, int ch) {
    return static_cast<double>(p.samples[static_cast<std::size_t>(frame * p.channels + ch)]);
  };
  auto correlate = [&](std::int64_t lag, std::int64_t from, std::int64_t count) {
    double ab = 0, aa = 0, bb = 0;
    for (std::int64_t i = from; i < from + count; ++i) {
      if (i + lag < 0 || i + lag >= b.Frames() || i >= a.Frames()) continue;
      const double x = at(a, i, channel), y = at(b, i + lag, channel);
      ab += x * y, aa += x * x, bb += y * y;
    }
    return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : (aa == bb ? 1.0 : 0.0);
  };
  std::int64_t bestLag = 0;
  double best = -2;
  for (std::int64_t lag = -maxLag; lag <= maxLag; ++lag) {
    const double c = correlate(lag, start, window);
    if (c > best) best = c, bestLag = lag;
  }
  return correlate(bestLag, 0, frames);
}

TEST_P(RealFileTest, AudioMatchesFfmpegsDecoding) {
  const std::string input = FixturePath(std::string("real/") + GetParam().name);
  ASSERT_TRUE(fs::exists(input)) << input;
  const std::string out = Out("o.wav");
  if (!GetParam().compare) {
    Sonex({"-i", input, "-out", out, "-quiet", "1"});
    EXPECT_GT(DecodeAudio(out).Seconds(), 1.0);
    return;
  }
  const Pcm reference = DecodeAudio(input);
  ASSERT_GT(reference.Frames(), 0);
  Sonex({"-i", input, "-out", out, "-quiet", "1", "-asr", std::to_string(reference.sampleRate),
         "-ac", std::to_string(reference.channels)});
  const Pcm output = DecodeAudio(out);
  constexpr std::int64_t kFrameLag = 2048;  // one codec frame, HE-AAC's included
  EXPECT_NEAR(output.Frames(), reference.Frames(), kFrameLag);
  for (int channel = 0; channel < reference.channels; ++channel) {
    EXPECT_GE(BestCorrelation(output, reference, channel, kFrameLag), 0.99) << channel;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, RealFileTest,
    testing::Values(RealFileCase{"Red5_red5-server_NAPNAP.flv", true},
                    RealFileCase{"Red5_red5-server_flashContent.flv", false},
                    RealFileCase{"Red5_red5-server_h264_aac.flv", false},
                    RealFileCase{"Red5_red5-server_h264_mp3.flv", false},
                    RealFileCase{"Red5_red5-server_h264_speex.flv", true},
                    RealFileCase{"Red5_red5-server_rotations.flv", true},
                    RealFileCase{"apache_flex-sdk_phone.flv", true},
                    RealFileCase{"jcodec_jcodec_test.flv", true},
                    RealFileCase{"mondain_red5_fp_fcs_live_audio.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_audio_timewarp.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_square.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_tone_alaw_mono.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_tone_mulaw_mono.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_tone_mono_22050hz.flv", true},
                    RealFileCase{"ruffle-rs_ruffle_tone_stereo_48000hz.flv", true}),
    [](const testing::TestParamInfo<RealFileCase>& info) {
      std::string name = fs::path(info.param.name).stem().string();
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

// ---- batches ----

constexpr double kToneA = 600;
constexpr double kToneB = 1200;
constexpr double kToneC = 2400;
constexpr int kWindowMs = 10;

class BatchTest : public SonexTest {
 protected:
  void SetUp() override {
    SonexTest::SetUp();
    a_ = GenerateFlv(PcmInput(kToneA, 3000));
    b_ = GenerateFlv(PcmInput(kToneB, 1000));
    c_ = GenerateFlv(PcmInput(kToneC, 2000));
    ASSERT_FALSE(a_.empty() || b_.empty() || c_.empty());
  }

  // The output's windows labelled 0 (a), 1 (b), 2 (c) or -1 (silence).
  static std::vector<Segment> ToneSegments(const Pcm& pcm) {
    return Segments(LabelWindows(pcm, {kToneA, kToneB, kToneC}, kWindowMs));
  }

  // Checks that the output holds exactly these tones for these lengths (ms),
  // in this order, without silence; each boundary within one source block.
  static void ExpectPieces(const Pcm& pcm, const std::vector<std::pair<int, double>>& pieces) {
    const std::vector<Segment> segments = ToneSegments(pcm);
    std::string seen;
    for (const Segment& s : segments) {
      seen += std::to_string(s.label) + ":" + std::to_string(s.windowCount * kWindowMs) + "ms ";
    }
    ASSERT_EQ(segments.size(), pieces.size()) << seen;
    double end = 0;
    double total = 0;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
      EXPECT_EQ(segments[i].label, pieces[i].first) << seen;
      end += pieces[i].second;
      total += pieces[i].second;
      const double segmentEnd = (segments[i].firstWindow + segments[i].windowCount) * kWindowMs;
      if (i + 1 < pieces.size()) {
        EXPECT_NEAR(segmentEnd, end, kPcmBlockMs + kWindowMs) << "boundary " << i << ": " << seen;
      }
    }
    EXPECT_NEAR(pcm.Seconds() * 1000, total, kPcmBlockMs + kWindowMs) << seen;
  }

  std::string a_, b_, c_;
};

std::string LastLines(const std::string& text, std::size_t count) {
  const std::vector<std::string> lines = Lines(text);
  std::string out;
  for (std::size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
    out += lines[i] + "\n";
  }
  return out;
}

TEST_F(BatchTest, StartAndDurationCutEachFileAndTheyFollowInOrder) {
  const std::string out = Out("batch.wav");
  const ProgramRun run = Sonex({"-i", a_, "-st", "1000", "-dt", "2000", "-i", b_, "-i", c_, "-dt",
                                "500", "-out", out, "-quiet", "1"});
  // a has just under 3 s of audio, so less than 2 s remain after its first
  // second: the duration is cut to the rest.
  const std::uint32_t aPart = std::min<std::uint32_t>(2000, AudioEndTime(a_) - 1000);
  const std::uint32_t bEnd = AudioEndTime(b_);
  const std::uint32_t total = aPart + bEnd + 500;
  EXPECT_EQ(run.out, "Current Time: " + std::to_string(total) + "ms\nTotal Time: " +
                         std::to_string(total) + "ms\n");
  EXPECT_EQ(run.err, "");
  ExpectPieces(DecodeAudio(out), {{0, aPart}, {1, bEnd}, {2, 500}});
}

// Files of three codecs, each cut inside: every part keeps its length on
// one time line without gaps (AAC from a seek needs its configuration).
TEST_F(BatchTest, Mp3AacAndSpeexCutAndJoinedWithoutGaps) {
  FlvSpec mp3 = PcmInput(kToneA, 3000), aac = PcmInput(kToneB, 3000), speex = PcmInput(kToneC, 3000);
  mp3.audio = AudioCodec::kMp3, mp3.sampleRate = 44100;
  aac.audio = AudioCodec::kAac, aac.sampleRate = 44100;
  speex.audio = AudioCodec::kSpeex;
  const std::string out = Out("joined.wav");
  const ProgramRun run = Sonex({"-i", GenerateFlv(mp3), "-st", "500", "-dt", "1500", "-i",
                                GenerateFlv(aac), "-st", "700", "-dt", "1000", "-i",
                                GenerateFlv(speex), "-st", "300", "-dt", "1200", "-out", out,
                                "-quiet", "1"});
  EXPECT_EQ(run.err, "");
  // A decoder started inside a stream gives a few silent milliseconds first
  // (MP3's bit reservoir, Speex's look-ahead); the parts still end where
  // the time line puts them.
  const Pcm pcm = DecodeAudio(out);
  std::vector<int> labels;
  std::vector<double> ends;
  for (const Segment& segment : ToneSegments(pcm)) {
    if (segment.label < 0) continue;
    labels.push_back(segment.label);
    ends.push_back((segment.firstWindow + segment.windowCount) * kWindowMs);
  }
  ASSERT_EQ(labels, (std::vector<int>{0, 1, 2}));
  const double expectedEnds[] = {1500, 2500, 3700};
  for (std::size_t i = 0; i < ends.size(); ++i) EXPECT_NEAR(ends[i], expectedEnds[i], 60) << i;
  EXPECT_NEAR(pcm.Seconds() * 1000, 3700, 60);
}

TEST_F(BatchTest, MissingFileInTheMiddleIsReportedAndSkipped) {
  // Given relative, reported with its full path.
  fs::copy_file(a_, dir_ / "a.flv");
  fs::copy_file(b_, dir_ / "b.flv");
  const ProgramRun run =
      Sonex({"-i", "a.flv", "-i", "missing.flv", "-i", "b.flv", "-out", "joined.wav", "-quiet", "1"},
            0, dir_.string());
  EXPECT_EQ(run.err, (dir_ / "missing.flv").string() + ", Error on file opening.\n");
  const std::uint32_t aEnd = AudioEndTime(a_);
  const std::uint32_t bEnd = AudioEndTime(b_);
  EXPECT_EQ(LastLines(run.out, 1), "Total Time: " + std::to_string(aEnd + bEnd) + "ms\n");
  ExpectPieces(DecodeAudio(Out("joined.wav")), {{0, aEnd}, {1, bEnd}});
}

TEST_F(BatchTest, StartBeyondTheEndWarnsAndStartsAtZero) {
  const std::string out = Out("o.wav");
  const ProgramRun run = Sonex({"-i", b_, "-st", "99999", "-i", c_, "-out", out, "-quiet", "1"});
  EXPECT_EQ(run.err,
            b_ + ", Warning: If the start time is more than the total time, it will be set to 0.\n");
  ExpectPieces(DecodeAudio(out), {{1, AudioEndTime(b_)}, {2, AudioEndTime(c_)}});
}

TEST_F(BatchTest, ZeroDurationDeliversNothingOfThatFile) {
  const std::string out = Out("o.wav");
  const ProgramRun run = Sonex({"-i", a_, "-dt", "0", "-i", b_, "-out", out, "-quiet", "1"});
  EXPECT_EQ(run.err, "");
  const std::uint32_t bEnd = AudioEndTime(b_);
  EXPECT_EQ(LastLines(run.out, 1), "Total Time: " + std::to_string(bEnd) + "ms\n");
  ExpectPieces(DecodeAudio(out), {{1, bEnd}});
}

TEST_F(BatchTest, NonFlvInputIsSkippedWithTheSeekMessage) {
  const std::string text = Out("notes.flv");
  std::ofstream(text) << "not a video at all, just some words\n";
  const std::string out = Out("o.wav");
  const ProgramRun run = Sonex({"-i", text, "-i", b_, "-out", out, "-quiet", "1"});
  EXPECT_EQ(run.err,
            text + ", Warning: If the start time is more than the total time, it will be set to 0.\n" +
                text + ", The operation of seek is failed\n");
  ExpectPieces(DecodeAudio(out), {{1, AudioEndTime(b_)}});
}

TEST_F(BatchTest, ProgressEveryFiftyTagsAsPlainLines) {
  // 65 + 22 + 44 tags: shown with the 51st and the 101st.
  const std::string out = Out("o.wav");
  const ProgramRun run = Sonex({"-i", a_, "-i", b_, "-i", c_, "-out", out});
  EXPECT_EQ(run.out.find('\x1b'), std::string::npos);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 6u) << run.out;
  const std::uint32_t aEnd = AudioEndTime(a_);
  const std::uint32_t bEnd = AudioEndTime(b_);
  const std::uint32_t total = aEnd + bEnd + AudioEndTime(c_);
  const auto value = [&](std::size_t line, const char* prefix) {
    EXPECT_EQ(lines[line].rfind(prefix, 0), 0u) << lines[line];
    return std::atoll(lines[line].c_str() + std::string(prefix).size());
  };
  // The 51st tag starts after 50 blocks of a; the 101st is the 14th of c,
  // which starts where a and b end. The total counts the files opened.
  EXPECT_NEAR(value(0, "Current Time: "), 50 * kPcmBlockMs, 1.0);
  EXPECT_EQ(value(1, "Total Time: "), aEnd);
  EXPECT_NEAR(value(2, "Current Time: "), aEnd + bEnd + 13 * kPcmBlockMs, 2.0);
  EXPECT_EQ(value(3, "Total Time: "), aEnd + bEnd + AudioEndTime(c_));
  EXPECT_EQ(value(4, "Current Time: "), total);
  EXPECT_EQ(value(5, "Total Time: "), total);
  for (const std::string& line : lines) EXPECT_EQ(line.back(), 's') << line;
}

// ---- holes in the audio time line ----

TEST_F(SonexTest, AudioHoleBecomesSilenceOfItsLength) {
  FlvSpec fileSpec = PcmInput(700, 2000);
  const std::string whole = GenerateFlv(fileSpec);
  fileSpec.holeStartMs = 600;
  fileSpec.holeLengthMs = 400;
  const std::string holed = GenerateFlv(fileSpec);
  ASSERT_FALSE(whole.empty() || holed.empty());
  const std::string out = Out("o.wav");
  Sonex({"-i", holed, "-out", out, "-quiet", "1"});
  const Pcm output = DecodeAudio(out);
  const std::vector<Segment> segments = Segments(LabelWindows(output, {700}, kWindowMs));
  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(segments[0].label, 0);
  EXPECT_EQ(segments[1].label, -1);
  EXPECT_EQ(segments[2].label, 0);
  // The tags are whole blocks, so the hole's edges move by up to one.
  EXPECT_NEAR(segments[1].firstWindow * kWindowMs, 600, kPcmBlockMs + kWindowMs);
  EXPECT_NEAR(segments[1].windowCount * kWindowMs, 400, kPcmBlockMs + kWindowMs);
  EXPECT_NEAR(output.Seconds(), DecodeAudio(whole).Seconds(), kPcmBlockMs / 1000);
}

TEST_F(SonexTest, Mp3AudioHoleBecomesSilenceOfItsLength) {
  FlvSpec fileSpec = Mp3Input(440, 2000);
  const std::string whole = GenerateFlv(fileSpec);
  fileSpec.holeStartMs = 500;
  fileSpec.holeLengthMs = 600;
  const std::string holed = GenerateFlv(fileSpec);
  ASSERT_FALSE(whole.empty() || holed.empty());
  const std::string out = Out("o.wav");
  Sonex({"-i", holed, "-out", out, "-quiet", "1"});
  const Pcm output = DecodeAudio(out);
  const std::vector<Segment> segments = Segments(LabelWindows(output, {440}, kWindowMs));
  // The codec's start-up delay is silence of its own at the very start.
  std::vector<Segment> inner;
  for (const Segment& s : segments) {
    if (s.firstWindow * kWindowMs > 100) inner.push_back(s);
  }
  ASSERT_EQ(inner.size(), 2u);
  EXPECT_EQ(inner[0].label, -1);
  // An MP3 frame smears a little of its neighbours' sound into the hole.
  constexpr double kMp3BlockMs = 576 * 1000.0 / 22050;
  EXPECT_NEAR(inner[0].windowCount * kWindowMs, 600, 2 * kMp3BlockMs + kWindowMs);
  EXPECT_NEAR(output.Seconds(), DecodeAudio(whole).Seconds(), kMp3BlockMs / 1000);
}

// ---- the output path ----

// Outputs that must not or cannot be written. An existing output is left
// as it was, every input keeps its bytes, and no temporary file stays.
enum class Fault {
  kSamePath, kDotPath, kSymlink, kHardLink,  // the output is the input
  kMissingFolder, kFolder, kUnwritableFolder,
  kDevFull, kSmallTmpfs,                      // the disk fills up
  kNoAudio                                    // a batch that gives no audio
};

struct FaultCase {
  const char* name;
  Fault fault;
  int exitCode;
  const char* message;  // found on standard output or error
};

const FaultCase kFaults[] = {
    {"same_path", Fault::kSamePath, 2, "it is the input file"},
    {"dot_path", Fault::kDotPath, 2, "it is the input file"},
    {"symlink", Fault::kSymlink, 2, "it is the input file"},
    {"hard_link", Fault::kHardLink, 2, "it is the input file"},
    {"missing_folder", Fault::kMissingFolder, 2, "for writting"},
    {"folder", Fault::kFolder, 2, "for writting"},
    {"unwritable_folder", Fault::kUnwritableFolder, 2, "for writting"},
    {"dev_full", Fault::kDevFull, 5, "Error: (5) Can't write '/dev/full': No space left on device"},
    {"small_tmpfs", Fault::kSmallTmpfs, 5, "No space left on device"},
    {"no_audio", Fault::kNoAudio, 4, "Error: (4) No audio was converted; no output file written"},
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

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
  std::vector<std::string> args{"-i", input, "-quiet", "1", "-fmt", "wav"};
  std::string out = Out("o.wav");
  std::string old;  // an older output, put at `out` first when not empty
  switch (c.fault) {
    case Fault::kSamePath: out = input; break;
    case Fault::kDotPath: out = "./in.flv"; break;
    case Fault::kSymlink: fs::create_symlink(input, out = Out("link.flv")); break;
    case Fault::kHardLink: fs::create_hard_link(input, out = Out("hard.flv")); break;
    case Fault::kMissingFolder: out = Out("no/such/folder/o.wav"); break;
    case Fault::kFolder: out = dir_.string(); break;
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
      if (mount("tmpfs", Out("small").c_str(), "tmpfs", 0, "size=200k") != 0) {
        GTEST_SKIP() << "cannot mount a tmpfs";
      }
      mounted_ = Out("small");
      out = mounted_ + "/o.wav";  // 2 s of 44100 Hz stereo: 350 KB
      old = "an older output";
      break;
    case Fault::kNoAudio: {
      // A missing file, one that is not FLV, and one whose audio is all of
      // the reserved sound format 9, which nothing decodes.
      const std::string notFlv = Out("notes.flv");
      std::ofstream(notFlv) << "not a video\n";
      FlvBuilder reserved;
      reserved.Header();
      for (std::uint32_t ms = 0; ms < 1000; ms += 20) reserved.Audio(ms, 9, 3, 1, 1, Bytes(64, 1));
      reserved.WriteTo(Out("reserved.flv"));
      args = {"-i", Out("missing.flv"), "-i", notFlv, "-i", Out("reserved.flv"), "-quiet", "1"};
      old = "an older output";
      break;
    }
  }
  if (!old.empty()) std::ofstream(out) << old;
  const std::vector<std::uint8_t> inputBytes = ReadWholeFile(input);
  args.insert(args.end(), {"-out", out});

  const ProgramRun run = Sonex(args, c.exitCode, dir_.string());
  EXPECT_NE((run.out + run.err).find(c.message), std::string::npos) << run.out << run.err;
  EXPECT_EQ(ReadWholeFile(input), inputBytes);
  if (!old.empty()) {
    const std::vector<std::uint8_t> left = ReadWholeFile(out);
    EXPECT_EQ(std::string(left.begin(), left.end()), old);
  }
  for (const std::string& folder : {dir_.string(), mounted_}) {
    if (folder.empty()) continue;
    for (const auto& entry : fs::directory_iterator(folder)) {
      EXPECT_NE(entry.path().extension(), ".part") << entry.path();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Outputs, OutputFaultTest, testing::ValuesIn(kFaults),
                         [](const testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(SonexTest, ExistingOutputIsReplaced) {
  const std::string input = GenerateFlv(Mp3Input());
  ASSERT_FALSE(input.empty());
  const std::string out = Out("o.wav");
  {
    std::ofstream old(out, std::ios::binary);
    old << std::string(1 << 20, 'x');
  }
  Sonex({"-i", input, "-out", out, "-quiet", "1"});
  EXPECT_EQ(Probe(out).at("codec_name"), "pcm_s16le");
  // About 2 s of 44100 Hz stereo, not the old megabyte.
  EXPECT_NEAR(static_cast<double>(fs::file_size(out)), 2.05 * 44100 * 4, 0.05 * 44100 * 4);
}

TEST_F(SonexTest, QuietShowsOnlyTheTwoFinalLines) {
  const std::string input = GenerateFlv(Mp3Input(440, 3000));
  ASSERT_FALSE(input.empty());
  const ProgramRun run = Sonex({"-i", input, "-out", Out("o.mp3"), "-quiet", "1"});
  const std::string end = std::to_string(AudioEndTime(input));
  EXPECT_EQ(run.out, "Current Time: " + end + "ms\nTotal Time: " + end + "ms\n");
  EXPECT_EQ(run.err, "");
}

}  // namespace
}  // namespace kelvra::test
