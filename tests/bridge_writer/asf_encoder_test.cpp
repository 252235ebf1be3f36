// The ASF encoder: WMA version 2 files from a tone in odd blocks, blocks laid
// out by their time stamps, refused parameters and UTF-16 file names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "bridge_writer/decoded_audio.h"
#include "pellow/pellow.h"

namespace kelvra::test {
namespace {

constexpr double kToneHz = 440.0;
constexpr int64_t kTicksPerSecond = 10'000'000;
constexpr int kWriterCodecWmav2 = 0x15009;
// One WMA frame at 44100 Hz, plus the encoder's delay that ASF does not
// record.
constexpr int kWmaTolerance = 2048 + 2048;

struct EncoderDeleter {
  void operator()(PellowEncoder* encoder) const { AsfEnc_Delete(encoder); }
};
using EncoderPtr = std::unique_ptr<PellowEncoder, EncoderDeleter>;

std::u16string ToUtf16(const std::string& ascii) { return {ascii.begin(), ascii.end()}; }

EncoderPtr OpenEncoder(const std::u16string& path, int sampleRate, int channels, int bitRate,
                       int codecId = PELLOW_CODEC_WMAV2, int* opened = nullptr) {
  EncoderPtr encoder(AsfEnc_Create());
  AsfEnc_SetEncodingParams(encoder.get(), 0, 0, 0, codecId, 0, 0, sampleRate, channels, bitRate);
  const int result = AsfEnc_Open(encoder.get(), path.c_str());
  if (opened != nullptr) *opened = result;
  return encoder;
}

// Writes `pcm` in odd blocks, each stamped where it starts on a time line
// that begins at `startTicks`.
void WriteStamped(PellowEncoder* encoder, const std::vector<uint8_t>& pcm, int sampleRate,
                  int channels, int64_t startTicks) {
  const int frameBytes = channels * 2;
  size_t offset = 0;
  size_t turn = 0;
  while (offset < pcm.size()) {
    const size_t wanted = static_cast<size_t>(OddBlockSizes()[turn++ % OddBlockSizes().size()]);
    const size_t size = std::min(wanted, pcm.size() - offset);
    const int64_t stamp =
        startTicks + static_cast<int64_t>(offset / frameBytes) * kTicksPerSecond / sampleRate;
    const int64_t duration =
        static_cast<int64_t>(size / frameBytes) * kTicksPerSecond / sampleRate;
    AsfEnc_WriteAudioEx(encoder, pcm.data() + offset, static_cast<int>(size), sampleRate, channels,
                        stamp, duration);
    offset += size;
  }
}

double RmsOf(const std::vector<int16_t>& samples, size_t begin, size_t end) {
  double sum = 0.0;
  for (size_t i = begin; i < end && i < samples.size(); ++i) {
    const auto value = static_cast<double>(samples[i]);
    sum += value * value;
  }
  return end > begin ? std::sqrt(sum / static_cast<double>(end - begin)) : 0.0;
}

TEST(AsfEncoder, ToneInOddBlocksGivesWma2InAsf) {
  const std::string path = TempPath("tone.wma");
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 2 * 44100);
  {
    int opened = 0;
    EncoderPtr encoder = OpenEncoder(ToUtf16(path), 44100, 2, 64000, PELLOW_CODEC_WMAV2, &opened);
    ASSERT_NE(opened, 0);
    WriteStamped(encoder.get(), pcm, 44100, 2, 0);
    EXPECT_NE(AsfEnc_WriteAudioEnd(encoder.get()), 0);
    EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.formatName, "asf");
  EXPECT_EQ(decoded.codecName, "wmav2");
  EXPECT_EQ(decoded.sampleRate, 44100);
  EXPECT_EQ(decoded.channels, 2);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 2 * 44100, kWmaTolerance);
  EXPECT_NEAR(EstimateToneHz(decoded.firstChannel, 44100), kToneHz, kToneHz * 0.02);
  std::remove(path.c_str());
}

