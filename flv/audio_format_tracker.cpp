#include "flv/audio_format_tracker.h"

#include "flv/flv_tag_constants.h"
#include "flv/flv_tag_parsing.h"

namespace kelvra {

namespace {

bool HasPayload(const FLVTag& tag) {
  return tag.tagType == kTagTypeAudio && tag.data != nullptr && tag.dataSize != 0 &&
         tag.audioData != nullptr && tag.audioDataSize > 0;
}

// The configuration of an AAC sequence header, read from its own bytes.
bool ReadAacConfig(const FLVTag& tag, TrevikAacConfig* config) {
  return IsAacSequenceHeader(tag) &&
         ParseAacAudioSpecificConfig(tag.audioData + kAacPacketTypeSize,
                                     tag.audioDataSize - kAacPacketTypeSize, config) != 0;
}

AudioFormat FromAacConfig(const TrevikAacConfig& config) {
  return AudioFormat{config.outputSampleRate, config.outputChannels, config.sampleRate};
}

}  // namespace

bool IsAacSequenceHeader(const FLVTag& tag) {
  return HasPayload(tag) && tag.soundFormat == kSoundFormatAac &&
         tag.audioDataSize > kAacPacketTypeSize && tag.audioData[0] == kAacSequenceHeader;
}

void AudioFormatTracker::Observe(const FLVTag& tag) {
  TrevikAacConfig config{};
  if (ReadAacConfig(tag, &config)) {
    aacConfig_ = config;
    hasAacConfig_ = true;
  }
}

AudioFormat AudioFormatTracker::FormatOf(const FLVTag& tag) const {
  if (tag.soundFormat == kSoundFormatAac) {
    TrevikAacConfig own{};
    if (ReadAacConfig(tag, &own)) return FromAacConfig(own);
    if (hasAacConfig_) return FromAacConfig(aacConfig_);
  }
  const int rate = AudioSampleRateOf(tag.soundFormat, tag.soundRate);
  return AudioFormat{rate, AudioChannelsOf(tag.soundFormat, tag.soundType), rate};
}

std::int64_t AudioFormatTracker::BlockDuration(const FLVTag& tag) const {
  if (tag.tagType != kTagTypeAudio) return kNoBlockDuration;
  return CalcAudioBlockDuration(&tag, FormatOf(tag).blockRate);
}

}  // namespace kelvra
