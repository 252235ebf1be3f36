// Whole FLV files (real fixtures, files made at test time and built streams)
// through the stream parser, delivered whole, byte by byte and in pieces of
// 7, 4096 and 10240 bytes: every way yields the same tags with the same time
// stamps, sizes and data, after the same information record.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <memory>
#include <random>
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

struct ParseRun {
  std::vector<ParserEvent> events;
  std::vector<int> codes;
  std::int64_t skippedRanges = 0;
  std::int64_t skippedBytes = 0;
  std::int64_t firstSkipped = 0;
};

// Runs the bytes through a parser set up as the tag reader sets up its own:
// every kind of tag wanted and offered, each taken at once.
ParseRun Parse(const Bytes& bytes, std::size_t piece) {
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
  ParseRun run;
  run.codes = DeliverInPieces(parser.get(), bytes, piece);
  EXPECT_EQ(FLVStreamParser_Flush(parser.get()), 1);
  EXPECT_EQ(FLVStreamParser_Stop(parser.get()), 1);
  EXPECT_EQ(rec.infoCalls, 1);
  FLVStreamParser_GetSkippedBytes(parser.get(), &run.skippedRanges, &run.skippedBytes,
                                  &run.firstSkipped);
  run.events = std::move(rec.events);
  return run;
}

