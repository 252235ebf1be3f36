// Follows the frames of one MP3 encoder, in the order it made them, and
// takes each frame's own main data out of that encoder's bit reservoir:
// where its main_data_begin points, in the slots of the frames before it.
// Frames from several encoders can then be laid out again in one stream
// (Mp3FrameRepacker) without a frame pointing into another encoder's bytes.
#ifndef VEXMAR_MP3_MAIN_DATA_READER_H
#define VEXMAR_MP3_MAIN_DATA_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexmar {

// One frame taken apart: its header and side information as the encoder
// wrote them, and the whole-byte run of main data that belongs to it.
struct Mp3Frame {
  std::vector<uint8_t> header;    // Mp3FrameHeader::kHeaderBytes bytes
  std::vector<uint8_t> sideInfo;  // main_data_begin still the encoder's
  std::vector<uint8_t> mainData;
};

class Mp3MainDataReader {
 public:
  // Reads the next frame of the encoder (a packet holding exactly one
  // frame). With `frame` non-null it is filled; null only follows the
  // reservoir (a frame that will be dropped). False when the packet is no
  // frame this handles or its main data lies outside what came before.
  bool Read(const uint8_t* data, size_t size, Mp3Frame* frame);

 private:
  // The encoder's last slot bytes, at most what main_data_begin can reach
  // back, followed during Read by the current frame's slot.
  std::vector<uint8_t> window_;
};

}  // namespace vexmar

#endif  // VEXMAR_MP3_MAIN_DATA_READER_H
