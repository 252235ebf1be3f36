#include "pipeline/video_frame_reader.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "flv/flv_tag_constants.h"
#include "flv/flv_tag_parsing.h"
#include "reader/flv_av_tag_reader.h"
#include "vexmar/vexmar.h"

namespace kelvra {

namespace {
constexpr int kBytesPerPixel = 4;
constexpr int kResizeModeForFrames = 2;
constexpr int kCopyData = 1;
constexpr int kHeaderFieldsOnly = 0;
constexpr int kAnyTagType = 0;
constexpr std::uint8_t kEntryKindUnknown = 0;
constexpr std::uint8_t kEntryIsSequenceHeader = 1;
constexpr std::uint8_t kEntryIsOther = 2;
constexpr double kMillisecondsPerSecond = 1000.0;
constexpr std::uint32_t kLastMillisecond = std::numeric_limits<std::uint32_t>::max();
// A step forward of at most this many milliseconds decodes on from the
// current position; anything further (or backwards) seeks to a key frame.
constexpr std::uint32_t kMaxDecodeAheadMs = 4000;

bool IsVideoKeyFrame(const FLVTagIndexEntry& entry) {
  return entry.tagType == FLV_TAG_TYPE_VIDEO && entry.keyFrame == kKeyFrameType;
}
}  // namespace

VideoFrameReader* VideoFrameReader::Create(FLVAVTagReader* reader, double frameRate,
                                           int decodeAlphaChannel) {
  FLVInfo info{};
  if (reader == nullptr || !(frameRate > 0.0) || !std::isfinite(frameRate) ||
      reader->GetFLVInfoEx(&info) == 0) {
    return nullptr;
  }
  const int width = info.width > 0 ? info.width : 0;
  const int height = info.height > 0 ? info.height : 0;

  VideoFrameReader* self = nullptr;
  try {
    auto decoder = std::make_unique<FLVVideoDecoder>();
    decoder->SetOutputSize(width, height);
    decoder->SetResizeMode(kResizeModeForFrames);
    decoder->SetDecodeSyncMode(1);
    decoder->SetDecodeAlphaChannel(decodeAlphaChannel);
    self = new VideoFrameReader(reader, std::move(decoder), frameRate, width, height,
                                info.videoCodec == kCodecH264);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  std::uint32_t audioDuration = 0;
  reader->GetDuration(&audioDuration, &self->videoDuration_);
  return self;
}

VideoFrameReader::VideoFrameReader(FLVAVTagReader* reader, std::unique_ptr<FLVVideoDecoder> decoder,
                                   double frameRate, int width, int height, bool h264)
    : frameRate_(frameRate),
      // At least one pixel, so that even a file without a picture size gets
      // a valid (black) picture pointer.
      black_(std::max<std::size_t>(
                 static_cast<std::size_t>(width) * static_cast<std::size_t>(height), 1) *
                 kBytesPerPixel,
             0),
      reader_(reader),
      decoder_(std::move(decoder)),
      frameInterval_(static_cast<std::uint32_t>(kMillisecondsPerSecond / frameRate)),
      width_(width),
      height_(height),
      h264_(h264) {}

VideoFrameReader::~VideoFrameReader() = default;

bool VideoFrameReader::Covers(std::uint32_t t) const {
  return start_ <= t && static_cast<std::uint64_t>(t) < static_cast<std::uint64_t>(start_) + duration_;
}

std::uint8_t* VideoFrameReader::ReadFrame(int frameNumber) {
  const std::int64_t k = frameNumber < 0 ? 0 : frameNumber;
  // Frame numbers far beyond the time line stay at its last millisecond
  // instead of wrapping.
  const double milliseconds = static_cast<double>(k) * kMillisecondsPerSecond / frameRate_;
  const std::uint32_t t = milliseconds >= static_cast<double>(kLastMillisecond)
                              ? kLastMillisecond
                              : static_cast<std::uint32_t>(milliseconds);
  if (current_ == nullptr) {
    SeekTo(t);
  } else if (Covers(t)) {
    // The current picture is still the one on screen.
  } else if (static_cast<std::uint32_t>(t - start_) <= kMaxDecodeAheadMs) {
    DecodeForwardTo(t);
  } else {
    SeekTo(t);
  }
  return current_;
}

void VideoFrameReader::TakePicture(std::uint8_t* picture, std::uint32_t time,
                                   std::uint32_t duration) {
  start_ = time;
  duration_ = duration;
  if (picture == nullptr) {
    current_ = black_.data();
    return;
  }
  VideoEncoder_SwapImageRowOrderInPlace(picture, width_ * kBytesPerPixel, height_);
  current_ = picture;
}

void VideoFrameReader::DecodeForwardTo(std::uint32_t t) {
  const std::size_t pictureBytes =
      static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * kBytesPerPixel;
  const auto usable = [&](std::uint8_t* picture, int size) {
    return picture != nullptr && pictureBytes > 0 && static_cast<std::size_t>(size) == pictureBytes;
  };
  std::uint32_t duration = 0;
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint8_t* picture = nullptr;
    int size = 0;
    if (reader_->ReadTag(kCopyData, FLV_TAG_TYPE_VIDEO, &tag, &duration) != FLV_READER_OK) {
      // Past the last video tag the last picture stays, after the pictures
      // H.264 still held back.
      while (h264_ && decoder_->DecodeFLVTag(nullptr, &picture, &size) != 0) {
        std::uint32_t time = 0;
        if (!usable(picture, size) || decoder_->GetPictureTime(&time) == 0) continue;
        TakePicture(picture, time, duration);
        if (Covers(t) || start_ > t) return;
      }
      return;
    }
    // A caller that switched auto-release off made every record ours to free.
    const TagRelease release(tag, !reader_->autoReleaseMemory());
    const bool decoded = decoder_->DecodeFLVTag(tag, &picture, &size) != 0 &&
                         usable(picture, size);
    std::uint32_t time = tag->timestamp;
    if (tag->codecId == kCodecH264) {
      // H.264 gives a picture of an earlier tag, or none yet (a sequence
      // header, or while the decoder fills its reorder window).
      if (!decoded || decoder_->GetPictureTime(&time) == 0) continue;
    }
    TakePicture(decoded ? picture : nullptr, time, duration);
    // A picture that starts after t is the next one on screen anyway; no
    // later tag can cover t, so reading on would only run to the file's end.
    if (Covers(t) || start_ > t) return;
  }
}

bool VideoFrameReader::IsH264SequenceHeader(std::size_t entry) {
  if (sequenceHeaderKnown_.size() != reader_->index().size()) {
    sequenceHeaderKnown_.assign(reader_->index().size(), kEntryKindUnknown);
  }
  if (sequenceHeaderKnown_[entry] == kEntryKindUnknown) {
    sequenceHeaderKnown_[entry] = kEntryIsOther;
    FLVTag* tag = nullptr;
    if (PositionAtEntry(entry) &&
        reader_->ReadTag(kCopyData, FLV_TAG_TYPE_VIDEO, &tag, nullptr) == FLV_READER_OK) {
      const TagRelease release(tag, !reader_->autoReleaseMemory());
      if (tag->codecId == kCodecH264 && tag->data != nullptr && tag->videoData != nullptr &&
          tag->videoDataSize > 0 && tag->videoData[0] == kAvcSequenceHeader) {
        sequenceHeaderKnown_[entry] = kEntryIsSequenceHeader;
      }
    }
  }
  return sequenceHeaderKnown_[entry] == kEntryIsSequenceHeader;
}

void VideoFrameReader::PrepareH264At(std::size_t keyEntry) {
  std::uint8_t* picture = nullptr;
  int size = 0;
  while (decoder_->DecodeFLVTag(nullptr, &picture, &size) != 0) {
  }
  // Sequence headers are key-frame entries; the one in force is the latest
  // at or before the key frame. A repeat of the decoder's own changes
  // nothing there.
  const std::vector<FLVTagIndexEntry>& index = reader_->index();
  for (std::size_t i = keyEntry + 1; i-- > 0;) {
    if (!IsVideoKeyFrame(index[i]) || !IsH264SequenceHeader(i)) continue;
    FLVTag* tag = nullptr;
    if (PositionAtEntry(i) &&
        reader_->ReadTag(kCopyData, FLV_TAG_TYPE_VIDEO, &tag, nullptr) == FLV_READER_OK) {
      const TagRelease release(tag, !reader_->autoReleaseMemory());
      decoder_->DecodeFLVTag(tag, &picture, &size);
    }
    return;
  }
}

void VideoFrameReader::SeekTo(std::uint32_t t) {
  current_ = black_.data();
  // Within one frame interval of the video's end, and beyond, the picture is
  // black; that holds for every later time too.
  if (static_cast<std::uint64_t>(t) + frameInterval_ > videoDuration_) {
    start_ = t;
    duration_ = kLastMillisecond - t;
    return;
  }
  if (!reader_->IsOpen()) {
    start_ = t;
    duration_ = 1;
    return;
  }
  // Decode from the last key frame among the tags at or before t. The tag
  // reader's own seek prefers a key frame that is the very first tag after
  // t; decoding forward from there never reaches t, so the key frame is
  // looked up in the index here.
  const std::vector<FLVTagIndexEntry>& index = reader_->index();
  const auto after = static_cast<std::size_t>(
      std::upper_bound(index.begin(), index.end(), t,
                       [](std::uint32_t time, const FLVTagIndexEntry& entry) {
                         return time < entry.timestamp;
                       }) -
      index.begin());
  for (std::size_t i = after; i-- > 0;) {
    if (!IsVideoKeyFrame(index[i])) continue;
    if (h264_) PrepareH264At(i);
    if (PositionAtEntry(i)) {
      DecodeForwardTo(t);
    } else {
      start_ = t;
      duration_ = 1;
    }
    return;
  }
  // No key frame yet: black up to the next one, and the tag reader waits at
  // it, so that decoding forward into its span starts there rather than
  // from wherever the reader stood.
  start_ = 0;
  duration_ = t + 1;
  for (std::size_t i = after; i < index.size(); ++i) {
    if (!IsVideoKeyFrame(index[i])) continue;
    duration_ = index[i].timestamp;
    PositionAtEntry(i);
    return;
  }
}

bool VideoFrameReader::PositionAtEntry(std::size_t i) {
  const std::vector<FLVTagIndexEntry>& index = reader_->index();
  if (i >= index.size()) return false;
  const std::uint32_t time = index[i].timestamp;
  // Seeking to the key frame's own time lands on it, unless the first tag
  // after that time is itself a key frame; one millisecond earlier always
  // lands at or before it. From there the tags up to it are skipped.
  if (reader_->Seek(FLV_TAG_TYPE_VIDEO, time) != FLV_READER_OK || reader_->currentIndex() > i) {
    if (time == 0 || reader_->Seek(FLV_TAG_TYPE_VIDEO, time - 1) != FLV_READER_OK ||
        reader_->currentIndex() > i) {
      if (reader_->SeekToBegin() != FLV_READER_OK) return false;
    }
  }
  while (reader_->currentIndex() < i) {
    if (reader_->ReadTag(kHeaderFieldsOnly, kAnyTagType, nullptr, nullptr) != FLV_READER_OK) {
      return false;
    }
  }
  return reader_->currentIndex() == i;
}

}  // namespace kelvra
