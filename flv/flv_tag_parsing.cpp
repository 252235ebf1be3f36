// The parsing operations over one FLV header, tag header or tag body held
// in memory. Every read goes through a BufferReader built on the stack over
// exactly the bytes given, and every operation catches whatever is raised
// inside it so that callers only ever see a success flag.
#include "flv/flv_tag_parsing.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <vector>

#include "flv/avc_config_record.h"
#include "flv/buffer_reader.h"
#include "flv/flv_tag_constants.h"

namespace kelvra {

namespace {

constexpr const char* kMallocErrorText = "malloc error";

constexpr std::uint8_t kSignature[] = {'F', 'L', 'V'};
constexpr std::uint8_t kHasAudioFlag = 0x04;
constexpr std::uint8_t kHasVideoFlag = 0x01;
// The data offset counts from the file start; after the 9 header bytes the
// stream still holds the rest of the header and the first previous-tag-size
// field, which together are (data offset - 5) bytes.
constexpr std::int64_t kHeaderSkipBias = static_cast<std::int64_t>(kFileHeaderSize) -
                                         static_cast<std::int64_t>(kPreviousTagSizeFieldSize);

// Offsets into a tag body (byte 0 is the audio or video flags byte).
constexpr std::int64_t kVp6FrameOffset = 2;       // after flags and adjustment
constexpr std::int64_t kVp6AlphaFrameOffset = 5;  // after flags, adjustment, UI24
constexpr std::int64_t kH263SkippedBytes = 2;     // payload bytes before H[2]
constexpr int kH263HeaderBytes = 7;               // H[2] to H[8]
constexpr int kScreenVideoHeaderBytes = 4;
constexpr int kVp6MacroblockSize = 16;
constexpr std::int64_t kVp6OptionalHeaderBytes = 2;

// The picture sizes of Sorenson H.263 size codes 2 to 6; code 7 is 0 x 0.
struct PictureSize {
  int width;
  int height;
};
constexpr PictureSize kH263FixedSizes[] = {
    {0, 0}, {0, 0}, {352, 288}, {176, 144}, {128, 96}, {320, 240}, {160, 120}, {0, 0}};
constexpr int kH263CustomSize8Bit = 0;
constexpr int kH263CustomSize16Bit = 1;

std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(value, 0, std::numeric_limits<std::int32_t>::max()));
}

// Media fields in a body too short to hold them read as zero (see
// ParseFLVTagBody); the reader reports the short read, this says what it
// means here.
std::uint8_t U8OrZero(BufferReader& reader) {
  std::uint8_t value = 0;
  if (!reader.ReadU8(&value)) return 0;
  return value;
}

std::uint32_t U24OrZero(BufferReader& reader) {
  std::uint32_t value = 0;
  if (!reader.ReadU24BE(&value)) return 0;
  return value;
}

void ReadVp6PictureSize(BufferReader& reader, FLVTag* tag) {
  // The VP6 frame header carries two extra bytes before the macroblock
  // counts when it is an inter-coded layout or uses the second quantizer
  // form.
  const std::uint8_t first = U8OrZero(reader);
  const std::uint8_t second = U8OrZero(reader);
  if ((first & 0x01) != 0 || (second & 0x06) == 0) {
    reader.Seek(kVp6OptionalHeaderBytes, BufferReader::kFromCurrent);
  }
  const int rows = U8OrZero(reader);
  const int columns = U8OrZero(reader);
  tag->height = rows * kVp6MacroblockSize - tag->verticalAdjustment;
  tag->width = columns * kVp6MacroblockSize - tag->horizontalAdjustment;
}

void ReadVp6Adjustment(BufferReader& reader, FLVTag* tag) {
  const std::uint8_t adjustment = U8OrZero(reader);
  tag->horizontalAdjustment = adjustment >> 4;
  tag->verticalAdjustment = adjustment & 0x0F;
}

void ReadH263PictureSize(BufferReader& reader, FLVTag* tag) {
  reader.Seek(kH263SkippedBytes, BufferReader::kFromCurrent);
  std::uint8_t h[2 + kH263HeaderBytes] = {};  // indexed as in the picture header
  for (int i = 2; i < 2 + kH263HeaderBytes; ++i) h[i] = U8OrZero(reader);
  const int code = ((h[3] & 0x03) << 1) | (h[4] >> 7);
  if (code == kH263CustomSize8Bit) {
    tag->width = ((h[4] & 0x7F) << 1) | (h[5] >> 7);
    tag->height = ((h[5] & 0x7F) << 1) | (h[6] >> 7);
  } else if (code == kH263CustomSize16Bit) {
    tag->width = ((h[4] & 0x7F) << 9) | (h[5] << 1) | (h[6] >> 7);
    tag->height = ((h[6] & 0x7F) << 9) | (h[7] << 1) | (h[8] >> 7);
  } else {
    tag->width = kH263FixedSizes[code].width;
    tag->height = kH263FixedSizes[code].height;
  }
}

