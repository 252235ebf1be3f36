// sonex -info run as a program on real files, its output checked against an
// independent reading of each file: FFmpeg's demuxer for picture sizes,
// audio format and end times, and a plain walk over the FLV tags for byte
// totals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "reader/reader_test_util.h"
#include "support/flv_files.h"

extern char** environ;

namespace kelvra::test {
namespace {

namespace fs = std::filesystem;

const char* const kSonex = KELVRA_BINARY_DIR "/bin/sonex";
const char* const kNotFLVMessage =
    "Fail to get the FLV information. It probably is not a FLV file.\n";

struct ProgramRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Runs sonex in `folder` with standard output and error caught in files
// beside the folder (so the folder itself shows what the program made).
ProgramRun RunSonex(const std::vector<std::string>& arguments, const std::string& folder) {
  const std::string outPath = folder + ".out";
  const std::string errPath = folder + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());

  std::vector<std::string> all{kSonex};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : all) argv.push_back(argument.data());
  argv.push_back(nullptr);

  ProgramRun run;
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, kSonex, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  EXPECT_EQ(spawned, 0) << "cannot start " << kSonex;
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status)) << "sonex did not exit normally";
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = Slurp(outPath);
  run.err = Slurp(errPath);
  return run;
}

// A fresh empty folder to run the program in.
std::string EmptyFolder(const std::string& name) {
  const std::string folder = TestTempDir() + "/" + name;
  fs::remove_all(folder);
  fs::create_directories(folder);
  return folder;
}

bool FolderIsEmpty(const std::string& folder) { return fs::is_empty(folder); }

// ---------------------------------------------------------------------------
// The program's output, line by line

struct InfoLines {
  std::vector<std::string> keys;  // in order of appearance
  std::map<std::string, std::string> values;
};

InfoLines ParseInfo(const std::string& out) {
  static const std::regex kLine(
      R"(^(size): (\d+)x(\d+)$|^(video bit rate): (\d+\.\d{3})kbps$|^(frame rate): (\d+\.\d{2})$|)"
      R"(^(sample rate): (-?\d+)Hz$|^(channels): (-?\d+)$|^(audio bit rate): (-?\d+)bps$|)"
      R"(^(duration): (\d+)ms$)");
  InfoLines lines;
  std::istringstream in(out);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kLine)) << "unexpected line: " << line;
    for (std::size_t i = 1; i < match.size(); ++i) {
      if (!match[i].matched) continue;
      const std::string key = match[i];
      lines.keys.push_back(key);
      if (key == "size") {
        lines.values["width"] = match[i + 1];
        lines.values["height"] = match[i + 2];
      } else {
        lines.values[key] = match[i + 1];
      }
      break;
    }
  }
  EXPECT_TRUE(out.empty() || out.back() == '\n');
  return lines;
}

// ---------------------------------------------------------------------------
// Independent readings

struct DemuxedFile {
  int width = 0;
  int height = 0;
  int sampleRate = 0;
  int channels = 0;
  bool hasAudio = false;
  bool hasVideo = false;
  // End of the last audio block or video frame after the first packet, ms.
  std::int64_t endMs = 0;
};

DemuxedFile Demux(const std::string& path) {
  DemuxedFile file;
  AVFormatContext* context = nullptr;
  if (avformat_open_input(&context, path.c_str(), nullptr, nullptr) != 0) {
    ADD_FAILURE() << "FFmpeg cannot open " << path;
    return file;
  }
  avformat_find_stream_info(context, nullptr);
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* parameters = context->streams[i]->codecpar;
    if (parameters->codec_type == AVMEDIA_TYPE_VIDEO) {
      file.hasVideo = true;
      file.width = parameters->width;
      file.height = parameters->height;
    } else if (parameters->codec_type == AVMEDIA_TYPE_AUDIO) {
      file.hasAudio = true;
      file.sampleRate = parameters->sample_rate;
      file.channels = parameters->ch_layout.nb_channels;
    }
  }
  // Per stream: first and last time stamp, packet count, last duration.
  struct Span {
    std::int64_t first = INT64_MAX;
    std::int64_t last = 0;
    std::int64_t lastDuration = 0;
    std::int64_t count = 0;
  };
  std::map<int, Span> spans;
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(context, packet) >= 0) {
    const AVStream* stream = context->streams[packet->stream_index];
    if (packet->pts != AV_NOPTS_VALUE) {
      Span& span = spans[packet->stream_index];
      const AVRational ms{1, 1000};
      span.first = std::min(span.first, av_rescale_q(packet->pts, stream->time_base, ms));
      span.last = av_rescale_q(packet->pts, stream->time_base, ms);
      span.lastDuration =
          packet->duration > 0 ? av_rescale_q(packet->duration, stream->time_base, ms) : 0;
      ++span.count;
    }
    av_packet_unref(packet);
  }
  av_packet_free(&packet);
  avformat_close_input(&context);
  // A stream whose packets carry no duration plays its last one for the
  // average interval.
  std::int64_t first = INT64_MAX;
  std::int64_t end = 0;
  for (const auto& [index, span] : spans) {
    std::int64_t lastPlays = span.lastDuration;
    if (lastPlays == 0 && span.count > 1) lastPlays = (span.last - span.first) / (span.count - 1);
    first = std::min(first, span.first);
    end = std::max(end, span.last + lastPlays);
  }
  file.endMs = first == INT64_MAX ? 0 : end - first;
  return file;
}

