// The ASF encoder behind the AsfEnc_ exports: WMA version 2 audio in an ASF
// file, written through the codec bridge's audio file writer (FFmpeg's asf
// muxer and wmav2 encoder), with the blocks laid out by their time stamps.
#ifndef PELLOW_ASF_ENCODER_H
#define PELLOW_ASF_ENCODER_H

#include <cstdint>
#include <vector>

#include "vexmar/vexmar.h"

namespace pellow {

class AsfEncoder {
 public:
  AsfEncoder() = default;
  virtual ~AsfEncoder();
  AsfEncoder(const AsfEncoder&) = delete;
  AsfEncoder& operator=(const AsfEncoder&) = delete;

  // Stored while not open (true), refused while open (false). A bit rate of
  // 0 or less leaves the encoder's default.
  bool SetEncodingParams(int audioCodecId, int sampleRate, int channels, int bitRate);
  // Creates the file (UTF-8 path) and writes its header; false, with no file
  // left, when the codec identifier is not WMA version 2 or the encoder
  // refuses the rate, channels or bit rate.
  bool Open(const char* utf8Path);
  // Lays the block at its time stamp (100 ns units from the file's start):
  // a gap since the end of what was written is filled with silence, and the
  // part of a block that lies before that end is cut off (a block wholly
  // before it is dropped), so the file's time line matches the stamps.
  // Differences below one millisecond are rounding and are ignored; a gap of
  // more than an hour is taken for a broken stamp and not filled. Negative
  // stamps mean "right after the last block". The block's length is taken
  // from its size; the duration is not needed.
  bool WriteAudio(const uint8_t* data, int size, int sampleRate, int channels, int64_t timestamp);
  // Encodes what is left, drains the encoder and completes the file; later
  // audio is refused.
  bool WriteAudioEnd();
  // Completes the file when WriteAudioEnd has not, and releases the writer.
  bool Close();
  // Why Open, WriteAudio, WriteAudioEnd or Close last failed, as the
  // writer's AVW_GetLastError says it: 0, an errno value, or -1.
  int LastError() const { return lastError_; }

 private:
  // kIdle --Open ok--> kOpen --WriteAudioEnd--> kEnded --Close--> kIdle;
  // Close from kOpen ends the audio first.
  enum class State { kIdle, kOpen, kEnded };

  bool WriteSilence(int64_t frames, int sampleRate, int channels);
  bool Forward(const uint8_t* data, int size, int sampleRate, int channels);
  // Keeps the writer's reason for a failure it just reported; answers false.
  bool NoteWriterFailure();

  State state_ = State::kIdle;
  int audioCodecId_ = 0;
  int sampleRate_ = 0;
  int channels_ = 0;
  int bitRate_ = 0;
  VexmarWriter* writer_ = nullptr;
  // End of the audio handed to the writer, in 100 ns units; fractional
  // because blocks need not hold whole sample frames.
  double writtenTicks_ = 0.0;
  int lastError_ = 0;
};

}  // namespace pellow

#endif  // PELLOW_ASF_ENCODER_H
