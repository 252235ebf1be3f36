#include "reader/video_frame_reader.h"

#include <new>

#include "vexmar/vexmar.h"

namespace kelvra {

namespace {
constexpr int kBytesPerPixel = 4;
constexpr int kResizeModeForFrames = 2;
constexpr int kCopyData = 1;
constexpr double kMillisecondsPerSecond = 1000.0;
// A step forward of at most this many milliseconds decodes on from the
// current position; anything further (or backwards) seeks to a key frame.
constexpr std::uint32_t kMaxDecodeAheadMs = 4000;
}  // namespace

VideoFrameReader* VideoFrameReader::Create(::FLVAVTagReader* reader, double frameRate,
                                           int decodeAlphaChannel) {
  FLVInfo info{};
  if (reader == nullptr || !(frameRate > 0.0) || FLVAVTagReader_GetFLVInfoEx(reader, &info) == 0) {
    return nullptr;
  }
  const int width = info.width > 0 ? info.width : 0;
  const int height = info.height > 0 ? info.height : 0;

  ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(1);
  if (decoder == nullptr) return nullptr;
  FLVStreamDecoder_SetOutputSize(decoder, width, height);
  FLVStreamDecoder_SetResizeMode(decoder, kResizeModeForFrames);
  FLVStreamDecoder_SetDecodeSyncMode(decoder, 1);
  FLVStreamDecoder_SetDecodeAlphaChannel(decoder, decodeAlphaChannel);

  VideoFrameReader* self = nullptr;
  try {
    self = new VideoFrameReader(reader, decoder, frameRate, width, height);
  } catch (const std::bad_alloc&) {
    FLVStreamDecoder_Delete(decoder);
    return nullptr;
  }
  std::uint32_t audioDuration = 0;
  FLVAVTagReader_GetDuration(reader, &audioDuration, &self->videoDuration_);
  return self;
}

VideoFrameReader::VideoFrameReader(::FLVAVTagReader* reader, ::FLVStreamDecoder* decoder,
                                   double frameRate, int width, int height)
    : frameRate_(frameRate),
      black_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * kBytesPerPixel, 0),
      reader_(reader),
      decoder_(decoder),
      frameInterval_(static_cast<std::uint32_t>(kMillisecondsPerSecond / frameRate)),
      width_(width),
      height_(height) {}

VideoFrameReader::~VideoFrameReader() { FLVStreamDecoder_Delete(decoder_); }

bool VideoFrameReader::Covers(std::uint32_t t) const {
  return start_ <= t && static_cast<std::uint64_t>(t) < static_cast<std::uint64_t>(start_) + duration_;
}

std::uint8_t* VideoFrameReader::ReadFrame(int frameNumber) {
  const std::int64_t k = frameNumber < 0 ? 0 : frameNumber;
  const auto t = static_cast<std::uint32_t>(static_cast<double>(k * 1000) / frameRate_);
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

void VideoFrameReader::DecodeForwardTo(std::uint32_t t) {
  const std::size_t pictureBytes = black_.size();
  for (;;) {
    FLVTag* tag = nullptr;
    std::uint32_t duration = 0;
    if (FLVAVTagReader_ReadTag(reader_, kCopyData, FLV_TAG_TYPE_VIDEO, &tag, &duration) !=
        FLV_READER_OK) {
      return;
    }
    start_ = tag->timestamp;
    duration_ = duration;
    std::uint8_t* picture = nullptr;
    int size = 0;
    if (FLVStreamDecoder_DecodeFLVTag(decoder_, tag, &picture, &size) != 0 && picture != nullptr &&
        static_cast<std::size_t>(size) == pictureBytes && pictureBytes > 0) {
      VideoEncoder_SwapImageRowOrderInPlace(picture, width_ * kBytesPerPixel, height_);
      current_ = picture;
    } else {
      current_ = black_.data();
    }
    if (Covers(t)) return;
  }
}

void VideoFrameReader::SeekTo(std::uint32_t t) {
  current_ = black_.data();
  // Within one frame interval of the video's end, and beyond, the picture is
  // black.
  if (static_cast<std::uint64_t>(t) + frameInterval_ > videoDuration_) return;
  switch (FLVAVTagReader_Seek(reader_, FLV_TAG_TYPE_VIDEO, t)) {
    case FLV_READER_OK:
      DecodeForwardTo(t);
      break;
    case FLV_READER_SEEK_NO_MATCH: {
      // No key frame at or before t: black up to the next key frame.
      std::uint32_t next = 0;
      start_ = 0;
      duration_ = FLVAVTagReader_GetNextKeyFrameTimeStamp(reader_, t, &next) != 0 ? next : t + 1;
      break;
    }
    default:
      start_ = t;
      duration_ = 1;
      break;
  }
}

}  // namespace kelvra