// Byte totals of the bodies of audio and video tags with data, the number of
// such video tags and the largest time stamp among them, straight from the
// file's tag headers.
struct TagTotals {
  std::uint64_t audioBytes = 0;
  std::uint64_t videoBytes = 0;
  std::uint64_t videoFrames = 0;
  std::uint32_t largestTimestamp = 0;
};

TagTotals WalkTags(const std::string& path) {
  const std::vector<std::uint8_t> bytes = ReadWholeFile(path);
  TagTotals totals;
  if (bytes.size() < 9) return totals;
  const std::uint32_t dataOffset =
      (bytes[5] << 24) | (bytes[6] << 16) | (bytes[7] << 8) | bytes[8];
  std::size_t at = dataOffset + 4;
  // Times count from the first audio or video tag, as the player's time line
  // does.
  bool baseSet = false;
  std::uint32_t base = 0;
  while (at + 11 <= bytes.size()) {
    const std::uint8_t type = bytes[at];
    const std::uint32_t size = (bytes[at + 1] << 16) | (bytes[at + 2] << 8) | bytes[at + 3];
    const std::uint32_t time =
        (bytes[at + 7] << 24) | (bytes[at + 4] << 16) | (bytes[at + 5] << 8) | bytes[at + 6];
    if (at + 11 + size + 4 > bytes.size()) break;
    if ((type == 8 || type == 9) && !baseSet) {
      base = time;
      baseSet = true;
    }
    if ((type == 8 || type == 9) && size != 0) {
      (type == 8 ? totals.audioBytes : totals.videoBytes) += size;
      if (type == 9) ++totals.videoFrames;
      totals.largestTimestamp = std::max(totals.largestTimestamp, time < base ? 0 : time - base);
    }
    at += 11 + size + 4;
  }
  return totals;
}

void ExpectNear(double actual, double expected, double relative, const char* what) {
  EXPECT_LE(std::fabs(actual - expected), relative * std::fabs(expected) + 1e-9)
      << what << ": " << actual << " vs " << expected;
}

// ---------------------------------------------------------------------------

struct FixtureCase {
  const char* file;
  bool checkDuration;  // a single frame at 0 has no end time to compare
};

void PrintTo(const FixtureCase& fixture, std::ostream* out) { *out << fixture.file; }

class SonexInfoOnFixtures : public testing::TestWithParam<FixtureCase> {};

TEST_P(SonexInfoOnFixtures, AgreesWithAnIndependentReading) {
  const std::string path = FixturePath(std::string("real/") + GetParam().file);
  const std::string folder = EmptyFolder("info_fixture");
  const ProgramRun run = RunSonex({"-info", path}, folder);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(FolderIsEmpty(folder));

  const InfoLines lines = ParseInfo(run.out);
  const DemuxedFile demuxed = Demux(path);
  const TagTotals totals = WalkTags(path);

  std::vector<std::string> expectedKeys;
  if (demuxed.hasVideo) {
    expectedKeys.insert(expectedKeys.end(), {"size", "video bit rate", "frame rate"});
  }
  if (demuxed.hasAudio) {
    expectedKeys.insert(expectedKeys.end(), {"sample rate", "channels", "audio bit rate"});
  }
  expectedKeys.push_back("duration");
  ASSERT_EQ(lines.keys, expectedKeys) << run.out;

  const double seconds = totals.largestTimestamp / 1000.0;
  if (demuxed.hasVideo) {
    EXPECT_EQ(std::stoi(lines.values.at("width")), demuxed.width);
    EXPECT_EQ(std::stoi(lines.values.at("height")), demuxed.height);
    if (seconds > 0) {
      ExpectNear(std::stod(lines.values.at("video bit rate")) * 1000,
                 totals.videoBytes * 8 / seconds, 0.03, "video bit rate");
      ExpectNear(std::stod(lines.values.at("frame rate")), totals.videoFrames / seconds, 0.03,
                 "frame rate");
    }
  }
  if (demuxed.hasAudio) {
    EXPECT_EQ(std::stoi(lines.values.at("sample rate")), demuxed.sampleRate);
    EXPECT_EQ(std::stoi(lines.values.at("channels")), demuxed.channels);
    if (seconds > 0) {
      ExpectNear(std::stod(lines.values.at("audio bit rate")), totals.audioBytes * 8 / seconds,
                 0.03, "audio bit rate");
    }
  }
  if (GetParam().checkDuration) {
    const double duration = std::stod(lines.values.at("duration"));
    EXPECT_LE(std::fabs(duration - static_cast<double>(demuxed.endMs)),
              std::max(40.0, 0.01 * static_cast<double>(demuxed.endMs)))
        << "duration " << duration << " ms, FFmpeg's end " << demuxed.endMs << " ms";
  }
}

