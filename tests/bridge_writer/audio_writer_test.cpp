// The bridge's audio file writer (AVW_) and the ASF encoder (AsfEnc_), read back with FFmpeg.
#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <thread>

#include "pellow/pellow.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr int kPcm = 0x10000, kAmrNb = 0x12000, kMp3 = 0x15001, kAac = 0x15002,
              kVorbis = 0x15006, kWmav2Numbering = 0x15009, kFlac = 0x1500F,
              kWma = PELLOW_CODEC_WMAV2;
// WMA: one frame and the delay ASF does not record.
constexpr std::int64_t kTicksPerSecond = 10'000'000, kWmaTolerance = 2048 + 2048;
// Odd block sizes in bytes, so that blocks split samples and frames everywhere.
constexpr int kOddBlockSizes[] = {1, 7, 4097, 333, 2, 9001, 5, 1023, 3, 17};

std::string TempPath(const std::string& name) {  // in a folder of its own
  static int counter = 0;
  const fs::path folder = fs::path(TestTempDir()) / ("writer" + std::to_string(++counter));
  fs::create_directories(folder);
  return (folder / name).string();
}

Bytes Tone(int rate, int channels, std::int64_t frames, std::int64_t firstFrame = 0) {
  Bytes pcm;
  for (std::int64_t i = firstFrame; i < firstFrame + frames; ++i) {
    const auto value = static_cast<std::uint16_t>(std::lround(
        16384 * std::sin(2 * std::numbers::pi * 440.0 * static_cast<double>(i) / rate)));
    for (int c = 0; c < channels; ++c)
      pcm.insert(pcm.end(), {std::uint8_t(value & 0xFF), std::uint8_t(value >> 8)});
  }
  return pcm;
}

template <typename Write>
bool InOddBlocks(const Bytes& pcm, Write write) {
  for (std::size_t offset = 0, turn = 0, size = 0; offset < pcm.size(); offset += size, ++turn) {
    size = std::min<std::size_t>(kOddBlockSizes[turn % std::size(kOddBlockSizes)],
                                 pcm.size() - offset);
    if (!write(offset, size)) return false;
  }
  return true;
}

using Writer = std::unique_ptr<VexmarWriter, decltype([](VexmarWriter* w) { AVW_Delete(w); })>;
using Encoder =
    std::unique_ptr<PellowEncoder, decltype([](PellowEncoder* e) { AsfEnc_Delete(e); })>;
Writer MakeWriter(const char* format, const std::string& path, int codecId, int bitRate, int rate,
                  int channels) {
  Vexmar_init();
  Writer writer(AVW_Create(0, 1));
  AVW_SetupAudioParams(writer.get(), codecId, bitRate, rate, channels);
  AVW_SetOutputFormat(writer.get(), format);
  AVW_SetOutFile(writer.get(), path.c_str());
  return writer;
}

bool WriteInOddBlocks(VexmarWriter* writer, const Bytes& pcm, int rate, int channels) {
  return InOddBlocks(pcm, [&](std::size_t at, std::size_t size) {
    return AVW_WriteAudioFrame(writer, &pcm[at], static_cast<int>(size), rate, channels) != 0;
  });
}
std::u16string Utf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

Encoder OpenEncoder(const std::u16string& path, int rate, int channels, int bitRate,
                    int* opened = nullptr, int codecId = kWma) {
  Encoder encoder(AsfEnc_Create());
  AsfEnc_SetEncodingParams(encoder.get(), 0, 0, 0, codecId, 0, 0, rate, channels, bitRate);
  const int result = AsfEnc_Open(encoder.get(), path.c_str());
  if (opened != nullptr) *opened = result;
  return encoder;
}

void WriteStamped(PellowEncoder* encoder, const Bytes& pcm, std::int64_t startTicks,
                  int rate = 44100, int channels = 2) {
  const std::size_t frameBytes = static_cast<std::size_t>(channels) * 2;
  InOddBlocks(pcm, [&](std::size_t at, std::size_t size) {
    AsfEnc_WriteAudioEx(
        encoder, pcm.data() + at, static_cast<int>(size), rate, channels,
        startTicks + static_cast<std::int64_t>(at / frameBytes) * kTicksPerSecond / rate,
        static_cast<std::int64_t>(size / frameBytes) * kTicksPerSecond / rate);
    return true;
  });
}

