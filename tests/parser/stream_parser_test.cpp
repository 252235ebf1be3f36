// The stream parser through its exported functions, on streams built field
// by field: lifecycle and result codes, time stamp rebuilding, the stream
// information step, the queue limit and the hand-over of tags.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "flv/flv_stream_parser.h"
#include "kelvra.h"
#include "parser/parser_recorder.h"
#include "support/flv_builder.h"

namespace kelvra::test {
namespace {

// PCM (sound format 3), 22050 Hz, 8-bit mono: 441 bytes play 20 ms.
constexpr int kPcm = 3;
constexpr int kRate22050 = 2;
constexpr std::size_t kBlock20msBytes = 441;
constexpr int kH263 = 2;
using Stamps = std::vector<std::uint32_t>;

// Tags from letters and time stamps: A 20 ms audio block, E empty audio tag
// (a gap marker), K H.263 key frame of 176 x 144, I inter frame, S script
// tag of 30 bytes. Each tag is one piece of `pieces` when given.
Bytes Tags(const std::string& fileSpec, std::vector<Bytes>* pieces = nullptr) {
  Bytes all;
  std::istringstream words(fileSpec);
  for (std::string tag; words >> tag;) {
    const auto ts = static_cast<std::uint32_t>(std::stoul(tag.substr(1)));
    FlvBuilder b;
    switch (tag[0]) {
      case 'A': b.Audio(ts, kPcm, kRate22050, 0, 0, Bytes(kBlock20msBytes, 0x80)); break;
      case 'E': b.Audio(ts, kPcm, kRate22050, 0, 0, {}); break;
      case 'K': b.Video(ts, 1, kH263, H263PictureHeader(3)); break;
      case 'I': b.Video(ts, 2, kH263, Bytes{0x00, 0x00, 0x84, 0x00}); break;
      default: b.Script(ts, Bytes(30, 0x02)); break;
    }
    all.insert(all.end(), b.bytes().begin(), b.bytes().end());
    if (pieces != nullptr) pieces->push_back(b.bytes());
  }
  return all;
}

// A whole stream: header, then the tags.
Bytes Stream(const std::string& fileSpec, const FlvHeaderOptions& header = {},
             std::vector<Bytes>* pieces = nullptr) {
  Bytes bytes = FlvBuilder().Header(header).bytes();
  if (pieces != nullptr) pieces->push_back(bytes);
  const Bytes tags = Tags(fileSpec, pieces);
  bytes.insert(bytes.end(), tags.begin(), tags.end());
  return bytes;
}

struct ParserDeleter {
  void operator()(::FLVStreamParser* p) const { FLVStreamParser_Delete(p); }
};
using ParserPtr = std::unique_ptr<::FLVStreamParser, ParserDeleter>;

class StreamParserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    parser_.reset(FLVStreamParser_Create());
    ASSERT_NE(parser_, nullptr);
  }
  ::FLVStreamParser* p() { return parser_.get(); }
  void Start(bool notAudioVideoCallBack = false) {
    rec_.Attach(p(), notAudioVideoCallBack);
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  }
  int Deliver(const Bytes& bytes) {
    return FLVStreamParser_DeliverData(p(), bytes.data(), static_cast<int>(bytes.size()));
  }
  void FlushAndStop() {
    EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
    EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  }
  // Starts, delivers the stream whole, flushes and stops.
  void ParseWhole(const Bytes& bytes, bool notAudioVideoCallBack = false) {
    Start(notAudioVideoCallBack);
    Deliver(bytes);
    FlushAndStop();
  }

  ParserPtr parser_;
  ParserRecorder rec_;
};

