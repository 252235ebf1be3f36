#include "audio_block_queue.h"

#include <utility>

namespace vexmar {

AudioBlockQueue::AudioBlockQueue(size_t maxBytes) : maxBytes_(maxBytes) {}

bool AudioBlockQueue::Push(AudioBlock block) {
  std::unique_lock lock(mutex_);
  notFull_.wait(lock, [this] { return closed_ || blocks_.empty() || heldBytes_ < maxBytes_; });
  if (closed_) return false;
  heldBytes_ += block.pcm.size();
  blocks_.push_back(std::move(block));
  lock.unlock();
  notEmpty_.notify_one();
  return true;
}

std::optional<AudioBlock> AudioBlockQueue::Pop() {
  std::unique_lock lock(mutex_);
  notEmpty_.wait(lock, [this] { return closed_ || !blocks_.empty(); });
  if (blocks_.empty()) return std::nullopt;
  AudioBlock block = std::move(blocks_.front());
  blocks_.pop_front();
  heldBytes_ -= block.pcm.size();
  lock.unlock();
  notFull_.notify_one();
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
