// Number of Speex frames in one FLV Speex payload.
#ifndef TREVIK_SPEEX_FRAMES_H
#define TREVIK_SPEEX_FRAMES_H

#include <cstddef>
#include <cstdint>

namespace trevik {

// Walks the Speex bit stream (narrowband layer, optional wideband layer, in-
// band signalling, terminator) and counts the narrowband frames. A payload
// whose first frame cannot be walked counts as one frame, the usual FLV
// layout; an empty payload holds none.
int CountSpeexFrames(const std::uint8_t* bytes, std::size_t size);

}  // namespace trevik

#endif  // TREVIK_SPEEX_FRAMES_H