TEST_F(StreamParserTest, LifecycleAndResultCodes) {
  const std::uint8_t byte = 'F';
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), &byte, 1), FLV_PARSER_NOT_RUNNING);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 0);
  EXPECT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 10), 1);
  EXPECT_EQ(FLVStreamParser_SetMaxInterleavedTime(p(), 10), 1);

  EXPECT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(FLVStreamParser_Run(p()), 0);
  EXPECT_EQ(FLVStreamParser_SetMaxInterleavedTime(p(), 1), 0);
  EXPECT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 1), 0);
  EXPECT_EQ(FLVStreamParser_SetFLVInfoCallBack(p(), nullptr, nullptr), 0);
  EXPECT_EQ(FLVStreamParser_SetFLVVideoCallBack(p(), nullptr, nullptr), 0);
  EXPECT_EQ(FLVStreamParser_SetFLVAudioCallBack(p(), nullptr, nullptr), 0);
  EXPECT_EQ(FLVStreamParser_SetParserNotAudioVideoPacket(p(), 1), 0);
  EXPECT_EQ(FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(p(), nullptr, nullptr), 0);

  EXPECT_EQ(FLVStreamParser_DeliverData(p(), nullptr, 5), FLV_PARSER_NO_DATA);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), &byte, 0), FLV_PARSER_NO_DATA);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), &byte, -3), FLV_PARSER_NO_DATA);

  EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 0);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), &byte, 1), FLV_PARSER_NOT_RUNNING);
  EXPECT_EQ(FLVStreamParser_Run(p()), 1);

  // A null parser is ignored by every export.
  FLVStreamParser_Delete(nullptr);
  FLVStreamParser_DeleteFLVTag(nullptr, nullptr);
  EXPECT_EQ(FLVStreamParser_DeliverData(nullptr, &byte, 1), FLV_PARSER_NOT_RUNNING);
  EXPECT_EQ(FLVStreamParser_Run(nullptr), 0);
  int a = -1, v = -1;
  EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(nullptr, &a, &v), 0);
  EXPECT_EQ(a, 0);
  EXPECT_EQ(v, 0);
}

TEST_F(StreamParserTest, SettersRefusedWhileRunningChangeNothing) {
  Start();
  ParserRecorder other;
  EXPECT_EQ(FLVStreamParser_SetFLVAudioCallBack(p(), &ParserRecorder::OnTag, &other), 0);
  EXPECT_EQ(FLVStreamParser_SetFLVInfoCallBack(p(), nullptr, nullptr), 0);
  EXPECT_EQ(Deliver(Stream("A0 A20")), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  EXPECT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), (Stamps{0, 20}));
  EXPECT_TRUE(other.events.empty());
}

TEST_F(StreamParserTest, WrongSignatureFailsUntilStopAndRun) {
  Start();
  const Bytes bytes = Stream("A0", {.signature = "FLX"});
  // The failure shows at the delivery that completes the 9 header bytes.
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data(), 8), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data() + 8, 1), FLV_PARSER_STREAM_ERROR);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data() + 9, 20), FLV_PARSER_STREAM_ERROR);
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data(), 9), FLV_PARSER_STREAM_ERROR);

  // Flush and Stop still complete the information, with nothing found.
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  ASSERT_EQ(rec_.infoCalls, 1);
  const FLVInfo* info = rec_.Info();
  EXPECT_EQ(info->version, 0);
  EXPECT_EQ(info->videoCodec, -1);
  EXPECT_EQ(info->audioFormat, -1);
  EXPECT_EQ(info->frameRate, 0.0);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  EXPECT_EQ(rec_.infoCalls, 1);
  EXPECT_TRUE(rec_.Tags().empty());

  // A new run starts afresh; a wrong signature in one delivery queues nothing.
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(Deliver(Stream("A0")), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  EXPECT_EQ(rec_.infoCalls, 2);
  EXPECT_EQ(rec_.Tags().size(), 1u);
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(Deliver(Stream("A0", {.signature = "FLX"})), FLV_PARSER_STREAM_ERROR);
  FlushAndStop();
  EXPECT_EQ(rec_.Tags().size(), 1u);
}

// Built streams and the time stamps handed out per type; S tags are not
// asked for and dropped.
struct ClockRow {
  const char* name;
  const char* tags;
  Stamps audio, video;
  double frameRate;  // negative: not checked
};

