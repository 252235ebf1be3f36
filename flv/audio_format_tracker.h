// AudioFormatTracker follows one audio stream in tag order and knows what
// the flags byte of a tag does not say. AAC tags always claim 44.1 kHz
// stereo; the real sampling rate and channel count are in the
// AudioSpecificConfig of the latest sequence header, which governs every raw
// frame after it (a stream may carry several). The formats with a fixed rate
// (Speex, G.711, Nellymoser 8/16 kHz, MP3 8 kHz) are answered from the
// format alone.
//
// A stream whose AAC frames come before any usable configuration falls back
// to the flags byte, as a decoder without configuration does.
#ifndef KELVRA_FLV_AUDIO_FORMAT_TRACKER_H
#define KELVRA_FLV_AUDIO_FORMAT_TRACKER_H

#include <cstdint>

#include "kelvra.h"
#include "trevik/trevik.h"

namespace kelvra {

struct AudioFormat {
  int sampleRate = 0;  // Hz, as a decoder gives it out
  int channels = 0;
  // The rate that block durations count samples at (AAC: the core rate).
  int blockRate = 0;
};

class AudioFormatTracker {
 public:
  void Reset() { hasAacConfig_ = false; }
  // Takes the configuration of an AAC sequence header; every other tag
  // leaves the tracker as it is.
  void Observe(const FLVTag& tag);
  // The format of `tag`: an AAC sequence header answers for its own
  // configuration, other AAC tags for the latest one observed.
  AudioFormat FormatOf(const FLVTag& tag) const;
  // Playing time of the tag's payload in 100-ns units, -1 when unknown.
  std::int64_t BlockDuration(const FLVTag& tag) const;
  bool HasAacConfig() const { return hasAacConfig_; }

 private:
  bool hasAacConfig_ = false;
  TrevikAacConfig aacConfig_{};
};

// Whether an audio tag is an AAC sequence header with a configuration.
bool IsAacSequenceHeader(const FLVTag& tag);

}  // namespace kelvra

#endif  // KELVRA_FLV_AUDIO_FORMAT_TRACKER_H
