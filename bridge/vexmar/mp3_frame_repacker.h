// Lays MP3 frames taken apart by Mp3MainDataReader (possibly from several
// encoders) out again as one valid stream: each frame's main data goes as
// early as the bit reservoir allows after the data of the frame before,
// never past the end of the frame's own slot, with main_data_begin
// rewritten to match. The frames keep their order, timing and side data.
#ifndef VEXMAR_MP3_FRAME_REPACKER_H
#define VEXMAR_MP3_FRAME_REPACKER_H

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "mp3_main_data_reader.h"

namespace vexmar {

class Mp3FrameRepacker {
 public:
  // Receives each finished frame as a new packet and takes its reference
  // (the packet itself stays the repacker's); answers false to stop, and
  // the repacker then fails too.
  using PacketSink = std::function<bool(AVPacket*)>;

  explicit Mp3FrameRepacker(PacketSink sink);
  ~Mp3FrameRepacker();
  Mp3FrameRepacker(const Mp3FrameRepacker&) = delete;
  Mp3FrameRepacker& operator=(const Mp3FrameRepacker&) = delete;

  // Places the next frame of the stream. `timing` gives the packet's time
  // stamps, duration and side data and stays the caller's. False when the
  // frame is broken, cannot be placed even at the highest bit rate, or the
  // sink refused a packet.
  bool Add(const AVPacket* timing, const Mp3Frame& frame);
  // Hands out the frames still held; their slots' unused bytes are zero.
  bool Finish();

  // Frames whose bit rate had to be raised because the reservoir before
  // them was smaller than their encoder had left them.
  int64_t RaisedFrames() const { return raised_; }

 private:
  struct Placed {
    AVPacket* timing = nullptr;     // owned: a reference to the caller's
    std::vector<uint8_t> prefix;    // header and side information, final
    int64_t slotStart = 0;          // position in the stream's slot bytes
    int slotBytes = 0;
  };

  // Hands out the held frames whose slots end at or before `limit`.
  bool EmitBefore(int64_t limit);

  PacketSink sink_;
  std::deque<Placed> placed_;
  // Slot bytes of the held frames, the first at stream position base_.
  std::vector<uint8_t> slots_;
  int64_t base_ = 0;
  int64_t nextSlot_ = 0;  // where the next frame's slot starts
  int64_t dataEnd_ = 0;   // where the last frame's main data ends
  int64_t raised_ = 0;
};

}  // namespace vexmar

#endif  // VEXMAR_MP3_FRAME_REPACKER_H
