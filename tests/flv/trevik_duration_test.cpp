// The FLV helper's audio block durations: handmade payloads for the frame
// and packet layouts, and whole files checked against FFprobe.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "flv/flv_tag_parsing.h"
#include "trevik/trevik.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr std::int64_t kUnitsPerSecond = 10'000'000;

std::int64_t Duration(const Bytes& payload, int format, int rate = 44100, int bytesPerSample = 2,
                      int channels = 2) {
  return CalcFLVAudioBlockDuration(payload.data(), static_cast<int>(payload.size()), format, rate,
                                   bytesPerSample, channels);
}

std::int64_t Units(std::int64_t samples, int rate) { return samples * kUnitsPerSecond / rate; }

// One MPEG audio frame: the four header bytes, then filler up to `length`.
Bytes MpegFrame(std::uint8_t b1, std::uint8_t b2, std::size_t length) {
  Bytes frame{0xFF, b1, b2, 0xC4};
  frame.resize(length, 0x00);
  return frame;
}

Bytes Repeat(const Bytes& frame, int times) {
  Bytes out;
  for (int i = 0; i < times; ++i) out.insert(out.end(), frame.begin(), frame.end());
  return out;
}

// ------------------------------------------------------------------- MP3

TEST(TrevikMp3, Mpeg1Layer3FramesAre1152Samples) {
  // 128 kbit/s, 44100 Hz: 417 bytes, 418 with the padding bit.
  const Bytes plain = MpegFrame(0xFB, 0x90, 417);
  const Bytes padded = MpegFrame(0xFB, 0x92, 418);
  Bytes payload = Repeat(plain, 2);
  payload.insert(payload.end(), padded.begin(), padded.end());
  payload.insert(payload.end(), plain.begin(), plain.end());
  EXPECT_EQ(Duration(payload, 2), Units(4 * 1152, 44100));
  // A wrong padding length would land the walk off the next header.
  EXPECT_EQ(Duration(Repeat(padded, 3), 2), Units(3 * 1152, 44100));
}

TEST(TrevikMp3, Mpeg2AndMpeg25Layer3FramesAre576Samples) {
  // MPEG-2, 64 kbit/s, 22050 Hz: 72 * 64000 / 22050 = 208 bytes.
  EXPECT_EQ(Duration(Repeat(MpegFrame(0xF3, 0x80, 208), 5), 2), Units(5 * 576, 22050));
  // MPEG-2.5, 32 kbit/s, 8000 Hz: 72 * 32000 / 8000 = 288 bytes; the flags
  // byte's rate does not matter (sound format 14 is MP3 at 8 kHz).
  EXPECT_EQ(Duration(Repeat(MpegFrame(0xE3, 0x48, 288), 3), 14, 5512), Units(3 * 576, 8000));
  // MPEG-2.5, 11025 Hz, 8 kbit/s: 72 * 8000 / 11025 = 52 bytes.
  EXPECT_EQ(Duration(Repeat(MpegFrame(0xE3, 0x10, 52), 4), 2), Units(4 * 576, 11025));
}

TEST(TrevikMp3, Layer1And2FrameSizes) {
  // Layer I, MPEG-1, 32 kbit/s, 44100 Hz: (12 * 32000 / 44100) * 4 = 32 bytes.
  EXPECT_EQ(Duration(Repeat(MpegFrame(0xFF, 0x10, 32), 3), 2), Units(3 * 384, 44100));
  // Layer II, MPEG-1, 192 kbit/s, 48000 Hz: 144 * 192000 / 48000 = 576.
  EXPECT_EQ(Duration(Repeat(MpegFrame(0xFD, 0xA4, 576), 2), 2), Units(2 * 1152, 48000));
}

TEST(TrevikMp3, FramesOfDifferentRatesEachCountAtTheirOwn) {
  Bytes payload = MpegFrame(0xFB, 0x90, 417);           // 44100 Hz
  const Bytes other = MpegFrame(0xFB, 0x94, 384);       // 48000 Hz, 128 kbit/s
  payload.insert(payload.end(), other.begin(), other.end());
  EXPECT_EQ(Duration(payload, 2), Units(1152, 44100) + Units(1152, 48000));
}

TEST(TrevikMp3, TruncatedLastFrameCountsAndTrailingJunkEndsTheWalk) {
  Bytes payload = Repeat(MpegFrame(0xFB, 0x90, 417), 2);
  payload.resize(417 + 10);
  EXPECT_EQ(Duration(payload, 2), Units(2 * 1152, 44100));
  Bytes junk = MpegFrame(0xFB, 0x90, 417);
  junk.insert(junk.end(), {0x12, 0x34, 0x56, 0x78, 0xFF, 0xFB, 0x90});
  EXPECT_EQ(Duration(junk, 2), Units(1152, 44100));
}

