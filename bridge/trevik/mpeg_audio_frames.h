// Playing time of a run of MPEG audio frames (MPEG-1, 2 and 2.5, layers I
// to III), found by walking the frame headers.
#ifndef TREVIK_MPEG_AUDIO_FRAMES_H
#define TREVIK_MPEG_AUDIO_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace trevik {

struct MpegAudioFrameHeader {
  int sampleRate = 0;     // Hz
  int samples = 0;        // per channel in this frame
  std::size_t length = 0; // bytes, header included
};

// The frame header in the first four bytes, or nothing when they are not a
// valid header (free-format bit rate counts as not valid).
std::optional<MpegAudioFrameHeader> ParseMpegAudioFrameHeader(const std::uint8_t* bytes,
                                                              std::size_t size);

// Duration in 100-ns units of the frames that start at byte 0 and follow one
// another; a truncated last frame counts whole. The walk ends at the end of
// the bytes or at the first place that does not hold a frame header.
// Nothing when byte 0 does not start a frame.
std::optional<std::int64_t> MpegAudioDuration(const std::uint8_t* bytes, std::size_t size);

}  // namespace trevik

#endif  // TREVIK_MPEG_AUDIO_FRAMES_H
