// The AVCDecoderConfigurationRecord an H.264 FLV stream carries in its
// sequence-header tags (AVCPacketType 0), and the picture size that the
// record's first sequence parameter set declares after frame cropping.
#ifndef KELVRA_FLV_AVC_CONFIG_RECORD_H
#define KELVRA_FLV_AVC_CONFIG_RECORD_H

#include <cstddef>
#include <cstdint>

namespace kelvra {

// AVCPacketType, the byte after a CodecID 7 tag's flags byte.
inline constexpr int kAvcPacketSequenceHeader = 0;
inline constexpr int kAvcPacketNalUnits = 1;
inline constexpr int kAvcPacketEndOfSequence = 2;
// AVCPacketType and the signed 24-bit composition-time offset come before
// the record or the NAL units.
inline constexpr std::size_t kAvcPacketHeaderSize = 4;

struct AvcPictureSize {
  int width = 0;
  int height = 0;
};

class AvcConfigRecord {
 public:
  // The displayed size from `record` (the bytes after the packet header);
  // false, with `size` untouched, when the record or its first SPS is cut
  // short, malformed or declares an unusable size.
  static bool ParsePictureSize(const std::uint8_t* record, std::size_t size, AvcPictureSize* out);

  // The same from a sequence parameter set NAL unit (header byte included).
  static bool ParseSequenceParameterSet(const std::uint8_t* nalUnit, std::size_t size,
                                        AvcPictureSize* out);
};

}  // namespace kelvra

#endif  // KELVRA_FLV_AVC_CONFIG_RECORD_H
