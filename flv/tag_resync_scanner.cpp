#include "flv/tag_resync_scanner.h"

#include <algorithm>
#include <new>

#include "flv/flv_tag_parsing.h"
#include "kelvra.h"

namespace kelvra {

namespace {

constexpr std::size_t kStreamIdOffset = 8;
constexpr std::size_t kStreamIdSize = 3;
// A candidate's time stamp may lie this far from the last good tag's...
constexpr std::int64_t kResyncTimestampWindowMs = 60000;
// ...plus this much for every byte skipped: as if the lost part of the
// recording had run at 8 kbit/s, below any real audio and video stream, so
// that a long hole does not push the true continuation out of the window.
constexpr std::int64_t kResyncWindowMsPerSkippedByte = 1;
// Bytes behind the current position are dropped once this many gather.
constexpr std::size_t kCompactThreshold = 64 * 1024;

std::uint32_t ReadU24(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 16 | static_cast<std::uint32_t>(p[1]) << 8 | p[2];
}

std::uint32_t ReadU32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) << 24 | ReadU24(p + 1);
}

// The header's UI24 time stamp with its extension byte (bits 24-31).
std::uint32_t HeaderTimestamp(const std::uint8_t* header) {
  return ReadU24(header + 4) | static_cast<std::uint32_t>(header[7]) << 24;
}

}  // namespace

bool TagResyncScanner::IsPlausibleHeader(const std::uint8_t* header) {
  const std::uint8_t type = header[0];
  if (type != FLV_TAG_TYPE_AUDIO && type != FLV_TAG_TYPE_VIDEO &&
      type != FLV_TAG_TYPE_SCRIPT_DATA) {
    return false;
  }
  return std::all_of(header + kStreamIdOffset, header + kStreamIdOffset + kStreamIdSize,
                     [](std::uint8_t b) { return b == 0; });
}

bool TagResyncScanner::Begin(std::int64_t offset, const std::uint8_t* first,
                             std::size_t firstLength, const std::uint8_t* second,
                             std::size_t secondLength, Start start, bool haveLastTimestamp,
                             std::uint32_t lastTimestamp) {
  Clear();
  try {
    buffer_.reserve(firstLength + secondLength);
    buffer_.insert(buffer_.end(), first, first + firstLength);
    if (secondLength > 0) buffer_.insert(buffer_.end(), second, second + secondLength);
  } catch (const std::bad_alloc&) {
    Clear();
    return false;
  }
  bufferOffset_ = offset;
  rangeStart_ = offset;
  aligned_ = start == Start::AtUnconfirmedTag;
  position_ = aligned_ ? 0 : 1;  // a bad header's first byte is passed over at once
  haveLastTimestamp_ = haveLastTimestamp;
  lastTimestamp_ = lastTimestamp;
  active_ = true;
  return true;
}

void TagResyncScanner::Clear() {
  std::vector<std::uint8_t>().swap(buffer_);
  position_ = 0;
  bufferOffset_ = 0;
  rangeStart_ = 0;
  aligned_ = false;
  active_ = false;
  found_ = false;
  foundTagLength_ = 0;
}

bool TagResyncScanner::WithinWindow(std::uint32_t timestamp) const {
  // Before the first good audio or video tag there is nothing to measure by.
  if (!haveLastTimestamp_) return true;
  const std::int64_t skipped = FoundOffset() - rangeStart_;
  const std::int64_t window = kResyncTimestampWindowMs + skipped * kResyncWindowMsPerSkippedByte;
  const std::int64_t distance =
      static_cast<std::int64_t>(timestamp) - static_cast<std::int64_t>(lastTimestamp_);
  return distance <= window && -distance <= window;
}

TagResyncScanner::Verdict TagResyncScanner::Judge(std::size_t* need) const {
  const std::size_t have = buffer_.size() - position_;
  const std::uint8_t* p = buffer_.data() + position_;
  if (have < kTagHeaderSize) {
    *need = kTagHeaderSize;
    return Verdict::NeedMore;
  }
  if (!IsPlausibleHeader(p)) return Verdict::Reject;
  // A tag where the last one ended is no guess: the window is for guesses.
  if (!aligned_ && !WithinWindow(HeaderTimestamp(p))) return Verdict::Reject;
  const std::uint32_t dataSize = ReadU24(p + 1);
  const std::size_t tagLength = dataSize + kTagOverheadSize;
  if (have < tagLength) {
    *need = tagLength;
    return Verdict::NeedMore;
  }
  if (ReadU32(p + kTagHeaderSize + dataSize) == dataSize + kTagHeaderSize) {
    *need = tagLength;
    return Verdict::Accept;
  }
  if (have < tagLength + kTagHeaderSize) {
    *need = tagLength + kTagHeaderSize;
    return Verdict::NeedMore;
  }
  *need = tagLength;
  return IsPlausibleHeader(p + tagLength) ? Verdict::Accept : Verdict::Reject;
}

void TagResyncScanner::Advance() {
  ++position_;
  aligned_ = false;
  if (position_ >= kCompactThreshold) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(position_));
    bufferOffset_ += static_cast<std::int64_t>(position_);
    position_ = 0;
  }
}

std::size_t TagResyncScanner::Take(const std::uint8_t* bytes, std::size_t length,
                                   bool* outOfMemory) {
  std::size_t taken = 0;
  while (active_ && !found_) {
    std::size_t need = 0;
    const Verdict verdict = Judge(&need);
    if (verdict == Verdict::Accept) {
      found_ = true;
      foundTagLength_ = need;
      break;
    }
    if (verdict == Verdict::Reject) {
      Advance();
      continue;
    }
    if (taken == length) break;
    const std::size_t have = buffer_.size() - position_;
    const std::size_t count = std::min(need - have, length - taken);
    try {
      buffer_.insert(buffer_.end(), bytes + taken, bytes + taken + count);
    } catch (const std::bad_alloc&) {
      *outOfMemory = true;
      break;
    }
    taken += count;
  }
  return taken;
}

bool TagResyncScanner::AcceptAtEnd() {
  if (!active_ || found_) return found_;
  const std::size_t have = buffer_.size() - position_;
  if (have < kTagHeaderSize) return false;
  const std::uint8_t* p = buffer_.data() + position_;
  if (!IsPlausibleHeader(p)) return false;
  if (!aligned_ && !WithinWindow(HeaderTimestamp(p))) return false;
  if (ReadU24(p + 1) + kTagOverheadSize != have) return false;
  found_ = true;
  foundTagLength_ = have;
  return true;
}

}  // namespace kelvra
