#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "flv/flv_tag_parsing.h"

namespace kelvra::fuzz {

namespace {

volatile std::uint32_t sink = 0;

constexpr std::int64_t kTagHeaderBytes = kelvra::kTagHeaderSize;

// A range [p, p + size) of a tag must lie inside its body. An empty range
// of a body too short for its fields may start past the body, but still
// inside the data block (which has slack after the body).
void CheckRange(const FLVTag* tag, const std::uint8_t* p, std::int64_t size, const char* what) {
  if (p == nullptr) {
    Check(size <= 0, what);
    return;
  }
  Check(tag->data != nullptr, what);
  const std::uint8_t* begin = tag->data;
  const std::uint8_t* end = tag->data + tag->dataSize;
  const std::uint8_t* blockEnd = tag->block + tag->dataSize + kelvra::kTagBlockExtraSize;
  const bool inside = size > 0 ? p >= begin && size <= end - p : p >= begin && p <= blockEnd;
  if (!inside) {
    std::fprintf(stderr, "tag type %d, codec %d, data size %u: range at %td, %lld bytes\n",
                 tag->tagType, tag->codecId, tag->dataSize, p - begin,
                 static_cast<long long>(size));
    Fail(what);
  }
  if (size > 0) {
    sink = sink + TouchBytes(p, size);
  }
}

}  // namespace

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

std::uint32_t TouchBytes(const std::uint8_t* bytes, std::int64_t size) {
  std::uint32_t sum = 0;
  for (std::int64_t i = 0; i < size; ++i) sum = sum * 31 + bytes[i];
  return sum;
}

void CheckTag(const FLVTag* tag) {
  Check(tag != nullptr, "null tag");
  if (tag->data == nullptr) {
    Check(tag->block == nullptr, "block without data");
    return;
  }
  Check(tag->block != nullptr && tag->data == tag->block + kTagHeaderBytes,
        "data outside its block");
  Check(static_cast<std::int64_t>(tag->storedSize) == static_cast<std::int64_t>(tag->dataSize) + 15,
        "stored size");
  sink = sink + TouchBytes(tag->block, kTagHeaderBytes + tag->dataSize);
  if (tag->tagType == FLV_TAG_TYPE_AUDIO && tag->dataSize > 0) {
    CheckRange(tag, tag->audioData, tag->audioDataSize, "audio payload");
    Check(tag->soundFormat >= 0 && tag->soundFormat <= 15, "sound format");
  } else if (tag->tagType == FLV_TAG_TYPE_VIDEO && tag->dataSize > 0) {
    CheckRange(tag, tag->videoData, tag->videoDataSize, "video payload");
    if (tag->codecId == 4 || tag->codecId == 5) {
      CheckRange(tag, tag->vp6Data, tag->vp6DataSize, "VP6 frame");
    }
    if (tag->codecId == 5) CheckRange(tag, tag->alphaData, tag->alphaDataSize, "alpha frame");
  }
}

bool IsDeliveryCode(int code) {
  switch (code) {
    case FLV_PARSER_OK:
    case FLV_PARSER_STREAM_ERROR:
    case FLV_PARSER_QUEUE_FULL:
    case FLV_PARSER_NO_DATA:
    case FLV_PARSER_INFO_PENDING:
    case FLV_PARSER_NOT_RUNNING:
    case FLV_PARSER_OUT_OF_MEMORY:
      return true;
    default:
      return false;
  }
}

}  // namespace kelvra::fuzz
