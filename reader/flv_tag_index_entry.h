// One entry of the tag reader's index: where a tag lies in the file, what it
// is and how long it plays.
#ifndef KELVRA_READER_FLV_TAG_INDEX_ENTRY_H
#define KELVRA_READER_FLV_TAG_INDEX_ENTRY_H

#include <cstdint>

namespace kelvra {

struct FLVTagIndexEntry {
  // The tag's type byte as found in the file (8 audio, 9 video, 18 script
  // data, anything else as it stands).
  std::uint8_t tagType = 0;
  // For a video tag its frame type (1: key frame); 0 for every other tag.
  std::uint8_t keyFrame = 0;
  // 1 for an AAC or AVC sequence header (packet type 0): the decoder
  // configuration that every later tag of its kind needs.
  std::uint8_t sequenceHeader = 0;
  // Milliseconds on the stream parser's rebased time line.
  std::uint32_t timestamp = 0;
  // Byte offset of the tag's first header byte. Kept in 64 bits: files
  // larger than 4 GiB are ordinary, and a truncated offset would read a
  // different tag. 0 for the empty audio tag the parser makes itself ahead of
  // a stream that starts with video; it has no bytes in the file.
  std::uint64_t filePosition = 0;
  // Bytes to read for the tag: header, data and the trailing
  // previous-tag-size field (data size + 15); 0 for the parser-made tag.
  std::uint32_t size = 0;
  // Milliseconds until the next tag of the same kind (at least 1), or the
  // playing time of the last one; 0 until known and for other tags.
  std::uint32_t duration = 0;
};

}  // namespace kelvra

#endif  // KELVRA_READER_FLV_TAG_INDEX_ENTRY_H
