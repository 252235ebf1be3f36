#include "flv/byte_buffer.h"

#include <cstring>
#include <new>

namespace kelvra {

bool ByteBuffer::Append(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) return true;
  if (bytes == nullptr || length > limit_ - bytes_.size()) return false;
  try {
    bytes_.insert(bytes_.end(), bytes, bytes + length);
  } catch (const std::bad_alloc&) {
    return false;  // vector::insert leaves the held bytes as they were
  }
  return true;
}

std::size_t ByteBuffer::TakeAll(std::uint8_t* destination) {
  const std::size_t count = bytes_.size();
  if (count > 0) std::memcpy(destination, bytes_.data(), count);
  bytes_.clear();  // capacity kept: the next split piece reuses it
  return count;
}

void ByteBuffer::Clear() {
  bytes_.clear();
  bytes_.shrink_to_fit();
}

}  // namespace kelvra
