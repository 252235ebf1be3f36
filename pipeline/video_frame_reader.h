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
#ifndef KELVRA_PIPELINE_VIDEO_FRAME_READER_H
#define KELVRA_PIPELINE_VIDEO_FRAME_READER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/flv_video_decoder.h"
#include "kelvra.h"
#include "reader/flv_av_tag_reader.h"

namespace kelvra {

class VideoFrameReader {
 public:
  // Null when `reader` is not open, the frame rate is not positive, or
  // memory is short.
  static VideoFrameReader* Create(FLVAVTagReader* reader, double frameRate,
                                  int decodeAlphaChannel);
  virtual ~VideoFrameReader();

  VideoFrameReader(const VideoFrameReader&) = delete;
  VideoFrameReader& operator=(const VideoFrameReader&) = delete;

  // The picture for output frame `frameNumber`; owned by the frame reader or
  // its decoder, valid until the next call.
  std::uint8_t* ReadFrame(int frameNumber);

 private:
  VideoFrameReader(FLVAVTagReader* reader, std::unique_ptr<FLVVideoDecoder> decoder, double frameRate,
                   int width, int height, bool h264);

  bool Covers(std::uint32_t t) const;
  void DecodeForwardTo(std::uint32_t t);
  void SeekTo(std::uint32_t t);
  // Makes entry `i` of the tag index the next one the tag reader reads;
  // false when the reader cannot be moved there.
  bool PositionAtEntry(std::size_t i);
  // Takes a decoded picture (or black when `picture` is null) as current
  // from `time` on for `duration` ms.
  void TakePicture(std::uint8_t* picture, std::uint32_t time, std::uint32_t duration);
  // H.264 before decoding from key frame `keyEntry`: drops the pictures held
  // back from before, and configures the decoder with the latest sequence
  // header at or before that entry.
  void PrepareH264At(std::size_t keyEntry);
  bool IsH264SequenceHeader(std::size_t entry);

  std::uint32_t start_ = 0;  // span of the current picture, ms
  std::uint32_t duration_ = 0;
  std::uint8_t* current_ = nullptr;
  double frameRate_;
  std::vector<std::uint8_t> black_;
  FLVAVTagReader* reader_;       // not owned
  std::unique_ptr<FLVVideoDecoder> decoder_;
  std::uint32_t videoDuration_ = 0;  // ms
  std::uint32_t frameInterval_;      // ms
  int width_;
  int height_;
  // H.264 pictures come out in presentation order, later than their tags,
  // and need the sequence header in force before a key frame decodes.
  bool h264_;
  // Per index entry whether it is an H.264 sequence header, once read: 0
  // not yet known, 1 yes, 2 no. Each entry is read for this at most once.
  std::vector<std::uint8_t> sequenceHeaderKnown_;
};

}  // namespace kelvra

#endif  // KELVRA_PIPELINE_VIDEO_FRAME_READER_H
