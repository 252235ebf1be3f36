#include "support/flv_files.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace kelvra::test {
namespace {

constexpr std::uint8_t kAudio = 8;
constexpr std::uint8_t kVideo = 9;
constexpr std::uint8_t kScript = 18;

struct WalkedTag {
  std::uint8_t type;
  std::uint32_t timestamp;
  std::uint32_t dataSize;
  std::uint8_t firstByte;  // the audio flags or video frame/codec byte
};

struct WalkedFile {
  std::uint8_t headerFlags = 0;
  std::vector<WalkedTag> tags;

  std::vector<WalkedTag> Of(std::uint8_t type) const {
    std::vector<WalkedTag> out;
    std::copy_if(tags.begin(), tags.end(), std::back_inserter(out),
                 [type](const WalkedTag& t) { return t.type == type; });
    return out;
  }
};

std::uint32_t U24(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 16) | (std::uint32_t{b[at + 1]} << 8) | b[at + 2];
}
std::uint32_t U32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | U24(b, at + 1);
}

// Walks the whole file, checking the framing on the way: every tag complete
// and every previous-tag-size field equal to the size of the tag before it.
WalkedFile Walk(const std::string& path) {
  WalkedFile file;
  const std::vector<std::uint8_t> b = ReadWholeFile(path);
  if (b.size() < 13) {
    ADD_FAILURE() << path << " is too short";
    return file;
  }
  EXPECT_EQ(std::string(b.begin(), b.begin() + 3), "FLV");
  file.headerFlags = b[4];
  std::size_t at = U32(b, 5);
  EXPECT_EQ(U32(b, at), 0u) << "first previous-tag-size";
  at += 4;
  while (at < b.size()) {
    if (b.size() - at < 15) {
      ADD_FAILURE() << "cut tag at " << at;
      break;
    }
    WalkedTag tag{b[at], U24(b, at + 4) | (std::uint32_t{b[at + 7]} << 24), U24(b, at + 1), 0};
    if (b.size() - at < 15 + tag.dataSize) {
      ADD_FAILURE() << "cut tag body at " << at;
      break;
    }
    if (tag.dataSize > 0) tag.firstByte = b[at + 11];
    EXPECT_EQ(U32(b, at + 11 + tag.dataSize), tag.dataSize + 11) << "previous-tag-size after " << at;
    file.tags.push_back(tag);
    at += 15 + tag.dataSize;
  }
  return file;
}

// ---- audio codecs, rates and channel counts ----

struct AudioCase {
  const char* name;
  AudioCodec codec;
  int rate;
  int channels;
  std::uint8_t expectedFlags;  // format, rate index, size, type
};

void PrintTo(const AudioCase& c, std::ostream* os) { *os << c.name; }

class GeneratedAudioTest : public ::testing::TestWithParam<AudioCase> {};

TEST_P(GeneratedAudioTest, AudioTagsCarryTheExpectedFlags) {
  const AudioCase& c = GetParam();
  FlvSpec fileSpec;
  fileSpec.audio = c.codec;
  fileSpec.sampleRate = c.rate;
  fileSpec.channels = c.channels;
  const std::string path = GenerateFlv(fileSpec);
  ASSERT_FALSE(path.empty());
  const WalkedFile file = Walk(path);
  EXPECT_EQ(file.headerFlags, 0x04);
  EXPECT_TRUE(file.Of(kVideo).empty());
  const auto audio = file.Of(kAudio);
  ASSERT_GT(audio.size(), 3u);
  for (const WalkedTag& t : audio) {
    ASSERT_EQ(t.firstByte, c.expectedFlags) << "at " << t.timestamp << " ms";
    EXPECT_GT(t.dataSize, 1u);
  }
  EXPECT_TRUE(std::is_sorted(audio.begin(), audio.end(), [](const auto& a, const auto& b) {
    return a.timestamp < b.timestamp;
  }));
  // A two-second tone: the last block starts in the final few hundred ms.
  EXPECT_GT(audio.back().timestamp, 1500u);
  EXPECT_LE(audio.back().timestamp, 2100u);
}