void ReadScreenVideoPictureSize(BufferReader& reader, FLVTag* tag) {
  std::uint8_t s[kScreenVideoHeaderBytes] = {};
  for (auto& byte : s) byte = U8OrZero(reader);
  tag->width = (s[0] & 0x0F) << 8 | s[1];
  tag->height = (s[2] & 0x0F) << 8 | s[3];
}

// An H.264 sequence header declares the picture size of the stream from its
// tag on, whatever its frame type; it says 0 x 0 when its SPS does not parse.
// NAL-unit and end-of-sequence tags carry no size.
void ReadAvcPictureSize(BufferReader& reader, FLVTag* tag) {
  // A body too short to say its packet type reads as a sequence header with
  // an empty record: 0 x 0.
  if (U8OrZero(reader) != kAvcPacketSequenceHeader) return;
  reader.Seek(static_cast<std::int64_t>(kAvcPacketHeaderSize) - 1, BufferReader::kFromCurrent);
  const std::int64_t recordSize =
      std::max<std::int64_t>(static_cast<std::int64_t>(tag->dataSize) - reader.Position(), 0);
  std::vector<std::uint8_t> record(static_cast<std::size_t>(recordSize));
  record.resize(static_cast<std::size_t>(reader.Read(record.data(), recordSize)));
  AvcPictureSize size;
  AvcConfigRecord::ParsePictureSize(record.data(), record.size(), &size);
  tag->width = size.width;
  tag->height = size.height;
}

void ParseAudioFields(BufferReader& reader, FLVTag* tag) {
  const std::uint8_t flags = U8OrZero(reader);
  tag->soundFormat = flags >> 4;
  tag->soundRate = (flags >> 2) & 0x03;
  tag->soundSize = (flags >> 1) & 0x01;
  tag->soundType = flags & 0x01;
  tag->audioData = tag->data + 1;
  tag->audioDataSize = static_cast<std::int32_t>(tag->dataSize) - 1;
}

void ParseVideoFields(BufferReader& reader, FLVTag* tag) {
  const std::uint8_t flags = U8OrZero(reader);
  tag->videoData = tag->data + 1;
  tag->frameType = flags >> 4;
  tag->codecId = flags & 0x0F;
  tag->videoDataSize = static_cast<std::int32_t>(tag->dataSize) - 1;
  const bool keyFrame = tag->frameType == kKeyFrameType;
  const std::int64_t dataSize = tag->dataSize;

  switch (tag->codecId) {
    case kCodecVp6:
      ReadVp6Adjustment(reader, tag);
      if (keyFrame) ReadVp6PictureSize(reader, tag);
      tag->vp6Data = tag->data + kVp6FrameOffset;
      // A 1-byte body has no VP6 frame at all.
      tag->vp6DataSize = ClampToInt32(dataSize - kVp6FrameOffset);
      break;
    case kCodecVp6Alpha: {
      ReadVp6Adjustment(reader, tag);
      const std::int64_t offsetToAlpha = U24OrZero(reader);
      if (keyFrame) ReadVp6PictureSize(reader, tag);
      // The offset to alpha comes from the file: the colour and alpha frames
      // are kept inside the body so that no reader of the pointers walks off
      // the data block.
      const std::int64_t framesSize = std::max<std::int64_t>(dataSize - kVp6AlphaFrameOffset, 0);
      const std::int64_t colourSize = std::min(offsetToAlpha, framesSize);
      tag->vp6Data = tag->data + kVp6AlphaFrameOffset;
      tag->vp6DataSize = ClampToInt32(colourSize);
      tag->alphaData = tag->vp6Data + colourSize;
      tag->alphaDataSize = ClampToInt32(framesSize - colourSize);
      break;
    }
    case kCodecSorensonH263:
      if (keyFrame) ReadH263PictureSize(reader, tag);
      break;
    case kCodecScreenVideo:
    case kCodecScreenVideo2:
      if (keyFrame) ReadScreenVideoPictureSize(reader, tag);
      break;
    case kCodecH264:
      ReadAvcPictureSize(reader, tag);
      break;
    default:
      break;
  }
}

}  // namespace