struct FormatCase {
  const char* format;  // "asf": the ASF encoder
  int codecId, bitRate, sampleRate, channels;
  const char* codec = nullptr;     // ffprobe's codec_name; null: Open refuses and leaves no file
  const char* probedBitRate = "";  // "": not checked
  int tolerance = 0;  // frames: one encoder frame, plus the delay a container cannot record
  int fedRate = 0, fedChannels = 0;  // audio in another format is resampled
  bool close = true;                 // else deleting completes the file
  const char* path = nullptr;        // else a fresh one
};
class WriterFormat : public testing::TestWithParam<FormatCase> {};

TEST_P(WriterFormat, ToneInOddBlocksComesBackWithFormatLengthAndPitch) {
  const FormatCase& c = GetParam();
  const std::string path = c.path ? c.path : TempPath(std::string("tone.") + c.format);
  const int rate = c.fedRate ? c.fedRate : c.sampleRate,
            channels = c.fedChannels ? c.fedChannels : std::max(c.channels, 1);
  const Bytes pcm = Tone(rate, channels, rate * 2);
  int opened = 0;
  if (c.codecId == kWma || c.codecId == kWmav2Numbering) {
    Encoder encoder =
        OpenEncoder(Utf16(path), c.sampleRate, c.channels, c.bitRate, &opened, c.codecId);
    WriteStamped(encoder.get(), pcm, 0, rate, channels);
    EXPECT_TRUE(!c.close || ((AsfEnc_WriteAudioEnd(encoder.get()) != 0 &&
                              AsfEnc_Close(encoder.get()) != 0) == (opened != 0)));
  } else {
    Writer writer = MakeWriter(c.format, path, c.codecId, c.bitRate, c.sampleRate, c.channels);
    opened = AVW_Open(writer.get());
    EXPECT_EQ(WriteInOddBlocks(writer.get(), pcm, rate, channels), opened != 0);
    EXPECT_TRUE(!c.close || (AVW_Close(writer.get()) != 0) == (opened != 0));
  }
  ASSERT_EQ(opened != 0, c.codec != nullptr);
  EXPECT_TRUE(c.codec != nullptr || !fs::exists(path)) << "a refused writer left a file";
  if (c.codec == nullptr) return;
  const auto probe = Probe(path);
  EXPECT_EQ(probe.at("codec_name"), c.codec);
  EXPECT_TRUE(*c.probedBitRate == '\0' || probe.at("bit_rate") == c.probedBitRate);
  const Pcm decoded = DecodeAudio(path);
  EXPECT_TRUE(decoded.sampleRate == c.sampleRate && decoded.channels == c.channels)
      << decoded.sampleRate << " " << decoded.channels;
  EXPECT_NEAR(static_cast<double>(decoded.Frames()), c.sampleRate * 2.0, c.tolerance);
  EXPECT_NEAR(ZeroCrossingFrequency(decoded, decoded.Frames() / 4, decoded.Frames() / 2), 440.0,
              440.0 * 0.02);
  const Bytes file = ReadWholeFile(path);  // WAV keeps every byte
  EXPECT_TRUE(c.codecId != kPcm || c.fedRate != 0 ||
              (file.size() > pcm.size() &&
               Bytes(file.end() - static_cast<std::ptrdiff_t>(pcm.size()), file.end()) == pcm));
}

