// The stream parser on streams built field by field and on real files: result
// codes, time stamp rebuilding, the information step, the queue, damage.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <sstream>

#include "flv/flv_stream_parser.h"
#include "kelvra.h"
#include "support/flv_builder.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using Stamps = std::vector<std::uint32_t>;

// What the parser handed out: the information record or one tag.
struct Event {
  bool isInfo = false;
  FLVInfo info{};
  int tagType = 0, f0 = 0, f1 = 0, f2 = 0, f3 = 0, payloadSize = 0;  // media fields
  std::uint32_t timestamp = 0, dataSize = 0;
  std::int32_t storedSize = 0;
  std::int64_t filePosition = 0;
  bool hasBlock = false;
  Bytes body;  // when copied
  auto Fields() const {
    return std::tie(tagType, f0, f1, f2, f3, payloadSize, timestamp, dataSize, storedSize,
                    filePosition, hasBlock, body);
  }
  bool operator==(const Event& o) const {
    return isInfo == o.isInfo &&
           (isInfo ? std::memcmp(&info, &o.info, sizeof info) == 0 : Fields() == o.Fields());
  }
};

struct Recorder {
  std::vector<Event> events;
  int infoCalls = 0, answerAudio = -1, answerVideo = -1, suggestedAudio = -1, suggestedVideo = -1;
  bool refuse = false;  // tag callbacks answer 0 (not now)
  int refusals = 0;
  kelvra::FLVStreamParser* recycler = nullptr;  // takes the tags back instead of deleting them

  void Attach(::FLVStreamParser* parser, bool others = false) {
    FLVStreamParser_SetFLVInfoCallBack(parser, &OnInfo, this);
    FLVStreamParser_SetFLVAudioCallBack(parser, &OnTag, this);
    FLVStreamParser_SetFLVVideoCallBack(parser, &OnTag, this);
    if (others) FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(parser, &OnTag, this);
  }
  std::vector<Event> Tags() const {
    std::vector<Event> tags;
    std::copy_if(events.begin(), events.end(), std::back_inserter(tags),
                 [](auto& e) { return !e.isInfo; });
    return tags;
  }
  Stamps Timestamps(int tagType) const {
    Stamps out;
    for (const auto& e : Tags())
      if (e.tagType == tagType) out.push_back(e.timestamp);
    return out;
  }
  const FLVInfo* Info() const {
    return events.empty() || !events[0].isInfo ? nullptr : &events[0].info;
  }

  static void OnInfo(void* user, FLVInfo* info, int* video, int* audio) {
    auto* self = static_cast<Recorder*>(user);
    ++self->infoCalls;
    std::tie(self->suggestedVideo, self->suggestedAudio) = std::tie(*video, *audio);
    if (self->answerVideo >= 0) *video = self->answerVideo;
    if (self->answerAudio >= 0) *audio = self->answerAudio;
    self->events.push_back(Event{.isInfo = true, .info = *info, .body = {}});
  }

  static int OnTag(void* user, FLVTag* tag) {
    auto* self = static_cast<Recorder*>(user);
    if (self->refuse) return ++self->refusals, 0;
    if (const std::uint8_t* b = tag->block) {
      // The header copy in the block must carry the time stamp as handed out.
      EXPECT_EQ((std::uint32_t{b[7]} << 24) | (b[4] << 16) | (b[5] << 8) | b[6], tag->timestamp);
    }
    self->events.push_back(Describe(*tag));
    if (self->recycler == nullptr) return FLVStreamParser_DeleteFLVTag(nullptr, tag), 1;
    self->recycler->RecycleTag(tag);
    return 1;
  }

  static Event Describe(const FLVTag& tag) {
    Event e{.tagType = tag.tagType, .timestamp = tag.timestamp, .dataSize = tag.dataSize,
            .storedSize = tag.storedSize, .filePosition = tag.filePosition,
            .hasBlock = tag.block != nullptr, .body = {}};
    if (tag.block != nullptr) {
      EXPECT_EQ(tag.data, tag.block + 11);
      e.body.assign(tag.data, tag.data + tag.dataSize);
    }
    if (tag.tagType == FLV_TAG_TYPE_AUDIO) {
      std::tie(e.f0, e.f1, e.f2, e.f3, e.payloadSize) = std::tuple(
          tag.soundFormat, tag.soundRate, tag.soundSize, tag.soundType, tag.audioDataSize);
    } else if (tag.tagType == FLV_TAG_TYPE_VIDEO) {
      std::tie(e.f0, e.f1, e.f2, e.f3, e.payloadSize) =
          std::tuple(tag.frameType, tag.codecId, tag.width, tag.height, tag.videoDataSize);
    }
    return e;
  }
};