INSTANTIATE_TEST_SUITE_P(
    Codecs, GeneratedAudioTest,
    ::testing::Values(AudioCase{"mp3_11025_mono", AudioCodec::kMp3, 11025, 1, 0x26},
                      AudioCase{"mp3_22050_stereo", AudioCodec::kMp3, 22050, 2, 0x2B},
                      AudioCase{"mp3_44100_stereo", AudioCodec::kMp3, 44100, 2, 0x2F},
                      AudioCase{"mp3_44100_mono", AudioCodec::kMp3, 44100, 1, 0x2E},
                      AudioCase{"mp3_8000_goes_to_11025", AudioCodec::kMp3, 8000, 1, 0x26},
                      AudioCase{"adpcm_22050_mono", AudioCodec::kAdpcmSwf, 22050, 1, 0x1A},
                      AudioCase{"adpcm_44100_stereo", AudioCodec::kAdpcmSwf, 44100, 2, 0x1F},
                      AudioCase{"adpcm_48000_goes_to_44100", AudioCodec::kAdpcmSwf, 48000, 1, 0x1E},
                      AudioCase{"nelly_8000", AudioCodec::kNellymoser, 8000, 1, 0x52},
                      AudioCase{"nelly_16000", AudioCodec::kNellymoser, 16000, 1, 0x42},
                      AudioCase{"nelly_22050", AudioCodec::kNellymoser, 22050, 1, 0x6A},
                      AudioCase{"nelly_stereo_made_mono", AudioCodec::kNellymoser, 22050, 2, 0x6A},
                      AudioCase{"s16le_44100_stereo", AudioCodec::kPcmS16le, 44100, 2, 0x3F},
                      AudioCase{"s16le_22050_mono", AudioCodec::kPcmS16le, 22050, 1, 0x3A},
                      AudioCase{"s16le_5512_mono", AudioCodec::kPcmS16le, 5512, 1, 0x32},
                      AudioCase{"u8_11025_mono", AudioCodec::kPcmU8, 11025, 1, 0x04},
                      AudioCase{"u8_22050_stereo", AudioCodec::kPcmU8, 22050, 2, 0x09}),
    [](const ::testing::TestParamInfo<AudioCase>& info) { return std::string(info.param.name); });

// ---- video and layouts ----

TEST(GeneratedFlvTest, VideoOnlyFiles) {
  for (const auto& [codec, codecId] :
       {std::pair{VideoCodec::kH263, 2}, std::pair{VideoCodec::kScreenVideo, 3}}) {
    FlvSpec fileSpec;
    fileSpec.audio = AudioCodec::kNone;
    fileSpec.video = codec;
    const std::string path = GenerateFlv(fileSpec);
    ASSERT_FALSE(path.empty());
    const WalkedFile file = Walk(path);
    EXPECT_EQ(file.headerFlags, 0x01);
    EXPECT_TRUE(file.Of(kAudio).empty());
    const auto video = file.Of(kVideo);
    ASSERT_GE(video.size(), 25u);  // 2 s at 15 frames per second, give or take
    int keyFrames = 0;
    for (const WalkedTag& t : video) {
      EXPECT_EQ(t.firstByte & 0x0F, codecId);
      if ((t.firstByte >> 4) == 1) ++keyFrames;
    }
    EXPECT_EQ(video.front().firstByte >> 4, 1) << "starts with a key frame";
    EXPECT_GE(keyFrames, 2);
  }
}

TEST(GeneratedFlvTest, AudioAndVideoTogether) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kMp3;
  fileSpec.sampleRate = 44100;
  fileSpec.channels = 1;
  fileSpec.video = VideoCodec::kH263;
  fileSpec.width = 176;
  fileSpec.height = 144;
  const std::string path = GenerateFlv(fileSpec);
  ASSERT_FALSE(path.empty());
  const WalkedFile file = Walk(path);
  EXPECT_EQ(file.headerFlags, 0x05);
  EXPECT_GT(file.Of(kAudio).size(), 10u);
  EXPECT_GT(file.Of(kVideo).size(), 10u);
  EXPECT_EQ(file.Of(kScript).size(), 1u);
  for (const WalkedTag& t : file.Of(kAudio)) ASSERT_EQ(t.firstByte, 0x2E);
  for (const WalkedTag& t : file.Of(kVideo)) ASSERT_EQ(t.firstByte & 0x0F, 2);
}

