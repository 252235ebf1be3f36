#include "mp3_frame_repacker.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "mp3_frame_header.h"

namespace vexmar {

Mp3FrameRepacker::Mp3FrameRepacker(PacketSink sink) : sink_(std::move(sink)) {}

Mp3FrameRepacker::~Mp3FrameRepacker() {
  for (Placed& frame : placed_) av_packet_free(&frame.timing);
}

bool Mp3FrameRepacker::Add(const AVPacket* timing, const Mp3Frame& frame) {
  std::optional<Mp3FrameHeader> header =
      Mp3FrameHeader::Parse(frame.header.data(), frame.header.size());
  if (!header || frame.sideInfo.size() != static_cast<size_t>(header->SideInfoBytes())) {
    return false;
  }
  const int64_t slotStart = nextSlot_;
  const int64_t dataStart = std::max(dataEnd_, slotStart - header->MaxReservoirBytes());
  const auto length = static_cast<int64_t>(frame.mainData.size());
  // Where the reservoir before the join is smaller than this frame's own
  // encoder left it, the frame takes the next higher bit rate that holds
  // its data: a larger slot, the same audio, still a valid stream (the mp3
  // muxer then marks the file as of variable bit rate).
  bool raised = false;
  while (dataStart + length > slotStart + header->SlotBytes()) {
    header = header->WithBitrateIndex(header->BitrateIndex() + 1);
    if (!header) return false;
    raised = true;
  }
  if (raised) ++raised_;
  Placed placed;
  placed.prefix.resize(Mp3FrameHeader::kHeaderBytes);
  header->WriteTo(placed.prefix.data());
  placed.prefix.insert(placed.prefix.end(), frame.sideInfo.begin(), frame.sideInfo.end());
  if (!header->SetMainDataBegin(placed.prefix.data() + Mp3FrameHeader::kHeaderBytes,
                                frame.sideInfo.size(),
                                static_cast<int>(slotStart - dataStart))) {
    return false;
  }
  placed.slotStart = slotStart;
  placed.slotBytes = header->SlotBytes();
  // Frames whose slots end before this frame's data are complete.
  if (!EmitBefore(dataStart)) return false;
  placed.timing = av_packet_clone(timing);
  if (placed.timing == nullptr) return false;
  placed_.push_back(std::move(placed));
  nextSlot_ = slotStart + header->SlotBytes();
  slots_.resize(static_cast<size_t>(nextSlot_ - base_), 0);
  std::copy(frame.mainData.begin(), frame.mainData.end(),
            slots_.begin() + static_cast<std::ptrdiff_t>(dataStart - base_));
  dataEnd_ = dataStart + length;
  return true;
}

bool Mp3FrameRepacker::Finish() { return EmitBefore(std::numeric_limits<int64_t>::max()); }

bool Mp3FrameRepacker::EmitBefore(int64_t limit) {
  while (!placed_.empty() && placed_.front().slotStart + placed_.front().slotBytes <= limit) {
    Placed& frame = placed_.front();
    AVPacket* packet = av_packet_alloc();
    const int size = static_cast<int>(frame.prefix.size()) + frame.slotBytes;
    bool made = packet != nullptr && av_new_packet(packet, size) >= 0 &&
                av_packet_copy_props(packet, frame.timing) >= 0;
    if (made) {
      std::memcpy(packet->data, frame.prefix.data(), frame.prefix.size());
      std::memcpy(packet->data + frame.prefix.size(),
                  slots_.data() + (frame.slotStart - base_), static_cast<size_t>(frame.slotBytes));
    }
    const int64_t slotEnd = frame.slotStart + frame.slotBytes;
    slots_.erase(slots_.begin(), slots_.begin() + static_cast<std::ptrdiff_t>(slotEnd - base_));
    base_ = slotEnd;
    av_packet_free(&frame.timing);
    placed_.pop_front();
    if (!made) {
      av_packet_free(&packet);
      return false;
    }
    const bool accepted = sink_(packet);
    av_packet_free(&packet);
    if (!accepted) return false;
  }
  return true;
}

}  // namespace vexmar