class ParserClock : public StreamParserTest, public ::testing::WithParamInterface<ClockRow> {};

TEST_P(ParserClock, TimeStampsHandedOut) {
  const ClockRow& row = GetParam();
  ParseWhole(Stream(row.tags), /*notAudioVideoCallBack=*/true);
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), row.audio);
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_VIDEO), row.video);
  EXPECT_EQ(rec_.Tags().size(), row.audio.size() + row.video.size());
  if (row.frameRate >= 0) {
    EXPECT_DOUBLE_EQ(rec_.Info()->frameRate, row.frameRate);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParserClock,
    ::testing::Values(
        // 0, then 20 ms after the first block; the gap from 100 to 500 adds
        // 400 ms; the video follows the audio's shift of -80 ms.
        ClockRow{"GapsAndBlockDurations", "A1000 E1100 A1500 K1500", {0, 20, 420}, {420}, -1},
        // Offset +20 ms after the second block (clock 20, file time 0).
        ClockRow{"BelowTheBaseRebasedToZero", "A1000 A400 K1000", {0, 20}, {20}, -1},
        ClockRow{"VideoShiftStopsAtZero", "A1000 E1100 A1500 K1010", {0, 20, 420}, {0}, -1},
        // A gap opened at 500 and closed at 200 does not throw the clock ahead.
        ClockRow{"RealAudioBeforeTheGap", "A1000 E1500 A1200 A1220", {0, 20, 20, 40}, {}, -1},
        ClockRow{"ScriptTagsDroppedWhenNotAsked", "S0 A0", {0}, {}, -1},
        // Forced information: the frame rate from two or more video tags.
        ClockRow{"ForcedFrameRate", "A0 K0 I100 I200", {0}, {0, 100, 200}, 10.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StreamParserTest, LeadingVideoTagGetsAnEmptyAudioTagAhead) {
  Start();
  EXPECT_EQ(Deliver(Stream("K5000 A5040 K5040")), FLV_PARSER_INFO_PENDING);
  int audio = -1, video = -1;
  EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(p(), &audio, &video), 2);
  EXPECT_EQ(audio, 1) << "the made-up audio tag is not counted";
  EXPECT_EQ(video, 2);
  EXPECT_EQ(FLVStreamParser_GetTimeStamp(p()), 40u);
  FlushAndStop();

  const auto tags = rec_.Tags();
  ASSERT_EQ(tags.size(), 4u);
  EXPECT_EQ(tags[0].tagType, FLV_TAG_TYPE_AUDIO);
  EXPECT_EQ(tags[0].timestamp, 0u);
  EXPECT_EQ(tags[0].dataSize, 0u);
  EXPECT_FALSE(tags[0].hasBlock);
  EXPECT_EQ(tags[0].filePosition, 0);
  EXPECT_EQ(tags[1].tagType, FLV_TAG_TYPE_VIDEO);
  EXPECT_EQ(tags[1].timestamp, 0u);
  EXPECT_EQ(tags[1].filePosition, 13);
  // The first real audio closes the gap opened at 0.
  EXPECT_EQ(tags[2].timestamp, 40u);
  EXPECT_EQ(tags[3].timestamp, 40u);
}

TEST_F(StreamParserTest, InformationWaitsForThirtyVideoTags) {
  Start();
  // An audio tag, a key frame and 29 inter frames 40 ms apart: 30 video
  // tags over 1160 ms.
  std::string fileSpec = "A0 K0";
  for (int i = 1; i < 30; ++i) fileSpec += " I" + std::to_string(40 * i);
  std::vector<Bytes> pieces;
  Stream(fileSpec, {}, &pieces);
  for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
    EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_INFO_PENDING) << "piece " << i;
    EXPECT_EQ(FLVStreamParser_HasCalledFLVInfoCallBack(p()), 0);
  }
  EXPECT_TRUE(rec_.events.empty());
  EXPECT_EQ(Deliver(pieces.back()), FLV_PARSER_OK);
  EXPECT_EQ(FLVStreamParser_HasCalledFLVInfoCallBack(p()), 1);

  ASSERT_EQ(rec_.events.size(), 32u);
  ASSERT_TRUE(rec_.events[0].isInfo) << "the information comes before any tag";
  const FLVInfo& info = rec_.events[0].info;
  EXPECT_EQ(info.version, 1);
  EXPECT_EQ(info.audioFormat, kPcm);
  EXPECT_EQ(info.sampleRate, 22050);
  EXPECT_EQ(info.channels, 1);
  EXPECT_EQ(info.bitsPerSample, 8);
  EXPECT_EQ(info.videoCodec, kH263);
  EXPECT_EQ(info.width, 176);
  EXPECT_EQ(info.height, 144);
  EXPECT_DOUBLE_EQ(info.frameRate, 25.0);
  EXPECT_EQ(info.videoBitRate, 0);
  EXPECT_EQ(info.audioBitRate, 0);
  EXPECT_EQ(info.duration, 0.0);
  EXPECT_EQ(rec_.suggestedAudio, 1);
  EXPECT_EQ(rec_.suggestedVideo, 1);

  // From now on every delivery offers its tags at once.
  EXPECT_EQ(Deliver(Tags("I1200")), FLV_PARSER_OK);
  EXPECT_EQ(rec_.events.size(), 33u);
  FlushAndStop();
  EXPECT_EQ(rec_.infoCalls, 1);
}

