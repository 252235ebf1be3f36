// The audio file writer behind the AVW_ exports: interleaved 16-bit PCM in,
// an encoded file of a named FFmpeg muxer out. Blocks are copied into a
// bounded queue and encoded and muxed on the writer's own thread, so the
// caller's decoding overlaps with encoding.
#ifndef VEXMAR_AUDIO_WRITER_H
#define VEXMAR_AUDIO_WRITER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "audio_block_queue.h"
#include "audio_frame_assembler.h"
#include "segmenting_encoder.h"

namespace vexmar {

class AudioWriter {
 public:
  AudioWriter() = default;
  virtual ~AudioWriter();
  AudioWriter(const AudioWriter&) = delete;
  AudioWriter& operator=(const AudioWriter&) = delete;

  // Setters store their value while the writer is not open (answer true)
  // and refuse it while it is (false). A bit rate of 0 or less leaves the
  // encoder's default; one the encoder has no mode for becomes its nearest
  // (AMR-NB: 12000 gives the 12.2 kbit/s mode).
  bool SetupAudio(int codecId, int bitRate, int sampleRate, int channels);
  bool SetOutputFormat(const char* formatName);
  bool SetOutFile(const char* path);
  // Worker threads of the segmenting encoder (MP3 in "mp3", AAC in "adts",
  // outputs of two segments or more); 0 or less: one per core. The output
  // is the same byte for byte whatever the number.
  bool SetEncoderThreads(int threads);
  // Length of those segments in milliseconds, rounded to whole encoder
  // frames; 0 or less: kDefaultSegmentMs. Shorter segments cost more
  // pre-roll; tests use them to have joins in little audio. The default
  // keeps the segments in flight (one per worker and the one being filled)
  // at a few MB of PCM: 30 s segments took 12 MB more than 15 s ones, 20 s
  // ones 4 MB (still below FFmpeg's own peak) for 0.5% less pre-roll and
  // encoder set-up.
  bool SetSegmentMilliseconds(int milliseconds);
  static constexpr int kDefaultSegmentMs = 20000;

  // Creates the file and writes its header. False, with no file left behind,
  // when the muxer is unknown, the codec does not fit it, or the encoder
  // refuses the rate, channels or bit rate.
  bool Open();
  // Queues a copy of `size` bytes of interleaved s16 PCM; blocks of any size,
  // a partial sample frame is carried to the next call. Audio of another
  // rate or channel count than opened is converted. False when not open,
  // for bad arguments, or after a write error.
  bool WriteAudio(const uint8_t* data, int size, int sampleRate, int channels);
  // Encodes what is queued and the last partial frame, drains the encoder
  // and completes the file. True when the whole file was written; a writer
  // that is not open answers false and does nothing.
  // The file then holds the PCM written to within one encoder frame: the
  // mp3 muxer records the encoder delay and padding in its info frame, WAV
  // and FLAC are exact; ADTS, AMR and ASF have no field for the delay, so a
  // decoder gives that lead-in too (1024 samples for AAC).
  bool Close();

  bool IsOpen() const { return state_ == State::kOpen; }

  // Why the writer last failed: 0 while nothing failed since Open began,
  // the system's error number (errno) when writing, flushing or closing the
  // file failed, kNotSystemError for any other failure (encoder, memory).
  int LastError() const;
  static constexpr int kNotSystemError = -1;

 private:
  // kIdle --Open ok--> kOpen --Close--> kIdle (a closed writer may be set up
  // and opened again); a failed Open stays kIdle.
  enum class State { kIdle, kOpen };

  bool OpenEncoder(const AVOutputFormat* muxer);
  bool OpenMuxer(const AVOutputFormat* muxer);
  // Sets up segmenter_ for the outputs that are encoded in segments.
  void OpenSegmenter(const AVOutputFormat* muxer);
  void ReleaseAll();
  void DiscardFile() const;
  // Marks the writer failed, keeping the first reason: an FFmpeg result of
  // a file operation (AVERROR of an errno value) or kNotSystemError.
  void Fail(int avError);
  void EncoderThreadMain();
  void EncodeReadyFrames(bool final);
  void EncodeFrame(const AVFrame* frame);
  // Muxes one packet in the encoder's time base and takes its reference;
  // false (with the writer failed) when writing failed.
  bool WritePacket(AVPacket* packet);

  State state_ = State::kIdle;
  int codecId_ = 0;
  int bitRate_ = 0;
  int sampleRate_ = 0;
  int channels_ = 0;
  std::string formatName_;
  std::string path_;
  int encoderThreads_ = 0;
  int segmentMs_ = kDefaultSegmentMs;

  AVCodecContext* encoder_ = nullptr;
  AVFormatContext* muxer_ = nullptr;
  AVStream* stream_ = nullptr;
  AVPacket* packet_ = nullptr;
  AVFrame* frame_ = nullptr;
  std::unique_ptr<AudioFrameAssembler> assembler_;
  std::unique_ptr<AudioBlockQueue> queue_;
  // Set while open for the outputs encoded in segments; then it, not
  // encoder_, encodes (encoder_ still gives the stream's parameters).
  // Used by the encoder thread only; its workers end when it is reset.
  std::unique_ptr<SegmentingEncoder> segmenter_;
  std::thread encoderThread_;
  // Set by the encoder thread on the first encode or write error; later
  // audio is dropped. Read by the caller's thread.
  std::atomic<bool> failed_{false};
  // The first failure's errno (or kNotSystemError); written by whichever
  // thread fails first, read by the caller's.
  std::atomic<int> lastError_{0};

  // Bytes of a sample frame split across WriteAudio calls, with its format.
  std::vector<uint8_t> carry_;
  int carryRate_ = 0;
  int carryChannels_ = 0;
};

}  // namespace vexmar

#endif  // VEXMAR_AUDIO_WRITER_H
