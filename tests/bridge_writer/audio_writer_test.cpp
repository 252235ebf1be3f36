// The codec bridge's audio file writer: files of each format from a tone
// written in odd blocks, refused parameters, conversion of other formats,
// and the writer's life cycle.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "bridge_writer/decoded_audio.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

constexpr double kToneHz = 440.0;
constexpr int kCodecPcmS16le = 0x10000;
constexpr int kCodecAmrNb = 0x12000;
constexpr int kCodecMp2 = 0x15000;
constexpr int kCodecMp3 = 0x15001;
constexpr int kCodecAac = 0x15002;
constexpr int kCodecVorbis = 0x15006;
constexpr int kCodecFlac = 0x1500F;
constexpr int kCodecUnknown = 0x7FFF0;
constexpr int kCodecVideoFlv = 22;
// AMR-NB's 12.2 kbit/s mode: 31 bytes of speech plus the frame header.
constexpr int kAmr122PacketBytes = 32;

class WriterEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Vexmar_init(); }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new WriterEnvironment);

struct WriterDeleter {
  void operator()(VexmarWriter* writer) const { AVW_Delete(writer); }
};
using WriterPtr = std::unique_ptr<VexmarWriter, WriterDeleter>;

WriterPtr MakeWriter(const char* format, const std::string& path, int codecId, int bitRate,
                     int sampleRate, int channels) {
  WriterPtr writer(AVW_Create(0, 1));
  AVW_SetupAudioParams(writer.get(), codecId, bitRate, sampleRate, channels);
  AVW_SetOutputFormat(writer.get(), format);
  AVW_SetOutFile(writer.get(), path.c_str());
  return writer;
}

// Writes `pcm` in the odd block sizes; answers false if a write is refused.
bool WriteInOddBlocks(VexmarWriter* writer, const std::vector<uint8_t>& pcm, int sampleRate,
                      int channels) {
  size_t offset = 0;
  size_t turn = 0;
  while (offset < pcm.size()) {
    const size_t wanted = static_cast<size_t>(OddBlockSizes()[turn++ % OddBlockSizes().size()]);
    const size_t size = std::min(wanted, pcm.size() - offset);
    if (AVW_WriteAudioFrame(writer, pcm.data() + offset, static_cast<int>(size), sampleRate,
                            channels) == 0) {
      return false;
    }
    offset += size;
  }
  return true;
}

struct FormatCase {
  const char* format;
  int codecId;
  int bitRate;
  int sampleRate;
  int channels;
  const char* expectedCodec;
  // How far the decoded length may lie from what was written, in samples:
  // one encoder frame, plus the encoder delay where the container has no
  // field for it (ADTS, AMR).
  int tolerance;
};

void PrintTo(const FormatCase& c, std::ostream* os) { *os << c.format << "/" << c.expectedCodec; }

class WriterFormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(WriterFormatTest, ToneInOddBlocksComesBackWithFormatLengthAndPitch) {
  const FormatCase& c = GetParam();
  const std::string path = TempPath(std::string("tone.") + c.format);
  const int64_t frames = c.sampleRate * 2;  // two seconds
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, c.sampleRate, c.channels, frames);
  {
    WriterPtr writer = MakeWriter(c.format, path, c.codecId, c.bitRate, c.sampleRate, c.channels);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, c.sampleRate, c.channels));
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.codecName, c.expectedCodec);
  EXPECT_EQ(decoded.sampleRate, c.sampleRate);
  EXPECT_EQ(decoded.channels, c.channels);
  EXPECT_NEAR(static_cast<double>(decoded.samples), static_cast<double>(frames), c.tolerance);
  EXPECT_NEAR(EstimateToneHz(decoded.firstChannel, decoded.sampleRate), kToneHz, kToneHz * 0.02);
  std::remove(path.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Formats, WriterFormatTest,
    ::testing::Values(FormatCase{"mp3", kCodecMp3, 96000, 44100, 2, "mp3", 1152},
                      FormatCase{"wav", kCodecPcmS16le, 0, 44100, 2, "pcm_s16le", 0},
                      FormatCase{"amr", kCodecAmrNb, 12000, 8000, 1, "amr_nb", 160 + 160},
                      FormatCase{"adts", kCodecAac, 96000, 44100, 2, "aac", 1024 + 1024},
                      FormatCase{"flac", kCodecFlac, 0, 44100, 1, "flac", 4608},
                      FormatCase{"ogg", kCodecVorbis, 0, 44100, 2, "vorbis", 1024},
                      FormatCase{"mp3", kCodecMp3, 32000, 22050, 1, "mp3", 1152}));

