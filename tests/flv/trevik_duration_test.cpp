// The FLV helper's audio block durations: handmade payloads for the frame
// and packet layouts, and whole files checked against FFprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "decoder/tag_file_walker.h"
#include "flv/flv_tag_parsing.h"
#include "support/flv_files.h"
#include "support/programs.h"
#include "trevik/trevik.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::int64_t kUnitsPerSecond = 10'000'000;

std::int64_t Units(std::int64_t samples, int rate) { return samples * kUnitsPerSecond / rate; }

// `times` MPEG audio frames: the four header bytes, then filler up to `length`.
Bytes Mpeg(std::uint8_t b1, std::uint8_t b2, std::size_t length, int times = 1) {
  Bytes frame{0xFF, b1, b2, 0xC4};
  frame.resize(length, 0x00);
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// A Flash ADPCM packet of `bytes` bytes whose first two bits give the code
// size (bits per sample - 2).
Bytes Adpcm(int bitsPerSample, std::size_t bytes) {
  Bytes packet(bytes, 0x5A);
  packet[0] = static_cast<std::uint8_t>(((bitsPerSample - 2) << 6) | 0x15);
  return packet;
}

// One quality-10 wideband Speex frame: narrowband mode 7 (492 bits) and
// wideband mode 4 (352 bits), padded with a terminator to 106 bytes.
Bytes SpeexWideband() {
  Bytes frame(106, 0x00);
  frame[0] = 0x07 << 3;
  frame[492 / 8] |= 0x80 >> (492 % 8);
  frame[493 / 8] |= (0x4 << 5) >> (493 % 8);
  frame[105] = 0x7F;
  return frame;
}

struct DurationRow {
  const char* name;
  Bytes payload;
  int format, rate, bytesPerSample, channels;
  std::int64_t expected;
};

class TrevikDuration : public ::testing::TestWithParam<DurationRow> {};

TEST_P(TrevikDuration, OfThePayload) {
  const DurationRow& row = GetParam();
  EXPECT_EQ(CalcFLVAudioBlockDuration(row.payload.data(), static_cast<int>(row.payload.size()),
                                      row.format, row.rate, row.bytesPerSample, row.channels),
            row.expected);
}

Bytes Truncated() {
  Bytes payload = Mpeg(0xFB, 0x90, 417, 2);
  payload.resize(417 + 10);
  return payload;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, TrevikDuration,
    ::testing::Values(
        // MPEG-1 layer III, 128 kbit/s, 44100 Hz: 417 bytes, 418 padded (a
        // wrong padding length lands the walk off the next header).
        DurationRow{"Mp3Padded", Cat({Mpeg(0xFB, 0x90, 417, 2), Mpeg(0xFB, 0x92, 418), Mpeg(0xFB, 0x90, 417)}),
                    2, 44100, 2, 2, Units(4 * 1152, 44100)},
        DurationRow{"Mp3AllPadded", Mpeg(0xFB, 0x92, 418, 3), 2, 44100, 2, 2, Units(3 * 1152, 44100)},
        // MPEG-2 64 kbit/s 22050 Hz: 208 bytes; MPEG-2.5 32 kbit/s 8000 Hz:
        // 288 bytes whatever the flags rate (format 14); MPEG-2.5 11025 Hz.
        DurationRow{"Mpeg2", Mpeg(0xF3, 0x80, 208, 5), 2, 44100, 2, 2, Units(5 * 576, 22050)},
        DurationRow{"Mpeg25At8k", Mpeg(0xE3, 0x48, 288, 3), 14, 5512, 2, 2, Units(3 * 576, 8000)},
        DurationRow{"Mpeg25", Mpeg(0xE3, 0x10, 52, 4), 2, 44100, 2, 2, Units(4 * 576, 11025)},
        DurationRow{"Layer1", Mpeg(0xFF, 0x10, 32, 3), 2, 44100, 2, 2, Units(3 * 384, 44100)},
        DurationRow{"Layer2", Mpeg(0xFD, 0xA4, 576, 2), 2, 44100, 2, 2, Units(2 * 1152, 48000)},
        DurationRow{"Mp3MixedRates", Cat({Mpeg(0xFB, 0x90, 417), Mpeg(0xFB, 0x94, 384)}), 2, 44100, 2, 2,
                    Units(1152, 44100) + Units(1152, 48000)},
        DurationRow{"Mp3TruncatedLast", Truncated(), 2, 44100, 2, 2, Units(2 * 1152, 44100)},
        DurationRow{"Mp3TrailingJunk", Cat({Mpeg(0xFB, 0x90, 417), {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFB, 0x90}}),
                    2, 44100, 2, 2, Units(1152, 44100)},
        DurationRow{"Mp3NoHeader", Bytes(100, 0), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3LateHeader", Cat({{0x00}, Mpeg(0xFB, 0x90, 417)}), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3ReservedVersion", Mpeg(0xEB, 0x90, 417), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3ReservedLayer", Mpeg(0xF9, 0x90, 417), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3FreeFormat", Mpeg(0xFB, 0x00, 417), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3BadBitRate", Mpeg(0xFB, 0xF0, 417), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3ReservedRate", Mpeg(0xFB, 0x9C, 417), 2, 44100, 2, 2, -1},
        DurationRow{"Mp3ShortHeader", Bytes{0xFF, 0xFB, 0x90}, 2, 44100, 2, 2, -1},
        // ADPCM whole blocks of 4096 samples: 4-bit mono 2 + 22 + 4095 * 4
        // bits; 4-bit stereo 2 + 44 + 4095 * 8; 2-bit mono two blocks.
        DurationRow{"Adpcm4Mono", Adpcm(4, 2051), 1, 22050, 2, 1, Units(4096, 22050)},
        DurationRow{"Adpcm4Stereo", Adpcm(4, 4101), 1, 44100, 2, 2, Units(4096, 44100)},
        DurationRow{"Adpcm2TwoBlocks", Adpcm(2, 2054), 1, 11025, 2, 1, Units(8192, 11025)},
        // Partial last blocks: 798 bits after the code size less the block
        // header, whole codes plus the header's sample.
        DurationRow{"Adpcm4Partial", Adpcm(4, 100), 1, 22050, 2, 1, Units(195, 22050)},
        DurationRow{"Adpcm5StereoPartial", Adpcm(5, 100), 1, 22050, 2, 2, Units(76, 22050)},
        DurationRow{"Adpcm3SecondBlock", Adpcm(3, 1549), 1, 22050, 2, 1, Units(4096 + 21, 22050)},
        DurationRow{"AdpcmNoBlockHeader", Adpcm(4, 2), 1, 22050, 2, 1, 0},
        DurationRow{"AdpcmThreeChannels", Bytes(100, 0xAB), 1, 22050, 2, 3, -1},
        DurationRow{"Pcm16Stereo", Bytes(44100 * 4), 3, 44100, 2, 2, kUnitsPerSecond},
        DurationRow{"Pcm8Mono", Bytes(11025), 0, 11025, 1, 1, kUnitsPerSecond},
        DurationRow{"PcmPartialFrame", Bytes(7), 0, 22050, 2, 2, Units(1, 22050)},
        DurationRow{"PcmRateZero", Bytes(10), 3, 0, 2, 1, -1},
        DurationRow{"G711ALaw", Bytes(1024), 7, 5512, 2, 1, Units(1024, 8000)},
        DurationRow{"G711MuLaw", Bytes(1024), 8, 44100, 1, 1, Units(1024, 8000)},
        DurationRow{"Nelly16k", Bytes(64), 4, 5512, 2, 1, Units(256, 16000)},
        DurationRow{"Nelly8k", Bytes(128), 5, 44100, 2, 2, Units(512, 8000)},
        DurationRow{"NellyFlagsRate", Bytes(64 * 3), 6, 22050, 2, 1, Units(768, 22050)},
        DurationRow{"AacRaw", Bytes{0x01, 0x21, 0x10}, 10, 44100, 2, 2, Units(1024, 44100)},
        DurationRow{"AacConfig", Bytes{0x00, 0x12, 0x10}, 10, 44100, 2, 2, 0},
        DurationRow{"AacUnknownPacket", Bytes{0x02}, 10, 44100, 2, 2, -1},
        DurationRow{"SpeexWideband", SpeexWideband(), 11, 5512, 2, 1, 200000},
        // Five mode-0 frames (5 bits each), then a terminator.
        DurationRow{"SpeexSilence", Bytes{0x00, 0x00, 0x00, 0x3F}, 11, 22050, 2, 1, 5 * 200000},
        DurationRow{"SpeexUndecodableIsOneFrame", Bytes{0x7F, 0xFF}, 11, 22050, 2, 1, 200000},
        DurationRow{"Format9", Bytes(64), 9, 44100, 2, 2, -1},
        DurationRow{"Format12", Bytes(64), 12, 44100, 2, 2, -1},
        DurationRow{"Format13", Bytes(64), 13, 44100, 2, 2, -1},
        DurationRow{"Format15", Bytes(64), 15, 44100, 2, 2, -1},
        DurationRow{"Format16", Bytes(64), 16, 44100, 2, 2, -1},
        DurationRow{"FormatMinus1", Bytes(64), -1, 44100, 2, 2, -1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TrevikDuration, EmptyOrNegativeLengths) {
  for (int format : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 14}) {
    EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 0, format, 44100, 2, 2), 0) << format;
  }
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, -5, 3, 44100, 2, 2), -1);
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 10, 2, 44100, 2, 2), -1);
}

