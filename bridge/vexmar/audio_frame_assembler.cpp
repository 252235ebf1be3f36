#include "audio_frame_assembler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace vexmar {
namespace {

// Encoders without a fixed frame size (PCM, ADPCM of any length) get frames
// of this many samples.
constexpr int kFreeFrameSamples = 4096;
// Room the FIFO starts with; it grows as needed.
constexpr int kInitialFifoSamples = 8192;

int FrameSamplesOf(const AVCodecContext* encoder) {
  const bool variable = (encoder->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE) != 0;
  if (encoder->frame_size > 0 && !variable) return encoder->frame_size;
  return kFreeFrameSamples;
}

}  // namespace

AudioFrameAssembler::AudioFrameAssembler(const AVCodecContext* encoder)
    : encoder_(encoder),
      frameSamples_(FrameSamplesOf(encoder)),
      shortLastFrame_((encoder->codec->capabilities &
                       (AV_CODEC_CAP_VARIABLE_FRAME_SIZE | AV_CODEC_CAP_SMALL_LAST_FRAME)) != 0 ||
                      encoder->frame_size <= 0) {
  fifo_ = av_audio_fifo_alloc(encoder->sample_fmt, encoder->ch_layout.nb_channels,
                              kInitialFifoSamples);
}

AudioFrameAssembler::~AudioFrameAssembler() {
  swr_free(&resampler_);
  av_audio_fifo_free(fifo_);
  if (convertData_ != nullptr) av_freep(&convertData_[0]);
  av_freep(&convertData_);
}

bool AudioFrameAssembler::Reconfigure(int sampleRate, int channels) {
  // Samples still inside the old resampler belong before the new format's.
  if (!DrainResampler()) return false;
  swr_free(&resampler_);
  AVChannelLayout inputLayout;
  av_channel_layout_default(&inputLayout, channels);
  // FFmpeg 5.1 takes the layouts through non-const pointers; it only reads.
  AVChannelLayout outputLayout;
  if (av_channel_layout_copy(&outputLayout, &encoder_->ch_layout) < 0) return false;
  const int made = swr_alloc_set_opts2(&resampler_, &outputLayout, encoder_->sample_fmt,
                                       encoder_->sample_rate, &inputLayout, AV_SAMPLE_FMT_S16,
                                       sampleRate, 0, nullptr);
  av_channel_layout_uninit(&inputLayout);
  av_channel_layout_uninit(&outputLayout);
  if (made < 0 || swr_init(resampler_) < 0) {
    swr_free(&resampler_);
    return false;
  }
  inputRate_ = sampleRate;
  inputChannels_ = channels;
  return true;
}

bool AudioFrameAssembler::EnsureConvertRoom(int samples) {
  if (samples <= convertCapacity_) return true;
  if (convertData_ != nullptr) av_freep(&convertData_[0]);
  av_freep(&convertData_);
  convertCapacity_ = 0;
  if (av_samples_alloc_array_and_samples(&convertData_, nullptr, encoder_->ch_layout.nb_channels,
                                         samples, encoder_->sample_fmt, 0) < 0) {
    return false;
  }
  convertCapacity_ = samples;
  return true;
}

bool AudioFrameAssembler::ConvertInto(const uint8_t** input, int inputSamples) {
  const int room = swr_get_out_samples(resampler_, inputSamples);
  if (room < 0 || !EnsureConvertRoom(room > 0 ? room : 1)) return false;
  const int produced = swr_convert(resampler_, convertData_, room, input, inputSamples);
  if (produced < 0) return false;
  if (produced == 0) return true;
  return av_audio_fifo_write(fifo_, reinterpret_cast<void**>(convertData_), produced) == produced;
}

bool AudioFrameAssembler::DrainResampler() {
  if (resampler_ == nullptr) return true;
  // A null input makes the resampler give out the samples it delays.
  for (;;) {
    const int before = av_audio_fifo_size(fifo_);
    if (!ConvertInto(nullptr, 0)) return false;
    if (av_audio_fifo_size(fifo_) == before) return true;
  }
}

bool AudioFrameAssembler::Add(const uint8_t* pcm, int sampleFrames, int sampleRate, int channels) {
  if (fifo_ == nullptr) return false;
  if (resampler_ == nullptr || sampleRate != inputRate_ || channels != inputChannels_) {
    if (!Reconfigure(sampleRate, channels)) return false;
  }
  const uint8_t* input[] = {pcm};
  return ConvertInto(input, sampleFrames);
}

bool AudioFrameAssembler::Flush() {
  if (fifo_ == nullptr) return false;
  const bool drained = DrainResampler();
  swr_free(&resampler_);
  inputRate_ = 0;
  inputChannels_ = 0;
  return drained;
}

bool AudioFrameAssembler::AppendSilence(int samples) {
  if (fifo_ == nullptr || samples <= 0) return fifo_ != nullptr;
  if (!EnsureConvertRoom(samples)) return false;
  if (av_samples_set_silence(convertData_, 0, samples, encoder_->ch_layout.nb_channels,
                             encoder_->sample_fmt) < 0) {
    return false;
  }
  return av_audio_fifo_write(fifo_, reinterpret_cast<void**>(convertData_), samples) == samples;
}

int AudioFrameAssembler::TakeFrame(AVFrame* frame, bool final) {
  if (fifo_ == nullptr) return -1;
  const int held = av_audio_fifo_size(fifo_);
  if (held == 0 || (held < frameSamples_ && !final)) return 0;
  const int taken = held < frameSamples_ ? held : frameSamples_;
  frame->nb_samples = taken < frameSamples_ && !shortLastFrame_ ? frameSamples_ : taken;
  frame->format = encoder_->sample_fmt;
  frame->sample_rate = encoder_->sample_rate;
  if (av_channel_layout_copy(&frame->ch_layout, &encoder_->ch_layout) < 0) return -1;
  if (av_frame_get_buffer(frame, 0) < 0) return -1;
  if (av_audio_fifo_read(fifo_, reinterpret_cast<void**>(frame->extended_data), taken) != taken) {
    return -1;
  }
  if (taken < frame->nb_samples) {
    av_samples_set_silence(frame->extended_data, taken, frame->nb_samples - taken,
                           frame->ch_layout.nb_channels, encoder_->sample_fmt);
  }
  frame->pts = samplesOut_;
  samplesOut_ += frame->nb_samples;
  return 1;
}

}  // namespace vexmar
