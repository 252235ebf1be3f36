#include "audio_block_queue.h"

#include <utility>

namespace vexmar {

AudioBlockQueue::AudioBlockQueue(size_t maxBytes)
    : maxBytes_(maxBytes), consumerWakeBytes_(maxBytes / 4), producerWakeBytes_(maxBytes / 2) {}

bool AudioBlockQueue::Push(AudioBlock block) {
  std::unique_lock lock(mutex_);
  notFull_.wait(lock, [this] { return closed_ || blocks_.empty() || heldBytes_ < maxBytes_; });
  if (closed_) return false;
  heldBytes_ += block.pcm.size();
  blocks_.push_back(std::move(block));
  const bool batchReady = heldBytes_ >= consumerWakeBytes_;
  lock.unlock();
  if (batchReady) notEmpty_.notify_one();
  return true;
}

std::optional<AudioBlock> AudioBlockQueue::Pop() {
  std::unique_lock lock(mutex_);
  // A consumer that emptied the queue waits for a batch (or for Close, when
  // whatever is left is drained); once woken it takes blocks until the
  // queue is empty again.
  notEmpty_.wait(lock, [this] {
    return closed_ || (!blocks_.empty() && (draining_ || heldBytes_ >= consumerWakeBytes_));
  });
  if (blocks_.empty()) return std::nullopt;
  AudioBlock block = std::move(blocks_.front());
  blocks_.pop_front();
  heldBytes_ -= block.pcm.size();
  draining_ = !blocks_.empty();
  const bool roomReady = heldBytes_ <= producerWakeBytes_;
  lock.unlock();
  if (roomReady) notFull_.notify_one();
  return block;
}

void AudioBlockQueue::Close() {
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  notEmpty_.notify_all();
  notFull_.notify_all();
}

}  // namespace vexmar
