// TagResyncScanner finds the next tag after damage in an FLV stream that
// arrives in pieces of any size.
//
// The stream parser hands it the bytes from the place where a tag header
// should have stood and could not (or an aligned tag whose trailing
// previous-tag-size field disagrees with its size), then every further byte
// until it answers Found. A position is taken for a tag when its header is
// plausible (type audio, video or script data, stream id 0), its time stamp
// lies within a window of the last good tag's, and what follows confirms it:
// a previous-tag-size field of 11 + its data size, or a plausible header
// right after its previous-tag-size field (writers that get that field
// wrong).
//
// Memory: the scanner takes from each delivery only the bytes it needs to
// judge the current position, so it holds at most one candidate tag and the
// header after it (the UI24 data size bounds that to about 16 MB); bytes
// behind the current position are dropped as it moves on.
//
// No thread and no lock: used by one parser on its caller's thread.
#ifndef KELVRA_FLV_TAG_RESYNC_SCANNER_H
#define KELVRA_FLV_TAG_RESYNC_SCANNER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kelvra {

class TagResyncScanner {
 public:
  // Where the scan begins within the bytes given to Begin.
  enum class Start {
    AfterBadHeader,     // byte 0 starts a header that cannot be one
    AtUnconfirmedTag,   // byte 0 starts a whole tag that still needs the next header
  };

  // A header that can begin a tag: type 8, 9 or 18 and stream id 0. Needs
  // 11 bytes.
  static bool IsPlausibleHeader(const std::uint8_t* header);

  // Starts a scan at stream offset `offset` with the bytes held so far (the
  // two parts are joined). `lastTimestamp` is the file time stamp of the
  // last good audio or video tag, when there is one. False when memory ran
  // out (the scanner is then idle).
  bool Begin(std::int64_t offset, const std::uint8_t* first, std::size_t firstLength,
             const std::uint8_t* second, std::size_t secondLength, Start start,
             bool haveLastTimestamp, std::uint32_t lastTimestamp);

  // Takes bytes of the stream, no more than it needs, and judges positions
  // until a tag is found or the bytes run out. Answers how many bytes it
  // took; *outOfMemory is set when its buffer could not grow.
  std::size_t Take(const std::uint8_t* bytes, std::size_t length, bool* outOfMemory);

  // The stream has ended here: a candidate whose whole tag, and nothing
  // more, is held is taken without a next header. Answers Found().
  bool AcceptAtEnd();

  bool Active() const { return active_; }
  bool Found() const { return found_; }
  // After Found: the tag (header, body and previous-tag-size field), the
  // bytes taken after it, and where the damage began and the tag begins.
  const std::uint8_t* FoundTag() const { return buffer_.data() + position_; }
  std::size_t FoundTagLength() const { return foundTagLength_; }
  const std::uint8_t* Trailing() const { return FoundTag() + foundTagLength_; }
  std::size_t TrailingLength() const { return buffer_.size() - position_ - foundTagLength_; }
  std::int64_t FoundOffset() const { return bufferOffset_ + static_cast<std::int64_t>(position_); }
  std::int64_t RangeStart() const { return rangeStart_; }
  // Stream offset just past the last byte taken.
  std::int64_t EndOffset() const {
    return bufferOffset_ + static_cast<std::int64_t>(buffer_.size());
  }

  // Back to idle; the buffer's memory is released.
  void Clear();

 private:
  enum class Verdict { NeedMore, Reject, Accept };
  // Judges the current position with the bytes held; on NeedMore *need is
  // the number of bytes from the position it must see.
  Verdict Judge(std::size_t* need) const;
  bool WithinWindow(std::uint32_t timestamp) const;
  void Advance();

  std::vector<std::uint8_t> buffer_;
  std::size_t position_ = 0;         // the candidate being judged, in buffer_
  std::int64_t bufferOffset_ = 0;    // stream offset of buffer_[0]
  std::int64_t rangeStart_ = 0;      // stream offset where the damage began
  bool aligned_ = false;             // the candidate is where the last tag ended
  bool haveLastTimestamp_ = false;
  std::uint32_t lastTimestamp_ = 0;
  bool active_ = false;
  bool found_ = false;
  std::size_t foundTagLength_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_FLV_TAG_RESYNC_SCANNER_H