TEST(TrevikMp3, NoFrameHeaderAtTheStartGivesMinusOne) {
  EXPECT_EQ(Duration(Bytes(100, 0x00), 2), -1);
  Bytes late = MpegFrame(0xFB, 0x90, 417);
  late.insert(late.begin(), 0x00);
  EXPECT_EQ(Duration(late, 2), -1);
  // Reserved version, reserved layer, free format, bad bit rate, reserved
  // sampling rate.
  for (const auto& [b1, b2] : std::vector<std::pair<std::uint8_t, std::uint8_t>>{
           {0xEB, 0x90}, {0xF9, 0x90}, {0xFB, 0x00}, {0xFB, 0xF0}, {0xFB, 0x9C}}) {
    EXPECT_EQ(Duration(MpegFrame(b1, b2, 417), 2), -1) << int(b1) << " " << int(b2);
  }
  EXPECT_EQ(Duration(Bytes{0xFF, 0xFB, 0x90}, 2), -1);
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 10, 2, 44100, 2, 2), -1);
}

// ------------------------------------------------------------------ ADPCM

// A Flash ADPCM packet of `bytes` bytes whose first two bits give the code
// size (bits per sample - 2).
Bytes AdpcmPacket(int bitsPerSample, std::size_t bytes) {
  Bytes packet(bytes, 0x5A);
  packet[0] = static_cast<std::uint8_t>(((bitsPerSample - 2) << 6) | 0x15);
  return packet;
}

TEST(TrevikAdpcm, WholeBlocksAre4096Samples) {
  // 4 bits, mono: 2 + 22 + 4095 * 4 = 16404 bits, 2051 bytes (4 spare bits).
  EXPECT_EQ(Duration(AdpcmPacket(4, 2051), 1, 22050, 2, 1), Units(4096, 22050));
  // 4 bits, stereo: 2 + 44 + 4095 * 8 = 32806 bits, 4101 bytes.
  EXPECT_EQ(Duration(AdpcmPacket(4, 4101), 1, 44100, 2, 2), Units(4096, 44100));
  // 2 bits, mono, two blocks: 2 + 2 * (22 + 8190) = 16426 bits, 2054 bytes.
  EXPECT_EQ(Duration(AdpcmPacket(2, 2054), 1, 11025, 2, 1), Units(8192, 11025));
}

TEST(TrevikAdpcm, PartialLastBlock) {
  // 4 bits, mono, 100 bytes: 798 bits after the code size; 22 header bits,
  // then 194 whole codes: 195 samples.
  EXPECT_EQ(Duration(AdpcmPacket(4, 100), 1, 22050, 2, 1), Units(195, 22050));
  // 5 bits, stereo, 100 bytes: 798 - 44 = 754 bits, 75 code pairs: 76.
  EXPECT_EQ(Duration(AdpcmPacket(5, 100), 1, 22050, 2, 2), Units(76, 22050));
  // 3 bits, mono: code size and one block are 2 + 22 + 12285 = 12309 bits;
  // 1549 bytes leave 83 bits for the second block: its header and 20 codes.
  EXPECT_EQ(Duration(AdpcmPacket(3, 1549), 1, 22050, 2, 1), Units(4096 + 21, 22050));
  // Too short for the first block header: no samples.
  EXPECT_EQ(Duration(AdpcmPacket(4, 2), 1, 22050, 2, 1), 0);
}

// ------------------------------------------------------ fixed-size formats

TEST(TrevikFixedFormats, LinearPcmCountsWholeSampleFrames) {
  EXPECT_EQ(Duration(Bytes(44100 * 4), 3, 44100, 2, 2), kUnitsPerSecond);
  EXPECT_EQ(Duration(Bytes(11025), 0, 11025, 1, 1), kUnitsPerSecond);
  EXPECT_EQ(Duration(Bytes(7), 0, 22050, 2, 2), Units(1, 22050));
  EXPECT_EQ(Duration(Bytes(10), 3, 0, 2, 1), -1);
}

TEST(TrevikFixedFormats, G711IsAlways8000Hz) {
  EXPECT_EQ(Duration(Bytes(1024), 7, 5512, 2, 1), Units(1024, 8000));
  EXPECT_EQ(Duration(Bytes(1024), 8, 44100, 1, 1), Units(1024, 8000));
}

