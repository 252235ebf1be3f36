// Named values of the FLV format shared by the parsing operations and the
// tag record helpers.
#ifndef KELVRA_FLV_FLV_TAG_CONSTANTS_H
#define KELVRA_FLV_FLV_TAG_CONSTANTS_H

#include <cstddef>

namespace kelvra {

inline constexpr int kTagTypeAudio = 8;
inline constexpr int kTagTypeVideo = 9;

inline constexpr int kKeyFrameType = 1;

inline constexpr int kCodecSorensonH263 = 2;
inline constexpr int kCodecScreenVideo = 3;
inline constexpr int kCodecVp6 = 4;
inline constexpr int kCodecVp6Alpha = 5;
inline constexpr int kCodecScreenVideo2 = 6;
inline constexpr int kCodecH264 = 7;

// Nellymoser 8 kHz: its rate and channel bits are ignored.
inline constexpr int kSoundFormatNellymoser8k = 5;
inline constexpr int kNellymoser8kRate = 8000;

// Header copy offsets of the time stamp inside a tag's data block: bits
// 16-23, 8-15 and 0-7 at 4-6, the extension (bits 24-31) at 7.
inline constexpr std::size_t kTimestampOffset = 4;
inline constexpr std::size_t kTimestampExtensionOffset = 7;

}  // namespace kelvra

#endif  // KELVRA_FLV_FLV_TAG_CONSTANTS_H
