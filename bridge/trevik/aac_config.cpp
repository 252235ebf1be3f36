#include "aac_config.h"

#include "bit_reader.h"

namespace trevik {

namespace {

constexpr int kObjectTypeBits = 5;
constexpr int kObjectTypeEscape = 31;
constexpr int kObjectTypeEscapeBits = 6;
constexpr int kObjectTypeEscapeBase = 32;
constexpr int kFrequencyIndexBits = 4;
constexpr int kFrequencyIndexEscape = 15;
constexpr int kExplicitFrequencyBits = 24;
constexpr int kChannelConfigBits = 4;
// Object types that announce a spectral band replication layer explicitly:
// SBR alone, and SBR with parametric stereo (which makes mono stereo).
constexpr int kObjectTypeSbr = 5;
constexpr int kObjectTypePs = 29;

constexpr int kSampleRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
constexpr int kSampleRateCount = sizeof(kSampleRates) / sizeof(kSampleRates[0]);
// Channel configurations 1-7; 7 is 7.1, eight channels.
constexpr int kChannelsByConfig[] = {0, 1, 2, 3, 4, 5, 6, 8};
constexpr int kChannelConfigCount = sizeof(kChannelsByConfig) / sizeof(kChannelsByConfig[0]);

int ReadObjectType(BitReader& bits) {
  const int type = static_cast<int>(bits.Read(kObjectTypeBits));
  if (type != kObjectTypeEscape) return type;
  return kObjectTypeEscapeBase + static_cast<int>(bits.Read(kObjectTypeEscapeBits));
}

// 0 for a reserved index.
int ReadSampleRate(BitReader& bits) {
  const int index = static_cast<int>(bits.Read(kFrequencyIndexBits));
  if (index == kFrequencyIndexEscape) return static_cast<int>(bits.Read(kExplicitFrequencyBits));
  return index < kSampleRateCount ? kSampleRates[index] : 0;
}

}  // namespace

std::optional<TrevikAacConfig> ParseAacConfig(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr) return std::nullopt;
  BitReader bits(bytes, size);
  TrevikAacConfig config{};
  config.objectType = ReadObjectType(bits);
  config.sampleRate = ReadSampleRate(bits);
  const int channelConfig = static_cast<int>(bits.Read(kChannelConfigBits));
  // Reads past the end give zeros, which could pass for a configuration.
  if (bits.Overran() || config.sampleRate <= 0 || channelConfig <= 0 || channelConfig >= kChannelConfigCount) {
    return std::nullopt;
  }
  config.channels = kChannelsByConfig[channelConfig];
  config.outputSampleRate = config.sampleRate;
  config.outputChannels = config.channels;
  if (config.objectType == kObjectTypeSbr || config.objectType == kObjectTypePs) {
    // The extension rate is the output rate; the core object type follows.
    const int extensionRate = ReadSampleRate(bits);
    if (extensionRate <= 0) return std::nullopt;
    config.outputSampleRate = extensionRate;
    if (config.objectType == kObjectTypePs && config.channels == 1) config.outputChannels = 2;
    config.objectType = ReadObjectType(bits);
    if (bits.Overran()) return std::nullopt;
  }
  return config;
}

}  // namespace trevik
