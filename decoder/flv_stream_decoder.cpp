#include "decoder/flv_stream_decoder.h"

#include <chrono>
#include <system_error>

namespace kelvra {

FLVStreamDecoder::FLVStreamDecoder() = default;

FLVStreamDecoder::~FLVStreamDecoder() {
  ShutDownWorker();
  // Tags still queued here were never accepted for processing by a running
  // worker (the worker drains the queue before it stops accepting), so the
  // queue is empty; the records are not ours to free in any case.
}

int FLVStreamDecoder::SetSampleRate(int) { return 0; }
int FLVStreamDecoder::SetNumberOfChannels(int) { return 0; }
int FLVStreamDecoder::SetOutputSize(int, int) { return 0; }
int FLVStreamDecoder::SetOutputFPS(double) { return 0; }
int FLVStreamDecoder::SetDecodeAlphaChannel(int) { return 0; }
int FLVStreamDecoder::SetCropRect(const FLVRect*) { return 0; }
int FLVStreamDecoder::SetResizeMode(int) { return 0; }
int FLVStreamDecoder::GetPictureTime(std::uint32_t*) { return 0; }

int FLVStreamDecoder::SetOutputCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData) {
  if (!IsIdle()) return 0;
  outputCallBack = callBack;
  outputCallBackUserData = userData;
  return 1;
}

int FLVStreamDecoder::SetDeleteFLVTagCallBack(DeleteFLVTagCallBack callBack, void* userData) {
  if (!IsIdle()) return 0;
  deleteFLVTagCallBack = callBack;
  deleteFLVTagUserData = userData;
  return 1;
}

int FLVStreamDecoder::SetMaxFLVTagQueue(int count) {
  if (!IsIdle()) return 0;
  std::lock_guard<std::mutex> lock(queueMutex);
  maxFLVTagQueue = count;
  return 1;
}

int FLVStreamDecoder::SetBrother(FLVStreamDecoder* brother) {
  if (!IsIdle()) return 0;
  if (brother_ != nullptr) brother_->RemoveLink(this);
  brother_ = brother;
  if (brother_ != nullptr) {
    std::lock_guard<std::mutex> lock(brother_->queueMutex);
    brother_->linkedFrom_.push_back(this);
  }
  return 1;
}

void FLVStreamDecoder::RemoveLink(FLVStreamDecoder* from) {
  std::lock_guard<std::mutex> lock(queueMutex);
  std::erase(linkedFrom_, from);
}

int FLVStreamDecoder::SetMaxIntervalTime(int milliseconds) {
  if (!IsIdle()) return 0;
  maxIntervalTime = milliseconds;
  return 1;
}

int FLVStreamDecoder::SetDecodeSyncMode(int mode) {
  if (!IsIdle()) return 0;
  decodeSyncMode_ = mode;
  return 1;
}

bool FLVStreamDecoder::IsIdleState(WorkerState state) {
  return state == WorkerState::kIdle || state == WorkerState::kFinished ||
         state == WorkerState::kStopped;
}

void FLVStreamDecoder::EnterState(WorkerState next) {
  std::lock_guard<std::mutex> lock(queueMutex);
  workerState_ = next;
}

bool FLVStreamDecoder::IsIdle() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return IsIdleState(workerState_);
}

bool FLVStreamDecoder::HasStopped() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return workerState_ == WorkerState::kStopped || workerState_ == WorkerState::kFailed;
}

bool FLVStreamDecoder::IsWorkerActive() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return workerState_ == WorkerState::kRunning || workerState_ == WorkerState::kDraining;
}

void FLVStreamDecoder::MarkWorkerFinished() { EnterState(WorkerState::kFinished); }

// A worker that ended on its own (its brother went away) is joined first.
int FLVStreamDecoder::Run() {
  if (!IsIdle()) return 0;
  if (thread.joinable()) thread.join();
  endFlag.store(false);
  abandoning.store(false);
  // An idle brother still carries the end marks of the last Stop; they would
  // make this worker end at once, before the brother is run again.
  if (brother_ != nullptr && brother_ != this) {
    std::lock_guard<std::mutex> lock(brother_->queueMutex);
    if (IsIdleState(brother_->workerState_)) {
      brother_->endFlag.store(false);
      if (brother_->workerState_ == WorkerState::kStopped) {
        brother_->workerState_ = WorkerState::kIdle;
      }
    }
  }
  ClearWait();
  SetCurrentTime(0);
  EnterState(WorkerState::kRunning);
  try {
    thread = std::thread(&FLVStreamDecoder::ThreadEntry, this);
  } catch (const std::system_error&) {
    EnterState(WorkerState::kIdle);
    return 0;
  }
  return 1;
}

