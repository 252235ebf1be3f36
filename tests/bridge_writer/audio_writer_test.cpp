// The codec bridge's audio file writer (AVW_) and the ASF encoder (AsfEnc_):
// files of each format from a tone written in odd blocks, read back with
// FFmpeg; refused parameters; conversion, time lines, file names, errors and
// the life cycle.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "pellow/pellow.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using Pcm16 = std::vector<std::uint8_t>;

constexpr double kToneHz = 440.0;
constexpr double kHalfScale = 16384.0;
constexpr int kCodecPcmS16le = 0x10000, kCodecAmrNb = 0x12000, kCodecMp2 = 0x15000, kCodecMp3 = 0x15001,
              kCodecAac = 0x15002, kCodecVorbis = 0x15006, kCodecWmav2 = 0x15009, kCodecFlac = 0x1500F,
              kCodecUnknown = 0x7FFF0, kCodecVideoFlv = 22;
constexpr std::int64_t kTicksPerSecond = 10'000'000;
// One WMA frame at 44100 Hz, plus the encoder's delay that ASF does not record.
constexpr int kWmaTolerance = 2048 + 2048;
// Odd block sizes in bytes, so that blocks split samples and frames everywhere.
constexpr int kOddBlockSizes[] = {1, 7, 4097, 333, 2, 9001, 5, 1023, 3, 17};

class WriterEnvironment : public testing::Environment {
 public:
  void SetUp() override { Vexmar_init(); }
};
const auto* const kEnvironment = testing::AddGlobalTestEnvironment(new WriterEnvironment);

std::string TempPath(const std::string& name) {
  static int counter = 0;
  const fs::path folder = fs::path(TestTempDir()) / ("writer" + std::to_string(++counter));
  fs::create_directories(folder);
  return (folder / name).string();
}

// Interleaved s16 sine of `frequency` at half scale in every channel.
Pcm16 MakeTone(double frequency, int rate, int channels, std::int64_t frames, std::int64_t firstFrame = 0) {
  Pcm16 pcm;
  for (std::int64_t i = 0; i < frames; ++i) {
    const auto value = static_cast<std::uint16_t>(std::lround(kHalfScale * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i + firstFrame) / rate)));
    for (int c = 0; c < channels; ++c) pcm.insert(pcm.end(), {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8)});
  }
  return pcm;
}

// Hands `pcm` over in the odd block sizes: write(offset, size) answers
// whether the block was taken.
template <typename Write>
bool InOddBlocks(const Pcm16& pcm, Write write) {
  for (std::size_t offset = 0, turn = 0; offset < pcm.size(); ++turn) {
    const std::size_t size = std::min<std::size_t>(kOddBlockSizes[turn % std::size(kOddBlockSizes)], pcm.size() - offset);
    if (!write(offset, size)) return false;
    offset += size;
  }
  return true;
}

double ToneHz(const Pcm& pcm) { return ZeroCrossingFrequency(pcm, pcm.Frames() / 4, pcm.Frames() / 2); }

struct WriterDeleter {
  void operator()(VexmarWriter* writer) const { AVW_Delete(writer); }
};
using WriterPtr = std::unique_ptr<VexmarWriter, WriterDeleter>;

WriterPtr MakeWriter(const char* format, const std::string& path, int codecId, int bitRate, int rate, int channels) {
  WriterPtr writer(AVW_Create(0, 1));
  AVW_SetupAudioParams(writer.get(), codecId, bitRate, rate, channels);
  AVW_SetOutputFormat(writer.get(), format);
  AVW_SetOutFile(writer.get(), path.c_str());
  return writer;
}

bool WriteInOddBlocks(VexmarWriter* writer, const Pcm16& pcm, int rate, int channels) {
  return InOddBlocks(pcm, [&](std::size_t at, std::size_t size) {
    return AVW_WriteAudioFrame(writer, pcm.data() + at, static_cast<int>(size), rate, channels) != 0;
  });
}

// ---- the writer: every format, read back ----

struct FormatCase {
  const char* format;
  int codecId, bitRate, sampleRate, channels;
  const char* codec;    // ffprobe's codec_name
  const char* probedBitRate;  // "": not checked
  // How far the decoded length may lie from what was written, in samples:
  // one encoder frame, plus the encoder delay where the container has no
  // field for it (ADTS, AMR).
  int tolerance;
};

