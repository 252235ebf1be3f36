// Bad input through the sonex program: each damaged or foreign file sits
// between two good files of a batch; the program must end normally with the
// documented per-file messages, and the good files must reach the output in
// full. (Outputs that cannot be written are rows of the e2e fault table.)
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bad_input/bad_input_support.h"
#include "support/flv_builder.h"
#include "kelvra.h"
#include "support/flv_files.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

constexpr int kFirstGoodTags = 50;   // 500 ms
constexpr int kSecondGoodTags = 70;  // 700 ms
// Decoder block edges and the resampler's delay move the end a little.
constexpr double kToleranceMs = 30.0;

const std::string kStartWarning =
    ", Warning: If the start time is more than the total time, it will be set to 0.\n";
const std::string kSeekFailed = ", The operation of seek is failed\n";

// One damaged file and what the batch around it must give.
struct BadFile {
  std::string name;
  Bytes bytes;
  // Messages expected on standard error for this file, each after its path.
  std::vector<std::string> messages;
  // What this file adds to the output, in milliseconds.
  double minMs = 0;
  double maxMs = 0;
  // A fixture below tests/data/flv used instead of `bytes`, and what -info
  // must print about the file.
  const char* fixture = nullptr;
  std::string info = "duration: ";
};

// A 16-bit PCM tag's header and the first `bodyBytes` of its body.
Bytes CutPcmTag(std::uint32_t timestamp, std::size_t keep) {
  Bytes tag = FlvBuilder().Audio(timestamp, 3, 3, 1, 1, Bytes(1764, 0x10)).bytes();
  tag.resize(keep);
  return tag;
}

Bytes GarbageMp3Stream() {
  FlvBuilder flv;
  flv.Header(FlvHeaderOptions{.hasVideo = false});
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) {
    Bytes payload(100 + random() % 400);
    for (auto& b : payload) b = static_cast<std::uint8_t>(random());
    // Every other payload starts like an MPEG frame so the decoder goes
    // beyond its sync search.
    if (i % 2 == 0) {
      payload[0] = 0xFF;
      payload[1] = 0xFB;
    }
    flv.Audio(static_cast<std::uint32_t>(i * 26), 2, 3, 1, 1, payload);
  }
  return flv.bytes();
}