// The limit is tested before insertion: the queue holds up to
// maxFLVTagQueue + 1 tags.
int FLVStreamDecoder::DeliverFLVPacket(FLVTag* tag) {
  if (tag == nullptr) return 0;
  bool nowOverMax;
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (workerState_ != WorkerState::kRunning) return 0;
    if (tagQueue.size() > static_cast<unsigned int>(maxFLVTagQueue)) return 0;
    tagQueue.push_back(tag);
    ++wakeSerial;
    nowOverMax = tagQueue.size() > static_cast<unsigned int>(maxFLVTagQueue);
  }
  queueCondition.notify_all();
  // A starved brother fills the gap once this queue is full.
  if (nowOverMax && brother_ != nullptr) brother_->Wake();
  return 1;
}

// Returns once the worker has drained the queue and ended.
int FLVStreamDecoder::Stop() {
  if (IsIdle()) return 0;
  // The end marks are set before the wake-ups, so a woken worker sees them.
  if (brother_ != nullptr) {
    endFlag.store(true);
    brother_->endFlag.store(true);
  }
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    if (workerState_ == WorkerState::kRunning) workerState_ = WorkerState::kDraining;
    ++wakeSerial;
  }
  queueCondition.notify_all();
  if (brother_ != nullptr) brother_->Wake();
  if (thread.joinable()) thread.join();
  // Idle only now: until the worker has drained its queue and ended, the
  // idle-only setters must not change what it still reads.
  EnterState(WorkerState::kStopped);
  if (brother_ != nullptr) brother_->Wake();
  return 1;
}

void FLVStreamDecoder::Abandon() {
  abandoning.store(true);
  ClearWait();
  Wake();
}

void FLVStreamDecoder::ThreadEntry(FLVStreamDecoder* self) {
  try {
    self->ThreadMain();
  } catch (...) {
    self->EndAfterFailure();
  }
}

void FLVStreamDecoder::EndAfterFailure() noexcept {
  std::deque<FLVTag*> left;
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    workerState_ = WorkerState::kFailed;
    left.swap(tagQueue);
  }
  for (FLVTag* tag : left) {
    try {
      ReleaseTag(tag);
    } catch (...) {
      // The delete callback failed too; the record is lost, not the process.
    }
  }
  if (brother_ != nullptr) {
    brother_->ClearWait();
    brother_->Wake();
  }
}

void FLVStreamDecoder::Wake() {
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    ++wakeSerial;
  }
  queueCondition.notify_all();
}

void FLVStreamDecoder::ShutDownWorker() {
  Stop();
  if (thread.joinable()) thread.join();
  std::vector<FLVStreamDecoder*> linked;
  {
    std::lock_guard<std::mutex> lock(queueMutex);
    linked.swap(linkedFrom_);
  }
  for (FLVStreamDecoder* decoder : linked) {
    if (decoder == this) continue;
    decoder->Stop();
    decoder->brother_ = nullptr;
  }
  if (brother_ != nullptr && brother_ != this) brother_->RemoveLink(this);
  brother_ = nullptr;
}

std::int64_t FLVStreamDecoder::GetCurrentTime() const {
  std::lock_guard<std::mutex> lock(timeMutex);
  return currentTime;
}

void FLVStreamDecoder::SetCurrentTime(std::int64_t time) {
  std::lock_guard<std::mutex> lock(timeMutex);
  currentTime = time;
}

void FLVStreamDecoder::SetWait(int milliseconds) {
  {
    std::lock_guard<std::mutex> lock(waitMutex);
    waitFlag = true;
    waitTime = milliseconds;
    ++waitSerial;
  }
  waitCondition.notify_all();
}

void FLVStreamDecoder::ClearWait() {
  {
    std::lock_guard<std::mutex> lock(waitMutex);
    waitFlag = false;
    ++waitSerial;
  }
  waitCondition.notify_all();
}

bool FLVStreamDecoder::IsWaitRequested() const {
  std::lock_guard<std::mutex> lock(waitMutex);
  return waitFlag;
}

bool FLVStreamDecoder::IsQueueEmpty() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return tagQueue.empty();
}

bool FLVStreamDecoder::IsQueueOverMax() const {
  std::lock_guard<std::mutex> lock(queueMutex);
  return tagQueue.size() > static_cast<unsigned int>(maxFLVTagQueue);
}