// PCM (format 3), 22050 Hz, 8-bit mono: 441 bytes play 20 ms.
constexpr int kPcm = 3, kH263 = 2;

// Tags from letters and time stamps: A 20 ms audio block, E empty audio tag (a gap
// marker), K H.263 key frame of 176 x 144, I inter frame, S script tag of 30 bytes.
Bytes Stream(const std::string& tags, const FlvHeaderOptions& header = {},
             std::vector<Bytes>* pieces = nullptr) {
  std::vector<Bytes> parts{FlvBuilder().Header(header).bytes()};
  std::istringstream words(tags);
  for (std::string tag; words >> tag;) {
    const auto ts = static_cast<std::uint32_t>(std::stoul(tag.substr(1)));
    FlvBuilder b;
    switch (tag[0]) {
      case 'A': b.Audio(ts, kPcm, 2, 0, 0, Bytes(441, 0x80)); break;
      case 'E': b.Audio(ts, kPcm, 2, 0, 0, {}); break;
      case 'K': b.Video(ts, 1, kH263, H263PictureHeader(3)); break;
      case 'I': b.Video(ts, 2, kH263, Bytes{0x00, 0x00, 0x84, 0x00}); break;
      default: b.Script(ts, Bytes(30, 0x02)); break;
    }
    parts.push_back(b.bytes());
  }
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  if (pieces != nullptr) *pieces = parts;
  return all;
}

using ParserPtr = std::unique_ptr<::FLVStreamParser, void (*)(::FLVStreamParser*)>;

class StreamParserTest : public ::testing::Test {
 protected:
  ParserPtr parser_{FLVStreamParser_Create(), &FLVStreamParser_Delete};
  Recorder rec_;
  ::FLVStreamParser* p() { return parser_.get(); }
  void Start(bool others = false) {
    rec_.Attach(p(), others);
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  }
  int Deliver(const Bytes& bytes) {
    return FLVStreamParser_DeliverData(p(), bytes.data(), static_cast<int>(bytes.size()));
  }
  void FlushAndStop() {
    EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
    EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  }
};

// A wrong signature fails the stream until Stop and Run; while running, Run
// and the setters are refused (null and empty inputs are tests/bad_input's).
TEST_F(StreamParserTest, WrongSignatureFailsUntilStopAndRun) {
  Start();
  EXPECT_EQ(FLVStreamParser_Run(p()), 0);
  Recorder other;
  EXPECT_EQ(FLVStreamParser_SetFLVAudioCallBack(p(), &Recorder::OnTag, &other), 0);
  const Bytes bytes = Stream("A0", {.signature = "FLX"});
  // The failure shows at the delivery that completes the 9 header bytes.
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data(), 8), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data() + 8, 1), FLV_PARSER_STREAM_ERROR);
  EXPECT_EQ(Deliver(Stream("A0")), FLV_PARSER_STREAM_ERROR);
  FlushAndStop();
  ASSERT_EQ(rec_.infoCalls, 1) << "Flush still completes the information, with nothing found";
  EXPECT_EQ(std::tie(rec_.Info()->audioFormat, rec_.Info()->videoCodec), std::tuple(-1, -1));
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(Deliver(Stream("A0 A20")), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), (Stamps{0, 20}));
  EXPECT_TRUE(other.events.empty());
}

// Built streams and the time stamps handed out per type; S tags are not
// asked for and dropped. The counts take the file's audio and video tags.
struct ClockRow {
  const char* name;
  std::string tags;
  Stamps audio, video;
};

class ParserClock : public StreamParserTest, public ::testing::WithParamInterface<ClockRow> {};

