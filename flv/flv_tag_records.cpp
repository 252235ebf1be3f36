// The tag and information records: creation, release, time stamp rewriting,
// the audio parameter table and the stream information taken from single
// tags.
#include <new>

#include "flv/audio_format_tracker.h"
#include "flv/avc_config_record.h"
#include "flv/flv_tag_constants.h"
#include "flv/flv_tag_parsing.h"
#include "trevik/trevik.h"

namespace kelvra {

namespace {
constexpr int kBitsPerSample8 = 8;
constexpr int kBitsPerSample16 = 16;
}  // namespace

FLVTag* NewFLVTag() { return new (std::nothrow) FLVTag{}; }

void DeleteFLVTag(FLVTag* tag) {
  if (tag == nullptr) return;
  ReleaseFLVTagData(tag);
  delete tag;
}

void ReleaseFLVTagData(FLVTag* tag) {
  if (tag == nullptr || tag->block == nullptr) return;
  delete[] tag->block;
  tag->block = nullptr;
  tag->data = nullptr;
  // The payload pointers point into the freed block; clear them so that a
  // reused record never hands out a dangling pointer. The sizes stay.
  if (tag->tagType == kTagTypeAudio) {
    tag->audioData = nullptr;
  } else if (tag->tagType == kTagTypeVideo) {
    tag->videoData = nullptr;
    tag->vp6Data = nullptr;
    tag->alphaData = nullptr;
  }
}

void SetFLVTagTimestamp(FLVTag* tag, std::uint32_t timestamp) {
  if (tag == nullptr) return;
  tag->timestamp = timestamp;
  if (tag->block == nullptr) return;
  std::uint8_t* header = tag->block;
  header[kTimestampOffset] = static_cast<std::uint8_t>(timestamp >> 16);
  header[kTimestampOffset + 1] = static_cast<std::uint8_t>(timestamp >> 8);
  header[kTimestampOffset + 2] = static_cast<std::uint8_t>(timestamp);
  header[kTimestampExtensionOffset] = static_cast<std::uint8_t>(timestamp >> 24);
}

int AudioSampleRateOf(int soundFormat, int soundRate) {
  switch (soundFormat) {
    case kSoundFormatNellymoser16k:
      return kNellymoser16kRate;
    case kSoundFormatNellymoser8k:
      return kNellymoser8kRate;
    case kSoundFormatG711ALaw:
    case kSoundFormatG711MuLaw:
      return kG711Rate;
    case kSoundFormatSpeex:
      return kSpeexRate;
    case kSoundFormatMp38k:
      return kMp38kRate;
    default:
      return kSoundRates[soundRate & kSoundRateIndexMask];
  }
}

int AudioChannelsOf(int soundFormat, int soundType) {
  switch (soundFormat) {
    case kSoundFormatNellymoser16k:
    case kSoundFormatNellymoser8k:
    case kSoundFormatSpeex:
      return 1;
    default:
      return (soundType & 1) != 0 ? 2 : 1;
  }
}

int AudioBitsPerSampleOf(int soundSize) { return soundSize == 0 ? kBitsPerSample8 : kBitsPerSample16; }

std::int64_t CalcAudioBlockDuration(const FLVTag* tag) {
  if (tag == nullptr) return kNoBlockDuration;
  return CalcAudioBlockDuration(tag, AudioSampleRateOf(tag->soundFormat, tag->soundRate));
}

std::int64_t CalcAudioBlockDuration(const FLVTag* tag, int sampleRate) {
  if (tag == nullptr || tag->tagType != kTagTypeAudio) return kNoBlockDuration;
  // Without a data block (or with an empty body) the payload pointer may be
  // left over from an earlier tag of a reused record: pass no bytes then.
  const bool hasPayload = tag->data != nullptr && tag->dataSize != 0;
  const std::uint8_t* payload = hasPayload ? tag->audioData : nullptr;
  const int payloadSize = hasPayload ? tag->audioDataSize : 0;
  const int bytesPerSample = (tag->soundSize & 1) != 0 ? 2 : 1;
  const int channels = (tag->soundType & 1) != 0 ? 2 : 1;
  try {
    return CalcFLVAudioBlockDuration(payload, payloadSize, tag->soundFormat, sampleRate,
                                     bytesPerSample, channels);
  } catch (...) {
    return kNoBlockDuration;
  }
}

void FillAudioInfoFromTag(const FLVTag& tag, const AudioFormat& format, FLVInfo* info) {
  if (info == nullptr || tag.tagType != kTagTypeAudio || tag.dataSize == 0) return;
  info->audioFormat = tag.soundFormat;
  info->channels = format.channels;
  info->sampleRate = format.sampleRate;
  info->bitsPerSample = AudioBitsPerSampleOf(tag.soundSize);
}

bool DeclaresPictureSize(const FLVTag& tag) {
  if (tag.tagType != kTagTypeVideo || tag.dataSize == 0) return false;
  if (tag.codecId != kCodecH264) return tag.frameType == kKeyFrameType;
  // H.264 declares its size in sequence headers only, and only a header
  // whose SPS gave a size is worth taking.
  return tag.videoData != nullptr && tag.videoDataSize > 0 &&
         tag.videoData[0] == kAvcPacketSequenceHeader && tag.width > 0 && tag.height > 0;
}

void FillVideoInfoFromTag(const FLVTag& tag, FLVInfo* info) {
  if (info == nullptr || !DeclaresPictureSize(tag)) return;
  info->videoCodec = tag.codecId;
  info->width = tag.width;
  info->height = tag.height;
}

FLVInfo EmptyFLVInfo() {
  FLVInfo info{};
  info.videoCodec = -1;
  info.audioFormat = -1;
  return info;
}

}  // namespace kelvra
