// Helpers for the frame reader tests: owned handles, references decoded
// tag by tag with the synchronous decoders, and FLV files rewritten tag by
// tag.
#ifndef KELVRA_TESTS_FRAME_READERS_FRAME_TEST_UTIL_H
#define KELVRA_TESTS_FRAME_READERS_FRAME_TEST_UTIL_H

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kelvra.h"

namespace kelvra::test {

struct TagReaderCloser {
  void operator()(FLVAVTagReader* reader) const;
};
struct AudioFrameReaderDeleter {
  void operator()(AudioFrameReader* reader) const { AudioFrameReader_Delete(reader); }
};
struct VideoFrameReaderDeleter {
  void operator()(VideoFrameReader* reader) const { VideoFrameReader_Delete(reader); }
};
using TagReaderPtr = std::unique_ptr<FLVAVTagReader, TagReaderCloser>;
using AudioFramesPtr = std::unique_ptr<AudioFrameReader, AudioFrameReaderDeleter>;
using VideoFramesPtr = std::unique_ptr<VideoFrameReader, VideoFrameReaderDeleter>;

// An open tag reader at the file's start; fails the test (null) otherwise.
TagReaderPtr OpenTagReader(const std::string& path);

// The file's audio as the synchronous audio decoder gives it at the file's
// own format: every audio tag decoded in turn, a tag without payload as
// silence of its duration, the decoder's flush at the end.
std::vector<std::uint8_t> DecodeAudioTagByTag(const std::string& path);

// What a whole pull gave: the bytes and how many calls answered 1 before
// the first 0.
struct AudioPull {
  std::vector<std::uint8_t> bytes;
  std::size_t callsBeforeEnd = 0;
};
// Pulls the file's audio in requests of `requestSize` until ReadFrame
// answers 0 (at most `limitBytes`, against a reader that never ends).
AudioPull PullAudio(const std::string& path, std::uint32_t requestSize,
                    std::size_t limitBytes = std::size_t{64} << 20);

// One video tag as decoding forward from the first tag shows it.
struct ReferencePicture {
  std::uint32_t start = 0;  // ms
  std::uint32_t duration = 0;
  std::uint64_t hash = 0;  // of the picture, rows bottom first
  bool black = false;
};
// Every video tag decoded in file order with the synchronous video decoder
// at the file's picture size, up to the first tag after `untilMs`; a tag
// that gives no picture stands for black. H.264 pictures instead start at
// their presentation times, a tag without one adds nothing, and the
// pictures held back at the end follow.
std::vector<ReferencePicture> DecodeVideoTagByTag(
    const std::string& path, std::uint32_t untilMs = std::numeric_limits<std::uint32_t>::max());

// The reference picture on screen at t (ms): the tag whose span covers t.
const ReferencePicture* PictureAt(const std::vector<ReferencePicture>& pictures, std::uint32_t t);

// FNV-1a over the bytes, taken 8 at a time.
std::uint64_t HashBytes(const std::uint8_t* bytes, std::size_t size);

// The raw tags of an FLV file, as stored.
struct RawTag {
  std::uint8_t type = 0;
  std::uint32_t timestamp = 0;
  std::vector<std::uint8_t> body;
};
std::vector<RawTag> ReadRawTags(const std::string& path);
// Writes a new FLV file from tags (header with both audio and video flags).
void WriteRawTags(const std::string& path, const std::vector<RawTag>& tags);

}  // namespace kelvra::test

#endif  // KELVRA_TESTS_FRAME_READERS_FRAME_TEST_UTIL_H