class WriterFormatTest : public testing::TestWithParam<FormatCase> {};

TEST_P(WriterFormatTest, ToneInOddBlocksComesBackWithFormatLengthAndPitch) {
  const FormatCase& c = GetParam();
  const std::string path = TempPath(std::string("tone.") + c.format);
  const std::int64_t frames = c.sampleRate * 2;
  {
    WriterPtr writer = MakeWriter(c.format, path, c.codecId, c.bitRate, c.sampleRate, c.channels);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), MakeTone(kToneHz, c.sampleRate, c.channels, frames), c.sampleRate, c.channels));
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  const auto probe = Probe(path);
  EXPECT_EQ(probe.at("codec_name"), c.codec);
  if (*c.probedBitRate != '\0') {
    EXPECT_EQ(probe.at("bit_rate"), c.probedBitRate);
  }
  const Pcm decoded = DecodeAudio(path);
  EXPECT_EQ(decoded.sampleRate, c.sampleRate);
  EXPECT_EQ(decoded.channels, c.channels);
  EXPECT_NEAR(static_cast<double>(decoded.Frames()), static_cast<double>(frames), c.tolerance);
  EXPECT_NEAR(ToneHz(decoded), kToneHz, kToneHz * 0.02);
}

// Bit rate 0 leaves the encoder's own default; 12000 bit/s is no AMR-NB
// mode, and the encoder takes its nearest, 12.2 kbit/s (ffprobe: 12400).
INSTANTIATE_TEST_SUITE_P(
    Formats, WriterFormatTest,
    testing::Values(FormatCase{"mp3", kCodecMp3, 96000, 44100, 2, "mp3", "96000", 1152},
                    FormatCase{"wav", kCodecPcmS16le, 0, 44100, 2, "pcm_s16le", "", 0},
                    FormatCase{"amr", kCodecAmrNb, 12000, 8000, 1, "amr_nb", "12400", 160 + 160},
                    FormatCase{"adts", kCodecAac, 96000, 44100, 2, "aac", "", 1024 + 1024},
                    FormatCase{"flac", kCodecFlac, 0, 44100, 1, "flac", "", 4608},
                    FormatCase{"ogg", kCodecVorbis, 0, 44100, 2, "vorbis", "", 1024},
                    FormatCase{"mp3", kCodecMp3, 32000, 22050, 1, "mp3", "32000", 1152},
                    FormatCase{"mp3", kCodecMp3, 0, 44100, 2, "mp3", "", 2048 + 1152},
                    FormatCase{"adts", kCodecAac, 0, 44100, 2, "aac", "", 2048 + 1152},
                    FormatCase{"amr", kCodecAmrNb, 0, 8000, 1, "amr_nb", "", 2048 + 1152}));

struct RefusedCase {
  const char* name;
  const char* format;
  int codecId, bitRate, sampleRate, channels;
};

class WriterRefusalTest : public testing::TestWithParam<RefusedCase> {};

