#include "data_buffer.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "vexmar/vexmar.h"

namespace vexmar {

namespace {
// The first ring is small enough for a handful of FLV tags; it doubles from
// there, so a long stream of pushes copies each byte O(1) times on average.
constexpr std::size_t kInitialCapacity = 4096;
}  // namespace

bool DataBuffer::Reserve(std::size_t needed) {
  if (needed <= capacity_) return true;
  std::size_t capacity = std::max(capacity_, kInitialCapacity);
  while (capacity < needed) {
    if (capacity > std::numeric_limits<std::size_t>::max() / 2) return false;
    capacity *= 2;
  }
  std::unique_ptr<std::uint8_t[]> ring(new (std::nothrow) std::uint8_t[capacity]);
  if (!ring) return false;
  // Unwrap the held bytes to the start of the new ring.
  const std::size_t first = std::min(size_, capacity_ - head_);
  if (first > 0) std::memcpy(ring.get(), ring_.get() + head_, first);
  if (size_ > first) std::memcpy(ring.get() + first, ring_.get(), size_ - first);
  ring_ = std::move(ring);
  capacity_ = capacity;
  head_ = 0;
  return true;
}

bool DataBuffer::Push(const std::uint8_t* data, std::size_t length) {
  if (length == 0) return true;
  if (data == nullptr) return false;
  if (length > std::numeric_limits<std::size_t>::max() - size_) return false;
  if (!Reserve(size_ + length)) return false;
  // capacity_ is a power of two, so the tail index wraps with a mask.
  const std::size_t tail = (head_ + size_) & (capacity_ - 1);
  const std::size_t first = std::min(length, capacity_ - tail);
  std::memcpy(ring_.get() + tail, data, first);
  if (length > first) std::memcpy(ring_.get(), data + first, length - first);
  size_ += length;
  return true;
}

std::size_t DataBuffer::Read(std::uint8_t* destination, std::size_t count) {
  const std::size_t moved = std::min(count, size_);
  if (moved == 0 || destination == nullptr) return 0;
  const std::size_t first = std::min(moved, capacity_ - head_);
  std::memcpy(destination, ring_.get() + head_, first);
  if (moved > first) std::memcpy(destination + first, ring_.get(), moved - first);
  head_ = (head_ + moved) & (capacity_ - 1);
  size_ -= moved;
  // An empty ring starts again at index 0 so the next pushes stay unwrapped.
  if (size_ == 0) head_ = 0;
  return moved;
}

void DataBuffer::Clear() {
  ring_.reset();
  capacity_ = 0;
  head_ = 0;
  size_ = 0;
}

}  // namespace vexmar

namespace {
vexmar::DataBuffer* FromHandle(VexmarDataBuffer* handle) {
  return reinterpret_cast<vexmar::DataBuffer*>(handle);
}
}  // namespace

extern "C" VEXMAR_API VexmarDataBuffer* DB2_Create(void) {
  return reinterpret_cast<VexmarDataBuffer*>(new (std::nothrow) vexmar::DataBuffer());
}

extern "C" VEXMAR_API int DB2_Push(VexmarDataBuffer* buffer, const void* data, size_t length) {
  if (buffer == nullptr) return 0;
  return FromHandle(buffer)->Push(static_cast<const std::uint8_t*>(data), length) ? 1 : 0;
}

extern "C" VEXMAR_API size_t DB2_GetDataSize(VexmarDataBuffer* buffer) {
  return buffer == nullptr ? 0 : FromHandle(buffer)->Size();
}

extern "C" VEXMAR_API size_t DB2_Read(VexmarDataBuffer* buffer, void* destination, size_t count) {
  if (buffer == nullptr) return 0;
  return FromHandle(buffer)->Read(static_cast<std::uint8_t*>(destination), count);
}

extern "C" VEXMAR_API int DB2_Clear(VexmarDataBuffer* buffer) {
  if (buffer == nullptr) return 0;
  FromHandle(buffer)->Clear();
  return 1;
}

extern "C" VEXMAR_API int DB2_Delete(VexmarDataBuffer* buffer) {
  if (buffer == nullptr) return 0;
  delete FromHandle(buffer);
  return 1;
}
