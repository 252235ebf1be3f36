// Every real and generated FLV file is walked tag by tag with the parsing
// operations; what the walk finds is checked against what other tools report
// for those files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "flv/flv_tag_parsing.h"

namespace kelvra {
namespace {

namespace fs = std::filesystem;

std::vector<std::uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<fs::path> FixtureFiles() {
  std::vector<fs::path> files;
  for (const char* folder : {"real", "generated"}) {
    const fs::path dir = fs::path(KELVRA_FIXTURES_DIR) / folder;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir)) {
      if (entry.path().extension() == ".flv") files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

struct WalkResult {
  int tags = 0;
  int audioTags = 0;
  int videoTags = 0;
  int firstSoundFormat = -1;  // of the first audio tag with a body
  FLVInfo video = EmptyFLVInfo();  // from the first video key frame
};

// Walks the file as header then tag after tag; the previous-tag-size fields
// are skipped unread. Each body is handed over in a copy of exactly its
// size. A tag cut off by the end of the file ends the walk.
WalkResult Walk(const std::vector<std::uint8_t>& file) {
  WalkResult result;
  FLVHeaderFields header;
  EXPECT_TRUE(ParseFLVHeader(file.data(), file.size(), &header));
  std::int64_t position = header.firstTagPosition;
  while (position + static_cast<std::int64_t>(kTagHeaderSize) <= static_cast<std::int64_t>(file.size())) {
    const std::uint8_t* bytes = file.data() + position;
    FLVTag* tag = NewFLVTag();
    std::int64_t next = position;
    std::uint32_t toEnd = 0;
    EXPECT_TRUE(ParseFLVTagHeader(bytes, kTagHeaderSize, false, tag, &next, &toEnd));
    EXPECT_EQ(tag->filePosition, position);
    EXPECT_EQ(next, position + tag->storedSize);
    EXPECT_TRUE(ParseFLVTagHeader(bytes, kTagHeaderSize, true, tag, &next, &toEnd));
    const std::int64_t bodyStart = position + kTagHeaderSize;
    const std::int64_t available = static_cast<std::int64_t>(file.size()) - bodyStart;
    const std::vector<std::uint8_t> body(
        file.begin() + bodyStart, file.begin() + bodyStart + std::min<std::int64_t>(toEnd, available));
    EXPECT_TRUE(ParseFLVTagBody(body.data(), body.size(), tag));
    if (available < static_cast<std::int64_t>(tag->dataSize)) {
      DeleteFLVTag(tag);
      break;
    }
    ++result.tags;
    if (tag->tagType == 8) {
      ++result.audioTags;
      if (result.firstSoundFormat < 0 && tag->dataSize != 0) result.firstSoundFormat = tag->soundFormat;
      if (tag->dataSize != 0) {
        EXPECT_EQ(tag->audioData, tag->data + 1);
        EXPECT_EQ(tag->audioDataSize, static_cast<std::int32_t>(tag->dataSize) - 1);
      }
    } else if (tag->tagType == 9) {
      ++result.videoTags;
      if (result.video.videoCodec < 0) FillVideoInfoFromTag(*tag, &result.video);
      if (tag->dataSize != 0 && (tag->codecId == 4 || tag->codecId == 5)) {
        // Frame pointers stay inside the body.
        EXPECT_LE(tag->vp6Data + tag->vp6DataSize, tag->data + tag->dataSize);
      }
    }
    DeleteFLVTag(tag);
    position = next;
  }
  return result;
}

struct Expected {
  int soundFormat;  // -1: no audio
  int videoCodec;   // -1: no video key frame picture size to check
  int width;
  int height;
};

const std::map<std::string, Expected>& KnownFiles() {
  static const std::map<std::string, Expected> known = {
      {"ruffle-rs_ruffle_netstream_play_flv_test_video.flv", {2, 2, 320, 233}},
      {"ruffle-rs_ruffle_square.flv", {2, 2, 128, 96}},
      {"ruffle-rs_ruffle_dummy.flv", {-1, 2, 8, 8}},
      {"ruffle-rs_ruffle_rufflelogo.flv", {-1, 3, 128, 128}},
      {"ruffle-rs_ruffle_tone_alaw_mono.flv", {7, -1, 0, 0}},
      {"ruffle-rs_ruffle_tone_mulaw_mono.flv", {8, -1, 0, 0}},
      {"ruffle-rs_ruffle_tone_mono_22050hz.flv", {10, -1, 0, 0}},
      {"mondain_red5_CuePointTest.flv", {-1, 4, 400, 300}},
      {"mondain_red5_fp_fcs_live_audio.flv", {5, -1, 0, 0}},
      {"mondain_red5_fp_fcs_live_video.flv", {5, 2, 128, 96}},
      {"Red5_red5-server_red5.flv", {-1, 4, 480, 368}},
      {"Red5_red5-server_NAPNAP.flv", {2, 4, 454, 340}},
      {"Red5_red5-server_h264_speex.flv", {11, 7, 0, 0}},
      {"Red5_red5-server_flashContent.flv", {11, 7, 0, 0}},
      {"apache_flex-sdk_caltrain.flv", {2, 4, 640, 480}},
      {"apache_flex-sdk_phone.flv", {2, 2, 420, 314}},
      {"apache_flex-sdk_short.flv", {-1, 2, 320, 240}},
      {"exiftool_exiftool_Flash.flv", {2, 4, 192, 154}},
      {"mltframework_swfdec_video.flv", {-1, 3, 466, 311}},
      {"gen_flashsv2_160x120.flv", {-1, 6, 160, 120}},
      {"gen_adpcm_swf_22050_mono.flv", {1, -1, 0, 0}},
      {"gen_nellymoser_16000_mono.flv", {4, -1, 0, 0}},
      {"gen_nellymoser_22050_mono.flv", {6, -1, 0, 0}},
      {"gen_pcm_s16le_44100_stereo.flv", {3, -1, 0, 0}},
      {"gen_pcm_u8_11025_mono.flv", {0, -1, 0, 0}},
  };
  return known;
}

TEST(FixtureWalk, EveryFileParsesTagByTag) {
  const auto files = FixtureFiles();
  ASSERT_FALSE(files.empty()) << "no fixtures at " << KELVRA_FIXTURES_DIR;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const auto bytes = ReadFile(path);
    const WalkResult result = Walk(bytes);
    if (bytes.size() > kFileHeaderSize) {
      EXPECT_GT(result.tags, 0);
    }

    const auto known = KnownFiles().find(path.filename().string());
    if (known == KnownFiles().end()) continue;
    const Expected& expected = known->second;
    EXPECT_EQ(result.firstSoundFormat, expected.soundFormat);
    if (expected.videoCodec >= 0) {
      EXPECT_EQ(result.video.videoCodec, expected.videoCodec);
      if (expected.width != 0) {
        EXPECT_EQ(result.video.width, expected.width);
        EXPECT_EQ(result.video.height, expected.height);
      }
    }
  }
}

TEST(FixtureWalk, HeaderOnlyFileHasNoTags) {
  const fs::path path =
      fs::path(KELVRA_FIXTURES_DIR) / "real" / "mondain_red5_flvMetaData_test_headeronly.flv";
  ASSERT_TRUE(fs::exists(path)) << "fixture missing: " << path;
  const auto bytes = ReadFile(path);
  FLVHeaderFields header;
  ASSERT_TRUE(ParseFLVHeader(bytes.data(), bytes.size(), &header));
  EXPECT_EQ(header.hasAudio, 0);
  EXPECT_EQ(header.hasVideo, 0);
  EXPECT_EQ(Walk(bytes).tags, 0);
}

}  // namespace
}  // namespace kelvra