TEST_P(WriterRefusalTest, OpenAnswersZeroAndLeavesNoFile) {
  const RefusedCase& c = GetParam();
  const std::string path = c.name == std::string("missing_folder") ? "/nonexistent_kelvra_folder/x.wav"
                                                                    : TempPath(std::string("refused_") + c.name);
  WriterPtr writer = MakeWriter(c.format, path, c.codecId, c.bitRate, c.sampleRate, c.channels);
  EXPECT_EQ(AVW_Open(writer.get()), 0);
  // A refused writer takes no audio and closes harmlessly.
  const Pcm16 pcm = MakeTone(kToneHz, 8000, 1, 100);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), static_cast<int>(pcm.size()), 8000, 1), 0);
  EXPECT_EQ(AVW_Close(writer.get()), 0);
  EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, WriterRefusalTest,
    testing::Values(RefusedCase{"unknown_format", "nosuchformat", kCodecMp3, 96000, 44100, 2},
                    RefusedCase{"empty_format", "", kCodecMp3, 96000, 44100, 2},
                    RefusedCase{"mp3_at_12345_hz", "mp3", kCodecMp3, 96000, 12345, 2},
                    RefusedCase{"amr_at_44100_hz", "amr", kCodecAmrNb, 12000, 44100, 1},
                    RefusedCase{"stereo_amr", "amr", kCodecAmrNb, 12000, 8000, 2},
                    RefusedCase{"aac_in_mp3", "mp3", kCodecAac, 96000, 44100, 2},
                    RefusedCase{"mp3_in_adts", "adts", kCodecMp3, 96000, 44100, 2},
                    RefusedCase{"pcm_in_amr", "amr", kCodecPcmS16le, 0, 8000, 1},
                    RefusedCase{"unknown_codec", "wav", kCodecUnknown, 0, 44100, 2},
                    RefusedCase{"video_codec", "wav", kCodecVideoFlv, 0, 44100, 2},
                    RefusedCase{"mp2_at_1_kbit", "mp2", kCodecMp2, 1000, 44100, 2},
                    RefusedCase{"no_file_muxer", "null", kCodecPcmS16le, 0, 44100, 2},
                    RefusedCase{"no_channels", "wav", kCodecPcmS16le, 0, 44100, 0},
                    RefusedCase{"negative_rate", "wav", kCodecPcmS16le, 0, -1, 2},
                    RefusedCase{"missing_folder", "wav", kCodecPcmS16le, 0, 44100, 2}),
    [](const testing::TestParamInfo<RefusedCase>& info) { return std::string(info.param.name); });

// A file name is a file name, never one of FFmpeg's protocols.
TEST(WriterPath, ProtocolLikeNamesAreLocalFiles) {
  const fs::path folder = fs::path(TempPath("protocol"));
  fs::create_directory(folder);
  const fs::path before = fs::current_path();
  fs::current_path(folder);
  {
    WriterPtr writer = MakeWriter("wav", "pipe:2", kCodecPcmS16le, 0, 44100, 2);
    EXPECT_NE(AVW_Open(writer.get()), 0);
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  fs::current_path(before);
  EXPECT_TRUE(fs::exists(folder / "pipe:2"));
}

// Audio of another rate and channel count than opened is resampled, not
// written as it is: the file's length in seconds and its pitch stay right.
TEST(WriterConversion, OtherRateAndChannelsAreResampled) {
  const std::string path = TempPath("converted.wav");
  {
    WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), MakeTone(kToneHz, 22050, 1, 22050), 22050, 1));
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), MakeTone(kToneHz, 48000, 2, 48000), 48000, 2));
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  const Pcm decoded = DecodeAudio(path);
  EXPECT_EQ(decoded.sampleRate, 44100);
  EXPECT_EQ(decoded.channels, 2);
  EXPECT_NEAR(static_cast<double>(decoded.Frames()), 2 * 44100, 64);
  EXPECT_NEAR(ToneHz(decoded), kToneHz, kToneHz * 0.02);
}

// WAV keeps every sample, so the bytes come back; deleting the writer
// without closing it completes the file.
TEST(WriterWav, SamplesComeBackUnchangedWithoutClose) {
  const std::string path = TempPath("exact.wav");
  const Pcm16 pcm = MakeTone(1000.0, 44100, 2, 10007);
  {
    WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, 44100, 2));
  }
  const std::vector<std::uint8_t> file = ReadWholeFile(path);
  const Pcm decoded = ReadWav(path);
  ASSERT_EQ(decoded.Frames(), 10007);
  EXPECT_TRUE(std::equal(pcm.begin(), pcm.end(), file.end() - static_cast<std::ptrdiff_t>(pcm.size())));
}

