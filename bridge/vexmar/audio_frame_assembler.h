// Turns interleaved 16-bit PCM blocks of any rate, channel count and length
// into whole encoder frames: libswresample converts rate, channels and
// sample format, a sample FIFO carries what does not fill a frame yet.
#ifndef VEXMAR_AUDIO_FRAME_ASSEMBLER_H
#define VEXMAR_AUDIO_FRAME_ASSEMBLER_H

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace vexmar {

class AudioFrameAssembler {
 public:
  // The encoder context must be open and outlive the assembler; its rate,
  // layout, sample format and frame size are the target.
  explicit AudioFrameAssembler(const AVCodecContext* encoder);
  ~AudioFrameAssembler();
  AudioFrameAssembler(const AudioFrameAssembler&) = delete;
  AudioFrameAssembler& operator=(const AudioFrameAssembler&) = delete;

  // Converts whole interleaved s16 sample frames and queues them. False on
  // an allocation or conversion failure.
  bool Add(const uint8_t* pcm, int sampleFrames, int sampleRate, int channels);
  // Pushes out what the resampler still holds; before the last frames.
  bool Flush();
  // Queues `samples` of silence after the audio.
  bool AppendSilence(int samples);

  // Fills `frame` (fresh or unreferenced) with the next encoder frame. With
  // `final` set, the remainder that does not fill a frame comes out as a
  // short last frame where the encoder takes one, else padded with silence.
  // Answers 1 for a frame, 0 when none is ready, negative on failure. The
  // frame's pts counts samples from the start.
  int TakeFrame(AVFrame* frame, bool final);

 private:
  bool Reconfigure(int sampleRate, int channels);
  bool EnsureConvertRoom(int samples);
  bool DrainResampler();
  bool ConvertInto(const uint8_t** input, int inputSamples);

  const AVCodecContext* const encoder_;
  const int frameSamples_;
  const bool shortLastFrame_;
  AVAudioFifo* fifo_ = nullptr;
  SwrContext* resampler_ = nullptr;
  int inputRate_ = 0;
  int inputChannels_ = 0;
  uint8_t** convertData_ = nullptr;
  int convertCapacity_ = 0;
  int64_t samplesOut_ = 0;
};

}  // namespace vexmar

#endif  // VEXMAR_AUDIO_FRAME_ASSEMBLER_H