TEST(AsfEncoder, BitRateZeroAndMonoWork) {
  const std::string path = TempPath("mono.wma");
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 22050, 1, 22050);
  {
    int opened = 0;
    EncoderPtr encoder = OpenEncoder(ToUtf16(path), 22050, 1, 0, PELLOW_CODEC_WMAV2, &opened);
    ASSERT_NE(opened, 0);
    WriteStamped(encoder.get(), pcm, 22050, 1, 0);
  }  // Delete without WriteAudioEnd or Close completes the file
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_EQ(decoded.sampleRate, 22050);
  EXPECT_EQ(decoded.channels, 1);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 22050, kWmaTolerance);
  EXPECT_NEAR(EstimateToneHz(decoded.firstChannel, 22050), kToneHz, kToneHz * 0.02);
  std::remove(path.c_str());
}

// A second of tone, a second missing, a second of tone: the hole comes back
// as silence and the second tone sits at its stamp.
TEST(AsfEncoderTimeLine, GapBeforeALaterStampIsSilence) {
  const std::string path = TempPath("gap.wma");
  const std::vector<uint8_t> first = MakeTone(kToneHz, 44100, 2, 44100);
  const std::vector<uint8_t> second = MakeTone(kToneHz, 44100, 2, 44100, 2 * 44100);
  {
    EncoderPtr encoder = OpenEncoder(ToUtf16(path), 44100, 2, 64000);
    WriteStamped(encoder.get(), first, 44100, 2, 0);
    WriteStamped(encoder.get(), second, 44100, 2, 2 * kTicksPerSecond);
    EXPECT_NE(AsfEnc_WriteAudioEnd(encoder.get()), 0);
    EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 3 * 44100, kWmaTolerance);
  const double tone = RmsOf(decoded.firstChannel, 44100 / 4, 44100 * 3 / 4);
  const double hole = RmsOf(decoded.firstChannel, 44100 * 5 / 4, 44100 * 7 / 4);
  const double after = RmsOf(decoded.firstChannel, 44100 * 9 / 4, 44100 * 11 / 4);
  EXPECT_GT(tone, 5000.0);
  EXPECT_LT(hole, 200.0);
  EXPECT_GT(after, 5000.0);
  std::remove(path.c_str());
}

// A block stamped before the end of what was written is cut to its new part;
// one wholly before it is dropped.
TEST(AsfEncoderTimeLine, OverlappingBlocksAreTrimmed) {
  const std::string path = TempPath("overlap.wma");
  const std::vector<uint8_t> second = MakeTone(kToneHz, 44100, 2, 44100);
  {
    EncoderPtr encoder = OpenEncoder(ToUtf16(path), 44100, 2, 64000);
    WriteStamped(encoder.get(), second, 44100, 2, 0);
    // Half a second again from 0.5 s: overlaps by half, adds half a second.
    WriteStamped(encoder.get(), second, 44100, 2, kTicksPerSecond / 2);
    // Wholly inside what is written: nothing is added.
    AsfEnc_WriteAudioEx(encoder.get(), second.data(), 4 * 4410, 44100, 2, kTicksPerSecond / 10,
                        kTicksPerSecond / 10);
    EXPECT_NE(AsfEnc_Close(encoder.get()), 0);
  }
  const DecodedAudio decoded = DecodeAudioFile(path);
  ASSERT_TRUE(decoded.opened);
  EXPECT_NEAR(static_cast<double>(decoded.samples), 44100 * 3 / 2, kWmaTolerance);
  std::remove(path.c_str());
}