struct RefusedCase {
  const char* name;
  const char* format;
  int codecId;
  int bitRate;
  int sampleRate;
  int channels;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class WriterRefusalTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(WriterRefusalTest, OpenAnswersZeroAndLeavesNoFile) {
  const RefusedCase& c = GetParam();
  const std::string path = TempPath(std::string("refused_") + c.name);
  WriterPtr writer = MakeWriter(c.format, path, c.codecId, c.bitRate, c.sampleRate, c.channels);
  EXPECT_EQ(AVW_Open(writer.get()), 0);
  EXPECT_FALSE(FileExists(path));
  // A refused writer takes no audio and closes harmlessly.
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 8000, 1, 100);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), static_cast<int>(pcm.size()), 8000, 1),
            0);
  EXPECT_EQ(AVW_Close(writer.get()), 0);
  EXPECT_FALSE(FileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, WriterRefusalTest,
    ::testing::Values(RefusedCase{"unknown_format", "nosuchformat", kCodecMp3, 96000, 44100, 2},
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
                      RefusedCase{"negative_rate", "wav", kCodecPcmS16le, 0, -1, 2}));

// A file name is a file name, never one of FFmpeg's protocols.
TEST(WriterPath, ProtocolLikeNamesAreLocalFiles) {
  const std::string folder = TempPath("protocol_dir");
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  ASSERT_EQ(chdir(folder.c_str()), 0);
  {
    WriterPtr writer = MakeWriter("wav", "pipe:2", kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  EXPECT_TRUE(FileExists(folder + "/pipe:2"));
  std::remove((folder + "/pipe:2").c_str());
  ASSERT_EQ(chdir("/"), 0);
  rmdir(folder.c_str());
}

TEST(WriterRefusal, MissingFolderGivesNoFile) {
  WriterPtr writer = MakeWriter("wav", "/nonexistent_kelvra_folder/x.wav", kCodecPcmS16le, 0,
                                44100, 2);
  EXPECT_EQ(AVW_Open(writer.get()), 0);
}

// Bit rate 0 leaves the encoder's own default; the file is still complete.
TEST(WriterBitRate, ZeroMeansTheEncodersDefault) {
  const struct {
    const char* format;
    int codecId;
    int sampleRate;
    int channels;
  } cases[] = {{"mp3", kCodecMp3, 44100, 2}, {"adts", kCodecAac, 44100, 2},
               {"amr", kCodecAmrNb, 8000, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string path = TempPath(std::string("default_rate.") + c.format);
    const std::vector<uint8_t> pcm = MakeTone(kToneHz, c.sampleRate, c.channels, c.sampleRate);
    {
      WriterPtr writer = MakeWriter(c.format, path, c.codecId, 0, c.sampleRate, c.channels);
      ASSERT_NE(AVW_Open(writer.get()), 0);
      ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, c.sampleRate, c.channels));
      EXPECT_NE(AVW_Close(writer.get()), 0);
    }
    const DecodedAudio decoded = DecodeAudioFile(path);
    ASSERT_TRUE(decoded.opened);
    EXPECT_NEAR(static_cast<double>(decoded.samples), c.sampleRate, 2048 + 1152);
    EXPECT_NEAR(EstimateToneHz(decoded.firstChannel, decoded.sampleRate), kToneHz, kToneHz * 0.02);
    std::remove(path.c_str());
  }
}

// 12000 bit/s is no AMR-NB mode; the encoder takes its nearest, 12.2 kbit/s.
TEST(WriterBitRate, AmrTakesTheNearestMode) {
  const std::string path = TempPath("mode.amr");
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 8000, 1, 8000);
  {
    WriterPtr writer = MakeWriter("amr", path, kCodecAmrNb, 12000, 8000, 1);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, 8000, 1));
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.firstPacketSize, kAmr122PacketBytes);
  std::remove(path.c_str());
}

