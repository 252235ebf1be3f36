#include "bridge_video/video_test_media.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "support/flv_files.h"
#include "vexmar/vexmar.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace kelvra::test {

namespace {

class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bridge_video_XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool RunCommand(const std::string& command) { return std::system(command.c_str()) == 0; }

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace

std::string ScratchDir() {
  static ScratchFolder folder;
  return folder.path();
}

std::string RealFixture(const std::string& name) { return kelvra::test::FixturePath("real/" + name); }

CodedVideo ReadCodedVideo(const std::string& path, std::size_t maxFrames) {
  CodedVideo video;
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "libavformat cannot open " << path;
    return video;
  }
  if (avformat_find_stream_info(format, nullptr) < 0) {
    ADD_FAILURE() << "no stream information in " << path;
    avformat_close_input(&format);
    return video;
  }
  const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (stream < 0) {
    ADD_FAILURE() << "no video stream in " << path;
    avformat_close_input(&format);
    return video;
  }
  const AVCodecParameters* parameters = format->streams[stream]->codecpar;
  video.codecName = avcodec_get_name(parameters->codec_id);
  video.width = parameters->width;
  video.height = parameters->height;
  video.config.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);
  const AVRational timeBase = format->streams[stream]->time_base;
  AVPacket* packet = av_packet_alloc();
  while (av_read_frame(format, packet) >= 0) {
    if (packet->stream_index == stream) {
      video.frames.emplace_back(packet->data, packet->data + packet->size);
      video.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
      video.timesMs.push_back(av_rescale_q(packet->pts, timeBase, AVRational{1, 1000}));
    }
    av_packet_unref(packet);
    if (maxFrames != 0 && video.frames.size() >= maxFrames) break;
  }
  av_packet_free(&packet);
  avformat_close_input(&format);
  return video;
}

std::string MakeH263Flv(const std::string& name, const std::string& lavfiSource, double seconds) {
  static std::map<std::string, std::string> made;
  const auto found = made.find(name);
  if (found != made.end()) return found->second;
  const std::string path = ScratchDir() + "/" + name + ".flv";
  const std::string command = "ffmpeg -nostdin -loglevel error -y -f lavfi -i " +
                              Quoted(lavfiSource) + " -t " + std::to_string(seconds) +
                              " -c:v flv1 -q:v 3 -an " + Quoted(path);
  if (!RunCommand(command)) {
    ADD_FAILURE() << "ffmpeg failed: " << command;
    return "";
  }
  made[name] = path;
  return path;
}

std::vector<std::uint8_t> DecodeWithFfmpegProgram(const std::string& path, int maxFrames) {
  static int counter = 0;
  const std::string out = ScratchDir() + "/reference" + std::to_string(++counter) + ".bgra";
  const std::string command = "ffmpeg -nostdin -loglevel error -y -i " + Quoted(path) +
                              " -frames:v " + std::to_string(maxFrames) +
                              " -fps_mode passthrough -f rawvideo -pix_fmt bgra " + Quoted(out);
  if (!RunCommand(command)) {
    ADD_FAILURE() << "ffmpeg failed: " << command;
    return {};
  }
  return ReadFileBytes(out);
}

}  // namespace kelvra::test

namespace {

// FFmpeg's own console messages are switched off once, as the program does.
class BridgeVideoEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { Vexmar_init(); }
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new BridgeVideoEnvironment);

}  // namespace