TEST(GeneratedFlvTest, AudioHoleHasOneEmptyTagAndNothingElse) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kMp3;
  fileSpec.sampleRate = 22050;
  fileSpec.channels = 2;
  fileSpec.holeStartMs = 500;
  fileSpec.holeLengthMs = 700;
  const WalkedFile holed = Walk(GenerateFlv(fileSpec));
  fileSpec.holeStartMs = -1;
  const WalkedFile whole = Walk(GenerateFlv(fileSpec));

  const auto inHole = [](const WalkedTag& t) { return t.timestamp >= 500 && t.timestamp < 1200; };
  std::vector<WalkedTag> holeTags;
  for (const WalkedTag& t : holed.Of(kAudio)) {
    if (inHole(t)) holeTags.push_back(t);
  }
  ASSERT_EQ(holeTags.size(), 1u);
  EXPECT_EQ(holeTags[0].timestamp, 500u);
  EXPECT_EQ(holeTags[0].dataSize, 1u);
  EXPECT_EQ(holeTags[0].firstByte, 0x2B);

  // Everything outside the hole is left as it was, in the same order.
  std::vector<std::uint32_t> kept, expected;
  for (const WalkedTag& t : holed.tags) {
    if (!(t.type == kAudio && inHole(t))) kept.push_back(t.timestamp);
  }
  for (const WalkedTag& t : whole.tags) {
    if (!(t.type == kAudio && inHole(t))) expected.push_back(t.timestamp);
  }
  EXPECT_EQ(kept, expected);
  const std::size_t audioInHole = static_cast<std::size_t>(
      std::count_if(whole.tags.begin(), whole.tags.end(),
                    [&](const WalkedTag& t) { return t.type == kAudio && inHole(t); }));
  EXPECT_GT(audioInHole, 20u);
  EXPECT_EQ(holed.Of(kAudio).size(), whole.Of(kAudio).size() - audioInHole + 1);
}

TEST(GeneratedFlvTest, HoleAtTheStartKeepsTheMetadataFirst) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kAdpcmSwf;
  fileSpec.holeStartMs = 0;
  fileSpec.holeLengthMs = 400;
  const WalkedFile file = Walk(GenerateFlv(fileSpec));
  ASSERT_GE(file.tags.size(), 3u);
  EXPECT_EQ(file.tags[0].type, kScript);
  EXPECT_EQ(file.tags[1].type, kAudio);
  EXPECT_EQ(file.tags[1].timestamp, 0u);
  EXPECT_EQ(file.tags[1].dataSize, 1u);
  EXPECT_GE(file.tags[2].timestamp, 400u);
}

// ---- caching, scratch folder and file helpers ----

TEST(GeneratedFlvTest, EachSpecIsMadeOnce) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kPcmU8;
  fileSpec.sampleRate = 11025;
  fileSpec.channels = 1;
  fileSpec.toneHz = 1000;
  const std::string first = GenerateFlv(fileSpec);
  ASSERT_FALSE(first.empty());
  const auto madeAt = std::filesystem::last_write_time(first);
  EXPECT_EQ(GenerateFlv(fileSpec), first);
  EXPECT_EQ(std::filesystem::last_write_time(first), madeAt);
  // Kept in the build folder, so later test processes find it.
  EXPECT_EQ(std::filesystem::path(first).parent_path(),
            std::filesystem::path(KELVRA_BINARY_DIR) / "generated-flv");

  fileSpec.toneHz = 1500;
  const std::string other = GenerateFlv(fileSpec);
  EXPECT_NE(other, first);
  EXPECT_NE(ReadWholeFile(other), ReadWholeFile(first));
}

TEST(GeneratedFlvTest, ImpossibleSpecFailsTheTest) {
  FlvSpec fileSpec;
  fileSpec.audio = AudioCodec::kNone;
  fileSpec.video = VideoCodec::kNone;
  EXPECT_NONFATAL_FAILURE(EXPECT_EQ(GenerateFlv(fileSpec), ""), "needs audio or video");
}

TEST(FlvFilesTest, ScratchFolderExistsAndIsStable) {
  const std::string dir = TestTempDir();
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_EQ(TestTempDir(), dir);
}

TEST(FlvFilesTest, WholeFileRoundTrip) {
  const std::string path = TestTempDir() + "/round_trip.bin";
  const std::vector<std::uint8_t> bytes{0, 1, 2, 0xFF, 0x00, 0x7F};
  WriteWholeFile(path, bytes);
  EXPECT_EQ(ReadWholeFile(path), bytes);
  WriteWholeFile(path, {});
  EXPECT_TRUE(ReadWholeFile(path).empty());
}

TEST(FlvFilesTest, FixturesAreListed) {
  const std::vector<std::string> files = AllFixtureFiles();
  ASSERT_FALSE(files.empty());
  EXPECT_TRUE(std::is_sorted(files.begin(), files.end()));
  for (const std::string& f : files) {
    EXPECT_TRUE(std::filesystem::is_regular_file(f)) << f;
    EXPECT_EQ(std::filesystem::path(f).extension(), ".flv");
  }
  const std::string square = FixturePath("real/ruffle-rs_ruffle_square.flv");
  EXPECT_NE(std::find(files.begin(), files.end(), square), files.end());
  EXPECT_NE(std::find(files.begin(), files.end(),
                      FixturePath("generated/gen_nellymoser_8000_mono.flv")),
            files.end());
}

}  // namespace
}  // namespace kelvra::test
