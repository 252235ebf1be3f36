#include "segmenting_encoder.h"

#include <algorithm>
#include <limits>
#include <system_error>
#include <utility>

namespace vexmar {
namespace {

constexpr int64_t kNoLimit = std::numeric_limits<int64_t>::max();

struct EncoderFree {
  void operator()(AVCodecContext* encoder) const { avcodec_free_context(&encoder); }
};

}  // namespace

SegmentingEncoder::SegmentingEncoder(const Settings& settings, EncoderFactory factory,
                                     PacketSink sink)
    : settings_(settings), factory_(std::move(factory)), sink_(std::move(sink)) {
  if (settings_.repackMp3) repacker_ = std::make_unique<Mp3FrameRepacker>(sink_);
}

SegmentingEncoder::~SegmentingEncoder() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  cancel_ = true;
  workReady_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool SegmentingEncoder::Add(AVFrame* frame) {
  held_.emplace_back(frame);
  ++frameCount_;
  const int64_t segment = settings_.segmentFrames;
  // A segment goes to the pool once its post-roll is there too; the first
  // one to go makes this output a segmented one.
  while (frameCount_ >= (nextSubmit_ + 1) * segment + settings_.postRollFrames) {
    mode_ = Mode::kSegmented;
    if (!SubmitSegment(false)) return false;
  }
  return true;
}

bool SegmentingEncoder::Finish() {
  if (mode_ == Mode::kFilling) {
    // Shorter than two segments: one encoder over everything, kept whole.
    Job job;
    job.keepBegin = std::numeric_limits<int64_t>::min();
    job.keepEnd = kNoLimit;
    job.frames.assign(std::make_move_iterator(held_.begin()), std::make_move_iterator(held_.end()));
    held_.clear();
    Result result = Encode(job);
    return Deliver(result, false);
  }
  if (!SubmitSegment(true)) return false;
  while (nextJoin_ < nextSubmit_) {
    bool joined = false;
    if (!JoinNext(true, &joined)) return false;
  }
  return repacker_ == nullptr || repacker_->Finish();
}

bool SegmentingEncoder::SubmitSegment(bool last) {
  const int64_t segment = settings_.segmentFrames;
  auto job = std::make_unique<Job>();
  job->segment = nextSubmit_;
  job->firstFrame = std::max<int64_t>(0, nextSubmit_ * segment - settings_.preRollFrames);
  job->keepBegin = nextSubmit_ * segment;
  job->keepEnd = last ? kNoLimit : (nextSubmit_ + 1) * segment;
  job->repack = settings_.repackMp3;
  const int64_t end = last ? frameCount_ : job->keepEnd + settings_.postRollFrames;
  // Frames are shared by reference with the neighbouring segments' jobs.
  for (int64_t index = job->firstFrame; index < end; ++index) {
    AVFrame* shared = av_frame_clone(held_[static_cast<size_t>(index - heldFirst_)].get());
    if (shared == nullptr) return false;
    job->frames.emplace_back(shared);
  }
  if (workers_.empty()) {
    try {
      for (int i = 0; i < settings_.workers; ++i) {
        workers_.emplace_back(&SegmentingEncoder::WorkerMain, this);
      }
    } catch (const std::system_error&) {
      return false;  // the destructor joins those that started
    }
  }
  // Bounded memory: wait (joining meanwhile) while one segment per worker
  // is out; the caller, and through the writer's queue its producer, waits.
  while (nextSubmit_ - nextJoin_ >= settings_.workers) {
    bool joined = false;
    if (!JoinNext(true, &joined)) return false;
  }
  {
    std::lock_guard lock(mutex_);
    jobs_.push_back(std::move(job));
  }
  workReady_.notify_one();
  ++nextSubmit_;
  // Only the next segment's pre-roll and its own frames stay held.
  const int64_t needed = nextSubmit_ * segment - settings_.preRollFrames;
  while (!held_.empty() && heldFirst_ < needed) {
    held_.pop_front();
    ++heldFirst_;
  }
  for (bool joined = true; joined;) {
    if (!JoinNext(false, &joined)) return false;
  }
  return true;
}

bool SegmentingEncoder::JoinNext(bool wait, bool* joined) {
  *joined = false;
  Result result;
  {
    std::unique_lock lock(mutex_);
    if (wait) resultReady_.wait(lock, [this] { return results_.count(nextJoin_) != 0; });
    const auto found = results_.find(nextJoin_);
    if (found == results_.end()) return true;
    result = std::move(found->second);
    results_.erase(found);
  }
  ++nextJoin_;
  *joined = true;
  return Deliver(result, repacker_ != nullptr);
}

bool SegmentingEncoder::Deliver(Result& result, bool repack) {
  if (!result.ok) return false;
  for (Kept& kept : result.packets) {
    const bool taken = repack ? repacker_->Add(kept.packet.get(), kept.mp3)
                              : sink_(kept.packet.get());
    if (!taken) return false;
  }
  return true;
}

void SegmentingEncoder::WorkerMain() {
  for (;;) {
    std::unique_ptr<Job> job;
    {
      std::unique_lock lock(mutex_);
      workReady_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
      if (stop_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    const int64_t segment = job->segment;
    Result result = Encode(*job);
    job.reset();  // the PCM goes as soon as it is encoded
    {
      std::lock_guard lock(mutex_);
      results_[segment] = std::move(result);
    }
    resultReady_.notify_all();
  }
}

SegmentingEncoder::Result SegmentingEncoder::Encode(const Job& job) const {
  Result result;
  const std::unique_ptr<AVCodecContext, EncoderFree> encoder(factory_());
  const PacketPtr packet(av_packet_alloc());
  if (encoder == nullptr || packet == nullptr) return result;
  Mp3MainDataReader reader;
  // Packet pts count samples of the time line less the encoder delay, so
  // a packet's frame index is the same in every segment's encoder.
  const auto receive = [&]() {
    for (;;) {
      const int received = avcodec_receive_packet(encoder.get(), packet.get());
      if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return true;
      if (received < 0 || packet->pts == AV_NOPTS_VALUE) return false;
      const int64_t index = (packet->pts + settings_.encoderDelay + settings_.frameSamples / 2) /
                            settings_.frameSamples;
      const bool keep = index >= job.keepBegin && index < job.keepEnd;
      Kept kept;
      // Every frame, kept or not, passes the reader: later frames' main
      // data may start in its slot.
      if (job.repack && !reader.Read(packet->data, static_cast<size_t>(packet->size),
                                     keep ? &kept.mp3 : nullptr)) {
        return false;
      }
      if (keep) {
        kept.packet.reset(av_packet_alloc());
        if (kept.packet == nullptr) return false;
        av_packet_move_ref(kept.packet.get(), packet.get());
        result.packets.push_back(std::move(kept));
      }
      av_packet_unref(packet.get());
    }
  };
  for (const FramePtr& frame : job.frames) {
    if (cancel_) return result;
    if (avcodec_send_frame(encoder.get(), frame.get()) < 0 || !receive()) return result;
  }
  if (avcodec_send_frame(encoder.get(), nullptr) < 0 || !receive()) return result;
  result.ok = true;
  return result;
}

}  // namespace vexmar