// Every audio tag of a file with more than its flags byte: time stamp and
// block duration.
std::vector<std::pair<std::uint32_t, std::int64_t>> AudioTagDurations(const fs::path& path) {
  std::vector<std::pair<std::uint32_t, std::int64_t>> tags;
  for (const auto& tag : kelvra::test::ReadTagsOfType(path.string(), FLV_TAG_TYPE_AUDIO)) {
    if (tag->dataSize > 1) tags.emplace_back(tag->timestamp, kelvra::CalcAudioBlockDuration(tag.get()));
  }
  return tags;
}

// Audio seconds FFprobe finds: from the first packet's time stamp to the end
// of the last (a sum of whole-millisecond durations drifts; the span does
// not). A packet without a duration counts `fallbackLast`. Negative when
// FFprobe finds no audio.
double FfprobeAudioSeconds(const fs::path& path, double fallbackLast) {
  const kelvra::test::ProgramRun run = kelvra::test::RunProgram(
      "ffprobe", {"-v", "error", "-select_streams", "a", "-show_packets", "-show_entries",
                  "packet=pts_time,duration_time", "-of", "csv=p=0", path.string()});
  if (run.exitCode != 0) return -1;
  const std::string& text = run.out;
  std::istringstream lines(text);
  std::string line;
  double first = -1;
  double end = 0;
  while (std::getline(lines, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos || line.compare(0, 3, "N/A") == 0) continue;
    const double pts = std::atof(line.c_str());
    const std::string durationText = line.substr(comma + 1);
    const double duration =
        durationText.compare(0, 3, "N/A") == 0 ? fallbackLast : std::atof(durationText.c_str());
    if (first < 0) first = pts;
    end = std::max(end, pts + duration);
  }
  return first < 0 ? -1 : end - first;
}

