// Bad input through the sonex program: each damaged or foreign file sits
// between two good files of a batch; the program ends normally with the
// per-file messages, the good files reach the output in full, and -info
// describes the file.
#include <gtest/gtest.h>

#include <random>

#include "bad_input/bad_input_support.h"
#include "support/programs.h"

namespace kelvra::test {
namespace {

struct BadFile {
  std::string name;
  Bytes bytes;
  bool noTags;         // the file gives the two messages of a file without tags
  double addedMs = 0;  // what it adds to the output
  const char* fixture = nullptr;  // a file below tests/data/flv instead of `bytes`
  std::string message = "", info = "duration: ";
};

std::vector<BadFile> BadFiles() {
  const Bytes header = HeaderWithOffset(9);
  Bytes cutTag = FlvBuilder().Audio(300, 3, 3, 1, 1, Bytes(1764, 0x10)).bytes();
  cutTag.resize(11 + 700);
  FlvBuilder garbage, nelly, lateAudio;
  garbage.Header(FlvHeaderOptions{.hasVideo = false});
  std::mt19937 random(7);
  for (int i = 0; i < 40; ++i) {
    Bytes payload(100 + random() % 400);
    for (auto& b : payload) b = static_cast<std::uint8_t>(random());
    if (i % 2 == 0) payload[0] = 0xFF, payload[1] = 0xFB;  // past the decoder's sync search
    garbage.Audio(static_cast<std::uint32_t>(i * 26), 2, 3, 1, 1, payload);
  }
  // Nellymoser payloads one byte short of a block play for no time: the
  // parser stamps them all 0, and the file has no audio length to convert.
  nelly.Header(FlvHeaderOptions{.hasVideo = false});
  for (int i = 0; i < 10; ++i) nelly.Audio(static_cast<std::uint32_t>(i * 12), 6, 2, 1, 0, Bytes(63, 0x5A));
  // Audio 49 days after the video: the hole is one minute of silence.
  lateAudio.Header().Video(0, 1, 2, H263PictureHeader(2));
  for (int i = 0; i < 10; ++i) lateAudio.Audio(0xFF000000u + i * 10, 3, 3, 1, 1, Bytes(1764, 0x10));
  return {
      {"empty", {}, true},
      {"first_4_bytes", Bytes(header.begin(), header.begin() + 4), true},
      {"header_only", header, true},
      {"wrong_signature", Concat({'F', 'L', 'X', 1, 4, 0, 0, 0, 9, 0, 0, 0, 0}, PcmTags(20)), true},
      {"data_offset_max", Concat(HeaderWithOffset(0xFFFFFFFFu), PcmTags(20)), true},
      {"data_offset_9", Concat(header, PcmTags(20)), false, 200},
      {"cut_in_tag_body", Concat(PcmStream(30).bytes(), cutTag), false, 300},
      {"garbage_mp3", garbage.bytes(), false, -1},
      {"nellymoser_63_bytes", nelly.bytes(), true},
      {"audio_49_days_after_video", lateAudio.bytes(), false, 60100},
      // Zero-filled stretches between tags: the reader resynchronises after
      // each and says so once; the file's 25 s are converted.
      {"zero_filled_holes", {}, false, 24981, "real/Red5_red5-server_webrtctestrecord.flv",
       ", Skipped 50 damaged byte ranges (261723 bytes), the first at offset 354.\n",
       "sample rate: 48000Hz\nchannels: 1\naudio bit rate: 56653bps\nduration: 24981ms"},
  };
}

class SonexBadFileTest : public testing::TestWithParam<BadFile> {};

TEST_P(SonexBadFileTest, BatchGoesOnAndKeepsTheGoodFiles) {
  const BadFile& bad = GetParam();
  const std::string damaged = ScratchPath(bad.name + ".flv"), out = ScratchPath(bad.name + ".wav");
  const std::string first = ScratchPath("first.flv"), second = ScratchPath("second.flv");
  WriteWholeFile(damaged, bad.fixture ? ReadWholeFile(FixturePath(bad.fixture)) : bad.bytes);
  PcmStream(50).WriteTo(first);
  PcmStream(70).WriteTo(second);
  const ProgramRun run = RunSonex({"-i", first, "-i", damaged, "-i", second, "-out", out, "-fmt", "wav", "-ac", "2",
                                   "-asr", "44100", "-quiet", "1"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const std::string path = std::filesystem::absolute(damaged).lexically_normal().string();
  EXPECT_EQ(run.err, bad.noTags ? path + ", Warning: If the start time is more than the total time, it will be set to 0.\n" +
                                      path + ", The operation of seek is failed\n"
                                : (bad.message.empty() ? "" : path + bad.message));
  // Decoder block edges and the resampler's delay move the end a little;
  // undecodable MP3 may give anything up to its length.
  const double writtenMs = ReadWav(out).Seconds() * 1000, goodMs = 1200;
  EXPECT_GE(writtenMs, goodMs + std::max(bad.addedMs, 0.0) - 30);
  EXPECT_LE(writtenMs, goodMs + (bad.addedMs < 0 ? 40 * 26 : bad.addedMs) + 30);
  const ProgramRun info = RunSonex({"-info", damaged});
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_EQ(info.err, "");
  EXPECT_NE(info.out.find(bad.info), std::string::npos) << info.out;
}

INSTANTIATE_TEST_SUITE_P(Files, SonexBadFileTest, testing::ValuesIn(BadFiles()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace kelvra::test