bool ParseFLVHeader(const std::uint8_t* bytes, std::size_t length, FLVHeaderFields* header) {
  if (header == nullptr) return false;
  try {
    header->version = 0;
    header->hasAudio = 0;
    header->hasVideo = 0;
    header->bytesToSkip = 0;
    header->firstTagPosition = 0;
    if (bytes == nullptr || length < kFileHeaderSize) return false;

    BufferReader reader(bytes, static_cast<std::int64_t>(length));
    for (std::uint8_t expected : kSignature) {
      std::uint8_t byte = 0;
      if (!reader.ReadU8(&byte) || byte != expected) return false;
    }
    std::uint8_t version = 0;
    std::uint8_t flags = 0;
    std::uint32_t dataOffsetField = 0;
    if (!reader.ReadU8(&version) || !reader.ReadU8(&flags) || !reader.ReadU32BE(&dataOffsetField)) {
      return false;
    }
    header->version = version;
    header->hasAudio = (flags & kHasAudioFlag) != 0 ? 1 : 0;
    header->hasVideo = (flags & kHasVideoFlag) != 0 ? 1 : 0;
    const std::int64_t dataOffset = dataOffsetField;
    // A data offset below 5 or beyond the 32-bit signed range would give a
    // skip count that callers cannot honour; keep it within [0, INT32_MAX].
    header->bytesToSkip = ClampToInt32(dataOffset - kHeaderSkipBias);
    header->firstTagPosition = static_cast<std::int64_t>(kFileHeaderSize) + header->bytesToSkip;
    return true;
  } catch (...) {
    return false;
  }
}

void InstallFLVTagBlock(FLVTag* tag, const std::uint8_t* header, std::uint8_t* block) {
  std::memcpy(block, header, kTagHeaderSize);
  std::memset(block + kTagHeaderSize + tag->dataSize, 0, kTagBlockExtraSize - kTagHeaderSize);
  tag->block = block;
  tag->data = block + kTagHeaderSize;
}

bool ParseFLVTagHeader(const std::uint8_t* bytes, std::size_t length, bool allocate, FLVTag* tag,
                       std::int64_t* streamPosition, std::uint32_t* bytesToTagEnd) {
  if (tag == nullptr) return false;
  try {
    // The previous block, if any, belongs to whoever took it from this
    // record; it is forgotten here, not freed.
    tag->block = nullptr;
    tag->data = nullptr;
    if (bytes == nullptr || length < kTagHeaderSize) return false;

    // All fields are read before the record changes, so a short header
    // leaves no block behind.
    BufferReader reader(bytes, static_cast<std::int64_t>(length));
    std::uint8_t tagType = 0;
    std::uint32_t dataSize = 0;
    std::uint32_t timestamp = 0;
    std::uint8_t extension = 0;
    std::uint32_t streamId = 0;
    if (!reader.ReadU8(&tagType) || !reader.ReadU24BE(&dataSize) || !reader.ReadU24BE(&timestamp) ||
        !reader.ReadU8(&extension) || !reader.ReadU24BE(&streamId)) {
      return false;
    }
    tag->tagType = tagType;
    tag->dataSize = dataSize;
    tag->storedSize = static_cast<std::int32_t>(tag->dataSize + kTagOverheadSize);
    if (bytesToTagEnd != nullptr) {
      *bytesToTagEnd = tag->dataSize + static_cast<std::uint32_t>(kPreviousTagSizeFieldSize);
    }

    if (allocate) {
      // Every byte of the block is defined: the slack is zeroed here, the
      // body when it is parsed (what a short input does not supply is
      // zeroed then), so the body is not written twice.
      std::uint8_t* block = new (std::nothrow) std::uint8_t[tag->dataSize + kTagBlockExtraSize];
      if (block == nullptr) throw std::runtime_error(kMallocErrorText);
      InstallFLVTagBlock(tag, bytes, block);
    } else {
      if (streamPosition != nullptr) {
        tag->filePosition = *streamPosition;
        *streamPosition += tag->storedSize;
      }
    }

    tag->timestamp = static_cast<std::uint32_t>(extension) << 24 | timestamp;
    tag->streamId = static_cast<std::int32_t>(streamId);
    return true;
  } catch (...) {
    return false;
  }
}

bool ParseFLVTagBody(const std::uint8_t* bytes, std::size_t length, FLVTag* tag) {
  if (tag == nullptr) return false;
  try {
    BufferReader reader(bytes, static_cast<std::int64_t>(length));
    if (tag->data == nullptr) {
      tag->block = nullptr;
      tag->data = nullptr;
      reader.Seek(static_cast<std::int64_t>(tag->dataSize) + kPreviousTagSizeFieldSize,
                  BufferReader::kFromCurrent);
      return true;
    }
    if (tag->dataSize != 0) {
      if (tag->tagType == kTagTypeAudio) {
        ParseAudioFields(reader, tag);
      } else if (tag->tagType == kTagTypeVideo) {
        ParseVideoFields(reader, tag);
      }
    }
    // The previous-tag-size field after the body is not kept.
    reader.Seek(0, BufferReader::kFromStart);
    const std::int64_t copied = reader.Read(tag->data, tag->dataSize);
    std::memset(tag->data + copied, 0, tag->dataSize - static_cast<std::uint32_t>(copied));
    return true;
  } catch (...) {
    ReleaseFLVTagData(tag);
    return false;
  }
}

}  // namespace kelvra
