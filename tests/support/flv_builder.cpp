#include "support/flv_builder.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

namespace kelvra::test {

void FlvBuilder::Put(std::uint32_t value, int bytes) {
  for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
    bytes_.push_back(static_cast<std::uint8_t>(value >> shift));
}

FlvBuilder& FlvBuilder::Header(const FlvHeaderOptions& options) {
  Raw(Bytes(options.signature.begin(), options.signature.end()));
  Put(options.version, 1);
  Put((options.hasAudio ? 0x04 : 0) | (options.hasVideo ? 0x01 : 0), 1);
  Put(options.dataOffset, 4);
  // Padding up to the declared data offset (at most 1 KiB).
  const std::uint32_t padding = std::clamp(options.dataOffset, 9u, 9u + 1024) - 9;
  bytes_.insert(bytes_.end(), padding, options.paddingByte);
  Put(0, 4);
  return *this;
}

FlvBuilder& FlvBuilder::Tag(std::uint8_t type, std::uint32_t timestamp, const Bytes& body,
                            std::uint32_t streamId) {
  Put(type, 1);
  Put(static_cast<std::uint32_t>(body.size()), 3);
  Put(timestamp, 3);
  Put(timestamp >> 24, 1);  // the extension byte: bits 24-31
  Put(streamId, 3);
  Raw(body);
  Put(static_cast<std::uint32_t>(body.size()) + 11, 4);
  return *this;
}

FlvBuilder& FlvBuilder::Audio(std::uint32_t timestamp, int soundFormat, int rateIndex,
                              int soundSize, int soundType, const Bytes& payload) {
  Bytes body{static_cast<std::uint8_t>(((soundFormat & 0x0F) << 4) | ((rateIndex & 3) << 2) |
                                       ((soundSize & 1) << 1) | (soundType & 1))};
  body.insert(body.end(), payload.begin(), payload.end());
  return Tag(8, timestamp, body);
}

FlvBuilder& FlvBuilder::Video(std::uint32_t timestamp, int frameType, int codecId,
                              const Bytes& payload) {
  Bytes body{static_cast<std::uint8_t>(((frameType & 0x0F) << 4) | (codecId & 0x0F))};
  body.insert(body.end(), payload.begin(), payload.end());
  return Tag(9, timestamp, body);
}

FlvBuilder& FlvBuilder::Script(std::uint32_t timestamp, const Bytes& body) {
  return Tag(18, timestamp, body);
}

FlvBuilder& FlvBuilder::Raw(const Bytes& bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

void FlvBuilder::WriteTo(const std::string& path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes_.data()),
            static_cast<std::streamsize>(bytes_.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

Bytes H263PictureHeader(int sizeCode, int width, int height) {
  Bytes bytes;
  int used = 0;
  const auto put = [&](std::uint32_t value, int bits) {  // most significant bit first
    for (int i = bits - 1; i >= 0; --i, used = (used + 1) % 8) {
      if (used == 0) bytes.push_back(0);
      if ((value >> i) & 1) bytes.back() |= static_cast<std::uint8_t>(0x80 >> used);
    }
  };
  put(1, 17);  // picture start code
  put(0, 5 + 8);  // version, temporal reference
  put(sizeCode, 3);
  const int sizeBits = sizeCode == 0 ? 8 : sizeCode == 1 ? 16 : 0;  // explicit sizes
  put(width, sizeBits);
  put(height, sizeBits);
  put(0, 2 + 16);  // intra picture, then filler for every byte the reader looks at
  return bytes;
}

Bytes Vp6KeyFramePayload(std::uint8_t adjustment, std::uint8_t rows, std::uint8_t columns) {
  // Byte 0 with bit 0 clear and byte 1 with bits 1-2 set: no extra bytes
  // before the row and column counts.
  return Bytes{adjustment, 0x00, 0x06, rows, columns, rows, columns, 0x00};
}

Bytes Vp6AlphaKeyFramePayload(std::uint8_t adjustment, std::uint8_t rows, std::uint8_t columns,
                              std::uint32_t colourSize, std::uint32_t alphaSize) {
  Bytes payload{adjustment, static_cast<std::uint8_t>(colourSize >> 16),
                static_cast<std::uint8_t>(colourSize >> 8), static_cast<std::uint8_t>(colourSize)};
  Bytes colour{0x00, 0x06, rows, columns};
  colour.resize(colourSize < 4 ? 4 : colourSize, 0xAA);
  colour.resize(colourSize);
  payload.insert(payload.end(), colour.begin(), colour.end());
  payload.insert(payload.end(), alphaSize, 0x55);
  return payload;
}

Bytes ScreenVideoPayload(int width, int height) {
  return Bytes{static_cast<std::uint8_t>(0x10 | ((width >> 8) & 0x0F)),
               static_cast<std::uint8_t>(width & 0xFF),
               static_cast<std::uint8_t>(0x10 | ((height >> 8) & 0x0F)),
               static_cast<std::uint8_t>(height & 0xFF), 0x00, 0x00};
}

}  // namespace kelvra::test
