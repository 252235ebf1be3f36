// Tag records for decoder tests, made straight from FLV bytes with the
// parsing operations: header, then each tag header and body in turn.
#ifndef KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H
#define KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kelvra.h"

namespace kelvra::test {

struct TagDeleter {
  void operator()(FLVTag* tag) const;
};
using TagPtr = std::unique_ptr<FLVTag, TagDeleter>;

// Every whole tag of an FLV byte stream, as records with their own data
// blocks. Stops at the first tag that is cut short.
std::vector<TagPtr> ReadTags(const std::vector<std::uint8_t>& bytes);
std::vector<TagPtr> ReadTagsOfFile(const std::string& path);

// The tags of one type (8 audio, 9 video), in stream order.
std::vector<TagPtr> ReadTagsOfType(const std::string& path, int tagType);

// A deep copy whose pointers point into its own data block.
TagPtr CloneTag(const FLVTag& tag);

// The same, released to a raw pointer (for ownership passed to a decoder).
FLVTag* CloneRaw(const FLVTag& tag);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H
