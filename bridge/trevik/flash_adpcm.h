// Sample count of a Flash ADPCM packet.
#ifndef TREVIK_FLASH_ADPCM_H
#define TREVIK_FLASH_ADPCM_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace trevik {

// Samples per channel in `size` bytes of Flash ADPCM for `channels`
// interleaved channels; nothing when the packet is empty or the channel
// count is not 1 or 2.
std::optional<std::int64_t> FlashAdpcmSampleCount(const std::uint8_t* bytes, std::size_t size,
                                                  int channels);

}  // namespace trevik

#endif  // TREVIK_FLASH_ADPCM_H