// Compares every run of one stream with the byte-by-byte run.
void ExpectSameWhateverThePieces(const Bytes& bytes, const std::string& name) {
  const ParseRun reference = Parse(bytes, 1);
  ASSERT_FALSE(reference.events.empty()) << name;
  EXPECT_TRUE(reference.events.front().isInfo) << name << ": information before any tag";
  for (int code : reference.codes) {
    EXPECT_TRUE(code == FLV_PARSER_OK || code == FLV_PARSER_INFO_PENDING) << name << " code " << code;
    if (code != FLV_PARSER_OK && code != FLV_PARSER_INFO_PENDING) break;
  }
  for (std::size_t piece : kPieceSizes) {
    if (piece == 1) continue;
    const ParseRun run = Parse(bytes, piece);
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

// A built stream with the awkward parts together: a leading script tag and
// video tag, gaps, a tag type outside audio, video and script data (read as
// damage and skipped), a longer header.
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

// Damage of each kind placed at the 22nd tag of a stream of PCM audio
// (20 ms a tag) with a video key frame every fifth tag, fed whole, byte by
// byte and in odd pieces: every tag outside the damage comes out as from the
// undamaged stream, with the same time stamps (a lost audio tag becomes a gap
// of its length), and the damage is counted.
enum class Damage { kZeroRun, kRandomBytes, kCutTag, kWrongPreviousTagSize, kLongHoleOfMixedBytes };

struct DamageCase {
  Damage damage;
  std::size_t piece;
};

constexpr std::size_t kDamagedTag = 21;  // an audio tag
constexpr std::size_t kBuiltTags = 50;

// The audio runs without holes of its own: each tag starts where the one
// before ended.
Bytes BuiltTag(std::size_t i) {
  const std::size_t audioBefore = i - (i + 4) / 5;
  const auto t = static_cast<std::uint32_t>(1000 + 20 * audioBefore);
  FlvBuilder b;
  if (i % 5 == 0) return b.Video(t, 1, 2, H263PictureHeader(3)).bytes();
  return b.Audio(t, 3, 2, 0, 0, Bytes(441, static_cast<std::uint8_t>(i))).bytes();
}

Bytes Junk(std::size_t length, std::uint8_t zeroEvery) {
  std::mt19937 random(12345);
  Bytes junk(length);
  for (std::size_t i = 0; i < length; ++i) {
    junk[i] = (zeroEvery != 0 && i % zeroEvery != 0) ? 0 : static_cast<std::uint8_t>(random());
  }
  return junk;
}

class DamagedStream : public ::testing::TestWithParam<DamageCase> {};

TEST_P(DamagedStream, TagsOutsideTheDamageComeOutUnchanged) {
  const DamageCase& c = GetParam();
  Bytes clean = FlvBuilder().Header().bytes();
  Bytes damaged = clean;
  std::int64_t damageAt = 0;
  std::int64_t damageLength = 0;
  bool tagLost = false;
  for (std::size_t i = 0; i < kBuiltTags; ++i) {
    Bytes tag = BuiltTag(i);
    clean.insert(clean.end(), tag.begin(), tag.end());
    if (i == kDamagedTag) {
      damageAt = static_cast<std::int64_t>(damaged.size());
      Bytes junk;
      switch (c.damage) {
        case Damage::kZeroRun: junk = Bytes(600, 0); break;
        case Damage::kRandomBytes: junk = Junk(300, 1); break;
        case Damage::kLongHoleOfMixedBytes: junk = Junk(70000, 97); break;
        case Damage::kCutTag:
          tag.resize(11 + 200);  // its end and previous-tag-size field are gone
          damageLength = static_cast<std::int64_t>(tag.size());
          tagLost = true;
          break;
        case Damage::kWrongPreviousTagSize: tag[tag.size() - 2] ^= 0x5A; break;
      }
      if (!junk.empty()) damageLength = static_cast<std::int64_t>(junk.size());
      damaged.insert(damaged.end(), junk.begin(), junk.end());
    }
    damaged.insert(damaged.end(), tag.begin(), tag.end());
  }

  const ParseRun expected = Parse(clean, kWhole);
  const ParseRun run = Parse(damaged, c.piece);
  // Tags with data, as the undamaged stream gives them (minus the lost one);
  // the gap markers (empty audio tags) are counted apart.
  auto withData = [](const std::vector<ParserEvent>& events, std::int64_t lostPosition) {
    std::vector<ParserEvent> tags;
    for (ParserEvent e : events) {
      if (e.isInfo || e.dataSize == 0 || e.filePosition == lostPosition) continue;
      e.filePosition = 0;  // moved by the damage
      tags.push_back(e);
    }
    return tags;
  };
  const std::vector<ParserEvent> want = withData(expected.events, tagLost ? damageAt : -1);
  const std::vector<ParserEvent> got = withData(run.events, -1);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i], want[i]) << "tag " << i;

  const bool skips = c.damage != Damage::kWrongPreviousTagSize;
  EXPECT_EQ(run.skippedRanges, skips ? 1 : 0);
  EXPECT_EQ(run.skippedBytes, skips ? damageLength : 0);
  EXPECT_EQ(run.firstSkipped, skips ? damageAt : -1);
  auto markers = [](const ParseRun& r) {
    std::size_t count = 0;
    for (const ParserEvent& e : r.events) count += !e.isInfo && e.dataSize == 0 ? 1 : 0;
    return count;
  };
  EXPECT_EQ(markers(run), markers(expected) + (skips ? 1 : 0));
}

std::vector<DamageCase> DamageCases() {
  std::vector<DamageCase> cases;
  for (Damage d : {Damage::kZeroRun, Damage::kRandomBytes, Damage::kCutTag,
                   Damage::kWrongPreviousTagSize, Damage::kLongHoleOfMixedBytes}) {
    for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, kWhole}) {
      cases.push_back({d, piece});
    }
  }
  return cases;
}

std::string DamageLabel(const ::testing::TestParamInfo<DamageCase>& info) {
  static const char* const kNames[] = {"ZeroRun", "RandomBytes", "CutTag", "WrongPreviousTagSize",
                                       "LongMixedHole"};
  return std::string(kNames[static_cast<int>(info.param.damage)]) + "_pieces" +
         std::to_string(info.param.piece);
}

INSTANTIATE_TEST_SUITE_P(KindsAndPieces, DamagedStream, ::testing::ValuesIn(DamageCases()),
                         DamageLabel);

}  // namespace
}  // namespace kelvra::test
