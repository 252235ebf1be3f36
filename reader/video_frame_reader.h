// VideoFrameReader hands out, for an output frame number at a chosen output
// frame rate, the decoded picture visible at that moment: it keeps the
// current picture within its span, decodes forward for short steps ahead and
// otherwise goes back to the last key frame at or before the time and
// decodes forward from there. Where no picture is available it hands out a
// black one. Pictures are width x height x 4 bytes with the rows in the
// order the synchronous decoder's picture has after one reversal (bottom row
// first). Decoding happens inside the caller's call.
//
// The tag reader is not owned and must stay open for the frame reader's life.
#ifndef KELVRA_READER_VIDEO_FRAME_READER_H
#define KELVRA_READER_VIDEO_FRAME_READER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kelvra.h"

namespace kelvra {

class FLVAVTagReader;

class VideoFrameReader {
 public:
  // Null when `reader` is not open, the frame rate is not positive, or
  // memory is short.
  static VideoFrameReader* Create(::FLVAVTagReader* reader, double frameRate,
                                  int decodeAlphaChannel);
  virtual ~VideoFrameReader();

  VideoFrameReader(const VideoFrameReader&) = delete;
  VideoFrameReader& operator=(const VideoFrameReader&) = delete;

  // The picture for output frame `frameNumber`; owned by the frame reader or
  // its decoder, valid until the next call.
  std::uint8_t* ReadFrame(int frameNumber);

 private:
  VideoFrameReader(FLVAVTagReader* reader, ::FLVStreamDecoder* decoder, double frameRate,
                   int width, int height);

  bool Covers(std::uint32_t t) const;
  void DecodeForwardTo(std::uint32_t t);
  void SeekTo(std::uint32_t t);
  // Makes entry `i` of the tag index the next one the tag reader reads;
  // false when the reader cannot be moved there.
  bool PositionAtEntry(std::size_t i);

  std::uint32_t start_ = 0;  // span of the current picture, ms
  std::uint32_t duration_ = 0;
  std::uint8_t* current_ = nullptr;
  double frameRate_;
  std::vector<std::uint8_t> black_;
  FLVAVTagReader* reader_;       // not owned
  ::FLVStreamDecoder* decoder_;  // owned
  std::uint32_t videoDuration_ = 0;  // ms
  std::uint32_t frameInterval_;      // ms
  int width_;
  int height_;
};

}  // namespace kelvra

#endif  // KELVRA_READER_VIDEO_FRAME_READER_H