// 12000 bit/s is no AMR-NB mode; the encoder takes 12.2 kbit/s (ffprobe: 12400).
constexpr FormatCase kFormats[] = {
    {"mp3", kMp3, 96000, 44100, 2, "mp3", "96000", 1152},
    {"wav", kPcm, 0, 44100, 2, "pcm_s16le", "", 0, 0, 0, false},
    {"wav", kPcm, 0, 44100, 2, "pcm_s16le", "", 64, 22050, 1},
    {"amr", kAmrNb, 12000, 8000, 1, "amr_nb", "12400", 160 + 160},
    {"adts", kAac, 96000, 44100, 2, "aac", "", 1024 + 1024},
    {"flac", kFlac, 0, 44100, 1, "flac", "", 4608},
    {"ogg", kVorbis, 0, 44100, 2, "vorbis", "", 1024},
    {"asf", kWma, 64000, 44100, 2, "wmav2", "", kWmaTolerance},
    {"asf", kWma, 0, 22050, 1, "wmav2", "", kWmaTolerance, 0, 0, false},
    {"nosuchformat", kMp3, 96000, 44100, 2},
    {"", kMp3, 96000, 44100, 2},
    {"mp3", kMp3, 96000, 12345, 2},
    {"mp3", kAac, 96000, 44100, 2},
    {"wav", 22 /* video */, 0, 44100, 2},
    {"null", kPcm, 0, 44100, 2},
    {"wav", kPcm, 0, 44100, 0},
    {"asf", kWmav2Numbering, 64000, 44100, 2},
    {"asf", kWma, 64000, 44100, 3},
    {"asf", kWma, 8000, 44100, 2},
    {"wav", kPcm, 0, 44100, 2, nullptr, "", 0, 0, 0, true, "/nonexistent_kelvra/x.wav"}};

// Unique per row: CTest names the cases by it.
void PrintTo(const FormatCase& c, std::ostream* out) {
  *out << c.format << "_" << c.codecId << "_" << c.bitRate << "_" << c.sampleRate << "x"
       << c.channels << "_fed" << c.fedRate << (c.close ? "" : "_open") << (c.path ? "_path" : "");
}
INSTANTIATE_TEST_SUITE_P(Formats, WriterFormat, testing::ValuesIn(kFormats));

// A file name is never an FFmpeg protocol; setters and Open are refused while open.
TEST(WriterLifecycle, LocalNamesRefusalsWhileOpenAndAFullDisk) {
  const fs::path folder = TempPath(""), before = fs::current_path();
  fs::current_path(folder);
  Writer writer = MakeWriter("wav", "pipe:2", kPcm, 0, 44100, 2);
  const int opened = AVW_Open(writer.get());
  fs::current_path(before);
  ASSERT_NE(opened, 0);
  EXPECT_TRUE(!AVW_SetupAudioParams(writer.get(), kMp3, 0, 8000, 1) &&
              !AVW_SetOutputFormat(writer.get(), "mp3") && !AVW_Open(writer.get()));
  const Bytes pcm = Tone(44100, 2, 100);
  EXPECT_TRUE(
      AVW_WriteAudioFrame(writer.get(), pcm.data(), static_cast<int>(pcm.size()), 44100, 2) &&
      AVW_Close(writer.get()));
  EXPECT_EQ(ReadWav((folder / "pipe:2").string()).Frames(), 100);
  // A full disk is reported at Open when the header cannot be written, else at Close.
  const std::tuple<const char*, int, int, bool> rows[] = {{"wav", kPcm, 0, false},
                                                          {"adts", kAac, 96000, true}};
  for (const auto& [format, codec, bitRate, opens] : rows) {
    Writer full = MakeWriter(format, "/dev/full", codec, bitRate, 44100, 2);
    EXPECT_EQ(AVW_Open(full.get()) != 0, opens) << format;
    EXPECT_TRUE(!opens || (WriteInOddBlocks(full.get(), Tone(44100, 2, 44100 * 3), 44100, 2) &&
                           AVW_Close(full.get()) == 0))
        << format;
    EXPECT_EQ(AVW_GetLastError(full.get()), ENOSPC) << format;
  }
}

