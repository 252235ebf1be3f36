// AudioFrameReader pulls the audio of an open tag reader as one continuous
// stream of 16-bit PCM at the file's own rate and channel count, in buffers
// of exactly the size the caller asks for. Tags without payload become
// silence of their duration; when the video runs longer than the audio, the
// stream is padded with silence up to the video's end. Decoding happens
// inside the caller's call (synchronous audio decoder, no thread).
//
// The tag reader is not owned: the caller keeps it open for the frame
// reader's whole life and positions it before the first read.
#ifndef KELVRA_PIPELINE_AUDIO_FRAME_READER_H
#define KELVRA_PIPELINE_AUDIO_FRAME_READER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "decoder/flv_audio_decoder.h"
#include "kelvra.h"
#include "reader/flv_av_tag_reader.h"
#include "vexmar/vexmar.h"

namespace kelvra {

class AudioFrameReader {
 public:
  // Null when `reader` is not open or memory is short.
  static AudioFrameReader* Create(FLVAVTagReader* reader);
  virtual ~AudioFrameReader();

  AudioFrameReader(const AudioFrameReader&) = delete;
  AudioFrameReader& operator=(const AudioFrameReader&) = delete;

  // Fills exactly `size` bytes: 1 when more may follow, 0 when the audio has
  // ended (every later call answers 0 with silence).
  int ReadFrame(std::uint8_t* destination, std::uint32_t size);

 private:
  AudioFrameReader(FLVAVTagReader* reader, VexmarDataBuffer* buffer,
                   std::unique_ptr<FLVAudioDecoder> decoder, int sampleRate, int channels);

  std::uint64_t FrameBytes() const;
  std::uint64_t SilenceBytesFor(std::uint32_t milliseconds) const;
  void InsertSilence(std::uint64_t bytes);
  void Push(const std::uint8_t* data, int size);
  std::uint64_t Held() const;
  // Reaching the last audio tag: the tail silence becomes pending and the
  // decoder gives up what it still holds.
  void EndOfTags();

  int sampleRate_;
  int channels_;
  VexmarDataBuffer* buffer_;  // owned: decoded PCM not yet handed out
  // Silence still to be inserted before the next decoded data. Kept in bytes
  // (whole sample frames when set) so that requests of any size, also sizes
  // that are not a multiple of the sample frame, give the same byte stream.
  std::uint64_t pendingSilenceBytes_ = 0;
  bool ended_ = false;
  FLVAVTagReader* reader_;  // not owned
  std::unique_ptr<FLVAudioDecoder> decoder_;
  std::vector<std::uint8_t> zeroBlock_;
  std::uint64_t tailSilenceBytes_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_PIPELINE_AUDIO_FRAME_READER_H
