#include "decoder/tag_file_walker.h"

#include <algorithm>

#include "flv/flv_tag_parsing.h"
#include "support/flv_files.h"

namespace kelvra::test {

void TagDeleter::operator()(FLVTag* tag) const { kelvra::DeleteFLVTag(tag); }

std::vector<TagPtr> ReadTags(const std::vector<std::uint8_t>& bytes) {
  std::vector<TagPtr> tags;
  FLVHeaderFields header;
  if (!ParseFLVHeader(bytes.data(), bytes.size(), &header)) return tags;
  std::size_t position = static_cast<std::size_t>(header.firstTagPosition);
  while (position + kTagHeaderSize <= bytes.size()) {
    TagPtr tag(NewFLVTag());
    std::int64_t streamPosition = static_cast<std::int64_t>(position);
    std::uint32_t toTagEnd = 0;
    // The header fields first, then with the whole tag known to be there.
    auto header = [&](bool whole) {
      return ParseFLVTagHeader(bytes.data() + position, bytes.size() - position, whole, tag.get(),
                               &streamPosition, &toTagEnd);
    };
    const std::size_t bodyStart = position + kTagHeaderSize;
    if (!header(false) || bodyStart + tag->dataSize > bytes.size() || !header(true)) break;
    const std::size_t bodyLength = std::min<std::size_t>(toTagEnd, bytes.size() - bodyStart);
    if (!ParseFLVTagBody(bytes.data() + bodyStart, bodyLength, tag.get())) break;
    tags.push_back(std::move(tag));
    position = bodyStart + toTagEnd;
  }
  return tags;
}

std::vector<TagPtr> ReadTagsOfFile(const std::string& path) {
  return ReadTags(ReadWholeFile(path));
}

std::vector<TagPtr> ReadTagsOfType(const std::string& path, int tagType) {
  std::vector<TagPtr> tags = ReadTagsOfFile(path);
  tags.erase(std::remove_if(tags.begin(), tags.end(),
                            [&](const TagPtr& t) { return t->tagType != tagType; }),
             tags.end());
  return tags;
}

}  // namespace kelvra::test
