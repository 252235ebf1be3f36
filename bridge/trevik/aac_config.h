// The AudioSpecificConfig that an FLV AAC sequence header carries: the
// stream's real sampling rate and channel count, which the flags byte of an
// AAC tag never states.
#ifndef TREVIK_AAC_CONFIG_H
#define TREVIK_AAC_CONFIG_H

#include <cstddef>
#include <cstdint>
#include <optional>

#include "trevik.h"

namespace trevik {

// Nothing when the bytes are too short, the sampling frequency index is
// reserved, or the channel configuration is 0 (a program config element,
// which FLV writers never use) or reserved.
std::optional<TrevikAacConfig> ParseAacConfig(const std::uint8_t* bytes, std::size_t size);

}  // namespace trevik

#endif  // TREVIK_AAC_CONFIG_H
