// Streaming conversion of interleaved 16-bit PCM of any rate and channel
// count to the rate and channel count fixed at creation, on libswresample.
#ifndef VEXMAR_RESAMPLER_H
#define VEXMAR_RESAMPLER_H

#include <cstdint>
#include <memory>

struct SwrContext;

namespace vexmar {

class Resampler {
 public:
  Resampler(int targetSampleRate, int targetChannels);
  virtual ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  static bool IsValidFormat(int sampleRate, int channels);

  // Bytes the next Convert of `sourceBytes` bytes in the given format can
  // produce at most, counting what the converter still holds; 0 when the
  // format is unusable or the size does not fit an int.
  int OutBufferSize(int sourceSampleRate, int sourceChannels, int sourceBytes);

  // Converts into `output`, never writing more than *outputBytes bytes;
  // input that does not fit waits inside for the next call. Bytes after the
  // last whole sample frame of `source` are ignored. The filter always holds
  // back a few source samples (well under a millisecond) until more input
  // comes; a null source of 0 bytes drains them (the end of a stream), and
  // the next input then starts a fresh stream. *outputBytes comes back as
  // the bytes produced.
  bool Convert(const std::uint8_t* source, int sourceBytes, int sourceSampleRate,
               int sourceChannels, std::uint8_t* output, int* outputBytes);

 private:
  struct SwrDeleter {
    void operator()(SwrContext* swr) const;
  };
  // A converter from one source format; it keeps its filter history between
  // calls, which is what makes consecutive calls equal one call.
  struct Stage {
    std::unique_ptr<SwrContext, SwrDeleter> swr;
    int sampleRate = 0;
    int channels = 0;
    bool Matches(int rate, int count) const { return swr && sampleRate == rate && channels == count; }
  };

  bool Prepare(Stage& stage, int sourceSampleRate, int sourceChannels);
  // Moves out what `stage` holds, up to `capacity` sample frames; answers
  // the frames written, or -1 on failure.
  int Drain(Stage& stage, std::uint8_t* output, int capacity);

  int targetSampleRate_;
  int targetChannels_;
  Stage current_;
  // Prepared by OutBufferSize for a source format other than current_'s,
  // so that the bound it gave holds for the Convert that follows.
  Stage staged_;
};

}  // namespace vexmar

#endif  // VEXMAR_RESAMPLER_H
