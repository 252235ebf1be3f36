// Whole FLV files (real fixtures, files made at test time and built streams)
// through the stream parser, delivered whole, byte by byte and in pieces of
// 7, 4096 and 10240 bytes: every way yields the same tags with the same time
// stamps, sizes and data, after the same information record.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvra.h"
#include "parser/parser_recorder.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

constexpr std::size_t kWhole = 0;
constexpr std::size_t kPieceSizes[] = {1, 7, 4096, 10240, kWhole};

struct Run {
  std::vector<ParserEvent> events;
  std::vector<int> codes;
};

// Runs the bytes through a parser set up as the tag reader sets up its own:
// every kind of tag wanted and offered, each taken at once.
Run Parse(const Bytes& bytes, std::size_t piece) {
  std::unique_ptr<::FLVStreamParser, void (*)(::FLVStreamParser*)> parser(FLVStreamParser_Create(),
                                                                      &FLVStreamParser_Delete);
  EXPECT_NE(parser, nullptr);
  ParserRecorder rec;
  rec.answerAudio = 1;
  rec.answerVideo = 1;
  FLVStreamParser_SetMaxInterleavedTime(parser.get(), 5);
  FLVStreamParser_SetParserNotAudioVideoPacket(parser.get(), 1);
  rec.Attach(parser.get(), /*notAudioVideoCallBack=*/true);
  FLVStreamParser_Run(parser.get());
  Run run;
  run.codes = DeliverInPieces(parser.get(), bytes, piece);
  EXPECT_EQ(FLVStreamParser_Flush(parser.get()), 1);
  EXPECT_EQ(FLVStreamParser_Stop(parser.get()), 1);
  EXPECT_EQ(rec.infoCalls, 1);
  run.events = std::move(rec.events);
  return run;
}

// Compares every run of one stream with the byte-by-byte run.
void ExpectSameWhateverThePieces(const Bytes& bytes, const std::string& name) {
  const Run reference = Parse(bytes, 1);
  ASSERT_FALSE(reference.events.empty()) << name;
  EXPECT_TRUE(reference.events.front().isInfo) << name << ": information before any tag";
  for (int code : reference.codes) {
    EXPECT_TRUE(code == FLV_PARSER_OK || code == FLV_PARSER_INFO_PENDING) << name << " code " << code;
    if (code != FLV_PARSER_OK && code != FLV_PARSER_INFO_PENDING) break;
  }
  for (std::size_t piece : kPieceSizes) {
    if (piece == 1) continue;
    const Run run = Parse(bytes, piece);
    ASSERT_EQ(run.events.size(), reference.events.size()) << name << ", pieces of " << piece;
    std::size_t differences = 0;
    for (std::size_t i = 0; i < run.events.size() && differences < 3; ++i) {
      if (run.events[i] == reference.events[i]) continue;
      ++differences;
      ADD_FAILURE() << name << ", pieces of " << piece << ", event " << i << ": "
                    << run.events[i] << " instead of " << reference.events[i];
    }
  }
}

class FixtureFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(FixtureFiles, SameTagsWhateverThePieces) {
  const Bytes bytes = ReadWholeFile(GetParam());
  ASSERT_FALSE(bytes.empty()) << GetParam();
  ExpectSameWhateverThePieces(bytes, GetParam());
}

std::string FileLabel(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.substr(info.param.find_last_of('/') + 1);
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(RealAndGenerated, FixtureFiles, ::testing::ValuesIn(AllFixtureFiles()),
                         FileLabel);

TEST(GeneratedFiles, SameTagsWhateverThePieces) {
  std::vector<FlvSpec> specs;
  FlvSpec mp3Video;
  mp3Video.audio = AudioCodec::kMp3;
  mp3Video.video = VideoCodec::kH263;
  specs.push_back(mp3Video);
  FlvSpec adpcmScreenHole;
  adpcmScreenHole.audio = AudioCodec::kAdpcmSwf;
  adpcmScreenHole.video = VideoCodec::kScreenVideo;
  adpcmScreenHole.holeStartMs = 500;
  adpcmScreenHole.holeLengthMs = 400;
  specs.push_back(adpcmScreenHole);
  FlvSpec pcmOnly;
  pcmOnly.audio = AudioCodec::kPcmS16le;
  pcmOnly.sampleRate = 11025;
  pcmOnly.channels = 1;
  specs.push_back(pcmOnly);
  FlvSpec nellyHole;
  nellyHole.audio = AudioCodec::kNellymoser;
  nellyHole.sampleRate = 8000;
  nellyHole.channels = 1;
  nellyHole.holeStartMs = 800;
  nellyHole.holeLengthMs = 300;
  specs.push_back(nellyHole);
  FlvSpec videoOnly;
  videoOnly.audio = AudioCodec::kNone;
  videoOnly.video = VideoCodec::kH263;
  specs.push_back(videoOnly);
  for (const FlvSpec& fileSpec : specs) {
    const std::string path = GenerateFlv(fileSpec);
    ASSERT_FALSE(path.empty());
    ExpectSameWhateverThePieces(ReadWholeFile(path), path);
  }
}

// A built stream with the awkward parts together: a leading script tag and
// video tag, gaps, a tag type outside audio and video, a longer header.
TEST(BuiltStream, SameTagsWhateverThePieces) {
  FlvBuilder b;
  b.Header({.dataOffset = 13, .paddingByte = 0x7F});
  b.Script(0, Bytes(200, 0x02));
  b.Video(3000, 1, 2, H263PictureHeader(0, 100, 80));
  for (std::uint32_t i = 0; i < 60; ++i) {
    const std::uint32_t t = 3000 + 40 * i;
    if (i % 17 == 5) {
      b.Audio(t, 3, 2, 0, 0, {});
    } else {
      b.Audio(t, 3, 2, 0, 0, Bytes(441, static_cast<std::uint8_t>(i)));
    }
    b.Video(t + 20, i % 10 == 0 ? 1 : 2, 2, H263PictureHeader(0, 100, 80));
    if (i % 23 == 0) b.Tag(0x0F, t, Bytes(5, 0xAB));
  }
  ExpectSameWhateverThePieces(b.bytes(), "built stream");
}

}  // namespace
}  // namespace kelvra::test