// Setters, a second Open and bad blocks are refused while open; closing a
// writer never opened, and null handles, are harmless.
TEST(WriterLifecycle, RefusalsWhileOpenAndHarmlessNulls) {
  const std::string path = TempPath("setters.wav");
  WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
  ASSERT_NE(AVW_Open(writer.get()), 0);
  EXPECT_EQ(AVW_SetupAudioParams(writer.get(), kCodecMp3, 0, 8000, 1), 0);
  EXPECT_EQ(AVW_SetOutputFormat(writer.get(), "mp3"), 0);
  EXPECT_EQ(AVW_Open(writer.get()), 0);
  const Pcm16 pcm = MakeTone(kToneHz, 44100, 2, 100);
  const int size = static_cast<int>(pcm.size());
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), nullptr, size, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), 0, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), -4, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 0, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 44100, 0), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(nullptr, pcm.data(), size, 44100, 2), 0);
  EXPECT_NE(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 44100, 2), 0);
  EXPECT_NE(AVW_Close(writer.get()), 0);
  EXPECT_EQ(ReadWav(path).Frames(), 100);

  WriterPtr never(AVW_Create(0, 1));
  EXPECT_EQ(AVW_Close(never.get()), 0);
  EXPECT_EQ(AVW_Close(never.get()), 0);
  AVW_Delete(nullptr);
  EXPECT_EQ(AVW_Close(nullptr), 0);
  EXPECT_EQ(AVW_Open(nullptr), 0);
}

// Blocks are handed over from other threads than the one that opened the
// writer, one thread at a time, with far more audio than the queue holds.
TEST(WriterThreads, WritesFromAnotherThreadAfterOpen) {
  const std::string path = TempPath("threads.mp3");
  const Pcm16 pcm = MakeTone(kToneHz, 44100, 2, 44100 * 4);
  WriterPtr writer = MakeWriter("mp3", path, kCodecMp3, 96000, 44100, 2);
  ASSERT_NE(AVW_Open(writer.get()), 0);
  bool written = false;
  std::thread([&] { written = WriteInOddBlocks(writer.get(), pcm, 44100, 2); }).join();
  EXPECT_TRUE(written);
  int closed = 0;
  std::thread([&] { closed = AVW_Close(writer.get()); }).join();
  EXPECT_NE(closed, 0);
  EXPECT_NEAR(static_cast<double>(DecodeAudio(path).Frames()), 44100 * 4, 1152);
}

// A full disk: the writer neither crashes nor hangs, and says so and why.
TEST(WriterErrors, WriteErrorsAreReportedNotFatal) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  WriterPtr writer = MakeWriter("wav", "/dev/full", kCodecPcmS16le, 0, 44100, 2);
  if (AVW_Open(writer.get()) != 0) {
    WriteInOddBlocks(writer.get(), MakeTone(kToneHz, 44100, 2, 44100 * 3), 44100, 2);
    EXPECT_EQ(AVW_Close(writer.get()), 0);
  }
  EXPECT_EQ(AVW_GetLastError(writer.get()), ENOSPC);
}

// Writes five seconds of audio with the file size limited, as on a full
// disk; the process's exit code says how Open and Close answered.
[[noreturn]] void WriteUnderFileSizeLimit(const std::string& path) {
  constexpr rlim_t kLimitBytes = 256 * 1024;
  std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
  const rlimit limit{kLimitBytes, kLimitBytes};
  setrlimit(RLIMIT_FSIZE, &limit);
  WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
  if (AVW_Open(writer.get()) == 0) std::_Exit(2);
  WriteInOddBlocks(writer.get(), MakeTone(kToneHz, 44100, 2, 44100 * 5), 44100, 2);
  const bool refusedWithReason = AVW_Close(writer.get()) == 0 && AVW_GetLastError(writer.get()) == EFBIG;
  writer.reset();
  std::remove(path.c_str());  // the child names its own file
  std::_Exit(refusedWithReason ? 0 : 3);
}

// The disk fills up while the file is written: reported at Close. Run in a
// child process, where the limit cannot touch the other tests.
TEST(WriterErrors, DiskFullWhileWritingIsReportedAtClose) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(WriteUnderFileSizeLimit(TempPath("full_disk.wav")), testing::ExitedWithCode(0), "");
}