// Audio of another rate and channel count than opened is resampled, not
// written as it is: the file's length in seconds and its pitch stay right.
TEST(WriterConversion, OtherRateAndChannelsAreResampled) {
  const std::string path = TempPath("converted.wav");
  const std::vector<uint8_t> mono22k = MakeTone(kToneHz, 22050, 1, 22050);
  const std::vector<uint8_t> stereo48k = MakeTone(kToneHz, 48000, 2, 48000, 0);
  {
    WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), mono22k, 22050, 1));
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), stereo48k, 48000, 2));
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.sampleRate, 44100);
  EXPECT_EQ(decoded.channels, 2);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 2 * 44100, 64);
  EXPECT_NEAR(EstimateToneHz(decoded.firstChannel, 44100), kToneHz, kToneHz * 0.02);
  std::remove(path.c_str());
}

// PCM written exactly: WAV keeps every sample, so the bytes come back.
TEST(WriterWav, SamplesComeBackUnchanged) {
  const std::string path = TempPath("exact.wav");
  const std::vector<uint8_t> pcm = MakeTone(1000.0, 44100, 2, 10007);
  {
    WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, 44100, 2));
    EXPECT_NE(AVW_Close(writer.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  ASSERT_EQ(decoded.samples, 10007);
  for (size_t i = 0; i < decoded.firstChannel.size(); ++i) {
    const auto expected = static_cast<int16_t>(pcm[i * 4] | (pcm[i * 4 + 1] << 8));
    ASSERT_EQ(decoded.firstChannel[i], expected) << "sample " << i;
  }
  std::remove(path.c_str());
}

TEST(WriterLifecycle, CloseOfANeverOpenedWriterIsHarmless) {
  WriterPtr writer(AVW_Create(0, 1));
  ASSERT_NE(writer, nullptr);
  EXPECT_EQ(AVW_Close(writer.get()), 0);
  EXPECT_EQ(AVW_Close(writer.get()), 0);
  AVW_Delete(nullptr);
  EXPECT_EQ(AVW_Close(nullptr), 0);
  EXPECT_EQ(AVW_Open(nullptr), 0);
}

TEST(WriterLifecycle, DeleteWithoutCloseCompletesTheFile) {
  const std::string path = TempPath("unclosed.wav");
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 44100);
  {
    WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
    ASSERT_NE(AVW_Open(writer.get()), 0);
    ASSERT_TRUE(WriteInOddBlocks(writer.get(), pcm, 44100, 2));
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.samples, 44100);
  std::remove(path.c_str());
}

TEST(WriterLifecycle, SettersAreRefusedWhileOpen) {
  const std::string path = TempPath("setters.wav");
  WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
  ASSERT_NE(AVW_Open(writer.get()), 0);
  EXPECT_EQ(AVW_SetupAudioParams(writer.get(), kCodecMp3, 0, 8000, 1), 0);
  EXPECT_EQ(AVW_SetOutputFormat(writer.get(), "mp3"), 0);
  EXPECT_EQ(AVW_Open(writer.get()), 0);
  EXPECT_NE(AVW_Close(writer.get()), 0);
  std::remove(path.c_str());
}

// Blocks are handed over from other threads than the one that opened the
// writer, one thread at a time, with far more audio than the queue holds.
TEST(WriterThreads, WritesFromAnotherThreadAfterOpen) {
  const std::string path = TempPath("threads.mp3");
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 44100 * 4);
  WriterPtr writer = MakeWriter("mp3", path, kCodecMp3, 96000, 44100, 2);
  ASSERT_NE(AVW_Open(writer.get()), 0);
  bool written = false;
  std::thread producer([&] { written = WriteInOddBlocks(writer.get(), pcm, 44100, 2); });
  producer.join();
  EXPECT_TRUE(written);
  int closed = 0;
  std::thread closer([&] { closed = AVW_Close(writer.get()); });
  closer.join();
  EXPECT_NE(closed, 0);
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 44100 * 4, 1152);
  std::remove(path.c_str());
}