std::vector<BadFile> BadFiles() {
  const std::vector<std::string> noTags = {kStartWarning, kSeekFailed};
  std::vector<BadFile> files;
  files.push_back({"empty", {}, noTags});
  const Bytes header = HeaderWithOffset(9);
  for (std::size_t n : {1u, 4u, 8u}) {
    files.push_back({"first_" + std::to_string(n) + "_bytes", Bytes(header.begin(), header.begin() + n), noTags});
  }
  files.push_back({"header_only", Bytes(header.begin(), header.begin() + 9), noTags});
  files.push_back({"wrong_signature", Concat({'F', 'L', 'X', 1, 4, 0, 0, 0, 9, 0, 0, 0, 0}, PcmTags(20)), noTags});
  // A data offset that leaves nothing to skip drops the rest of the stream.
  files.push_back({"data_offset_0", Concat(HeaderWithOffset(0), PcmTags(20)), noTags});
  files.push_back({"data_offset_9", Concat(HeaderWithOffset(9), PcmTags(20)), {}, 200, 200});
  files.push_back({"data_offset_max", Concat(HeaderWithOffset(0xFFFFFFFFu), PcmTags(20)), noTags});
  {
    // The last tag claims 16 MB: it never completes, the ones before stand.
    Bytes huge = CutPcmTag(300, 40);
    huge[1] = huge[2] = huge[3] = 0xFF;
    files.push_back({"data_size_past_end", Concat(PcmStream(30).bytes(), huge), {}, 300, 300});
  }
  files.push_back({"cut_in_tag_body", Concat(PcmStream(30).bytes(), CutPcmTag(300, 11 + 700)), {}, 300, 300});
  files.push_back({"garbage_mp3", GarbageMp3Stream(), {}, 0, 40 * 26 + kToleranceMs});
  {
    // Stamps run to 290 ms, then start again at 100 ms.
    Bytes stream = PcmStream(30).bytes();
    const Bytes again = PcmTags(20);
    FlvBuilder back;
    for (int i = 0; i < 20; ++i) back.Audio(100 + i * 10, 3, 3, 1, 1, Bytes(1764, 0x20));
    files.push_back({"timestamps_backwards", Concat(stream, back.bytes()), {}, 0, 500 + kToleranceMs});
  }
  // Stamps with the extension byte 0xFF wrapping past 2^32.
  files.push_back({"timestamps_wrap_2_32", PcmStream(40, 441, 0xFFFFFF00u).bytes(), {}, 0, 400});
  {
    // 5-bit ADPCM codes (code size field 3), 4096 samples a block.
    FlvBuilder flv;
    flv.Header(FlvHeaderOptions{.hasVideo = false});
    std::mt19937 random(3);
    for (int i = 0; i < 5; ++i) {
      Bytes block((2 + 22 + 4095 * 5 + 7) / 8);
      for (auto& b : block) b = static_cast<std::uint8_t>(random());
      block[0] = static_cast<std::uint8_t>(block[0] | 0xC0);
      flv.Audio(static_cast<std::uint32_t>(i * 4096 * 1000 / 22050), 1, 2, 1, 0, block);
    }
    const double blocksMs = 5 * 4096 * 1000.0 / 22050;
    files.push_back({"adpcm_code_size_5", flv.bytes(), {}, blocksMs, blocksMs});
  }
  {
    // Nellymoser payloads one byte short of a block play for no time, so
    // the parser stamps them all 0: the file has no audio length to convert.
    FlvBuilder flv;
    flv.Header(FlvHeaderOptions{.hasVideo = false});
    for (int i = 0; i < 10; ++i) flv.Audio(static_cast<std::uint32_t>(i * 12), 6, 2, 1, 0, Bytes(63, 0x5A));
    files.push_back({"nellymoser_63_bytes", flv.bytes(), noTags});
  }
  {
    // 100 000 tags of one sample frame each.
    constexpr int kTags = 100000;
    files.push_back({"tiny_tags", PcmStream(kTags, 1).bytes(), {}, PcmStreamMs(kTags, 1) - 20,
                     PcmStreamMs(kTags, 1) + 20});
  }
  {
    // Video at 0, then audio stamped 49 days later: the hole is closed as
    // one minute of silence, not weeks of it.
    FlvBuilder flv;
    flv.Header();
    flv.Video(0, 1, 2, H263PictureHeader(2));
    for (int i = 0; i < 10; ++i) flv.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
    files.push_back({"audio_49_days_after_video", flv.bytes(), {}, 60100, 60100});
  }
  // Zero-filled stretches between tags: the reader resynchronises after
  // each, says so once, and the file's 25 s (stamps 6059 to 31019 ms,
  // rebased to 0) are converted: silence up to its first audio, then AAC.
  files.push_back({"zero_filled_holes", {}, {", Skipped 50 damaged byte ranges (261723 bytes), the first at offset 354.\n"},
                   24981, 24981, "real/Red5_red5-server_webrtctestrecord.flv",
                   "sample rate: 48000Hz\nchannels: 1\naudio bit rate: 56653bps\nduration: 24981ms"});
  return files;
}

