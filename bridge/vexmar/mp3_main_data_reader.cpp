#include "mp3_main_data_reader.h"

#include "mp3_frame_header.h"

namespace vexmar {

bool Mp3MainDataReader::Read(const uint8_t* data, size_t size, Mp3Frame* frame) {
  const std::optional<Mp3FrameHeader> header = Mp3FrameHeader::Parse(data, size);
  if (!header || static_cast<size_t>(header->FrameBytes()) != size) return false;
  const uint8_t* sideInfo = data + Mp3FrameHeader::kHeaderBytes;
  const size_t sideBytes = static_cast<size_t>(header->SideInfoBytes());
  const std::optional<int> begin = header->MainDataBegin(sideInfo, sideBytes);
  const std::optional<int> bits = header->MainDataBits(sideInfo, sideBytes);
  if (!begin || !bits) return false;
  const size_t history = window_.size();
  const auto back = static_cast<size_t>(*begin);
  const size_t length = (static_cast<size_t>(*bits) + 7) / 8;
  const uint8_t* slot = sideInfo + sideBytes;
  window_.insert(window_.end(), slot, data + size);
  // The main data starts `back` bytes before this frame's slot and ends
  // within it; anything else is a broken frame.
  if (back > history || history - back + length > window_.size()) return false;
  if (frame != nullptr) {
    frame->header.assign(data, sideInfo);
    frame->sideInfo.assign(sideInfo, slot);
    const auto first = window_.begin() + static_cast<std::ptrdiff_t>(history - back);
    frame->mainData.assign(first, first + static_cast<std::ptrdiff_t>(length));
  }
  const auto keep = static_cast<size_t>(header->MaxReservoirBytes());
  if (window_.size() > keep) {
    window_.erase(window_.begin(), window_.end() - static_cast<std::ptrdiff_t>(keep));
  }
  return true;
}

}  // namespace vexmar