// MP3 in segments on worker threads: against one encoder the same length and quality, no
// window much worse (a click at a join costs 10 dB or more), the same bytes for any workers.
TEST(WriterSegmented, JoinsAreInaudibleAndWorkersChangeNoByte) {
  constexpr int kSeconds = 6, kSegmentMs = 2500, kSnrWindow = 4096;  // three segments, two joins
  // Music-like: notes with decaying attacks, a vibrato tone, quiet noise.
  const std::string raw = TempPath("music.raw");
  const ProgramRun made = RunProgram(
      "ffmpeg", {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                 "aevalsrc=exprs='0.3*sin(2*PI*(220+55*floor(mod(t*2,5)))*t)*exp(-4*mod(t,0.5))"
                 "+0.15*sin(2*PI*660*t)*(0.5+0.5*sin(2*PI*0.7*t))+0.03*(random(0)-0.5)|"
                 "0.25*sin(2*PI*(330+55*floor(mod(t*3,4)))*t)*exp(-3*mod(t,0.333))"
                 "+0.1*sin(2*PI*990*t+sin(2*PI*5*t))+0.03*(random(1)-0.5)':s=44100:d=" +
                     std::to_string(kSeconds),
                 "-f", "s16le", raw});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const Bytes pcm = ReadWholeFile(raw);
  const auto encode = [&](const std::string& name, int segmentMs, int threads) {
    const std::string path = TempPath(name + ".mp3");
    Writer writer = MakeWriter("mp3", path, kMp3, 96000, 44100, 2);
    EXPECT_TRUE(AVW_SetEncoderSegmentMs(writer.get(), segmentMs) &&
                AVW_SetEncoderThreads(writer.get(), threads));
    EXPECT_NE(AVW_Open(writer.get()), 0);
    bool written = false, closed = false;
    std::thread([&] { written = WriteInOddBlocks(writer.get(), pcm, 44100, 2); }).join();
    std::thread([&] { closed = AVW_Close(writer.get()); }).join();
    EXPECT_TRUE(written && closed);
    return path;
  };
  const std::string fourWorkers = encode("four_workers", kSegmentMs, 4);
  EXPECT_EQ(ReadWholeFile(encode("one_worker", kSegmentMs, 1)), ReadWholeFile(fourWorkers));
  const Pcm reference = DecodeAudio(encode("single", 600000, 1)),
            segmented = DecodeAudio(fourWorkers);
  ASSERT_EQ(segmented.Frames(), reference.Frames());
  const std::int64_t length = std::min<std::int64_t>(pcm.size() / 4, reference.Frames());
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
    worst = std::max(worst, snr(reference, begin, begin + kSnrWindow) -
                                snr(segmented, begin, begin + kSnrWindow));
  }
  EXPECT_LT(worst, 3.0);
}

// A gap in the time stamps comes back as silence; an overlapping block is cut or dropped.
TEST(AsfEncoder, TimeLineGapsOverlapsAndFileNames) {
  const std::string path = TempPath("gaps.wma");
  const Bytes second = Tone(44100, 2, 44100);
  Encoder encoder = OpenEncoder(Utf16(path), 44100, 2, 64000);
  WriteStamped(encoder.get(), second, 0);
  WriteStamped(encoder.get(), second, kTicksPerSecond / 2);
  AsfEnc_WriteAudioEx(encoder.get(), second.data(), 4 * 4410, 44100, 2, kTicksPerSecond / 10,
                      kTicksPerSecond / 10);
  WriteStamped(encoder.get(), Tone(44100, 2, 44100, 5 * 44100 / 2), 5 * kTicksPerSecond / 2);
  EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
  const Pcm decoded = DecodeAudio(path);
  EXPECT_NEAR(static_cast<double>(decoded.Frames()), 3.5 * 44100, kWmaTolerance);
  EXPECT_GT(Rms(decoded, 44100 * 5 / 4, 44100 / 8), 5000.0);
  EXPECT_LT(Rms(decoded, 44100 * 7 / 4, 44100 / 2), 200.0);
  EXPECT_GT(Rms(decoded, 44100 * 11 / 4, 44100 / 2), 5000.0);
  // U+DC00 + byte becomes that byte again; a lone surrogate is refused.
  const std::string base = TempPath("");
  const std::pair<std::u16string, std::string> names[] = {
      {u"tone_\u00e9_\u20ac_\U0001F3B5.wma", "tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5.wma"},
      {u"x\xDCFF.wma", "x\xff.wma"},
      {u"x\xD800y.wma", ""}};
  for (const auto& [wide, narrow] : names) {
    int opened = 0;
    Encoder named = OpenEncoder(Utf16(base) + wide, 44100, 2, 64000, &opened);
    EXPECT_EQ(opened != 0, !narrow.empty());
    EXPECT_TRUE(narrow.empty() || fs::exists(base + narrow)) << narrow;
  }
}

}  // namespace
}  // namespace kelvra::test
