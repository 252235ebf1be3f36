// Encodes one output's audio in fixed segments of its time line, one
// encoder per segment on a pool of worker threads, and joins the segments'
// packets in order: one long MP3 or AAC output uses every core.
//
// Segment k holds the encoder frames [k * S, (k + 1) * S) of the time line
// (S frames of the codec's frame size, so boundaries depend on the time
// line only, never on the number of workers). Its encoder is fed a
// pre-roll of the frames before the segment, the segment and a post-roll
// after it, then drained; of its packets only those whose frame index
// falls inside the segment are kept, so the joined packets line up frame
// for frame with what one encoder would make. Segment 0 has no pre-roll and
// keeps the encoder's priming packet; the last segment keeps the drained
// packets, so the encoder delay and the padding at the ends are one
// encoder's. MP3 frames are laid out again across the joins (their main
// data must not point into a dropped frame's reservoir); ADTS AAC frames
// stand alone.
//
// An output shorter than two segments never reaches the pool: it is
// encoded by one encoder, exactly as without segments.
//
// Threads: Add and Finish run on one thread (the writer's), which also
// hands every packet to the sink, in order. Workers only encode. At most
// one segment per worker is in flight (queued, encoding or waiting to be
// joined) besides the one being filled; Add blocks while that many are, so
// memory stays bounded whatever the input length.
#ifndef VEXMAR_SEGMENTING_ENCODER_H
#define VEXMAR_SEGMENTING_ENCODER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "mp3_frame_repacker.h"
#include "mp3_main_data_reader.h"

namespace vexmar {

class SegmentingEncoder {
 public:
  struct Settings {
    int64_t segmentFrames = 0;  // S, at least 1
    int preRollFrames = 0;
    int postRollFrames = 0;
    int workers = 1;            // at least 1
    int frameSamples = 0;       // the encoder's fixed frame size
    int encoderDelay = 0;       // its initial_padding, in samples
    bool repackMp3 = false;
  };
  // Makes a fresh open encoder like the writer's own; null on failure.
  // Called on worker threads, and on the caller's for a short output.
  using EncoderFactory = std::function<AVCodecContext*()>;
  // Takes the packet's reference (the packet stays the caller's); false
  // when writing failed. Called on the thread of Add and Finish only.
  using PacketSink = std::function<bool(AVPacket*)>;

  SegmentingEncoder(const Settings& settings, EncoderFactory factory, PacketSink sink);
  // Stops the workers (an unfinished segment is abandoned) and joins them.
  ~SegmentingEncoder();
  SegmentingEncoder(const SegmentingEncoder&) = delete;
  SegmentingEncoder& operator=(const SegmentingEncoder&) = delete;

  // Takes the reference of the next encoder frame (pts in samples from the
  // start, every frame but the last one of full size). False on failure.
  bool Add(AVFrame* frame);
  // The input ended: encodes the rest and hands out every packet.
  bool Finish();
  // MP3 frames given a higher bit rate at a join so far.
  int64_t RaisedFrames() const { return repacker_ != nullptr ? repacker_->RaisedFrames() : 0; }

 private:
  struct FrameFree {
    void operator()(AVFrame* frame) const { av_frame_free(&frame); }
  };
  struct PacketFree {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
  };
  using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
  using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

  struct Job {
    int64_t segment = 0;
    int64_t firstFrame = 0;  // time line index of frames.front()
    int64_t keepBegin = 0;   // frame indices kept: [keepBegin, keepEnd)
    int64_t keepEnd = 0;
    bool repack = false;
    std::vector<FramePtr> frames;
  };
  struct Kept {
    PacketPtr packet;
    Mp3Frame mp3;  // filled when repacking
  };
  struct Result {
    bool ok = false;
    std::vector<Kept> packets;
  };

  // kFilling --first segment complete--> kSegmented; Finish in kFilling
  // encodes the short output with one encoder.
  enum class Mode { kFilling, kSegmented };

  bool SubmitSegment(bool last);
  // Joins the next segment's packets, waiting for them when `wait` is set;
  // answers false on failure, and sets `joined` when one was joined.
  bool JoinNext(bool wait, bool* joined);
  // Hands a segment's kept packets on, through the repacker if `repack`.
  bool Deliver(Result& result, bool repack);
  void WorkerMain();
  Result Encode(const Job& job) const;

  const Settings settings_;
  const EncoderFactory factory_;
  const PacketSink sink_;
  std::unique_ptr<Mp3FrameRepacker> repacker_;

  // The writer thread's side.
  Mode mode_ = Mode::kFilling;
  std::deque<FramePtr> held_;  // frames still needed by a segment to come
  int64_t heldFirst_ = 0;      // time line index of held_.front()
  int64_t frameCount_ = 0;     // frames added so far
  int64_t nextSubmit_ = 0;     // the next segment to hand to the pool
  int64_t nextJoin_ = 0;       // the next segment to join

  // Shared with the workers, under mutex_.
  std::mutex mutex_;
  std::condition_variable workReady_;   // a job, or stop_
  std::condition_variable resultReady_;
  std::deque<std::unique_ptr<Job>> jobs_;
  std::map<int64_t, Result> results_;
  bool stop_ = false;
  std::atomic<bool> cancel_{false};  // workers abandon their segment
  std::vector<std::thread> workers_;
};

}  // namespace vexmar

#endif  // VEXMAR_SEGMENTING_ENCODER_H
