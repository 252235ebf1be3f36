// The fixed parts of one MPEG audio layer III frame as LAME writes them: the
// four header bytes and the side information behind them. Only what moving
// a frame's main data needs is read or changed: the bit rate, the size of
// the frame's slot, main_data_begin and how many main data bits the frame
// has. No audio is decoded here.
#ifndef VEXMAR_MP3_FRAME_HEADER_H
#define VEXMAR_MP3_FRAME_HEADER_H

#include <cstddef>
#include <cstdint>
#include <optional>

namespace vexmar {

class Mp3FrameHeader {
 public:
  static constexpr int kHeaderBytes = 4;

  // The header of the frame that starts at `data`; nothing when the bytes
  // are no layer III header this repacking handles (free format, reserved
  // values, or a CRC, which FFmpeg's LAME wrapper never asks for).
  static std::optional<Mp3FrameHeader> Parse(const uint8_t* data, size_t size);

  // Bytes of the whole frame: header, side information and main data slot.
  int FrameBytes() const;
  int SideInfoBytes() const;
  // Bytes of the frame's main data slot (what follows the side information).
  int SlotBytes() const { return FrameBytes() - kHeaderBytes - SideInfoBytes(); }
  // How far back main_data_begin may reach: 511 bytes for MPEG-1, 255 for
  // MPEG-2 and 2.5.
  int MaxReservoirBytes() const;
  int BitrateIndex() const { return bitrateIndex_; }
  // The same frame at another bit rate index; nothing past the last one.
  std::optional<Mp3FrameHeader> WithBitrateIndex(int index) const;
  void WriteTo(uint8_t* out) const;

  // Side information of this header's kind; each answers nothing (or false)
  // when `size` is shorter than SideInfoBytes().
  std::optional<int> MainDataBegin(const uint8_t* sideInfo, size_t size) const;
  bool SetMainDataBegin(uint8_t* sideInfo, size_t size, int value) const;
  // Bits of scale factors and Huffman data of all granules and channels.
  std::optional<int> MainDataBits(const uint8_t* sideInfo, size_t size) const;

 private:
  Mp3FrameHeader() = default;
  bool Mpeg1() const { return version_ == kVersionMpeg1; }

  static constexpr int kVersionMpeg1 = 3;
  uint8_t bytes_[kHeaderBytes] = {};
  int version_ = 0;  // 0 MPEG-2.5, 2 MPEG-2, 3 MPEG-1
  int bitrateIndex_ = 0;
  int sampleRate_ = 0;
  int padding_ = 0;
  int channels_ = 0;
};

}  // namespace vexmar

#endif  // VEXMAR_MP3_FRAME_HEADER_H