// Long MP3 outputs are encoded in segments on worker threads. Against one
// encoder's file of the same audio, both decoded and compared with the
// source: the same length, the same quality overall and no window much worse
// (a click or a lost frame at a join costs 10 dB or more there; two encoders
// fed input differing by 0.01 % differ by up to 0.8 dB), and the same bytes
// whatever the number of workers.
TEST(WriterSegmented, JoinsAreInaudibleAndWorkersChangeNoByte) {
  constexpr int kSeconds = 62;  // two joins at 30 s segments
  constexpr int kSingleEncoderMs = 600000;
  constexpr std::int64_t kSnrWindow = 4096;
  // Music-like: notes with decaying attacks, a vibrato tone, quiet noise.
  const std::string raw = TempPath("music.raw");
  const ProgramRun made = RunProgram("ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
      "aevalsrc=exprs='0.3*sin(2*PI*(220+55*floor(mod(t*2,5)))*t)*exp(-4*mod(t,0.5))"
      "+0.15*sin(2*PI*660*t)*(0.5+0.5*sin(2*PI*0.7*t))+0.03*(random(0)-0.5)|"
      "0.25*sin(2*PI*(330+55*floor(mod(t*3,4)))*t)*exp(-3*mod(t,0.333))"
      "+0.1*sin(2*PI*990*t+sin(2*PI*5*t))+0.03*(random(1)-0.5)':s=44100:d=" + std::to_string(kSeconds),
      "-f", "s16le", raw});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const Pcm16 pcm = ReadWholeFile(raw);
  ASSERT_EQ(pcm.size(), std::size_t{44100} * 4 * kSeconds);
  const auto encode = [&](const std::string& name, int segmentMs, int threads) {
    const std::string path = TempPath(name + ".mp3");
    WriterPtr writer = MakeWriter("mp3", path, kCodecMp3, 96000, 44100, 2);
    EXPECT_NE(AVW_SetEncoderSegmentMs(writer.get(), segmentMs), 0);
    EXPECT_NE(AVW_SetEncoderThreads(writer.get(), threads), 0);
    EXPECT_NE(AVW_Open(writer.get()), 0);
    EXPECT_TRUE(WriteInOddBlocks(writer.get(), pcm, 44100, 2));
    EXPECT_NE(AVW_Close(writer.get()), 0);
    return path;
  };
  const std::string fourWorkers = encode("four_workers", 0, 4);
  EXPECT_EQ(ReadWholeFile(encode("one_worker", 0, 1)), ReadWholeFile(fourWorkers));
  const Pcm reference = DecodeAudio(encode("single", kSingleEncoderMs, 1));
  const Pcm segmented = DecodeAudio(fourWorkers);
  ASSERT_EQ(segmented.Frames(), reference.Frames());
  const std::int64_t length = std::min<std::int64_t>(pcm.size() / 4, reference.Frames());
  // SNR in dB of the first channel of `decoded` against the source's over
  // frames [begin, end).
  const auto snr = [&](const Pcm& decoded, std::int64_t begin, std::int64_t end) {
    double signal = 0.0, noise = 0.0;
    for (std::int64_t i = begin; i < end; ++i) {
      const double wanted = static_cast<std::int16_t>(pcm[4 * i] | pcm[4 * i + 1] << 8);
      signal += wanted * wanted;
      noise += std::pow(decoded.samples[static_cast<std::size_t>(2 * i)] - wanted, 2);
    }
    return 10.0 * std::log10(signal / std::max(noise, 1.0));
  };
  EXPECT_GT(snr(segmented, 0, length), snr(reference, 0, length) - 0.2);
  double worst = 0.0;
  for (std::int64_t begin = 0; begin + kSnrWindow <= length; begin += kSnrWindow) {
    worst = std::max(worst, snr(reference, begin, begin + kSnrWindow) - snr(segmented, begin, begin + kSnrWindow));
  }
  EXPECT_LT(worst, 3.0);
}

// ---- the ASF encoder ----

struct EncoderDeleter {
  void operator()(PellowEncoder* encoder) const { AsfEnc_Delete(encoder); }
};
using EncoderPtr = std::unique_ptr<PellowEncoder, EncoderDeleter>;

std::u16string ToUtf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

EncoderPtr OpenEncoder(const std::u16string& path, int rate, int channels, int bitRate, int* opened = nullptr,
                       int codecId = PELLOW_CODEC_WMAV2) {
  EncoderPtr encoder(AsfEnc_Create());
  AsfEnc_SetEncodingParams(encoder.get(), 0, 0, 0, codecId, 0, 0, rate, channels, bitRate);
  const int result = AsfEnc_Open(encoder.get(), path.c_str());
  if (opened != nullptr) *opened = result;
  return encoder;
}