TEST_F(StreamParserTest, AudioOnlyStreamIsReportedWhenTheQueueFills) {
  ASSERT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 4), 1);
  Start();
  std::vector<Bytes> pieces;
  Stream("A0 A20 A40 A60 A80 A100", {.hasVideo = false}, &pieces);
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(rec_.infoCalls, 0);
  // This delivery finds 4 tags queued: the information is forced.
  EXPECT_EQ(Deliver(pieces[5]), FLV_PARSER_OK);
  ASSERT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(rec_.Info()->videoCodec, -1);
  EXPECT_EQ(rec_.Info()->frameRate, 0.0);
  EXPECT_EQ(rec_.Info()->audioFormat, kPcm);
  EXPECT_EQ(rec_.suggestedVideo, 0);
  EXPECT_EQ(Deliver(pieces[6]), FLV_PARSER_OK);
  FlushAndStop();
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), (Stamps{0, 20, 40, 60, 80, 100}));
}

TEST_F(StreamParserTest, AudioOnlyStreamIsReportedAtFlushOrStop) {
  Start();
  const Bytes bytes = Stream("A0 A20");
  EXPECT_EQ(Deliver(bytes), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  EXPECT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(rec_.Tags().size(), 2u);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  EXPECT_EQ(rec_.infoCalls, 1);

  // Stop without Flush: the information step offers the queue once.
  ParserRecorder second;
  ASSERT_EQ(FLVStreamParser_SetFLVInfoCallBack(p(), &ParserRecorder::OnInfo, &second), 1);
  ASSERT_EQ(FLVStreamParser_SetFLVAudioCallBack(p(), &ParserRecorder::OnTag, &second), 1);
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(Deliver(bytes), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  EXPECT_EQ(second.infoCalls, 1);
  EXPECT_EQ(second.Info()->videoCodec, -1);
  EXPECT_EQ(second.Tags().size(), 2u);
}

std::int64_t g_fakeSeconds = 0;
std::int64_t FakeSeconds() { return g_fakeSeconds; }

TEST(StreamParserWait, AudioOnlyStreamIsReportedWhenTheWaitRunsOut) {
  kelvra::FLVStreamParser parser;
  parser.SetSecondsClock(&FakeSeconds);
  ParserRecorder rec;
  ASSERT_EQ(parser.SetMaxInterleavedTime(5), 1);
  ASSERT_EQ(parser.SetFLVInfoCallBack(&ParserRecorder::OnInfo, &rec), 1);
  ASSERT_EQ(parser.SetFLVAudioCallBack(&ParserRecorder::OnTag, &rec), 1);
  ASSERT_EQ(parser.Run(), 1);
  std::vector<Bytes> pieces;
  Stream("A0 A20 A40", {}, &pieces);
  auto deliver = [&](std::size_t i) {
    return parser.DeliverData(pieces[i].data(), static_cast<int>(pieces[i].size()));
  };
  g_fakeSeconds = 1000;
  EXPECT_EQ(deliver(0), FLV_PARSER_INFO_PENDING);  // the wait begins
  EXPECT_EQ(deliver(1), FLV_PARSER_INFO_PENDING);
  g_fakeSeconds = 1004;
  EXPECT_EQ(deliver(2), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(rec.infoCalls, 0);
  g_fakeSeconds = 1005;
  EXPECT_EQ(deliver(3), FLV_PARSER_OK);
  ASSERT_EQ(rec.infoCalls, 1);
  EXPECT_EQ(rec.Info()->videoCodec, -1);
  EXPECT_EQ(rec.Info()->frameRate, 0.0);
  EXPECT_EQ(rec.Tags().size(), 3u);
  EXPECT_EQ(parser.Stop(), 1);
}

TEST_F(StreamParserTest, SingleKeyFrameGetsTwentyFiveFramesPerSecondWhenForced) {
  Start();
  EXPECT_EQ(Deliver(Stream("K0", {.hasAudio = false})), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  ASSERT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(rec_.Info()->videoCodec, kH263);
  EXPECT_EQ(rec_.Info()->audioFormat, -1);
  EXPECT_DOUBLE_EQ(rec_.Info()->frameRate, 25.0);
  EXPECT_EQ(rec_.suggestedAudio, 0);
}

TEST_F(StreamParserTest, RefusedTagsStayQueuedAndTheQueueLimitAnswersTwo) {
  ASSERT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 3), 1);
  Start();
  rec_.refuse = true;
  std::vector<Bytes> pieces;
  Stream("A0 A20 A40 A60 A80 A100", {}, &pieces);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(Deliver(pieces[4]), FLV_PARSER_QUEUE_FULL);
  EXPECT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(Deliver(pieces[4]), FLV_PARSER_QUEUE_FULL);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 0);
  EXPECT_GT(rec_.refusals, 0);

  rec_.refuse = false;
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  // The refused delivery consumed nothing: offering it again loses nothing
  // and doubles nothing.
  for (std::size_t i = 4; i < 7; ++i) EXPECT_EQ(Deliver(pieces[i]), FLV_PARSER_OK);
  FlushAndStop();
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_AUDIO), (Stamps{0, 20, 40, 60, 80, 100}));
  EXPECT_EQ(rec_.infoCalls, 1);
}

