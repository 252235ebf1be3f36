#include "decoded_audio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <numbers>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswresample/swresample.h>
}

namespace kelvra::test {
namespace {

struct Resources {
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;
  SwrContext* resampler = nullptr;
  ~Resources() {
    swr_free(&resampler);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
};

// Appends the frame's first channel as s16.
bool TakeFrame(Resources& r, DecodedAudio& out) {
  if (r.resampler == nullptr) {
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    // Keep the first channel only: a matrix that routes channel 0 alone.
    if (swr_alloc_set_opts2(&r.resampler, &mono, AV_SAMPLE_FMT_S16, r.frame->sample_rate,
                            &r.frame->ch_layout, static_cast<AVSampleFormat>(r.frame->format),
                            r.frame->sample_rate, 0, nullptr) < 0) {
      return false;
    }
    std::vector<double> matrix(r.frame->ch_layout.nb_channels, 0.0);
    matrix[0] = 1.0;
    if (swr_set_matrix(r.resampler, matrix.data(), r.frame->ch_layout.nb_channels) < 0 ||
        swr_init(r.resampler) < 0) {
      return false;
    }
  }
  out.samples += r.frame->nb_samples;
  const size_t start = out.firstChannel.size();
  out.firstChannel.resize(start + r.frame->nb_samples);
  uint8_t* target[] = {reinterpret_cast<uint8_t*>(out.firstChannel.data() + start)};
  const int made = swr_convert(r.resampler, target, r.frame->nb_samples,
                               const_cast<const uint8_t**>(r.frame->extended_data),
                               r.frame->nb_samples);
  if (made < 0) return false;
  out.firstChannel.resize(start + made);
  return true;
}

bool Drain(Resources& r, DecodedAudio& out) {
  for (;;) {
    const int got = avcodec_receive_frame(r.codec, r.frame);
    if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
    if (got < 0) return false;
    const bool taken = TakeFrame(r, out);
    av_frame_unref(r.frame);
    if (!taken) return false;
  }
}

}  // namespace

DecodedAudio DecodeAudioFile(const std::string& path) {
  DecodedAudio out;
  Resources r;
  if (avformat_open_input(&r.format, path.c_str(), nullptr, nullptr) < 0) return out;
  if (avformat_find_stream_info(r.format, nullptr) < 0) return out;
  const int index = av_find_best_stream(r.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
  if (index < 0) return out;
  const AVCodecParameters* par = r.format->streams[index]->codecpar;
  const AVCodec* decoder = avcodec_find_decoder(par->codec_id);
  if (decoder == nullptr) return out;
  r.codec = avcodec_alloc_context3(decoder);
  r.packet = av_packet_alloc();
  r.frame = av_frame_alloc();
  if (r.codec == nullptr || r.packet == nullptr || r.frame == nullptr ||
      avcodec_parameters_to_context(r.codec, par) < 0 ||
      avcodec_open2(r.codec, decoder, nullptr) < 0) {
    return out;
  }
  out.formatName = r.format->iformat->name;
  out.codecName = avcodec_get_name(par->codec_id);
  out.sampleRate = par->sample_rate;
  out.channels = par->ch_layout.nb_channels;
  while (av_read_frame(r.format, r.packet) >= 0) {
    if (r.packet->stream_index == index) {
      if (out.firstPacketSize == 0) out.firstPacketSize = r.packet->size;
      const int sent = avcodec_send_packet(r.codec, r.packet);
      av_packet_unref(r.packet);
      if (sent < 0 || !Drain(r, out)) return out;
    } else {
      av_packet_unref(r.packet);
    }
  }
  avcodec_send_packet(r.codec, nullptr);
  if (!Drain(r, out)) return out;
  out.opened = true;
  return out;
}

double EstimateToneHz(const std::vector<int16_t>& samples, int sampleRate) {
  // The middle half: away from the encoders' start and end transients.
  const size_t begin = samples.size() / 4;
  const size_t end = samples.size() * 3 / 4;
  if (end <= begin + 1 || sampleRate <= 0) return 0.0;
  int64_t crossings = 0;
  for (size_t i = begin + 1; i < end; ++i) {
    if (samples[i - 1] < 0 && samples[i] >= 0) ++crossings;
  }
  return static_cast<double>(crossings) * sampleRate / static_cast<double>(end - begin);
}

std::vector<uint8_t> MakeTone(double frequency, int sampleRate, int channels, int64_t frames,
                              int64_t firstFrame) {
  std::vector<uint8_t> pcm;
  pcm.reserve(static_cast<size_t>(frames * channels * 2));
  for (int64_t i = 0; i < frames; ++i) {
    const double phase = 2.0 * std::numbers::pi * frequency * static_cast<double>(i + firstFrame) /
                         sampleRate;
    const auto value = static_cast<int16_t>(std::lround(16384.0 * std::sin(phase)));
    for (int c = 0; c < channels; ++c) {
      pcm.push_back(static_cast<uint8_t>(value & 0xFF));
      pcm.push_back(static_cast<uint8_t>((value >> 8) & 0xFF));
    }
  }
  return pcm;
}

const std::vector<int>& OddBlockSizes() {
  static const std::vector<int> sizes = {1, 7, 4097, 333, 2, 9001, 5, 1023, 3, 17};
  return sizes;
}

bool FileExists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string TempPath(const std::string& name) {
  const char* base = std::getenv("TMPDIR");
  std::string path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                     "/kelvra_bridge_writer_" + std::to_string(getpid()) + "_" + name;
  unlink(path.c_str());
  return path;
}

}  // namespace kelvra::test
