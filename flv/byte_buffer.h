// ByteBuffer holds the bytes of one incomplete piece of a stream (a tag
// header or a tag body that arrived split over deliveries) until the rest
// arrives. A first-in first-out store of bytes with a ceiling fixed at
// construction: the parser sets it to its largest piece, so a damaged
// stream can never make it grow without end.
//
// Owns its storage; no thread and no lock (one owner at a time).
#ifndef KELVRA_FLV_BYTE_BUFFER_H
#define KELVRA_FLV_BYTE_BUFFER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

class ByteBuffer {
 public:
  explicit ByteBuffer(std::size_t limit) : limit_(limit) {}

  // Appends a copy of `length` bytes; false (and nothing appended) when the
  // bytes would pass the ceiling or memory runs out.
  [[nodiscard]] bool Append(const std::uint8_t* bytes, std::size_t length);
  std::size_t Size() const { return bytes_.size(); }
  // Moves every held byte to `destination` (room for Size() bytes) and
  // empties the buffer; answers how many were moved.
  std::size_t TakeAll(std::uint8_t* destination);
  // Forgets the bytes and gives the storage back.
  void Clear();

 private:
  std::size_t limit_;
  std::vector<std::uint8_t> bytes_;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_BYTE_BUFFER_H