TEST_P(ParserClock, TimeStampsHandedOut) {
  const ClockRow& row = GetParam();
  Start(/*others=*/true);
  Deliver(Stream(row.tags));
  FlushAndStop();
  const auto count = [&](char letter) {
    return std::count(row.tags.begin(), row.tags.end(), letter);
  };
  int audio = -1, video = -1;
  EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(p(), &audio, &video), video);
  EXPECT_EQ(std::tuple(audio, video), std::tuple(count('A') + count('E'), count('K') + count('I')));
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), row.audio);
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_VIDEO), row.video);
  EXPECT_EQ(rec_.Tags().size(), row.audio.size() + row.video.size());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParserClock,
    ::testing::Values(
        // 0, then 20 ms after the first block; the gap from 100 to 500 adds
        // 400 ms; the video follows the audio's shift of -80 ms.
        ClockRow{"GapsAndBlockDurations", "A1000 E1100 A1500 K1500", {0, 20, 420}, {420}},
        // Offset +20 ms after the second block (clock 20, file time 0).
        ClockRow{"BelowTheBaseRebasedToZero", "A1000 A400 K1000", {0, 20}, {20}},
        ClockRow{"VideoShiftStopsAtZero", "A1000 E1100 A1500 K1010", {0, 20, 420}, {0}},
        // A gap opened at 500 and closed at 200 does not throw the clock ahead.
        ClockRow{"RealAudioBeforeTheGap", "A1000 E1500 A1200 A1220", {0, 20, 20, 40}, {}},
        // Video first: an empty audio tag at 0 opens a gap the first audio closes.
        ClockRow{"LeadingVideoGetsAnEmptyAudioTag", "K5000 A5040 K5040", {0, 40}, {0, 40}},
        ClockRow{"ScriptTagsDroppedWhenNotAsked", "S0 A0", {0}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// Thirty video tags complete the information; so do, with what there is, a full queue,
// the wait running out (a fake clock), Flush and Stop. What was not found is absent.
enum class Trigger { kDelivery, kWaitRunsOut, kFlush, kStop };
using enum Trigger;
struct ForceRow {
  const char* name;
  FlvHeaderOptions header;
  std::string tags;
  std::uint32_t queueLimit;
  std::size_t forcedAt;  // the piece whose delivery answers OK first
  Trigger trigger;
  double frameRate;
};

std::int64_t g_fakeSeconds = 0;

class ForcedInformation : public StreamParserTest,
                          public ::testing::WithParamInterface<ForceRow> {};

TEST_P(ForcedInformation, CompletesWithWhatThereIs) {
  const ForceRow& row = GetParam();
  kelvra::FLVStreamParser& parser = *reinterpret_cast<kelvra::FLVStreamParser*>(p());
  parser.SetSecondsClock([] { return g_fakeSeconds; });
  parser.SetMaxInterleavedTime(5);
  parser.SetMaxFLVTagQueue(row.queueLimit);
  Start();
  const Recorder& rec = rec_;
  std::vector<Bytes> pieces;
  Stream(row.tags, row.header, &pieces);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    // The wait begins at the first delivery and ends 5 s later, not 4.
    g_fakeSeconds = 1000 + (row.trigger == kWaitRunsOut && i > 0 ? (i < row.forcedAt ? 4 : 5) : 0);
    EXPECT_EQ(parser.DeliverData(pieces[i].data(), static_cast<int>(pieces[i].size())),
              i < row.forcedAt ? FLV_PARSER_INFO_PENDING : FLV_PARSER_OK) << "piece " << i;
  }
  EXPECT_EQ(rec.infoCalls, row.trigger == kFlush || row.trigger == kStop ? 0 : 1);
  if (row.trigger == kFlush) { EXPECT_EQ(parser.Flush(), 1); }
  parser.Stop();
  ASSERT_EQ(rec.infoCalls, 1);
  const FLVInfo& info = *rec.Info();
  const bool audio = row.tags.find('A') != std::string::npos;
  const bool video = row.tags.find('K') != std::string::npos;
  EXPECT_EQ(std::tie(info.audioFormat, info.videoCodec, info.width),
            std::tuple(audio ? kPcm : -1, video ? kH263 : -1, video ? 176 : 0));
  EXPECT_DOUBLE_EQ(info.frameRate, row.frameRate);
  EXPECT_EQ(std::tie(rec.suggestedAudio, rec.suggestedVideo), std::tuple(audio, video));
  EXPECT_EQ(rec.Tags().size(), pieces.size() - 1) << "every tag is handed out";
}

std::string ThirtyVideoTags() {  // 10 frames/s, not the 25 assumed without a rate
  std::string tags = "A0 K0";
  for (int i = 1; i < 30; ++i) tags += " I" + std::to_string(100 * i);
  return tags + " I3000";
}

constexpr FlvHeaderOptions kAudioOnly{.hasVideo = false};
INSTANTIATE_TEST_SUITE_P(
    Rows, ForcedInformation,
    ::testing::Values(
        ForceRow{"ThirtyVideoTags", {}, ThirtyVideoTags(), 1000, 31, kDelivery, 10.0},
        ForceRow{"QueueFull", kAudioOnly, "A0 A20 A40 A60 A80 A100", 4, 5, kDelivery, 0},
        ForceRow{"QueueLimitZeroRefusesNever", kAudioOnly, "A0 A20 A40", 0, 2, kDelivery, 0},
        ForceRow{"WaitRunsOut", kAudioOnly, "A0 A20 A40", 1000, 3, kWaitRunsOut, 0},
        ForceRow{"Flush", kAudioOnly, "A0 A20", 1000, 99, kFlush, 0},
        ForceRow{"StopWithoutFlush", kAudioOnly, "A0 A20", 1000, 99, kStop, 0},
        // A single frame gives no frame rate of its own: 25 is assumed.
        ForceRow{"SingleKeyFrame", {.hasAudio = false}, "K0", 1000, 99, kFlush, 25.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamParserTest, RefusedTagsStayQueuedAndTheQueueLimitAnswersFull) {
  ASSERT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 3), 1);
  Start();
  rec_.refuse = true;
  std::vector<Bytes> pieces;
  Stream("A0 A20 A40 A60 A80 A100", {}, &pieces);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(Deliver(pieces[4]), FLV_PARSER_QUEUE_FULL);
  EXPECT_EQ(Deliver(pieces[4]), FLV_PARSER_QUEUE_FULL);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 0);
  EXPECT_GT(rec_.refusals, 0);
  rec_.refuse = false;
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  // The refused delivery consumed nothing: offered again, nothing is lost or doubled.
  for (std::size_t i = 4; i < 7; ++i) EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_OK);
  FlushAndStop();
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), (Stamps{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(rec_.infoCalls, 1);
  // Refused tags and a half-read one are freed by Stop and by destruction (for the sanitizers).
  rec_.refuse = true;
  for (int stop : {1, 0}) {
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
    const Bytes bytes = Stream("A0 K0 A20");
    EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data(), static_cast<int>(bytes.size() - 100)),
              FLV_PARSER_INFO_PENDING);
    if (stop) { EXPECT_EQ(FLVStreamParser_Stop(p()), 1); }
  }
  parser_.reset();
  EXPECT_EQ(rec_.Tags().size(), 6u);
}

