// Named values of the FLV format shared by the parsing operations and the
// tag record helpers.
#ifndef KELVRA_FLV_FLV_TAG_CONSTANTS_H
#define KELVRA_FLV_FLV_TAG_CONSTANTS_H

#include <cstddef>
#include <cstdint>

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
// AVC payloads start with the AVCPacketType byte; 0 is the decoder
// configuration record.
inline constexpr std::uint8_t kAvcSequenceHeader = 0;

// Sound formats with a decoder behind them whose rate the flags byte gives.
inline constexpr int kSoundFormatLinearPcm = 0;
inline constexpr int kSoundFormatAdpcm = 1;
inline constexpr int kSoundFormatMp3 = 2;
inline constexpr int kSoundFormatLinearPcmLittleEndian = 3;
inline constexpr int kSoundFormatNellymoser = 6;
// The rates the flags byte's two rate bits select.
inline constexpr int kSoundRates[] = {5512, 11025, 22050, 44100};
inline constexpr int kSoundRateIndexMask = 0x03;

// Sound formats whose rate (and for some the channel count) the flags byte
// does not give: the format fixes it, or the stream carries it.
inline constexpr int kSoundFormatNellymoser16k = 4;  // 16 kHz mono
inline constexpr int kSoundFormatNellymoser8k = 5;   // 8 kHz mono
inline constexpr int kSoundFormatG711ALaw = 7;       // 8 kHz
inline constexpr int kSoundFormatG711MuLaw = 8;      // 8 kHz
inline constexpr int kSoundFormatAac = 10;           // AudioSpecificConfig
inline constexpr int kSoundFormatSpeex = 11;         // 16 kHz wideband mono
inline constexpr int kSoundFormatMp38k = 14;         // MPEG-2.5 frames at 8 kHz
inline constexpr int kNellymoser16kRate = 16000;
inline constexpr int kNellymoser8kRate = 8000;
inline constexpr int kG711Rate = 8000;
inline constexpr int kSpeexRate = 16000;
inline constexpr int kMp38kRate = 8000;

// AAC payloads start with the AACPacketType byte.
inline constexpr int kAacPacketTypeSize = 1;
inline constexpr std::uint8_t kAacSequenceHeader = 0;
inline constexpr std::uint8_t kAacRawFrame = 1;

// A block duration that cannot be found.
inline constexpr std::int64_t kNoBlockDuration = -1;

// Header copy offsets of the time stamp inside a tag's data block: bits
// 16-23, 8-15 and 0-7 at 4-6, the extension (bits 24-31) at 7.
inline constexpr std::size_t kTimestampOffset = 4;
inline constexpr std::size_t kTimestampExtensionOffset = 7;

}  // namespace kelvra

#endif  // KELVRA_FLV_FLV_TAG_CONSTANTS_H
