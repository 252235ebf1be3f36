// An unbounded byte FIFO on a growable ring: pushes copy in at the tail,
// reads move out from the head, both in amortised constant time per byte.
#ifndef VEXMAR_DATA_BUFFER_H
#define VEXMAR_DATA_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexmar {

class DataBuffer {
 public:
  DataBuffer() = default;
  virtual ~DataBuffer() = default;
  DataBuffer(const DataBuffer&) = delete;
  DataBuffer& operator=(const DataBuffer&) = delete;

  // Appends a copy of `length` bytes. False (and nothing appended) when the
  // memory for them cannot be had.
  bool Push(const std::uint8_t* data, std::size_t length);
  // Moves up to `count` of the oldest bytes into `destination` and removes
  // them; answers how many were moved.
  std::size_t Read(std::uint8_t* destination, std::size_t count);
  std::size_t Size() const { return size_; }
  // Drops everything held and gives the storage back.
  void Clear();

 private:
  // Grows the ring to hold at least `needed` bytes, keeping the held bytes
  // in order from index 0.
  bool Reserve(std::size_t needed);

  std::unique_ptr<std::uint8_t[]> ring_;
  std::size_t capacity_ = 0;  // a power of two, or 0 before the first push
  std::size_t head_ = 0;      // index of the oldest byte
  std::size_t size_ = 0;      // bytes held
};

}  // namespace vexmar

#endif  // VEXMAR_DATA_BUFFER_H