// A full disk: the writer neither crashes nor hangs, and says so and why.
TEST(WriterErrors, WriteErrorsAreReportedNotFatal) {
  const std::string device = "/dev/full";
  if (!FileExists(device)) GTEST_SKIP() << "no " << device;
  WriterPtr writer = MakeWriter("wav", device, kCodecPcmS16le, 0, 44100, 2);
  if (AVW_Open(writer.get()) != 0) {
    const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 44100 * 3);
    WriteInOddBlocks(writer.get(), pcm, 44100, 2);
    EXPECT_EQ(AVW_Close(writer.get()), 0);
  }
  EXPECT_EQ(AVW_GetLastError(writer.get()), ENOSPC);
  EXPECT_TRUE(FileExists(device));
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
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 44100 * 5);
  WriteInOddBlocks(writer.get(), pcm, 44100, 2);
  const bool refusedWithReason =
      AVW_Close(writer.get()) == 0 && AVW_GetLastError(writer.get()) == EFBIG;
  writer.reset();
  // The child names its own file (the death test runs the test anew in it).
  std::remove(path.c_str());
  std::_Exit(refusedWithReason ? 0 : 3);
}

// The disk fills up while the file is written: the writer reports it at
// Close and neither crashes nor hangs. Run in a child process, where the
// limit cannot touch the other tests.
TEST(WriterErrors, DiskFullWhileWritingIsReportedAtClose) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string path = TempPath("full_disk.wav");
  EXPECT_EXIT(WriteUnderFileSizeLimit(path), ::testing::ExitedWithCode(0), "");
}

TEST(WriterErrors, BadBlocksAreRefused) {
  const std::string path = TempPath("bad_blocks.wav");
  WriterPtr writer = MakeWriter("wav", path, kCodecPcmS16le, 0, 44100, 2);
  ASSERT_NE(AVW_Open(writer.get()), 0);
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 100);
  const int size = static_cast<int>(pcm.size());
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), nullptr, size, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), 0, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), -4, 44100, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 0, 2), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 44100, 0), 0);
  EXPECT_EQ(AVW_WriteAudioFrame(nullptr, pcm.data(), size, 44100, 2), 0);
  EXPECT_NE(AVW_WriteAudioFrame(writer.get(), pcm.data(), size, 44100, 2), 0);
  EXPECT_NE(AVW_Close(writer.get()), 0);
  const DecodedAudio decoded = DecodeAudioFile(path);
  EXPECT_EQ(decoded.samples, 100);
  std::remove(path.c_str());
}

// Long MP3 and ADTS AAC outputs are encoded in segments on worker threads.
// Against one encoder's file of the same audio, both decoded by FFmpeg and
// compared with the source: the same length, the same quality overall and
// no window much worse (a click or a lost frame at a join costs 10 dB or
// more there; two encoders fed input differing by 0.01 % differ by up to
// 0.8 dB), and the same bytes whatever the number of workers.
struct SegmentedCase {
  const char* format;
  int codecId;
  int leadSamples;  // what the decoder gives before the audio (ADTS: no delay field)
};

void PrintTo(const SegmentedCase& c, std::ostream* os) { *os << c.format; }

class WriterSegmentedTest : public ::testing::TestWithParam<SegmentedCase> {};

constexpr int kSegmentedSeconds = 62;  // two joins at 30 s segments
constexpr int kSingleEncoderMs = 600000;
constexpr size_t kSnrWindow = 4096;

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// SNR in dB of `decoded` (shifted by `lead`) against the source's first
// channel over source samples [begin, end).
double SnrDb(const std::vector<int16_t>& source, const std::vector<int16_t>& decoded, int lead,
             size_t begin, size_t end) {
  double signal = 0.0;
  double noise = 0.0;
  for (size_t i = begin; i < end; ++i) {
    const double wanted = source[i];
    signal += wanted * wanted;
    noise += std::pow(decoded[i + static_cast<size_t>(lead)] - wanted, 2);
  }
  return 10.0 * std::log10(signal / std::max(noise, 1.0));
}

