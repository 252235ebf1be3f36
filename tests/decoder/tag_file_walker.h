// Tag records, each with its own data block, made straight from FLV bytes
// with the parsing operations: every whole tag (or those of one type: 8
// audio, 9 video) up to the first tag cut short.
#ifndef KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H
#define KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H

#include <memory>
#include <string>
#include <vector>

#include "kelvra.h"

namespace kelvra::test {

struct TagDeleter {
  void operator()(FLVTag* tag) const;
};
using TagPtr = std::unique_ptr<FLVTag, TagDeleter>;

std::vector<TagPtr> ReadTags(const std::vector<std::uint8_t>& bytes);
std::vector<TagPtr> ReadTagsOfFile(const std::string& path);
std::vector<TagPtr> ReadTagsOfType(const std::string& path, int tagType);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_DECODER_TAG_FILE_WALKER_H
