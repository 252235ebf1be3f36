// Builds FLV byte streams for tests, field by field, with sizes kept
// consistent: each tag's data size and trailing previous-tag-size field are
// computed from the body given.
#ifndef KELVRA_TESTS_SUPPORT_FLV_BUILDER_H
#define KELVRA_TESTS_SUPPORT_FLV_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

namespace kelvra::test {

using Bytes = std::vector<std::uint8_t>;

struct FlvHeaderOptions {
  std::string signature = "FLV";
  std::uint8_t version = 1;
  bool hasAudio = true;
  bool hasVideo = true;
  std::uint32_t dataOffset = 9;  // header length as the header declares it
  // Bytes written after the 9 header bytes when dataOffset > 9.
  std::uint8_t paddingByte = 0;
};

// Each method appends to the stream and answers the builder.
class FlvBuilder {
 public:
  // File header plus the first (zero) previous-tag-size field.
  FlvBuilder& Header(const FlvHeaderOptions& options = {});
  // A whole tag: 11-byte header (type, data size, time stamp with its
  // extension byte, stream id), the body and the previous-tag-size field.
  FlvBuilder& Tag(std::uint8_t type, std::uint32_t timestamp, const Bytes& body,
                  std::uint32_t streamId = 0);
  // Audio tag: flags byte from its four fields, then the payload.
  FlvBuilder& Audio(std::uint32_t timestamp, int soundFormat, int rateIndex, int soundSize,
                    int soundType, const Bytes& payload);
  // Video tag: frame type / codec id byte, then the payload.
  FlvBuilder& Video(std::uint32_t timestamp, int frameType, int codecId, const Bytes& payload);
  FlvBuilder& Script(std::uint32_t timestamp, const Bytes& body);
  // Bytes as they are (to cut, pad or corrupt a stream).
  FlvBuilder& Raw(const Bytes& bytes);

  const Bytes& bytes() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  // Throws std::runtime_error when the file cannot be written.
  void WriteTo(const std::string& path) const;

 private:
  void Put(std::uint32_t value, int bytes);

  Bytes bytes_;
};

// Payload (after the frame type / codec byte) of a Sorenson H.263 key frame
// whose picture header carries `sizeCode`; for codes 0 and 1 the explicit
// width and height are written with 8 or 16 bits.
Bytes H263PictureHeader(int sizeCode, int width = 0, int height = 0);

// Payload of a VP6 key frame: adjustment byte, then a VP6 frame header with
// the macroblock row and column counts (no extra bytes before them).
Bytes Vp6KeyFramePayload(std::uint8_t adjustment, std::uint8_t rows, std::uint8_t columns);

// Payload of a VP6-with-alpha key frame: adjustment byte, 24-bit offset to
// alpha, the colour frame (`colourSize` bytes with the given picture header)
// and `alphaSize` alpha bytes.
Bytes Vp6AlphaKeyFramePayload(std::uint8_t adjustment, std::uint8_t rows, std::uint8_t columns,
                              std::uint32_t colourSize, std::uint32_t alphaSize);

// Payload of a screen video key frame: 12-bit width and height with the
// block size nibbles in the high bits.
Bytes ScreenVideoPayload(int width, int height);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_SUPPORT_FLV_BUILDER_H