// Runs sonex on a good file, `input` and another good file into 44100 Hz
// stereo WAV at `out`; answers the run and the WAV's length in ms.
std::pair<ProgramRun, double> RunBatchAround(const std::string& input, const std::string& out) {
  const std::string first = ScratchPath("first.flv");
  const std::string second = ScratchPath("second.flv");
  PcmStream(kFirstGoodTags).WriteTo(first);
  PcmStream(kSecondGoodTags).WriteTo(second);
  const ProgramRun run = RunSonex({"-i", first, "-i", input, "-i", second, "-out", out, "-fmt", "wav", "-ac", "2", "-asr", "44100", "-quiet", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  return {run, ReadWav(out).Seconds() * 1000};
}

std::string FullPath(const std::string& path) { return fs::absolute(path).lexically_normal().string(); }

const double kGoodMs = PcmStreamMs(kFirstGoodTags) + PcmStreamMs(kSecondGoodTags);

class SonexBadFileTest : public ::testing::TestWithParam<BadFile> {};

TEST_P(SonexBadFileTest, BatchGoesOnAndKeepsTheGoodFiles) {
  const BadFile& bad = GetParam();
  const std::string damaged = ScratchPath(bad.name + ".flv");
  WriteWholeFile(damaged, bad.fixture ? ReadWholeFile(FixturePath(bad.fixture)) : bad.bytes);
  const auto [run, writtenMs] = RunBatchAround(damaged, ScratchPath(bad.name + ".wav"));
  std::string expectedErr;
  for (const std::string& message : bad.messages) expectedErr += FullPath(damaged) + message;
  EXPECT_EQ(run.err, expectedErr);
  EXPECT_GE(writtenMs, kGoodMs + bad.minMs - kToleranceMs);
  EXPECT_LE(writtenMs, kGoodMs + bad.maxMs + kToleranceMs);

  // The information display opens every such file and describes it.
  const ProgramRun info = RunSonex({"-info", damaged});
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_EQ(info.err, "");
  EXPECT_NE(info.out.find(bad.info), std::string::npos) << info.out;
}

INSTANTIATE_TEST_SUITE_P(Files, SonexBadFileTest, ::testing::ValuesIn(BadFiles()),
                         [](const auto& info) { return info.param.name; });

// ASF output decodes the video too: VP6 key frames (plain and with alpha)
// declaring no macroblock rows produce no pictures, and the audio beside
// them is written.
TEST(SonexBadInput, Vp6KeyFramesWithoutRowsIntoAsf) {
  FlvBuilder flv;
  flv.Header();
  for (std::uint32_t ms = 0; ms < 300; ms += 10) {
    flv.Video(ms, 1, 4, Vp6KeyFramePayload(0, 0, 10));
    flv.Video(ms + 5, 1, 5, Vp6AlphaKeyFramePayload(0, 0, 10, 8, 5));
    flv.Audio(ms, 3, 3, 1, 1, Bytes(1764, 0x08));
  }
  const std::string input = ScratchPath("vp6_no_rows.flv");
  const std::string out = ScratchPath("vp6_no_rows.wma");
  flv.WriteTo(input);
  const ProgramRun run = RunSonex({"-i", input, "-out", out, "-quiet", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_GT(fs::file_size(out), 0u);
}

// A folder is a file that cannot be opened; a path longer than 260
// characters (in nested folders, each name within the system's limits) is
// read like any other.
TEST(SonexBadInput, FolderAndLongPathsAsInputs) {
  const std::string folder = ScratchPath("input_folder");
  fs::path deep = ScratchPath("deep");
  for (int i = 0; i < 4; ++i) deep /= std::string(90, static_cast<char>('a' + i));
  fs::create_directories(deep);
  fs::create_directory(folder);
  const auto [run, writtenMs] = RunBatchAround(folder, ScratchPath("dir_input.wav"));
  EXPECT_NE(run.err.find(FullPath(folder) + ", Error on file opening.\n"), std::string::npos) << run.err;
  EXPECT_NEAR(writtenMs, kGoodMs, kToleranceMs);
  const ProgramRun info = RunSonex({"-info", folder});
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_NE(info.err.find("Fail to get the FLV information. It probably is not a FLV file.\n"), std::string::npos) << info.err;

  const std::string input = (deep / "input.flv").string();
  ASSERT_GT(input.size(), 260u);
  PcmStream(30).WriteTo(input);
  const auto [longRun, longMs] = RunBatchAround(input, ScratchPath("deep.wav"));
  EXPECT_EQ(longRun.err, "");
  EXPECT_NEAR(longMs, kGoodMs + PcmStreamMs(30), kToleranceMs);
}

}  // namespace
}  // namespace kelvra::test