TEST(TrevikFixedFormats, NellymoserBlocksBy256Samples) {
  EXPECT_EQ(Duration(Bytes(64), 4, 5512, 2, 1), Units(256, 16000));
  EXPECT_EQ(Duration(Bytes(128), 5, 44100, 2, 2), Units(512, 8000));
  EXPECT_EQ(Duration(Bytes(64 * 3), 6, 22050, 2, 1), Units(768, 22050));
}

TEST(TrevikFixedFormats, AacByPacketType) {
  EXPECT_EQ(Duration(Bytes{0x01, 0x21, 0x10}, 10, 44100), Units(1024, 44100));
  EXPECT_EQ(Duration(Bytes{0x00, 0x12, 0x10}, 10, 44100), 0);
  EXPECT_EQ(Duration(Bytes{0x02}, 10, 44100), -1);
}

TEST(TrevikFixedFormats, SpeexFramesOf20Milliseconds) {
  // One quality-10 wideband frame: narrowband mode 7 (492 bits) and
  // wideband mode 4 (352 bits), padded with a terminator to 106 bytes.
  Bytes frame(106, 0x00);
  frame[0] = 0x07 << 3;                         // flag 0, mode 7
  frame[492 / 8] |= 0x80 >> (492 % 8);          // wideband flag at bit 492
  frame[493 / 8] |= (0x4 << 5) >> (493 % 8);    // mode 4 (100), fits in the byte
  frame[105] = 0x7F;                            // terminator: 0 then ones
  EXPECT_EQ(Duration(frame, 11, 5512, 2, 1), 200000);
  // Several frames in one payload: mode 0 frames (5 bits each) then a
  // terminator.
  const Bytes silence{0x00, 0x00, 0x00, 0x3F};  // 5 x mode 0, 0 + ones
  EXPECT_EQ(Duration(silence, 11, 22050, 2, 1), 5 * 200000);
  // Undecodable: counted as one frame.
  EXPECT_EQ(Duration(Bytes{0x7F, 0xFF}, 11, 22050, 2, 1), 200000);
}

TEST(TrevikFixedFormats, EmptyUnknownAndBadArguments) {
  for (int format : {9, 12, 13, 15, 16, -1}) EXPECT_EQ(Duration(Bytes(64), format), -1) << format;
  for (int format : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 11, 14}) {
    EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, 0, format, 44100, 2, 2), 0) << format;
  }
  EXPECT_EQ(CalcFLVAudioBlockDuration(nullptr, -5, 3, 44100, 2, 2), -1);
  EXPECT_EQ(Duration(Bytes(100, 0xAB), 1, 22050, 2, 3), -1);  // ADPCM has 1 or 2 channels
}

// ------------------------------------------------------- against FFprobe

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct PipeCloser {
  void operator()(FILE* f) const { pclose(f); }
};

// Audio duration in seconds that FFprobe finds: from the first packet's
// time stamp to the end of the last packet. (FLV time stamps and FFprobe's
// packet durations are whole milliseconds, so a sum of packet durations
// drifts; the span does not.) A last packet without a duration counts
// `fallbackLast`. Negative when FFprobe cannot be run or finds no audio.
double FfprobeAudioSeconds(const fs::path& path, double fallbackLast) {
  const std::string command =
      "ffprobe -v error -select_streams a -show_packets -show_entries "
      "packet=pts_time,duration_time -of csv=p=0 '" + path.string() + "' 2>/dev/null";
  std::unique_ptr<FILE, PipeCloser> pipe(popen(command.c_str(), "r"));
  if (!pipe) return -1;
  std::string text;
  char buffer[4096];
  while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) text.append(buffer, n);
  std::istringstream lines(text);
  std::string line;
  bool any = false;
  double first = 0;
  double end = 0;
  while (std::getline(lines, line)) {
    const auto comma = line.find(',');
    if (comma == std::string::npos || line.compare(0, 3, "N/A") == 0) continue;
    const double pts = std::atof(line.c_str());
    const std::string durationText = line.substr(comma + 1);
    const double duration =
        durationText.compare(0, 3, "N/A") == 0 ? fallbackLast : std::atof(durationText.c_str());
    if (!any) first = pts;
    any = true;
    end = std::max(end, pts + duration);
  }
  return any ? end - first : -1;
}

