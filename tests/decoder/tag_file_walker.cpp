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

namespace {

std::uint8_t* Rebase(std::uint8_t* pointer, const FLVTag& from, std::uint8_t* newBlock) {
  if (pointer == nullptr || from.block == nullptr) return nullptr;
  return newBlock + (pointer - from.block);
}

}  // namespace

TagPtr CloneTag(const FLVTag& tag) {
  TagPtr copy(NewFLVTag());
  *copy = tag;
  copy->block = nullptr;
  copy->data = nullptr;
  if (tag.block == nullptr) {
    if (tag.tagType == FLV_TAG_TYPE_AUDIO) copy->audioData = nullptr;
    copy->videoData = nullptr;
    return copy;
  }
  const std::size_t blockSize = tag.dataSize + kTagBlockExtraSize;
  auto* block = new std::uint8_t[blockSize];
  std::memcpy(block, tag.block, blockSize);
  copy->block = block;
  copy->data = Rebase(tag.data, tag, block);
  if (tag.tagType == FLV_TAG_TYPE_AUDIO) {
    copy->audioData = Rebase(tag.audioData, tag, block);
  } else if (tag.tagType == FLV_TAG_TYPE_VIDEO) {
    copy->vp6Data = Rebase(tag.vp6Data, tag, block);
    copy->alphaData = Rebase(tag.alphaData, tag, block);
  }
  copy->videoData = Rebase(tag.videoData, tag, block);
  return copy;
}

FLVTag* CloneRaw(const FLVTag& tag) { return CloneTag(tag).release(); }

}  // namespace kelvra::test