class TrevikAgainstFfprobe : public ::testing::TestWithParam<const char*> {};

TEST_P(TrevikAgainstFfprobe, AudioDurationMatchesWithinOneFrame) {
  const fs::path path = kelvra::test::FixturePath(GetParam());
  std::int64_t total = 0;
  std::int64_t largest = 0;
  for (const auto& [stamp, duration] : AudioTagDurations(path)) {
    EXPECT_GE(duration, 0) << stamp;
    total += duration;
    largest = std::max(largest, duration);
  }
  const double largestTag = static_cast<double>(largest) / kUnitsPerSecond;
  const double expected = FfprobeAudioSeconds(path, largestTag);
  if (expected < 0) GTEST_SKIP() << "ffprobe gave no audio packets";
  EXPECT_NEAR(static_cast<double>(total) / kUnitsPerSecond, expected, largestTag + 1e-6);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, TrevikAgainstFfprobe,
    ::testing::Values("real/ruffle-rs_ruffle_square.flv",
                      "real/ruffle-rs_ruffle_netstream_play_flv_test_video.flv",
                      "real/apache_flex-sdk_phone.flv", "real/apache_flex-sdk_caltrain.flv",
                      "real/Red5_red5-server_NAPNAP.flv", "real/exiftool_exiftool_Flash.flv",
                      "real/ruffle-rs_ruffle_tone_alaw_mono.flv",
                      "real/ruffle-rs_ruffle_tone_mulaw_mono.flv",
                      "real/mondain_red5_fp_fcs_live_audio.flv",
                      "real/mondain_red5_fp_fcs_live_video.flv",
                      "generated/gen_adpcm_swf_22050_mono.flv",
                      "generated/gen_adpcm_swf_44100_stereo.flv",
                      "generated/gen_nellymoser_16000_mono.flv",
                      "generated/gen_nellymoser_8000_mono.flv",
                      "generated/gen_nellymoser_22050_mono.flv",
                      "generated/gen_pcm_u8_11025_mono.flv",
                      "generated/gen_pcm_s16be_22050_mono.flv",
                      "generated/gen_pcm_s16le_44100_stereo.flv"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      std::string name = fs::path(info.param).stem().string();
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
      return name;
    });

// FFmpeg has no Speex packet durations, so recorded Speex files are checked
// against their own time stamps (jittery: medians are compared); every tag
// plays a whole number of 20 ms frames.
TEST(TrevikSpeex, RecordedFilesMatchTheirTimeStamps) {
  for (const char* name : {"real/Red5_red5-server_h264_speex.flv", "real/Red5_red5-server_flashContent.flv"}) {
    SCOPED_TRACE(name);
    const auto tags = AudioTagDurations(kelvra::test::FixturePath(name));
    ASSERT_GT(tags.size(), 10u);
    std::vector<std::int64_t> spacings;
    std::vector<std::int64_t> durations;
    for (std::size_t i = 0; i + 1 < tags.size(); ++i) {
      spacings.push_back(static_cast<std::int64_t>(tags[i + 1].first - tags[i].first) * 10000);
      durations.push_back(tags[i].second);
      ASSERT_GT(tags[i].second, 0);
      ASSERT_EQ(tags[i].second % 200000, 0);
    }
    const auto median = [](std::vector<std::int64_t> values) {
      std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
      return values[values.size() / 2];
    };
    EXPECT_NEAR(median(durations), median(spacings), 20000);  // 2 ms
  }
}

}  // namespace