struct RefusedCase {
  const char* name;
  int codecId;
  int sampleRate;
  int channels;
  int bitRate;
};

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class AsfEncoderRefusalTest : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(AsfEncoderRefusalTest, OpenAnswersZeroAndLeavesNoFile) {
  const RefusedCase& c = GetParam();
  const std::string path = TempPath(std::string("refused_") + c.name + ".wma");
  int opened = 1;
  EncoderPtr encoder =
      OpenEncoder(ToUtf16(path), c.sampleRate, c.channels, c.bitRate, c.codecId, &opened);
  EXPECT_EQ(opened, 0);
  EXPECT_FALSE(FileExists(path));
  EXPECT_EQ(AsfEnc_WriteAudioEnd(encoder.get()), 0);
  EXPECT_EQ(AsfEnc_Close(encoder.get()), 0);
  EXPECT_FALSE(FileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Parameters, AsfEncoderRefusalTest,
    ::testing::Values(RefusedCase{"writer_numbering", kWriterCodecWmav2, 44100, 2, 64000},
                      RefusedCase{"no_codec", 0, 44100, 2, 64000},
                      RefusedCase{"three_channels", PELLOW_CODEC_WMAV2, 44100, 3, 64000},
                      RefusedCase{"rate_96000", PELLOW_CODEC_WMAV2, 96000, 2, 64000},
                      RefusedCase{"bit_rate_8000", PELLOW_CODEC_WMAV2, 44100, 2, 8000},
                      RefusedCase{"no_rate", PELLOW_CODEC_WMAV2, -1, 2, 64000}));

TEST(AsfEncoderPath, Utf16NameBecomesTheUtf8FileName) {
  // "tone_é_€_" then U+1F3B5 (a surrogate pair) in UTF-16 and in UTF-8.
  const std::string base = TempPath("");
  const std::u16string wide = ToUtf16(base) + u"tone_\u00e9_\u20ac_\U0001F3B5.wma";
  const std::string narrow = base + "tone_\xc3\xa9_\xe2\x82\xac_\xf0\x9f\x8e\xb5.wma";
  std::remove(narrow.c_str());
  {
    int opened = 0;
    EncoderPtr encoder = OpenEncoder(wide, 44100, 2, 64000, PELLOW_CODEC_WMAV2, &opened);
    ASSERT_NE(opened, 0);
  }
  EXPECT_TRUE(FileExists(narrow));
  std::remove(narrow.c_str());
}

TEST(AsfEncoderPath, BrokenUtf16AndNullAreRefused) {
  const std::string base = TempPath("");
  const std::u16string lone = ToUtf16(base) + u"x" + char16_t{0xD800} + u"y.wma";
  int opened = 1;
  EncoderPtr encoder = OpenEncoder(lone, 44100, 2, 64000, PELLOW_CODEC_WMAV2, &opened);
  EXPECT_EQ(opened, 0);
  EXPECT_EQ(AsfEnc_Open(encoder.get(), nullptr), 0);
  EXPECT_EQ(AsfEnc_Open(encoder.get(), u""), 0);
}

TEST(AsfEncoderPath, EscapedBytesBecomeTheSameBytesAgain) {
  // A file name byte that is not UTF-8 arrives as U+DC80 + byte.
  const std::string base = TempPath("");
  const std::u16string wide = ToUtf16(base) + u"x" + char16_t{0xDCFF} + u".wma";
  const std::string narrow = base + "x\xff.wma";
  std::remove(narrow.c_str());
  {
    int opened = 0;
    EncoderPtr encoder = OpenEncoder(wide, 44100, 2, 64000, PELLOW_CODEC_WMAV2, &opened);
    ASSERT_NE(opened, 0);
  }
  EXPECT_TRUE(FileExists(narrow));
  std::remove(narrow.c_str());
}

TEST(AsfEncoderLifecycle, NullAndUnopenedHandlesAreHarmless) {
  EXPECT_EQ(AsfEnc_SetEncodingParams(nullptr, 0, 0, 0, PELLOW_CODEC_WMAV2, 0, 0, 44100, 2, 0), 0);
  EXPECT_EQ(AsfEnc_Open(nullptr, u"x.wma"), 0);
  EXPECT_EQ(AsfEnc_WriteAudioEx(nullptr, nullptr, 0, 44100, 2, 0, 0), 0);
  EXPECT_EQ(AsfEnc_WriteAudioEnd(nullptr), 0);
  EXPECT_EQ(AsfEnc_Close(nullptr), 0);
  AsfEnc_Delete(nullptr);
  EncoderPtr encoder(AsfEnc_Create());
  const std::vector<uint8_t> pcm = MakeTone(kToneHz, 44100, 2, 100);
  EXPECT_EQ(AsfEnc_WriteAudioEx(encoder.get(), pcm.data(), static_cast<int>(pcm.size()), 44100, 2,
                                0, 0),
            0);
  EXPECT_EQ(AsfEnc_Close(encoder.get()), 0);
}

}  // namespace
}  // namespace kelvra::test