TEST_F(StreamParserTest, InformationAnswerWithoutAudioDeletesAudioTags) {
  rec_.answerAudio = 0;
  Start();
  std::vector<Bytes> pieces;
  Stream("A0 K0 A20 A40 I40", {}, &pieces);
  // Two audio tags are queued when the answer comes, one arrives after it.
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i == 4) { EXPECT_EQ(FLVStreamParser_Flush(p()), 1); }
    Deliver(pieces[i]);
  }
  FlushAndStop();
  EXPECT_TRUE(rec_.Timestamps(FLV_TAG_TYPE_AUDIO).empty());
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_VIDEO), (Stamps{0, 40}));
}

// Records and blocks of every size go round, more at once than the parser keeps.
TEST_F(StreamParserTest, RecycledTagsComeOutWhole) {
  rec_.recycler = reinterpret_cast<kelvra::FLVStreamParser*>(p());
  Start();
  FlvBuilder b;
  b.Header();
  std::vector<Bytes> payloads, got;
  for (std::uint32_t i = 0; i < 200; ++i) {
    payloads.emplace_back(std::vector{441, 1, 3000, 20, 70000}[i % 5], std::uint8_t(i));
    b.Audio(i * 20, kPcm, 2, 0, 0, payloads.back());
  }
  Deliver(b.bytes());
  FlushAndStop();
  for (const Event& e : rec_.Tags()) got.emplace_back(e.body.begin() + 1, e.body.end());
  EXPECT_EQ(got, payloads);
}

constexpr std::size_t kWhole = 0;

struct ParseRun {
  std::vector<Event> events;
  std::vector<int> codes;
  std::int64_t skippedRanges = 0, skippedBytes = 0, firstSkipped = 0;
};

