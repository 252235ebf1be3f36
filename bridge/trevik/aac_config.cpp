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

// Each reader is false when the configuration ends inside its field: zeros
// read past the end could pass for a configuration.
bool ReadObjectType(BitReader& bits, int* type) {
  std::uint32_t field = 0;
  if (!bits.Read(kObjectTypeBits, &field)) return false;
  if (static_cast<int>(field) != kObjectTypeEscape) {
    *type = static_cast<int>(field);
    return true;
  }
  if (!bits.Read(kObjectTypeEscapeBits, &field)) return false;
  *type = kObjectTypeEscapeBase + static_cast<int>(field);
  return true;
}

// 0 for a reserved index.
bool ReadSampleRate(BitReader& bits, int* rate) {
  std::uint32_t index = 0;
  if (!bits.Read(kFrequencyIndexBits, &index)) return false;
  if (static_cast<int>(index) == kFrequencyIndexEscape) {
    std::uint32_t explicitRate = 0;
    if (!bits.Read(kExplicitFrequencyBits, &explicitRate)) return false;
    *rate = static_cast<int>(explicitRate);
    return true;
  }
  *rate = static_cast<int>(index) < kSampleRateCount ? kSampleRates[index] : 0;
  return true;
}

bool ReadChannelConfig(BitReader& bits, int* channelConfig) {
  std::uint32_t field = 0;
  if (!bits.Read(kChannelConfigBits, &field)) return false;
  *channelConfig = static_cast<int>(field);
  return true;
}

}  // namespace

std::optional<TrevikAacConfig> ParseAacConfig(const std::uint8_t* bytes, std::size_t size) {
  if (bytes == nullptr) return std::nullopt;
  BitReader bits(bytes, size);
  TrevikAacConfig config{};
  int channelConfig = 0;
  if (!ReadObjectType(bits, &config.objectType) || !ReadSampleRate(bits, &config.sampleRate) ||
      !ReadChannelConfig(bits, &channelConfig)) {
    return std::nullopt;
  }
  if (config.sampleRate <= 0 || channelConfig <= 0 || channelConfig >= kChannelConfigCount) {
    return std::nullopt;
  }
  config.channels = kChannelsByConfig[channelConfig];
  config.outputSampleRate = config.sampleRate;
  config.outputChannels = config.channels;
  if (config.objectType == kObjectTypeSbr || config.objectType == kObjectTypePs) {
    // The extension rate is the output rate; the core object type follows.
    int extensionRate = 0;
    if (!ReadSampleRate(bits, &extensionRate) || extensionRate <= 0) return std::nullopt;
    config.outputSampleRate = extensionRate;
    if (config.objectType == kObjectTypePs && config.channels == 1) config.outputChannels = 2;
    if (!ReadObjectType(bits, &config.objectType)) return std::nullopt;
  }
  return config;
}

}  // namespace trevik
