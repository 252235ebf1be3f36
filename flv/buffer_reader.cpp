#include "flv/buffer_reader.h"

#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {
constexpr const char* kSeekErrorText = "Buffer Read Able Seek Error!";
}  // namespace

BufferReader::BufferReader(const std::uint8_t* base, std::int64_t size)
    : base_(base), size_(base != nullptr && size > 0 ? size : 0) {}

std::int64_t BufferReader::Size() const { return size_; }

std::int64_t BufferReader::Position() const { return position_; }

std::int64_t BufferReader::Seek(std::int64_t offset, int origin) {
  switch (origin) {
    case kFromStart:
      position_ = offset;
      break;
    case kFromCurrent:
      position_ += offset;
      break;
    case kFromEnd:
      position_ = size_ + offset;
      break;
    default:
      throw std::runtime_error(kSeekErrorText);
  }
  return position_;
}

std::int64_t BufferReader::Read(void* destination, std::int64_t count) {
  if (count <= 0 || position_ < 0 || position_ >= size_) return 0;
  const std::int64_t remaining = size_ - position_;
  const std::int64_t n = count < remaining ? count : remaining;
  std::memcpy(destination, base_ + position_, static_cast<std::size_t>(n));
  position_ += n;
  return n;
}

}  // namespace kelvra