// Writes `pcm` in odd blocks, each stamped where it starts on a time line
// that begins at `startTicks`.
void WriteStamped(PellowEncoder* encoder, const Pcm16& pcm, int rate, int channels, std::int64_t startTicks) {
  const std::size_t frameBytes = static_cast<std::size_t>(channels) * 2;
  InOddBlocks(pcm, [&](std::size_t at, std::size_t size) {
    AsfEnc_WriteAudioEx(encoder, pcm.data() + at, static_cast<int>(size), rate, channels,
                        startTicks + static_cast<std::int64_t>(at / frameBytes) * kTicksPerSecond / rate,
                        static_cast<std::int64_t>(size / frameBytes) * kTicksPerSecond / rate);
    return true;
  });
}

// WMA version 2 in ASF; deleting the encoder without WriteAudioEnd or Close
// completes the file.
TEST(AsfEncoder, ToneInOddBlocksGivesWma2InAsf) {
  const struct {
    int rate, channels, bitRate;
    bool close;
  } rows[] = {{44100, 2, 64000, true}, {22050, 1, 0, false}};
  for (const auto& row : rows) {
    const std::string path = TempPath("tone.wma");
    {
      int opened = 0;
      EncoderPtr encoder = OpenEncoder(ToUtf16(path), row.rate, row.channels, row.bitRate, &opened);
      ASSERT_NE(opened, 0);
      WriteStamped(encoder.get(), MakeTone(kToneHz, row.rate, row.channels, 2 * row.rate), row.rate, row.channels, 0);
      if (row.close) {
        EXPECT_NE(AsfEnc_WriteAudioEnd(encoder.get()), 0);
        EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
      }
    }
    const auto probe = Probe(path);
    EXPECT_EQ(probe.at("format.format_name"), "asf");
    EXPECT_EQ(probe.at("codec_name"), "wmav2");
    const Pcm decoded = DecodeAudio(path);
    EXPECT_EQ(decoded.sampleRate, row.rate);
    EXPECT_EQ(decoded.channels, row.channels);
    EXPECT_NEAR(static_cast<double>(decoded.Frames()), 2 * row.rate, kWmaTolerance);
    EXPECT_NEAR(ToneHz(decoded), kToneHz, kToneHz * 0.02);
  }
}

// A second of tone, a second missing, a second of tone: the hole comes back
// as silence and the second tone sits at its stamp. A block stamped before
// the end of what was written is cut to its new part; one wholly before it
// is dropped.
TEST(AsfEncoder, TimeLineGapsAndOverlaps) {
  const std::string gap = TempPath("gap.wma");
  const std::string overlap = TempPath("overlap.wma");
  const Pcm16 second = MakeTone(kToneHz, 44100, 2, 44100);
  {
    EncoderPtr encoder = OpenEncoder(ToUtf16(gap), 44100, 2, 64000);
    WriteStamped(encoder.get(), second, 44100, 2, 0);
    WriteStamped(encoder.get(), MakeTone(kToneHz, 44100, 2, 44100, 2 * 44100), 44100, 2, 2 * kTicksPerSecond);
    EXPECT_NE(AsfEnc_WriteAudioEnd(encoder.get()), 0);
    EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
    encoder = OpenEncoder(ToUtf16(overlap), 44100, 2, 64000);
    WriteStamped(encoder.get(), second, 44100, 2, 0);
    WriteStamped(encoder.get(), second, 44100, 2, kTicksPerSecond / 2);  // adds half a second
    AsfEnc_WriteAudioEx(encoder.get(), second.data(), 4 * 4410, 44100, 2, kTicksPerSecond / 10, kTicksPerSecond / 10);
    EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
  }
  const Pcm decoded = DecodeAudio(gap);
  EXPECT_NEAR(static_cast<double>(decoded.Frames()), 3 * 44100, kWmaTolerance);
  EXPECT_GT(Rms(decoded, 44100 / 4, 44100 / 2), 5000.0);
  EXPECT_LT(Rms(decoded, 44100 * 5 / 4, 44100 / 2), 200.0);
  EXPECT_GT(Rms(decoded, 44100 * 9 / 4, 44100 / 2), 5000.0);
  EXPECT_NEAR(static_cast<double>(DecodeAudio(overlap).Frames()), 44100 * 3 / 2, kWmaTolerance);
}