// Set up as the tag reader sets up its own parser: every kind of tag wanted and
// offered, each taken at once; delivered in pieces of `piece` bytes (0: all at once).
ParseRun Parse(const Bytes& bytes, std::size_t piece) {
  ParserPtr parser(FLVStreamParser_Create(), &FLVStreamParser_Delete);
  Recorder rec;
  rec.answerAudio = rec.answerVideo = 1;
  FLVStreamParser_SetParserNotAudioVideoPacket(parser.get(), 1);
  rec.Attach(parser.get(), /*others=*/true);
  FLVStreamParser_Run(parser.get());
  ParseRun run;
  const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
  for (std::size_t at = 0; at < bytes.size(); at += step) {
    const int n = static_cast<int>(std::min(step, bytes.size() - at));
    run.codes.push_back(FLVStreamParser_DeliverData(parser.get(), bytes.data() + at, n));
  }
  EXPECT_EQ(FLVStreamParser_Flush(parser.get()), 1);
  EXPECT_EQ(FLVStreamParser_Stop(parser.get()), 1);
  EXPECT_EQ(rec.infoCalls, 1);
  FLVStreamParser_GetSkippedBytes(parser.get(), &run.skippedRanges, &run.skippedBytes,
                                  &run.firstSkipped);
  run.events = std::move(rec.events);
  return run;
}

// Every run compared with the first (byte by byte unless told), which is answered.
ParseRun ExpectSameWhateverThePieces(const Bytes& bytes,
                                     std::vector<std::size_t> pieces = {1, 7, 4096, 10240, 0}) {
  const ParseRun reference = Parse(bytes, pieces[0]);
  EXPECT_FALSE(reference.events.empty());
  EXPECT_TRUE(reference.events.front().isInfo) << "information before any tag";
  for (int code : reference.codes)
    EXPECT_TRUE(code == FLV_PARSER_OK || code == FLV_PARSER_INFO_PENDING) << code;
  for (std::size_t piece : pieces)
    EXPECT_EQ(Parse(bytes, piece).events, reference.events) << "pieces of " << piece;
  return reference;
}

class FixtureFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(FixtureFiles, SameTagsWhateverThePieces) {
  const Bytes bytes = ReadWholeFile(GetParam());
  ASSERT_FALSE(bytes.empty()) << GetParam();
  ExpectSameWhateverThePieces(bytes);
}

INSTANTIATE_TEST_SUITE_P(RealAndGenerated, FixtureFiles, ::testing::ValuesIn(AllFixtureFiles()));

// The awkward parts together: a longer header, a leading script tag (offered as read,
// without data) and video tag, gaps, and reserved tag types (damage, skipped).
TEST(BuiltStream, SameTagsWhateverThePieces) {
  FlvBuilder b;
  b.Header({.dataOffset = 13, .paddingByte = 0x7F}).Script(0, Bytes(200, 0x02));
  b.Video(3000, 1, kH263, H263PictureHeader(0, 100, 80));
  for (std::uint32_t i = 0; i < 60; ++i) {
    const std::uint32_t t = 3000 + 40 * i;
    b.Audio(t, kPcm, 2, 0, 0, i % 17 == 5 ? Bytes{} : Bytes(441, static_cast<std::uint8_t>(i)));
    b.Video(t + 20, i % 10 == 0 ? 1 : 2, kH263, H263PictureHeader(0, 100, 80));
    if (i % 23 == 0) b.Tag(0x2F, t, Bytes(5, 0xAB));
  }
  const ParseRun run = ExpectSameWhateverThePieces(b.bytes());
  ASSERT_GT(run.events.size(), 2u);
  const Event& script = run.events[1];
  EXPECT_EQ(std::tie(script.tagType, script.dataSize, script.storedSize, script.hasBlock),
            std::tuple(18, 200u, 215, false));
  EXPECT_EQ(std::tie(run.skippedRanges, run.skippedBytes), std::tuple(3, 3 * (11 + 5 + 4)));
}

// Damage of each kind at the 22nd tag of 20 ms PCM tags with a key frame every fifth,
// fed in any pieces and read from a file by the tag reader: every tag outside the
// damage comes out as undamaged, with the same time stamps (a lost audio tag becomes
// a gap of its length), and the skipped range is counted.
enum class Damage { kZeroRun, kRandomBytes, kCutTag, kWrongPreviousTagSize, kLongMixedHole };
constexpr std::size_t kTagReader = 1u << 30;  // "piece": the tag reader on a file

// Random bytes, all but every `zeroEvery`-th zero (1: none).
Bytes Junk(std::size_t length, std::size_t zeroEvery) {
  std::mt19937 random(12345);
  Bytes junk(length);
  for (std::size_t i = 0; i < length; ++i)
    junk[i] = i % zeroEvery != 0 ? 0 : static_cast<std::uint8_t>(random());
  return junk;
}