// The sum of the audio block durations of every audio tag, in seconds, and
// the number of tags that had none.
double TagDurationSeconds(const fs::path& path, int* unknown, double* largestTag) {
  const auto file = ReadFile(path);
  kelvra::FLVHeaderFields header;
  if (!kelvra::ParseFLVHeader(file.data(), file.size(), &header)) return -1;
  std::int64_t position = header.firstTagPosition;
  std::int64_t total = 0;
  std::int64_t largest = 0;
  *unknown = 0;
  while (position + 11 <= static_cast<std::int64_t>(file.size())) {
    FLVTag* tag = kelvra::NewFLVTag();
    std::uint32_t toEnd = 0;
    std::int64_t next = position;
    const std::uint8_t* bytes = file.data() + position;
    kelvra::ParseFLVTagHeader(bytes, 11, false, tag, &next, &toEnd);
    const std::int64_t available = static_cast<std::int64_t>(file.size()) - position - 11;
    if (tag->tagType == 8 && available >= tag->dataSize) {
      kelvra::ParseFLVTagHeader(bytes, 11, true, tag, &next, &toEnd);
      kelvra::ParseFLVTagBody(bytes + 11, std::min<std::int64_t>(toEnd, available), tag);
      const std::int64_t duration = kelvra::CalcAudioBlockDuration(tag);
      if (duration < 0) {
        ++*unknown;
      } else {
        total += duration;
        largest = std::max(largest, duration);
      }
    }
    kelvra::DeleteFLVTag(tag);
    position = next;
  }
  *largestTag = static_cast<double>(largest) / kUnitsPerSecond;
  return static_cast<double>(total) / kUnitsPerSecond;
}

class TrevikAgainstFfprobe : public ::testing::TestWithParam<const char*> {};

TEST_P(TrevikAgainstFfprobe, AudioDurationMatchesWithinOneFrame) {
  const fs::path path = fs::path(KELVRA_FIXTURES_DIR) / GetParam();
  ASSERT_TRUE(fs::exists(path)) << "fixture missing: " << path;
  int unknown = 0;
  double largestTag = 0;
  const double actual = TagDurationSeconds(path, &unknown, &largestTag);
  const double expected = FfprobeAudioSeconds(path, largestTag);
  if (expected < 0) GTEST_SKIP() << "ffprobe gave no audio packets";
  EXPECT_EQ(unknown, 0);
  EXPECT_NEAR(actual, expected, largestTag + 1e-6)
      << "ffprobe " << expected << " s, tags " << actual << " s";
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
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

}  // namespace

namespace {

// Speex has no FFprobe packet durations here (the decoder is not built in),
// so its tag durations are checked against the tags' own time stamps: a
// recorder stamps each tag when it was captured.
TEST(TrevikSpeex, RecordedFilesMatchTheirTimeStamps) {
  for (const char* name : {"real/Red5_red5-server_h264_speex.flv", "real/Red5_red5-server_flashContent.flv"}) {
    SCOPED_TRACE(name);
    const fs::path path = fs::path(KELVRA_FIXTURES_DIR) / name;
    if (!fs::exists(path)) {
      ADD_FAILURE() << "fixture missing: " << path;
      continue;
    }
    const auto file = ReadFile(path);
    kelvra::FLVHeaderFields header;
    ASSERT_TRUE(kelvra::ParseFLVHeader(file.data(), file.size(), &header));
    std::int64_t position = header.firstTagPosition;
    std::vector<std::pair<std::uint32_t, std::int64_t>> tags;  // time stamp, duration
    while (position + 11 <= static_cast<std::int64_t>(file.size())) {
      FLVTag* tag = kelvra::NewFLVTag();
      std::uint32_t toEnd = 0;
      std::int64_t next = position;
      const std::uint8_t* bytes = file.data() + position;
      kelvra::ParseFLVTagHeader(bytes, 11, false, tag, &next, &toEnd);
      const std::int64_t available = static_cast<std::int64_t>(file.size()) - position - 11;
      if (tag->tagType == 8 && tag->dataSize > 1 && available >= tag->dataSize) {
        kelvra::ParseFLVTagHeader(bytes, 11, true, tag, &next, &toEnd);
        kelvra::ParseFLVTagBody(bytes + 11, std::min<std::int64_t>(toEnd, available), tag);
        tags.emplace_back(tag->timestamp, kelvra::CalcAudioBlockDuration(tag));
      }
      kelvra::DeleteFLVTag(tag);
      position = next;
    }
    ASSERT_GT(tags.size(), 10u);
    // Live recordings stamp with jitter and holes, so the typical (median)
    // tag spacing is compared with the typical tag duration.
    std::vector<std::int64_t> spacings;
    std::vector<std::int64_t> durations;
    for (std::size_t i = 0; i + 1 < tags.size(); ++i) {
      spacings.push_back(static_cast<std::int64_t>(tags[i + 1].first - tags[i].first) * 10000);
      durations.push_back(tags[i].second);
      // Every tag plays for a whole number of 20 ms frames.
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