struct AsfRefusedCase {
  const char* name;
  int codecId, sampleRate, channels, bitRate;
};

class AsfEncoderRefusalTest : public testing::TestWithParam<AsfRefusedCase> {};

TEST_P(AsfEncoderRefusalTest, OpenAnswersZeroAndLeavesNoFile) {
  const AsfRefusedCase& c = GetParam();
  const std::string path = TempPath("refused.wma");
  int opened = 1;
  EncoderPtr encoder = OpenEncoder(ToUtf16(path), c.sampleRate, c.channels, c.bitRate, &opened, c.codecId);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(AsfEnc_WriteAudioEnd(encoder.get()), 0);
  EXPECT_EQ(AsfEnc_Close(encoder.get()), 0);
  EXPECT_FALSE(fs::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Parameters, AsfEncoderRefusalTest,
                         testing::Values(AsfRefusedCase{"writer_numbering", kCodecWmav2, 44100, 2, 64000},
                                         AsfRefusedCase{"no_codec", 0, 44100, 2, 64000},
                                         AsfRefusedCase{"three_channels", PELLOW_CODEC_WMAV2, 44100, 3, 64000},
                                         AsfRefusedCase{"rate_96000", PELLOW_CODEC_WMAV2, 96000, 2, 64000},
                                         AsfRefusedCase{"bit_rate_8000", PELLOW_CODEC_WMAV2, 44100, 2, 8000},
                                         AsfRefusedCase{"no_rate", PELLOW_CODEC_WMAV2, -1, 2, 64000}),
                         [](const testing::TestParamInfo<AsfRefusedCase>& info) { return std::string(info.param.name); });

// A UTF-16 name becomes the UTF-8 file name ("tone_é_€_" then U+1F3B5, a
// surrogate pair); a name byte that is not UTF-8 arrives as U+DC00 + byte
// and becomes the same byte again. A lone surrogate, null and "" are refused.
TEST(AsfEncoder, FileNames) {
  const std::string base = TempPath("");
  const std::pair<std::u16string, std::string> names[] = {
      {u"tone_\u00e9_\u20ac_\U0001F3B5.wma", "tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5.wma"},
      {std::u16string(u"x") + char16_t{0xDCFF} + u".wma", "x\xff.wma"}};
  for (const auto& [wide, narrow] : names) {
    int opened = 0;
    OpenEncoder(ToUtf16(base) + wide, 44100, 2, 64000, &opened);
    EXPECT_NE(opened, 0);
    EXPECT_TRUE(fs::exists(base + narrow)) << narrow;
  }
  int opened = 1;
  EncoderPtr encoder = OpenEncoder(ToUtf16(base) + u"x" + char16_t{0xD800} + u"y.wma", 44100, 2, 64000, &opened);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(AsfEnc_Open(encoder.get(), nullptr), 0);
  EXPECT_EQ(AsfEnc_Open(encoder.get(), u""), 0);
}

TEST(AsfEncoder, NullAndUnopenedHandlesAreHarmless) {
  EXPECT_EQ(AsfEnc_SetEncodingParams(nullptr, 0, 0, 0, PELLOW_CODEC_WMAV2, 0, 0, 44100, 2, 0), 0);
  EXPECT_EQ(AsfEnc_Open(nullptr, u"x.wma"), 0);
  EXPECT_EQ(AsfEnc_WriteAudioEx(nullptr, nullptr, 0, 44100, 2, 0, 0), 0);
  EXPECT_EQ(AsfEnc_WriteAudioEnd(nullptr), 0);
  EXPECT_EQ(AsfEnc_Close(nullptr), 0);
  AsfEnc_Delete(nullptr);
  EncoderPtr encoder(AsfEnc_Create());
  const Pcm16 pcm = MakeTone(kToneHz, 44100, 2, 100);
  EXPECT_EQ(AsfEnc_WriteAudioEx(encoder.get(), pcm.data(), static_cast<int>(pcm.size()), 44100, 2, 0, 0), 0);
  EXPECT_EQ(AsfEnc_Close(encoder.get()), 0);
}

}  // namespace
}  // namespace kelvra::test