TEST_P(WriterSegmentedTest, JoinsAreInaudibleAndWorkersChangeNoByte) {
  const SegmentedCase& c = GetParam();
  // Music-like: notes with decaying attacks, a vibrato tone, quiet noise.
  const std::string raw = TempPath("music.raw");
  const std::string command =
      "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=exprs='"
      "0.3*sin(2*PI*(220+55*floor(mod(t*2,5)))*t)*exp(-4*mod(t,0.5))"
      "+0.15*sin(2*PI*660*t)*(0.5+0.5*sin(2*PI*0.7*t))+0.03*(random(0)-0.5)|"
      "0.25*sin(2*PI*(330+55*floor(mod(t*3,4)))*t)*exp(-3*mod(t,0.333))"
      "+0.1*sin(2*PI*990*t+sin(2*PI*5*t))+0.03*(random(1)-0.5)':s=44100:d=" +
      std::to_string(kSegmentedSeconds) + "\" -f s16le " + raw;
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::vector<uint8_t> pcm = ReadBytes(raw);
  std::remove(raw.c_str());
  ASSERT_EQ(pcm.size(), size_t{44100} * 4 * kSegmentedSeconds);
  const auto encode = [&](const std::string& name, int segmentMs, int threads) {
    const std::string path = TempPath(name + "." + c.format);
    WriterPtr writer = MakeWriter(c.format, path, c.codecId, 96000, 44100, 2);
    EXPECT_NE(AVW_SetEncoderSegmentMs(writer.get(), segmentMs), 0);
    EXPECT_NE(AVW_SetEncoderThreads(writer.get(), threads), 0);
    EXPECT_NE(AVW_Open(writer.get()), 0);
    EXPECT_TRUE(WriteInOddBlocks(writer.get(), pcm, 44100, 2));
    EXPECT_NE(AVW_Close(writer.get()), 0);
    return path;
  };
  const std::string single = encode("single", kSingleEncoderMs, 1);
  const std::string oneWorker = encode("one_worker", 0, 1);
  const std::string fourWorkers = encode("four_workers", 0, 4);
  EXPECT_EQ(ReadBytes(oneWorker), ReadBytes(fourWorkers));
  const DecodedAudio reference = DecodeAudioFile(single);
  const DecodedAudio segmented = DecodeAudioFile(fourWorkers);
  for (const std::string& path : {single, oneWorker, fourWorkers}) std::remove(path.c_str());
  ASSERT_TRUE(reference.opened && segmented.opened);
  ASSERT_EQ(segmented.samples, reference.samples);
  std::vector<int16_t> source(pcm.size() / 4);
  for (size_t i = 0; i < source.size(); ++i) {
    source[i] = static_cast<int16_t>(pcm[i * 4] | (pcm[i * 4 + 1] << 8));
  }
  const size_t length = std::min(source.size(), reference.firstChannel.size() - c.leadSamples);
  const double referenceSnr = SnrDb(source, reference.firstChannel, c.leadSamples, 0, length);
  const double segmentedSnr = SnrDb(source, segmented.firstChannel, c.leadSamples, 0, length);
  EXPECT_GT(segmentedSnr, referenceSnr - 0.2);
  double worst = 0.0;
  for (size_t begin = 0; begin + kSnrWindow <= length; begin += kSnrWindow) {
    const size_t end = begin + kSnrWindow;
    worst = std::max(worst, SnrDb(source, reference.firstChannel, c.leadSamples, begin, end) -
                                SnrDb(source, segmented.firstChannel, c.leadSamples, begin, end));
  }
  EXPECT_LT(worst, 3.0);
  std::printf("%s SNR one encoder %.2f dB, segmented %.2f dB; worst window %.2f dB behind\n",
              c.format, referenceSnr, segmentedSnr, worst);
}

INSTANTIATE_TEST_SUITE_P(Codecs, WriterSegmentedTest,
                         ::testing::Values(SegmentedCase{"mp3", kCodecMp3, 0}));

}  // namespace
}  // namespace kelvra::test