// Files whose FLV flags give the true audio format (MP3, Nellymoser) and
// whose pictures declare their size (H.263, VP6, screen video, H.264 by its
// sequence header).
INSTANTIATE_TEST_SUITE_P(
    RealFiles, SonexInfoOnFixtures,
    testing::Values(FixtureCase{"ruffle-rs_ruffle_square.flv", true},
                    FixtureCase{"apache_flex-sdk_phone.flv", true},
                    FixtureCase{"apache_flex-sdk_caltrain.flv", true},
                    FixtureCase{"apache_flex-sdk_short.flv", true},
                    FixtureCase{"mondain_red5_fp_fcs_live_video.flv", true},
                    FixtureCase{"mondain_red5_fp_fcs_live_audio.flv", true},
                    FixtureCase{"Red5_red5-server_red5.flv", true},
                    FixtureCase{"ruffle-rs_ruffle_rufflelogo.flv", false},
                    FixtureCase{"mltframework_swfdec_video.flv", true},
                    // Tag times of H.264 are decoding times; FFmpeg's end
                    // counts presentation times.
                    FixtureCase{"ruffle-rs_ruffle_h264_hsv.flv", false},
                    FixtureCase{"ruffle-rs_ruffle_h264_multinalu_test.flv", false}),
    [](const testing::TestParamInfo<FixtureCase>& info) {
      std::string name = info.param.file;
      name = name.substr(0, name.find('.'));
      std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

TEST(SonexInfo, PrintsEveryLineInItsFormatAndTheLaterEndTime) {
  // Audio ends at 60 ms, video at 200 ms plus one frame at 15 frames/s.
  TaggedFlv flv;
  flv.Pcm(0).Key(0).Pcm(20).Pcm(40).Inter(100).Inter(200);
  const std::string path = flv.Write("info_lines.flv");
  const std::string folder = EmptyFolder("info_lines");
  const ProgramRun run = RunSonex({"-info", path}, folder);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  // Video bodies of 8 bytes and audio bodies of 883 bytes over 200 ms.
  EXPECT_EQ(run.out,
            "size: 320x240\n"
            "video bit rate: 0.960kbps\n"
            "frame rate: 15.00\n"
            "sample rate: 44100Hz\n"
            "channels: 1\n"
            "audio bit rate: 105960bps\n"
            "duration: 266ms\n");
}

// -info reads the file's tags only: neither the codec bridges nor FFmpeg are
// loaded (the dynamic loader's own account of the libraries it opens).
TEST(SonexInfo, LoadsNoCodecLibrary) {
  const std::string command = std::string("LD_DEBUG=libs '") + kSonex + "' -info '" +
                              FixturePath("real/ruffle-rs_ruffle_square.flv") +
                              "' 2>&1 >/dev/null";
  std::string loaded;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
      loaded.append(buffer, got);
    }
    EXPECT_EQ(pclose(pipe), 0);
  }
  EXPECT_NE(loaded.find("libkelvra.so"), std::string::npos) << "no loader account:\n" << loaded;
  for (const char* library : {"libavcodec", "libavformat", "libvexmar", "libmorlin", "libpellow"}) {
    EXPECT_EQ(loaded.find(library), std::string::npos) << library << " loaded:\n" << loaded;
  }
}

TEST(SonexInfo, ATextFileGivesOnlyAZeroDuration) {
  const std::string folder = EmptyFolder("info_text");
  const std::string text = TestTempDir() + "/notes.txt";
  std::ofstream(text) << "not a video at all\n";
  const ProgramRun run = RunSonex({"-info", text}, folder);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "duration: 0ms\n");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(FolderIsEmpty(folder));
}

TEST(SonexInfo, AMissingFileGivesOnlyTheMessage) {
  const std::string folder = EmptyFolder("info_missing");
  const ProgramRun run = RunSonex({"-info", TestTempDir() + "/no_such_file.flv"}, folder);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, kNotFLVMessage);
  EXPECT_TRUE(FolderIsEmpty(folder));
}

TEST(SonexInfo, ConversionOptionsAreIgnoredAndNothingIsWritten) {
  const std::string path = FixturePath("real/ruffle-rs_ruffle_square.flv");
  const std::string folder = EmptyFolder("info_with_options");
  const ProgramRun plain = RunSonex({"-info", path}, folder);
  const ProgramRun mixed =
      RunSonex({"-info", path, "-i", path, "-out", "c.mp3", "-fmt", "wav"}, folder);
  EXPECT_EQ(mixed.exitCode, 0);
  EXPECT_EQ(mixed.out, plain.out);
  EXPECT_EQ(mixed.err, "");
  EXPECT_TRUE(FolderIsEmpty(folder));
}

}  // namespace
}  // namespace kelvra::test
