// FLVAudioDecoder: FLV audio tags to signed 16-bit interleaved PCM at a
// chosen sample rate and channel count, through the codec bridge's audio
// decoder and resampler. The worker fills holes in the time line with
// silence and stamps each block with the number of sample frames emitted
// before it, never with tag time stamps.
#ifndef KELVRA_DECODER_FLV_AUDIO_DECODER_H
#define KELVRA_DECODER_FLV_AUDIO_DECODER_H

#include <cstdint>
#include <memory>

#include "decoder/flv_stream_decoder.h"
#include "vexmar/vexmar.h"

namespace kelvra {

inline constexpr int kDefaultSampleRate = 44100;
inline constexpr int kDefaultNumberOfChannels = 2;
// Silence goes out in blocks of at most this many bytes.
inline constexpr std::int64_t kSilenceBlockSize = 5120;
inline constexpr int kBytesPerSample = 2;

// The bridge codec identifier for an FLV sound format (and sample size), or
// -1 when the format is not decoded (9 reserved, 15 device-specific).
int AudioCodecIdFor(int soundFormat, int soundSize);

class FLVAudioDecoder : public FLVStreamDecoder {
 public:
  FLVAudioDecoder();
  ~FLVAudioDecoder() override;

  int SetSampleRate(int sampleRate) override;
  int SetNumberOfChannels(int channels) override;
  int DecodeFLVTag(FLVTag* tag, std::uint8_t** data, int* size) override;

 protected:
  void ThreadMain() override;
  void ProcessQueuedTag(FLVTag* tag) override;
  void FillGap(std::int64_t leadMs) override;

 private:
  // Decodes one tag (null flushes) into PCM at the target format; *data
  // stays valid until the next decode. 1 on success (possibly no bytes).
  int DecodeStep(FLVTag* tag, std::int64_t startTime, std::uint8_t** data, int* size);
  // Converts the bridge's output to the target format into resampleBuffer.
  int Resample(std::uint8_t* source, int sourceBytes, int sourceRate, int sourceChannels,
               std::uint8_t** data, int* size);
  void CloseBridge();
  // At the worker's end: what the bridge decoder and the resampler still
  // hold back goes out as the last blocks.
  void EmitHeldBackAudio();
  // The resampler's tail into resampleBuffer; 1 with *size bytes (maybe 0).
  int DrainResampler(std::uint8_t** data, int* size);

  // Worker-only output path.
  void EmitBlock(const std::uint8_t* data, int size);
  void EmitSilence(std::int64_t milliseconds);
  void EnsureSilenceBuffer();

  int sampleRate = kDefaultSampleRate;
  int numberOfChannels = kDefaultNumberOfChannels;
  VexmarAudioDecoder* audioDecoderHandle = nullptr;
  int audioCodecId = -1;
  VexmarResampler* resamplerHandle = nullptr;
  // The target the resampler was made for; it is made again when an idle
  // decoder has been given another target.
  int resamplerRate = 0;
  int resamplerChannels = 0;
  // The source format last converted, which is what the resampler holds.
  int resamplerSourceRate = 0;
  int resamplerSourceChannels = 0;
  std::unique_ptr<std::uint8_t[]> resampleBuffer;
  unsigned int resampleBufferSize = 0;

  // Worker state, fresh at every Run.
  std::int64_t emittedFrames = 0;
  std::int64_t runningStartTime = 0;
  bool gapPending = false;
  std::int64_t gapStartMs = 0;
  std::unique_ptr<std::uint8_t[]> silenceBuffer;
};

}  // namespace kelvra

#endif  // KELVRA_DECODER_FLV_AUDIO_DECODER_H
