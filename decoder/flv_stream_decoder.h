// FLVStreamDecoder: the common base of the audio and the video decoder.
//
// A decoder owns a worker thread, a first-in first-out queue of tag records
// and a small output clock. Tags delivered to a running decoder belong to it
// until the worker has used them; it then hands each one to the delete-tag
// callback. An audio and a video decoder of one stream are brothers: each
// keeps its clock within maxIntervalTime of the other by pausing the one
// ahead, and fills gaps while the other is blocked or ending.
//
// Locks: queueMutex (queue, worker state, and whatever a derived class
// guards with it), timeMutex (currentTime), waitMutex (the pause request).
// No code holds two of them at once and no callback runs under any of them.
//
// A starved worker sleeps on queueCondition, which delivery, Stop and the
// brother's state changes that matter (its queue going over the limit, its
// end flag, its stop) signal. Only while the brother is over its limit or
// ending, and its clock may still move, does it also look every
// kBrotherPollMs. A paused worker sleeps on waitCondition in steps of
// waitTime.
#ifndef KELVRA_DECODER_FLV_STREAM_DECODER_H
#define KELVRA_DECODER_FLV_STREAM_DECODER_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "kelvra.h"
#include "shared/units_100ns.h"

namespace kelvra {

inline constexpr int kDefaultMaxFLVTagQueue = 1000;
inline constexpr int kDefaultWaitTimeMs = 50;
inline constexpr int kDefaultMaxIntervalTimeMs = 1000;
// How often a starved worker looks at a brother that is over its queue limit
// or ending (its clock and queue do not signal this decoder).
inline constexpr int kBrotherPollMs = 5;
// 100-ns units per millisecond and per second.
inline constexpr std::int64_t kUnitsPerMs = units100ns::kPerMs;
inline constexpr std::int64_t kUnitsPerSecond = units100ns::kPerSecond;

class FLVStreamDecoder {
 public:
  FLVStreamDecoder();
  virtual ~FLVStreamDecoder();

  FLVStreamDecoder(const FLVStreamDecoder&) = delete;
  FLVStreamDecoder& operator=(const FLVStreamDecoder&) = delete;

  // Kind-specific settings; a kind without the setting answers 0.
  virtual int SetSampleRate(int sampleRate);
  virtual int SetNumberOfChannels(int channels);
  virtual int SetOutputSize(int width, int height);
  virtual int SetOutputFPS(double fps);
  virtual int SetDecodeAlphaChannel(int flag);
  virtual int SetCropRect(const FLVRect* rect);
  virtual int SetResizeMode(int mode);
  // Decodes one tag on the caller's thread; the tag stays the caller's.
  virtual int DecodeFLVTag(FLVTag* tag, std::uint8_t** data, int* size) = 0;
  // The presentation time (ms) of the picture the last successful
  // synchronous video decode gave; a kind without pictures answers 0.
  virtual int GetPictureTime(std::uint32_t* milliseconds);

  // Idle-only setters: 1 stored, 0 while running.
  int SetOutputCallBack(FLVStreamDecoderOutputCallBack callBack, void* userData);
  int SetDeleteFLVTagCallBack(DeleteFLVTagCallBack callBack, void* userData);
  int SetMaxFLVTagQueue(int count);
  int SetBrother(FLVStreamDecoder* brother);
  int SetMaxIntervalTime(int milliseconds);
  int SetDecodeSyncMode(int mode);

  int Run();
  int DeliverFLVPacket(FLVTag* tag);
  int Stop();
  // For an owner that no longer wants the output still owed: from now until
  // the next Run, queued tags are released undecoded, a fill of silence or
  // repeated pictures under way ends, and the worker no longer pauses for
  // its brother, so the Stop that must follow returns at once. Without it,
  // Stop delivers everything, which for time stamps hours apart is hours of
  // output.
  void Abandon();
  bool IsAbandoning() const { return abandoning.load(); }

  // No worker code runs: the setters may change what a worker reads.
  bool IsIdle() const;

  // Used by the brother's worker (and by tests).
  std::int64_t GetCurrentTime() const;
  void SetCurrentTime(std::int64_t time);
  void SetWait(int milliseconds);
  void ClearWait();
  bool IsWaitRequested() const;
  bool IsQueueEmpty() const;
  bool IsQueueOverMax() const;
  bool HasEnded() const { return endFlag.load(); }
  // Stopped since the last Run (or failed): the brother ends.
  bool HasStopped() const;
  // Tells the brother to pause when it is too far ahead (or releases it),
  // then pauses while this decoder is told to, or while it is itself more
  // than maxIntervalTime ahead of a brother whose worker still runs.
  void SyncWithBrother();
  // Whether the worker is inside its loop (from Run until it leaves it).
  bool IsWorkerActive() const;

 protected:
  // The body of the worker thread: set up, RunWorkerLoop, finish.
  virtual void ThreadMain() = 0;
  // One tag taken from the queue; the worker owns it and must release it.
  virtual void ProcessQueuedTag(FLVTag* tag) = 0;
  // The queue is empty and the brother is leadMs ahead while blocked or
  // ending: produce output up to the brother's time.
  virtual void FillGap(std::int64_t leadMs) = 0;

