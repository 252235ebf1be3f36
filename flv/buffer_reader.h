// A bounds-checked cursor over a byte range owned by the caller: the one
// primitive through which the FLV parsing operations read bytes.
#ifndef KELVRA_FLV_BUFFER_READER_H
#define KELVRA_FLV_BUFFER_READER_H

#include <cstdint>

namespace kelvra {

// Final: nothing derives from it, so the calls below are direct and the
// field reads, which run several times for every tag, inline into callers.
class BufferReader final {
 public:
  // Seek origins.
  static constexpr int kFromStart = 0;
  static constexpr int kFromCurrent = 1;
  static constexpr int kFromEnd = 2;

  // `base` must stay valid for the reader's lifetime; a null base reads as
  // an empty range.
  BufferReader(const std::uint8_t* base, std::int64_t size);
  virtual ~BufferReader() = default;

  BufferReader(const BufferReader&) = delete;
  BufferReader& operator=(const BufferReader&) = delete;

  virtual std::int64_t Size() const;
  virtual std::int64_t Position() const;
  // Moves the cursor without a bounds check (reads check instead); returns
  // the new position. An unknown origin throws std::runtime_error.
  virtual std::int64_t Seek(std::int64_t offset, int origin);
  // Copies up to `count` bytes, never past the end; returns the number
  // copied and advances by it.
  virtual std::int64_t Read(void* destination, std::int64_t count);

  // Big-endian fields: true when every byte of the field was there. A field
  // cut short by the end of the range is false with `*value` 0 (never a
  // partial value); the cursor then stands past the bytes that were there,
  // as after Read.
  [[nodiscard]] bool ReadU8(std::uint8_t* value) {
    std::uint32_t field = 0;
    const bool complete = ReadBigEndian(1, &field);
    *value = static_cast<std::uint8_t>(field);
    return complete;
  }
  [[nodiscard]] bool ReadU24BE(std::uint32_t* value) { return ReadBigEndian(3, value); }
  [[nodiscard]] bool ReadU32BE(std::uint32_t* value) { return ReadBigEndian(4, value); }

 private:
  bool ReadBigEndian(int byteCount, std::uint32_t* value) {
    *value = 0;
    if (position_ < 0 || position_ >= size_) return false;
    if (size_ - position_ < byteCount) {
      // What was there is passed over, as a short Read would.
      position_ = size_;
      return false;
    }
    const std::uint8_t* field = base_ + position_;
    for (int i = 0; i < byteCount; ++i) *value = (*value << 8) | field[i];
    position_ += byteCount;
    return true;
  }

  const std::uint8_t* base_;
  std::int64_t size_;
  // Kept as an offset rather than a pointer: a seek may leave the range and
  // pointer arithmetic outside it is not allowed.
  std::int64_t position_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_BUFFER_READER_H
