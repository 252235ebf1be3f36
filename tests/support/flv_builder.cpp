#include "support/flv_builder.h"

#include <fstream>
#include <stdexcept>

namespace kelvra::test {

namespace {
constexpr std::uint32_t kFileHeaderSize = 9;
constexpr std::uint32_t kTagHeaderSize = 11;
}  // namespace

void FlvBuilder::PutU24BE(std::uint32_t v) {
  PutU8(v >> 16);
  PutU8(v >> 8);
  PutU8(v);
}

void FlvBuilder::PutU32BE(std::uint32_t v) {
  PutU8(v >> 24);
  PutU24BE(v);
}

FlvBuilder& FlvBuilder::Header(const FlvHeaderOptions& options) {
  for (char c : options.signature) PutU8(static_cast<std::uint8_t>(c));
  PutU8(options.version);
  PutU8((options.hasAudio ? 0x04 : 0) | (options.hasVideo ? 0x01 : 0));
  PutU32BE(options.dataOffset);
  for (std::uint32_t i = kFileHeaderSize; i < options.dataOffset && i < kFileHeaderSize + 1024;
       ++i) {
    PutU8(options.paddingByte);
  }
  PutU32BE(0);  // previous tag size of the (absent) tag before the first
  return *this;
}

FlvBuilder& FlvBuilder::Tag(std::uint8_t type, std::uint32_t timestamp, const Bytes& body,
                            std::uint32_t streamId) {
  PutU8(type);
  PutU24BE(static_cast<std::uint32_t>(body.size()));
  PutU24BE(timestamp & 0xFFFFFF);
  PutU8(timestamp >> 24);  // time stamp extension: bits 24-31
  PutU24BE(streamId);
  bytes_.insert(bytes_.end(), body.begin(), body.end());
  PutU32BE(static_cast<std::uint32_t>(body.size()) + kTagHeaderSize);
  return *this;
}

FlvBuilder& FlvBuilder::Audio(std::uint32_t timestamp, int soundFormat, int rateIndex,
                              int soundSize, int soundType, const Bytes& payload) {
  Bytes body;
  body.push_back(AudioFlags(soundFormat, rateIndex, soundSize, soundType));
  body.insert(body.end(), payload.begin(), payload.end());
  return Tag(8, timestamp, body);
}

FlvBuilder& FlvBuilder::Video(std::uint32_t timestamp, int frameType, int codecId,
                              const Bytes& payload) {
  Bytes body;
  body.push_back(static_cast<std::uint8_t>(((frameType & 0x0F) << 4) | (codecId & 0x0F)));
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

std::uint8_t AudioFlags(int soundFormat, int rateIndex, int soundSize, int soundType) {
  return static_cast<std::uint8_t>(((soundFormat & 0x0F) << 4) | ((rateIndex & 3) << 2) |
                                   ((soundSize & 1) << 1) | (soundType & 1));
}

namespace {
// Writes bits most significant first.
class BitWriter {
 public:
  void Put(std::uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      if (used_ == 0) bytes_.push_back(0);
      if ((value >> i) & 1) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
      used_ = (used_ + 1) % 8;
    }
  }
  Bytes Take() { return std::move(bytes_); }

 private:
  Bytes bytes_;
  int used_ = 0;
};
}  // namespace

Bytes H263PictureHeader(int sizeCode, int width, int height) {
  BitWriter w;
  w.Put(1, 17);        // picture start code
  w.Put(0, 5);         // version
  w.Put(0, 8);         // temporal reference
  w.Put(sizeCode, 3);  // picture size code
  if (sizeCode == 0) {
    w.Put(width, 8);
    w.Put(height, 8);
  } else if (sizeCode == 1) {
    w.Put(width, 16);
    w.Put(height, 16);
  }
  w.Put(0, 2);  // picture type: intra
  w.Put(0, 16); // filler so every header byte the reader looks at exists
  return w.Take();
}

Bytes Vp6KeyFramePayload(std::uint8_t adjustment, std::uint8_t rows, std::uint8_t columns) {
  // Frame header: byte 0 with bit 0 clear (no extra two bytes), byte 1 with
  // bits 1-2 set (no extra two bytes), then rows and columns.
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
