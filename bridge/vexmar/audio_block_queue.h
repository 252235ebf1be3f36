// A bounded FIFO of PCM blocks between the thread that hands audio to the
// writer and the writer's encoder thread.
#ifndef VEXMAR_AUDIO_BLOCK_QUEUE_H
#define VEXMAR_AUDIO_BLOCK_QUEUE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vexmar {

// Interleaved signed 16-bit PCM in whole sample frames, with its format.
struct AudioBlock {
  std::vector<uint8_t> pcm;
  int sampleRate = 0;
  int channels = 0;
};

class AudioBlockQueue {
 public:
  // The producer waits while the queue holds maxBytes or more; a single block
  // larger than that is still taken once the queue is empty, so nothing
  // stalls on an oversized block.
  //
  // Each side sleeps until there is a batch of work for it: the consumer
  // until a quarter of maxBytes is held (or the queue is closed), the
  // producer, once the queue was full, until it is half empty. Waking the
  // other thread for every block made one thread switch per block, which
  // cost more than a fast encoder's whole work.
  explicit AudioBlockQueue(size_t maxBytes);

  // Waits for room, then appends. Answers false (and drops the block) once
  // the queue is closed.
  bool Push(AudioBlock block);
  // Waits for a block; answers nothing once the queue is closed and empty.
  std::optional<AudioBlock> Pop();
  // No more blocks will come; Pop drains what is held, Push refuses.
  void Close();

 private:
  const size_t maxBytes_;
  const size_t consumerWakeBytes_;  // maxBytes / 4
  const size_t producerWakeBytes_;  // maxBytes / 2
  std::mutex mutex_;
  std::condition_variable notEmpty_;
  std::condition_variable notFull_;
  std::deque<AudioBlock> blocks_;
  size_t heldBytes_ = 0;
  bool closed_ = false;
  bool draining_ = false;  // the consumer takes blocks without waiting
};

}  // namespace vexmar

#endif  // VEXMAR_AUDIO_BLOCK_QUEUE_H
