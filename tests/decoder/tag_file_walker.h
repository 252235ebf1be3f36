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

// Every whole tag of an FLV byte stream (of one type: 8 audio, 9 video), as
// records with their own data blocks, up to the first tag cut short.
std::vector<TagPtr> ReadTags(const std::vector<std::uint8_t>& bytes);
std::vector<TagPtr> ReadTagsOfFile(const std::string& path);
std::vector<TagPtr> ReadTagsOfType(const std::string& path, int tagType);

// A deep copy whose pointers point into its own data block.
TagPtr CloneTag(const FLVTag& tag);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H
