#include "decoder/tag_file_walker.h"

#include <cstring>

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
    if (!ParseFLVTagHeader(bytes.data() + position, bytes.size() - position, false, tag.get(),
                           &streamPosition, &toTagEnd)) {
      break;
    }
    const std::size_t bodyStart = position + kTagHeaderSize;
    if (bodyStart + tag->dataSize > bytes.size()) break;
    if (!ParseFLVTagHeader(bytes.data() + position, bytes.size() - position, true, tag.get(),
                           &streamPosition, &toTagEnd)) {
      break;
    }
    const std::size_t bodyLength = std::min<std::size_t>(toTagEnd, bytes.size() - bodyStart);
    if (!ParseFLVTagBody(bytes.data() + bodyStart, bodyLength, tag.get())) break;
    tags.push_back(std::move(tag));
    position = bodyStart + toTagEnd;
  }
  return tags;
}

std::vector<TagPtr> ReadTagsOfFile(const std::string& path) { return ReadTags(ReadWholeFile(path)); }

std::vector<TagPtr> ReadTagsOfType(const std::string& path, int tagType) {
  std::vector<TagPtr> all = ReadTagsOfFile(path);
  std::vector<TagPtr> chosen;
  for (TagPtr& tag : all) {
    if (tag->tagType == tagType) chosen.push_back(std::move(tag));
  }
  return chosen;
}

TagPtr CloneTag(const FLVTag& tag) {
  TagPtr copy(NewFLVTag());
  if (tag.block == nullptr) {
    *copy = tag;
    copy->data = copy->audioData = copy->videoData = copy->vp6Data = copy->alphaData = nullptr;
    return copy;
  }
  // Parsed again from the header copy and body: a record of its own.
  std::int64_t position = tag.filePosition;
  std::uint32_t toTagEnd = 0;
  ParseFLVTagHeader(tag.block, kTagHeaderSize, false, copy.get(), &position, &toTagEnd);
  ParseFLVTagHeader(tag.block, kTagHeaderSize, true, copy.get(), &position, &toTagEnd);
  ParseFLVTagBody(tag.data, tag.dataSize, copy.get());
  copy->filePosition = tag.filePosition;
  return copy;
}

}  // namespace kelvra::test