void FLVStreamDecoder::SyncWithBrother() {
  FLVStreamDecoder* other = brother_;
  if (other == nullptr || abandoning.load()) return;
  const std::int64_t maxLeadUnits = static_cast<std::int64_t>(maxIntervalTime) * kUnitsPerMs;
  // The brother's lead in milliseconds, kept fractional: one 100-ns unit
  // beyond maxIntervalTime is already too far.
  const double lead = static_cast<double>(other->GetCurrentTime() - GetCurrentTime()) * 0.0001;
  if (static_cast<double>(maxIntervalTime) < lead) {
    other->SetWait(kDefaultWaitTimeMs);
  } else {
    other->ClearWait();
  }
  // Pause while told to. Also pause while this decoder is itself too far
  // ahead of a running brother: the brother tells us only after an output of
  // its own, and before its first output (a video decoder waiting for its
  // second tag or a key frame) or after its last one this decoder would
  // otherwise run ahead without bound. A brother that cannot catch up by
  // itself fills the gap, which moves its clock; a brother that ends
  // releases us when its worker leaves its loop.
  // A worker past its loop only hands out what it still holds: it does not
  // wait, as its brother may be waiting for it to end.
  if (!IsWorkerActive()) return;
  for (;;) {
    if (abandoning.load()) return;
    bool told;
    int step;
    std::uint64_t serial;
    {
      std::lock_guard<std::mutex> lock(waitMutex);
      told = waitFlag;
      step = waitTime > 0 ? waitTime : 1;
      serial = waitSerial;
    }
    // Only a running brother can release a pause it asked for (a worker
    // past its loop may still have asked for one with its last pictures).
    if (other != this && !other->IsWorkerActive()) {
      ClearWait();
      return;
    }
    if (!told && GetCurrentTime() - other->GetCurrentTime() <= maxLeadUnits) return;
    std::unique_lock<std::mutex> lock(waitMutex);
    waitCondition.wait_for(lock, std::chrono::milliseconds(step),
                           [this, serial] { return waitSerial != serial; });
  }
}

FLVTag* FLVStreamDecoder::TakeFront(std::uint64_t* serial) {
  std::lock_guard<std::mutex> lock(queueMutex);
  *serial = wakeSerial;
  if (tagQueue.empty()) return nullptr;
  FLVTag* tag = tagQueue.front();
  tagQueue.pop_front();
  return tag;
}

bool FLVStreamDecoder::StopAcceptingIfEmpty() {
  std::lock_guard<std::mutex> lock(queueMutex);
  if (!tagQueue.empty()) return false;
  if (workerState_ == WorkerState::kRunning) workerState_ = WorkerState::kDraining;
  return true;
}

void FLVStreamDecoder::WaitForWork(std::uint64_t serial, bool poll) {
  std::unique_lock<std::mutex> lock(queueMutex);
  auto woken = [this, serial] { return !tagQueue.empty() || wakeSerial != serial; };
  if (poll) {
    queueCondition.wait_for(lock, std::chrono::milliseconds(kBrotherPollMs), woken);
  } else {
    queueCondition.wait(lock, woken);
  }
}

void FLVStreamDecoder::RunWorkerLoop() {
  for (;;) {
    std::uint64_t serial = 0;
    if (FLVTag* tag = TakeFront(&serial)) {
      if (abandoning.load()) {
        ReleaseTag(tag);
      } else {
        ProcessQueuedTag(tag);
      }
      continue;
    }
    FLVStreamDecoder* other = brother_;
    if (other == nullptr) {
      bool stopping;
      {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopping = workerState_ != WorkerState::kRunning;
      }
      if (stopping) {
        if (StopAcceptingIfEmpty()) break;
        continue;
      }
      WaitForWork(serial, false);
      continue;
    }
    if (other->HasStopped()) {
      if (StopAcceptingIfEmpty()) break;
      continue;
    }
    // Whole milliseconds of lead for the fill; the ahead test itself is exact
    // so that it agrees with SyncWithBrother, which pauses the brother for any
    // lead beyond maxIntervalTime. With a coarser test here a paused brother
    // could wait for a fill that never comes.
    const std::int64_t leadUnits = other->GetCurrentTime() - GetCurrentTime();
    const std::int64_t leadMs = leadUnits / kUnitsPerMs;
    const bool brotherAhead = leadUnits > static_cast<std::int64_t>(maxIntervalTime) * kUnitsPerMs;
    const bool brotherEnding = other->HasEnded();
    if (brotherEnding && other->IsQueueEmpty()) {
      if (StopAcceptingIfEmpty()) break;
      continue;
    }
    const bool brotherBlocked = other->IsQueueOverMax();
    if ((!brotherBlocked && !brotherEnding) || !brotherAhead) {
      // A blocked or ending brother's clock and queue still move without
      // telling us; otherwise every change that matters wakes us.
      WaitForWork(serial, brotherBlocked || brotherEnding);
      continue;
    }
    FillGap(leadMs);
    if (other->HasEnded() && other->IsQueueEmpty()) {
      if (StopAcceptingIfEmpty()) break;
    }
  }
  // This worker will set no more pause requests and its clock stops; a
  // request still standing, or the brother's own lead over it, would hold
  // the brother forever.
  EnterState(WorkerState::kFinishing);
  if (brother_ != nullptr) brother_->ClearWait();
}

void FLVStreamDecoder::ReleaseTag(FLVTag* tag) {
  if (tag != nullptr && deleteFLVTagCallBack != nullptr) {
    deleteFLVTagCallBack(deleteFLVTagUserData, tag);
  }
}

void FLVStreamDecoder::EmitOutput(const std::uint8_t* data, std::int32_t size,
                                  std::int64_t timestamp, std::int64_t duration,
                                  std::int32_t firstFlag, std::int32_t secondFlag) {
  if (outputCallBack != nullptr) {
    outputCallBack(outputCallBackUserData, data, size, timestamp, duration, firstFlag, secondFlag);
  }
}

}  // namespace kelvra
