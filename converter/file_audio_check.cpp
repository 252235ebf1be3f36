#include "file_audio_check.h"

#include <cstdio>

namespace kelvra {

namespace {

// Sound formats without a decoder: 9 is reserved, 15 device-specific, and
// 12 and 13 are not assigned.
constexpr int kUndecodableFormats[] = {9, 12, 13, 15};
constexpr int kSoundFormatAac = 10;
constexpr std::uint8_t kAacSequenceHeader = 0;

bool IsDecodable(int soundFormat) {
  for (int format : kUndecodableFormats) {
    if (format == soundFormat) return false;
  }
  return true;
}

}  // namespace

void FileAudioCheck::Observe(const FLVTag& tag) {
  if (tag.tagType != FLV_TAG_TYPE_AUDIO || tag.audioData == nullptr || tag.audioDataSize <= 0) {
    return;
  }
  ++audioTags_;
  if (IsDecodable(tag.soundFormat)) {
    ++decodableTags_;
  } else if (undecodableFormat_ < 0) {
    undecodableFormat_ = tag.soundFormat;
  }
  if (tag.soundFormat != kSoundFormatAac) return;
  // An empty configuration (the packet type alone) configures nothing.
  if (tag.audioData[0] == kAacSequenceHeader) {
    if (tag.audioDataSize > 1) aacConfigSeen_ = true;
  } else if (!aacConfigSeen_) {
    ++aacFramesBeforeConfig_;
  }
}

void FileAudioCheck::Report(const std::string& path) const {
  if (audioTags_ > 0 && decodableTags_ == 0) {
    std::fprintf(stderr, "%s, The audio can't be decoded (sound format %d).\n", path.c_str(),
                 undecodableFormat_);
  } else if (aacFramesBeforeConfig_ > 0 && aacConfigSeen_) {
    std::fprintf(stderr, "%s, Warning: %lld AAC frames before the first configuration were skipped.\n",
                 path.c_str(), static_cast<long long>(aacFramesBeforeConfig_));
  } else if (aacFramesBeforeConfig_ > 0) {
    std::fprintf(stderr,
                 "%s, Warning: No AAC configuration; the rate and channels of the flags byte are used.\n",
                 path.c_str());
  }
  std::fflush(stderr);
}

}  // namespace kelvra