// The tag reader's tags and skipped ranges, as a parse run.
ParseRun ReadWithTagReader(const Bytes& bytes) {
  const std::string path = TestTempDir() + "/damaged.flv";
  WriteWholeFile(path, bytes);
  std::unique_ptr<::FLVAVTagReader, void (*)(::FLVAVTagReader*)> reader(FLVAVTagReader_Create(),
                                                                      &FLVAVTagReader_Delete);
  EXPECT_EQ(FLVAVTagReader_Open(reader.get(), path.c_str()), 1);
  ParseRun run;
  FLVAVTagReader_GetSkippedBytes(reader.get(), &run.skippedRanges, &run.skippedBytes,
                                 &run.firstSkipped);
  FLVTag* tag = nullptr;
  std::uint32_t duration = 0;
  while (FLVAVTagReader_ReadTag(reader.get(), 1, 0, &tag, &duration) == FLV_READER_OK) {
    run.events.push_back(Recorder::Describe(*tag));
  }
  return run;
}

class DamagedStream : public ::testing::TestWithParam<std::tuple<Damage, std::size_t>> {};

TEST_P(DamagedStream, TagsOutsideTheDamageComeOutUnchanged) {
  const auto [damage, piece] = GetParam();
  Bytes clean = FlvBuilder().Header().bytes();
  Bytes damaged = clean;
  std::int64_t damageAt = 0, damageLength = 0;
  bool tagLost = false;
  for (std::size_t i = 0, audioBefore = 0; i < 50; ++i) {
    FlvBuilder b;  // the audio runs without holes of its own
    const auto t = static_cast<std::uint32_t>(1000 + 20 * audioBefore);
    if (i % 5 == 0) {
      b.Video(t, 1, kH263, H263PictureHeader(3));
    } else {
      b.Audio(t, kPcm, 2, 0, 0, Bytes(441, static_cast<std::uint8_t>(i)));
      ++audioBefore;
    }
    Bytes tag = b.bytes();
    clean.insert(clean.end(), tag.begin(), tag.end());
    if (i == 21) {
      damageAt = static_cast<std::int64_t>(damaged.size());
      Bytes junk;
      switch (damage) {
        case Damage::kZeroRun: junk = Bytes(600, 0); break;
        case Damage::kRandomBytes: junk = Junk(300, 1); break;
        case Damage::kLongMixedHole: junk = Junk(70000, 97); break;
        case Damage::kCutTag: tag.resize(11 + 200), tagLost = true; break;  // end gone
        case Damage::kWrongPreviousTagSize: tag[tag.size() - 2] ^= 0x5A; break;
      }
      damageLength = static_cast<std::int64_t>(tagLost ? tag.size() : junk.size());
      damaged.insert(damaged.end(), junk.begin(), junk.end());
    }
    damaged.insert(damaged.end(), tag.begin(), tag.end());
  }

  const ParseRun expected = Parse(clean, kWhole);
  const ParseRun run = piece == kTagReader ? ReadWithTagReader(damaged) : Parse(damaged, piece);
  // Tags with data, positions aside (moved by the damage); gap markers apart.
  auto withData = [](const std::vector<Event>& events, std::int64_t lostPosition) {
    std::vector<Event> tags;
    for (Event e : events) {
      if (e.isInfo || e.dataSize == 0 || e.filePosition == lostPosition) continue;
      e.filePosition = 0;
      tags.push_back(e);
    }
    return tags;
  };
  EXPECT_EQ(withData(run.events, -1), withData(expected.events, tagLost ? damageAt : -1));

  const bool skips = damage != Damage::kWrongPreviousTagSize;
  EXPECT_EQ(run.skippedRanges, skips ? 1 : 0);
  EXPECT_EQ(run.skippedBytes, skips ? damageLength : 0);
  EXPECT_EQ(run.firstSkipped, skips ? damageAt : -1);
  auto markers = [](const ParseRun& r) {
    return std::count_if(r.events.begin(), r.events.end(),
                         [](auto& e) { return !e.isInfo && e.dataSize == 0; });
  };
  EXPECT_EQ(markers(run), markers(expected) + (skips ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(
    KindsAndPieces, DamagedStream,
    ::testing::Combine(::testing::Values(Damage::kZeroRun, Damage::kRandomBytes, Damage::kCutTag,
                                         Damage::kWrongPreviousTagSize, Damage::kLongMixedHole),
                       ::testing::Values(1, 7, 4096, kWhole, kTagReader)));

}  // namespace
}  // namespace kelvra::test
