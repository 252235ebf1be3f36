// CalcFLVAudioBlockDuration: the playing time of one FLV audio payload, by
// sound format.
//
// Rules, per FLV sound format:
//  0, 3  linear PCM: bytes / (bytes per sample x channels) samples at the
//        nominal rate.
//  1     Flash ADPCM: samples counted from the packet's bit layout.
//  2, 14 MP3: the frames are walked and each counts its own samples at its
//        own sampling rate; the payload must start with a frame header.
//  4, 5, 6  Nellymoser: 256 samples per 64-byte block at 16000 Hz, 8000 Hz,
//        or the nominal rate.
//  7, 8  G.711: one byte per sample and channel at 8000 Hz, whatever the
//        rate bits say.
//  10    AAC: a raw frame (packet type 1) is 1024 samples at the given
//        rate (the configuration's core rate: with SBR the decoder gives
//        twice the samples at twice the rate, the same time); the sequence header (packet type 0) plays for no time.
//  11    Speex: 320 samples (20 ms at 16 kHz) per frame; the frames are
//        counted by walking the Speex bit stream, and a payload that cannot
//        be walked counts as one frame, the usual one frame per tag.
// Every other format has no known duration. An empty payload plays for no
// time.
#include "trevik.h"

#include <optional>

#include "aac_config.h"
#include "flash_adpcm.h"
#include "mpeg_audio_frames.h"
#include "shared/units_100ns.h"
#include "speex_frames.h"

namespace {

constexpr std::int64_t kNoDuration = -1;

enum SoundFormat {
  kLinearPcmPlatformEndian = 0,
  kAdpcm = 1,
  kMp3 = 2,
  kLinearPcmLittleEndian = 3,
  kNellymoser16k = 4,
  kNellymoser8k = 5,
  kNellymoser = 6,
  kG711ALaw = 7,
  kG711MuLaw = 8,
  kAac = 10,
  kSpeex = 11,
  kMp38k = 14,
};

constexpr int kNellymoserBlockBytes = 64;
constexpr std::int64_t kNellymoserBlockSamples = 256;
constexpr int kNellymoser16kRate = 16000;
constexpr int kNellymoser8kRate = 8000;
constexpr int kG711Rate = 8000;
constexpr std::uint8_t kAacSequenceHeader = 0;
constexpr std::uint8_t kAacRawFrame = 1;
constexpr std::int64_t kAacFrameSamples = 1024;
constexpr int kSpeexRate = 16000;
constexpr std::int64_t kSpeexFrameSamples = 320;

std::int64_t SamplesToUnits(std::int64_t samples, int rate) {
  if (rate <= 0) return kNoDuration;
  return units100ns::FromSamples(samples, rate);
}

std::int64_t LinearPcmDuration(int size, int rate, int bytesPerSample, int channels) {
  if (bytesPerSample <= 0 || channels <= 0) return kNoDuration;
  return SamplesToUnits(size / (bytesPerSample * channels), rate);
}

std::int64_t NellymoserDuration(int size, int rate) {
  return SamplesToUnits(size / kNellymoserBlockBytes * kNellymoserBlockSamples, rate);
}

std::int64_t Duration(const uint8_t* payload, int size, int soundFormat, int sampleRate,
                      int bytesPerSample, int channels) {
  const auto bytes = static_cast<std::size_t>(size);
  switch (soundFormat) {
    case kLinearPcmPlatformEndian:
    case kLinearPcmLittleEndian:
      return LinearPcmDuration(size, sampleRate, bytesPerSample, channels);
    case kG711ALaw:
    case kG711MuLaw:
      return LinearPcmDuration(size, kG711Rate, 1, channels);
    case kNellymoser16k:
      return NellymoserDuration(size, kNellymoser16kRate);
    case kNellymoser8k:
      return NellymoserDuration(size, kNellymoser8kRate);
    case kNellymoser:
      return NellymoserDuration(size, sampleRate);
    case kAdpcm: {
      const auto samples = trevik::FlashAdpcmSampleCount(payload, bytes, channels);
      return samples ? SamplesToUnits(*samples, sampleRate) : kNoDuration;
    }
    case kMp3:
    case kMp38k: {
      const auto duration = trevik::MpegAudioDuration(payload, bytes);
      return duration ? *duration : kNoDuration;
    }
    case kAac:
      if (payload == nullptr) return kNoDuration;
      if (payload[0] == kAacSequenceHeader) return 0;
      if (payload[0] == kAacRawFrame) return SamplesToUnits(kAacFrameSamples, sampleRate);
      return kNoDuration;
    case kSpeex:
      if (payload == nullptr) return kNoDuration;
      return SamplesToUnits(trevik::CountSpeexFrames(payload, bytes) * kSpeexFrameSamples,
                            kSpeexRate);
    default:
      return kNoDuration;
  }
}

bool KnownFormat(int soundFormat) {
  switch (soundFormat) {
    case kLinearPcmPlatformEndian:
    case kAdpcm:
    case kMp3:
    case kLinearPcmLittleEndian:
    case kNellymoser16k:
    case kNellymoser8k:
    case kNellymoser:
    case kG711ALaw:
    case kG711MuLaw:
    case kAac:
    case kSpeex:
    case kMp38k:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" TREVIK_API int64_t CalcFLVAudioBlockDuration(const uint8_t* payload, int size,
                                                        int soundFormat, int sampleRate,
                                                        int bytesPerSample, int channels) {
  try {
    if (!KnownFormat(soundFormat) || size < 0) return kNoDuration;
    if (size == 0) return 0;
    return Duration(payload, size, soundFormat, sampleRate, bytesPerSample, channels);
  } catch (...) {
    return kNoDuration;
  }
}

extern "C" TREVIK_API int ParseAacAudioSpecificConfig(const uint8_t* bytes, int size,
                                                      TrevikAacConfig* config) {
  if (bytes == nullptr || size <= 0 || config == nullptr) return 0;
  try {
    const auto parsed = trevik::ParseAacConfig(bytes, static_cast<std::size_t>(size));
    if (!parsed) return 0;
    *config = *parsed;
    return 1;
  } catch (...) {
    return 0;
  }
}
