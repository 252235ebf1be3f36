// Records what a stream parser hands out (the information record and every
// tag, in order) so that runs can be compared and inspected.
#ifndef KELVRA_TESTS_PARSER_PARSER_RECORDER_H
#define KELVRA_TESTS_PARSER_PARSER_RECORDER_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

#include "kelvra.h"

namespace kelvra::test {

struct ParserEvent {
  bool isInfo = false;
  FLVInfo info{};
  // Tag events.
  int tagType = 0;
  std::uint32_t timestamp = 0;
  std::uint32_t dataSize = 0;
  std::int32_t storedSize = 0;
  std::int64_t filePosition = 0;
  bool hasBlock = false;
  std::uint64_t blockHash = 0;  // header copy and body
  // Media fields read from the body.
  int field0 = 0, field1 = 0, field2 = 0, field3 = 0;
  std::int32_t payloadSize = 0;

  bool operator==(const ParserEvent& o) const {
    if (isInfo != o.isInfo) return false;
    if (isInfo) return std::memcmp(&info, &o.info, sizeof info) == 0;
    return tagType == o.tagType && timestamp == o.timestamp && dataSize == o.dataSize &&
           storedSize == o.storedSize && filePosition == o.filePosition &&
           hasBlock == o.hasBlock && blockHash == o.blockHash && field0 == o.field0 &&
           field1 == o.field1 && field2 == o.field2 && field3 == o.field3 &&
           payloadSize == o.payloadSize;
  }
};

inline std::ostream& operator<<(std::ostream& os, const ParserEvent& e) {
  if (e.isInfo) {
    return os << "info{v" << e.info.version << " vc" << e.info.videoCodec << " af"
              << e.info.audioFormat << " " << e.info.width << "x" << e.info.height << " "
              << e.info.bitsPerSample << "bit " << e.info.channels << "ch " << e.info.sampleRate
              << "Hz " << e.info.frameRate << "fps}";
  }
  return os << "tag{type" << e.tagType << " ts" << e.timestamp << " size" << e.dataSize << " pos"
            << e.filePosition << (e.hasBlock ? " block" : "") << "}";
}

inline std::uint64_t Fnv1a(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

class ParserRecorder {
 public:
  std::vector<ParserEvent> events;
  int infoCalls = 0;
  // What the information callback leaves in the flags; -1 leaves them.
  int answerVideo = -1;
  int answerAudio = -1;
  int suggestedVideo = -1;
  int suggestedAudio = -1;
  // While set, the tag callbacks answer 0 (not now).
  bool refuse = false;
  int refusals = 0;

  // Registers all callbacks (the not-audio/video one only when asked).
  void Attach(::FLVStreamParser* parser, bool notAudioVideoCallBack = false) {
    FLVStreamParser_SetFLVInfoCallBack(parser, &OnInfo, this);
    FLVStreamParser_SetFLVAudioCallBack(parser, &OnTag, this);
    FLVStreamParser_SetFLVVideoCallBack(parser, &OnTag, this);
    if (notAudioVideoCallBack) FLVStreamParser_SetFLVNotAudioVideoPacketCallBack(parser, &OnTag, this);
  }

  std::vector<ParserEvent> Tags() const {
    std::vector<ParserEvent> tags;
    for (const auto& e : events)
      if (!e.isInfo) tags.push_back(e);
    return tags;
  }
  std::vector<std::uint32_t> Timestamps(int tagType) const {
    std::vector<std::uint32_t> out;
    for (const auto& e : events)
      if (!e.isInfo && e.tagType == tagType) out.push_back(e.timestamp);
    return out;
  }
  const FLVInfo* Info() const {
    for (const auto& e : events)
      if (e.isInfo) return &e.info;
    return nullptr;
  }

  static void OnInfo(void* user, FLVInfo* info, int* video, int* audio) {
    auto* self = static_cast<ParserRecorder*>(user);
    ++self->infoCalls;
    self->suggestedVideo = *video;
    self->suggestedAudio = *audio;
    if (self->answerVideo >= 0) *video = self->answerVideo;
    if (self->answerAudio >= 0) *audio = self->answerAudio;
    ParserEvent e;
    e.isInfo = true;
    e.info = *info;
    self->events.push_back(e);
  }

  static int OnTag(void* user, FLVTag* tag) {
    auto* self = static_cast<ParserRecorder*>(user);
    if (self->refuse) {
      ++self->refusals;
      return 0;
    }
    self->events.push_back(Describe(*tag));
    FLVStreamParser_DeleteFLVTag(nullptr, tag);
    return 1;
  }

  static ParserEvent Describe(const FLVTag& tag) {
    ParserEvent e;
    e.tagType = tag.tagType;
    e.timestamp = tag.timestamp;
    e.dataSize = tag.dataSize;
    e.storedSize = tag.storedSize;
    e.filePosition = tag.filePosition;
    e.hasBlock = tag.block != nullptr;
    if (tag.block != nullptr) {
      e.blockHash = Fnv1a(tag.block, 11 + tag.dataSize);
      // The header copy in the block carries the time stamp as handed out.
      const std::uint32_t copied = (std::uint32_t{tag.block[4]} << 16) |
                                   (std::uint32_t{tag.block[5]} << 8) | tag.block[6] |
                                   (std::uint32_t{tag.block[7]} << 24);
      EXPECT_EQ(copied, tag.timestamp) << "header copy out of step";
      EXPECT_EQ(tag.data, tag.block + 11);
    }
    if (tag.tagType == FLV_TAG_TYPE_AUDIO) {
      e.field0 = tag.soundFormat;
      e.field1 = tag.soundRate;
      e.field2 = tag.soundSize;
      e.field3 = tag.soundType;
      e.payloadSize = tag.audioDataSize;
    } else if (tag.tagType == FLV_TAG_TYPE_VIDEO) {
      e.field0 = tag.frameType;
      e.field1 = tag.codecId;
      e.field2 = tag.width;
      e.field3 = tag.height;
      e.payloadSize = tag.videoDataSize;
    }
    return e;
  }
};

// Delivers `bytes` in pieces of `piece` bytes (0: all at once) and returns
// each delivery's code.
inline std::vector<int> DeliverInPieces(::FLVStreamParser* parser, const std::vector<std::uint8_t>& bytes,
                                        std::size_t piece) {
  std::vector<int> codes;
  const std::size_t step = piece == 0 ? std::max<std::size_t>(bytes.size(), 1) : piece;
  for (std::size_t offset = 0; offset < bytes.size(); offset += step) {
    const std::size_t n = std::min(step, bytes.size() - offset);
    codes.push_back(FLVStreamParser_DeliverData(parser, bytes.data() + offset, static_cast<int>(n)));
  }
  return codes;
}

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_PARSER_PARSER_RECORDER_H