  // Takes tags until Stop (no brother) or until the brother has ended or
  // stopped; on return the decoder accepts no more tags.
  void RunWorkerLoop();
  // Hands a used tag to the delete-tag callback (the pointer is dropped
  // when there is none).
  void ReleaseTag(FLVTag* tag);
  // Output callback, for the workers.
  void EmitOutput(const std::uint8_t* data, std::int32_t size, std::int64_t timestamp,
                  std::int64_t duration, std::int32_t firstFlag, std::int32_t secondFlag);
  // Stops a running worker and joins a finished one, then stops every
  // decoder that links here and unlinks it (its worker reads this object),
  // and unlinks this one from its brother. Derived destructors call it
  // first, so no worker runs derived code on a half-destroyed object.
  void ShutDownWorker();
  // The worker's last step, after its own clean-up: the decoder is idle.
  void MarkWorkerFinished();

  bool decodeSyncMode() const { return decodeSyncMode_ != 0; }
  FLVStreamDecoder* brother() const { return brother_; }

  // Guards the queue and the worker state; derived classes may guard
  // settings that change while running with it.
  mutable std::mutex queueMutex;

 private:
  // Forgets that `from` links here (its brother changed or it went away).
  void RemoveLink(FLVStreamDecoder* from);
  // Waits until a tag is queued or the decoder is woken after `serial`, or
  // at most kBrotherPollMs when `poll`.
  void WaitForWork(std::uint64_t serial, bool poll);
  // Wakes a starved worker to look at the state again.
  void Wake();
  // Takes the front tag, or null; *serial gets the wake count seen.
  FLVTag* TakeFront(std::uint64_t* serial);
  // Stops accepting tags when the queue is empty; false when a tag arrived
  // in the meantime and must still be processed.
  bool StopAcceptingIfEmpty();
  // Runs ThreadMain; a callback that throws ends the worker through
  // EndAfterFailure instead of ending the process.
  static void ThreadEntry(FLVStreamDecoder* self);
  // Takes no more tags, releases the queued ones and lets the brother go on
  // (and end: this decoder now counts as stopped). Stop still joins.
  void EndAfterFailure() noexcept;

  // The worker's life, guarded by queueMutex. Run and Stop make their
  // transitions on the owner's thread, the worker its own; delivery is open
  // in kRunning only, so no tag is ever stranded.
  //
  //   kIdle, kFinished, kStopped --Run-->                  kRunning
  //   kRunning   --Stop, or the worker ends on its own
  //                (brother stopped or ended, queue empty)--> kDraining
  //   kDraining  --the worker leaves its loop-->           kFinishing
  //   kFinishing --the worker's clean-up is done-->        kFinished
  //   kRunning, kDraining --a callback throws-->           kFailed
  //   any but kIdle, kFinished, kStopped --Stop joins-->   kStopped
  //   kStopped   --the brother's Run-->                    kIdle
  //
  // Idle (setters allowed, Run allowed, Stop answers 0): kIdle, kFinished,
  // kStopped. The worker is inside its loop in kRunning and kDraining. The
  // brother ends when this one is kStopped or kFailed.
  enum class WorkerState { kIdle, kRunning, kDraining, kFinishing, kFinished, kFailed, kStopped };
  static bool IsIdleState(WorkerState state);
  // Moves to `next` under queueMutex.
  void EnterState(WorkerState next);

  std::thread thread;
  std::condition_variable queueCondition;
  std::deque<FLVTag*> tagQueue;
  WorkerState workerState_ = WorkerState::kIdle;
  // Counts wake-ups, so that one given between a worker's look at the state
  // and its wait is not lost. Guarded by queueMutex.
  std::uint64_t wakeSerial = 0;
  int maxFLVTagQueue = kDefaultMaxFLVTagQueue;
  FLVStreamDecoderOutputCallBack outputCallBack = nullptr;
  void* outputCallBackUserData = nullptr;
  FLVStreamDecoder* brother_ = nullptr;
  // Decoders whose brother_ is this one (guarded by queueMutex): a decoder
  // going away stops them and unlinks them, whichever order the two go in.
  std::vector<FLVStreamDecoder*> linkedFrom_;
  // Two signals beside the state. endFlag: the pair is ending (Stop of
  // either brother sets it on both; Run clears it). abandoning: see Abandon.
  std::atomic<bool> endFlag{false};
  std::atomic<bool> abandoning{false};
  DeleteFLVTagCallBack deleteFLVTagCallBack = nullptr;
  void* deleteFLVTagUserData = nullptr;
  mutable std::mutex timeMutex;
  std::int64_t currentTime = 0;
  mutable std::mutex waitMutex;
  std::condition_variable waitCondition;
  bool waitFlag = false;
  // Counts SetWait and ClearWait calls (the brother's clock has moved), so a
  // pause re-examines the clocks at once. Guarded by waitMutex.
  std::uint64_t waitSerial = 0;
  int waitTime = kDefaultWaitTimeMs;
  int maxIntervalTime = kDefaultMaxIntervalTimeMs;
  int decodeSyncMode_ = 0;
};

}  // namespace kelvra

#endif  // KELVRA_DECODER_FLV_STREAM_DECODER_H