TEST_F(StreamParserTest, QueueLimitOfZeroDoesNotRefuseForEver) {
  ASSERT_EQ(FLVStreamParser_SetMaxFLVTagQueue(p(), 0), 1);
  Start();
  std::vector<Bytes> pieces;
  Stream("A0 A20 A40", {}, &pieces);
  EXPECT_EQ(Deliver(pieces[0]), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(Deliver(pieces[1]), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(Deliver(pieces[2]), FLV_PARSER_OK);
  EXPECT_EQ(Deliver(pieces[3]), FLV_PARSER_OK);
  FlushAndStop();
  EXPECT_EQ(rec_.Tags().size(), 3u);
}

TEST_F(StreamParserTest, InformationAnswerWithoutAudioDeletesAudioTags) {
  rec_.answerAudio = 0;
  Start();
  EXPECT_EQ(Deliver(Stream("A0 K0 A20")), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 1);
  EXPECT_EQ(Deliver(Tags("A40 I40")), FLV_PARSER_OK);
  FlushAndStop();
  EXPECT_TRUE(rec_.Timestamps(FLV_TAG_TYPE_AUDIO).empty());
  EXPECT_EQ(rec_.Timestamps(FLV_TAG_TYPE_VIDEO), (Stamps{0, 40}));
}

TEST_F(StreamParserTest, DataOffsetOfFiveIsAcceptedAndDropped) {
  Start();
  const Bytes bytes = Stream("A0", {.dataOffset = 5});
  EXPECT_EQ(Deliver(bytes), FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(Deliver(bytes), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  EXPECT_TRUE(rec_.Tags().empty());
  ASSERT_EQ(rec_.infoCalls, 1);
  EXPECT_EQ(rec_.Info()->version, 1);
  EXPECT_EQ(rec_.Info()->audioFormat, -1);
}

TEST_F(StreamParserTest, LongerHeaderIsSkippedWhateverThePieces) {
  const Bytes bytes = Stream("A0", {.dataOffset = 16, .paddingByte = 0xEE});
  for (std::size_t piece : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
    ParserRecorder rec;
    rec.Attach(p());
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
    DeliverInPieces(p(), bytes, piece);
    FlushAndStop();
    const auto tags = rec.Tags();
    ASSERT_EQ(tags.size(), 1u) << "pieces of " << piece;
    EXPECT_EQ(tags[0].filePosition, 20);
    EXPECT_EQ(tags[0].dataSize, kBlock20msBytes + 1);
  }
}

TEST_F(StreamParserTest, HugeDataOffsetIsSkippedWithoutHoldingTheBytes) {
  Start();
  EXPECT_EQ(Deliver(Stream("", {.dataOffset = 0x7FFFFFF0})), FLV_PARSER_INFO_PENDING);
  const Bytes filler(64 * 1024, 0x11);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(Deliver(filler), FLV_PARSER_INFO_PENDING);
  FlushAndStop();
  EXPECT_TRUE(rec_.Tags().empty());
}

// Asked for, script tags are offered as read (without data) when there is a
// callback, and queued and deleted when there is none; a tag type with
// reserved bits set is damage, skipped.
TEST_F(StreamParserTest, NotAudioVideoTagsAreOfferedAsReadWithoutData) {
  for (const bool callback : {false, true}) {
    ParserRecorder rec;
    ASSERT_EQ(FLVStreamParser_SetParserNotAudioVideoPacket(p(), 1), 1);
    rec.Attach(p(), callback);
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
    Bytes bytes = Stream("S777 A1000");
    const Bytes reserved = FlvBuilder().Tag(0x28, 5, Bytes(3, 0)).bytes();
    bytes.insert(bytes.end(), reserved.begin(), reserved.end());
    Deliver(bytes);
    FlushAndStop();
    const auto tags = rec.Tags();
    ASSERT_EQ(tags.size(), callback ? 2u : 1u);
    EXPECT_EQ(tags.back().tagType, FLV_TAG_TYPE_AUDIO);
    EXPECT_EQ(tags.back().timestamp, 0u);
    std::int64_t skippedBytes = 0;
    FLVStreamParser_GetSkippedBytes(p(), nullptr, &skippedBytes, nullptr);
    EXPECT_EQ(skippedBytes, 11 + 3 + 4);
    int audio = -1, video = -1;
    EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(p(), &audio, &video), 0);
    EXPECT_EQ(audio, 1) << "only audio and video tags are counted";
    if (!callback) continue;
    EXPECT_EQ(tags[0].tagType, FLV_TAG_TYPE_SCRIPT_DATA);
    EXPECT_EQ(tags[0].timestamp, 777u);
    EXPECT_EQ(tags[0].dataSize, 30u);
    EXPECT_EQ(tags[0].storedSize, 45);
    EXPECT_EQ(tags[0].filePosition, 13);
    EXPECT_FALSE(tags[0].hasBlock);
  }
}

TEST_F(StreamParserTest, PacketCountsAndLastTimestamp) {
  Start();
  Deliver(Stream("A0 K0 A20 I40 I80"));
  int audio = -1, video = -1;
  EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(p(), &audio, &video), 3);
  EXPECT_EQ(audio, 2);
  EXPECT_EQ(video, 3);
  EXPECT_EQ(FLVStreamParser_GetTimeStamp(p()), 80u);
  FlushAndStop();
  // Counts and time stamp belong to the run: the next Run clears them.
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  EXPECT_EQ(FLVStreamParser_GetParsedPacketsCount(p(), &audio, &video), 0);
  EXPECT_EQ(audio, 0);
  EXPECT_EQ(FLVStreamParser_GetTimeStamp(p()), 0u);
  EXPECT_EQ(FLVStreamParser_HasCalledFLVInfoCallBack(p()), 0);
}

TEST_F(StreamParserTest, StopDeletesQueuedAndHalfReadTags) {
  Start();
  rec_.refuse = true;
  const Bytes bytes = Stream("A0 K0 A20");
  // The last tag stops halfway through its body.
  EXPECT_EQ(FLVStreamParser_DeliverData(p(), bytes.data(), static_cast<int>(bytes.size() - 100)),
            FLV_PARSER_INFO_PENDING);
  EXPECT_EQ(FLVStreamParser_Flush(p()), 0);
  EXPECT_EQ(FLVStreamParser_Stop(p()), 1);
  EXPECT_EQ(rec_.infoCalls, 1);
  EXPECT_TRUE(rec_.Tags().empty());
  // Destroying a running parser with queued tags frees them as well.
  ASSERT_EQ(FLVStreamParser_Run(p()), 1);
  Deliver(bytes);
  parser_.reset();
}

TEST_F(StreamParserTest, LargestTagBodyWholeAndInPieces) {
  FlvBuilder b;
  b.Header();
  Bytes body(0xFFFFFF - 1);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<std::uint8_t>(i * 7);
  b.Video(0, 1, 4, body).Raw(Tags("K40"));
  std::vector<ParserEvent> first;
  for (std::size_t piece : {std::size_t{0}, std::size_t{10240}}) {
    ParserRecorder rec;
    rec.Attach(p());
    ASSERT_EQ(FLVStreamParser_Run(p()), 1);
    DeliverInPieces(p(), b.bytes(), piece);
    FlushAndStop();
    const auto tags = rec.Tags();
    ASSERT_EQ(tags.size(), 3u);  // the made-up audio tag and two frames
    EXPECT_EQ(tags[1].dataSize, 0xFFFFFFu);
    if (first.empty()) first = rec.events;
    EXPECT_EQ(rec.events, first) << "pieces of " << piece;
  }
}

// Tags given back for reuse come out again whole: records and blocks of
// every size go round, more of them at once than the parser keeps.
TEST(StreamParserRecycle, TagsGivenBackComeOutWhole) {
  constexpr std::size_t kSizes[] = {441, 1, 3000, 20, 70000};
  constexpr int kTags = 200;
  FlvBuilder b;
  b.Header();
  std::vector<Bytes> payloads;
  for (int i = 0; i < kTags; ++i) {
    payloads.emplace_back(kSizes[i % std::size(kSizes)], static_cast<std::uint8_t>(i));
    b.Audio(static_cast<std::uint32_t>(i) * 20, kPcm, kRate22050, 0, 0, payloads.back());
  }
  struct Seen {
    FLVStreamParser parser;
    std::vector<Bytes> payloads;
  } seen;
  seen.parser.SetFLVInfoCallBack([](void*, FLVInfo*, int*, int* audio) { *audio = 1; }, nullptr);
  seen.parser.SetFLVAudioCallBack(
      [](void* user, FLVTag* tag) {
        auto* s = static_cast<Seen*>(user);
        s->payloads.emplace_back(tag->audioData, tag->audioData + tag->audioDataSize);
        s->parser.RecycleTag(tag);
        return 1;
      },
      &seen);
  ASSERT_EQ(seen.parser.Run(), 1);
  seen.parser.DeliverData(b.bytes().data(), static_cast<int>(b.bytes().size()));
  seen.parser.Flush();
  EXPECT_EQ(seen.payloads, payloads);
}

}  // namespace
}  // namespace kelvra::test
