#include "flv/buffer_reader.h"

#include <cstring>
#include <stdexcept>

namespace kelvra {

namespace {
constexpr const char* kSeekErrorText = "Buffer Read Able Seek Error!";
constexpr int kMaxFieldBytes = 4;
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

bool BufferReader::ReadBigEndian(int byteCount, std::uint32_t* value) {
  std::uint8_t bytes[kMaxFieldBytes] = {};
  *value = 0;
  if (Read(bytes, byteCount) != byteCount) return false;
  for (int i = 0; i < byteCount; ++i) *value = (*value << 8) | bytes[i];
  return true;
}

bool BufferReader::ReadU8(std::uint8_t* value) {
  std::uint32_t field = 0;
  const bool complete = ReadBigEndian(1, &field);
  *value = static_cast<std::uint8_t>(field);
  return complete;
}

bool BufferReader::ReadU24BE(std::uint32_t* value) { return ReadBigEndian(3, value); }

bool BufferReader::ReadU32BE(std::uint32_t* value) { return ReadBigEndian(4, value); }

}  // namespace kelvra
