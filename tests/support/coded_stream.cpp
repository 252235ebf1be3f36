#include "support/coded_stream.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

namespace kelvra::test {

CodedStream ReadCodedStream(const std::string& path, AVMediaType type, bool raw,
                            std::size_t maxPackets) {
  CodedStream coded;
  AVFormatContext* format = avformat_alloc_context();
  if (raw) format->flags |= AVFMT_FLAG_NOPARSE;
  if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0) {
    ADD_FAILURE() << "libavformat cannot open " << path;
    return coded;
  }
  const int index = avformat_find_stream_info(format, nullptr) < 0
                        ? -1
                        : av_find_best_stream(format, type, -1, -1, nullptr, 0);
  if (index >= 0) {
    const AVCodecParameters* parameters = format->streams[index]->codecpar;
    coded.codec = parameters->codec_id;
    coded.width = parameters->width;
    coded.height = parameters->height;
    coded.sampleRate = parameters->sample_rate;
    coded.channels = parameters->ch_layout.nb_channels;
    coded.config.assign(parameters->extradata, parameters->extradata + parameters->extradata_size);
    AVPacket* packet = av_packet_alloc();
    while ((maxPackets == 0 || coded.packets.size() < maxPackets) &&
           av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == index && packet->size > 0) {
        coded.packets.emplace_back(packet->data, packet->data + packet->size);
        coded.keyFrames.push_back((packet->flags & AV_PKT_FLAG_KEY) != 0);
        coded.timesMs.push_back(
            av_rescale_q(packet->pts, format->streams[index]->time_base, AVRational{1, 1000}));
      }
      av_packet_unref(packet);
    }
    av_packet_free(&packet);
  }
  avformat_close_input(&format);
  return coded;
}

}  // namespace kelvra::test
