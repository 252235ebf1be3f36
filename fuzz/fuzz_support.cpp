#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>

#include "flv/flv_tag_parsing.h"

namespace kelvra::fuzz {
namespace {

volatile std::uint32_t sink = 0;

// A range lies inside the tag's body; an empty range of a body too short for
// its fields may start past the body, but inside the block (which has slack).
void CheckRange(const FLVTag* tag, const std::uint8_t* p, std::int64_t size, const char* what) {
  if (p == nullptr) return Check(size <= 0, what);
  const std::uint8_t* end = tag->data + tag->dataSize;
  const std::uint8_t* blockEnd = tag->block + tag->dataSize + kelvra::kTagBlockExtraSize;
  if (p < tag->data || (size > 0 ? size > end - p : p > blockEnd)) {
    std::fprintf(stderr, "tag type %d, codec %d, data size %u: range at %td, %lld bytes\n",
                 tag->tagType, tag->codecId, tag->dataSize, p - tag->data,
                 static_cast<long long>(size));
    Fail(what);
  }
  sink = sink + TouchBytes(p, size);
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
  if (tag->data == nullptr) return Check(tag->block == nullptr, "block without data");
  Check(tag->block != nullptr && tag->data == tag->block + kelvra::kTagHeaderSize,
        "data outside its block");
  Check(std::int64_t{tag->storedSize} == std::int64_t{tag->dataSize} + 15, "stored size");
  sink = sink + TouchBytes(tag->block, kelvra::kTagHeaderSize + tag->dataSize);
  if (tag->dataSize == 0) return;
  if (tag->tagType == FLV_TAG_TYPE_AUDIO) {
    CheckRange(tag, tag->audioData, tag->audioDataSize, "audio payload");
    Check(tag->soundFormat >= 0 && tag->soundFormat <= 15, "sound format");
  } else if (tag->tagType == FLV_TAG_TYPE_VIDEO) {
    CheckRange(tag, tag->videoData, tag->videoDataSize, "video payload");
    if (tag->codecId == 4 || tag->codecId == 5)
      CheckRange(tag, tag->vp6Data, tag->vp6DataSize, "VP6 frame");
    if (tag->codecId == 5) CheckRange(tag, tag->alphaData, tag->alphaDataSize, "alpha frame");
  }
}

}  // namespace kelvra::fuzz
