// The decoder base through the exports and through a probe decoder: queue
// limit and order, idle-only settings, Stop draining, brother pauses and gap
// fills, a worker that ends on its own, and a starved worker's CPU use.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "decoder/flv_stream_decoder.h"
#include "kelvra.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

TEST(StreamDecoderQueue, LimitIsTestedBeforeInsertionAndOrderIsKept) {
  for (int limit : {1000, 3}) {
    SCOPED_TRACE(limit);
    ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
    ASSERT_NE(decoder, nullptr);
    TagReleaser releaser;
    Gate gate;
    std::atomic<bool> first{true};
    releaser.hook = [&](FLVTag*) {
      if (first.exchange(false)) gate.Arrive();
    };
    ASSERT_EQ(FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &TagReleaser::CallBack, &releaser), 1);
    ASSERT_EQ(FLVStreamDecoder_SetMaxFLVTagQueue(decoder, limit), 1);
    ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);

    // The worker takes the first tag and is held in its delete callback.
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(0)), 1);
    gate.WaitForArrival();
    for (int i = 1; i <= limit + 1; ++i) {
      ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(i)), 1) << i;
    }
    FLVTag* refused = MakeEmptyAudioTag(99999);
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
    gate.Open();
    EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);

    const std::vector<std::uint32_t> released = releaser.timestamps();
    ASSERT_EQ(released.size(), static_cast<std::size_t>(limit + 2));
    for (std::size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i], i);
    // A refused tag is still the caller's.
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
    kelvra::DeleteFLVTag(refused);
    FLVStreamDecoder_Delete(decoder);
  }
}

// A C++ client's callback that throws ends the worker, not the process:
// the queued tags are still released and Stop answers as usual.
TEST(StreamDecoderState, ACallbackThatThrowsEndsTheWorkerOnly) {
  ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
  TagReleaser releaser;
  Gate gate;
  std::atomic<bool> first{true};
  FLVTag* thrownWith = nullptr;  // the callback threw before freeing it
  releaser.hook = [&](FLVTag* tag) {
    if (!first.exchange(false)) return;
    thrownWith = tag;
    gate.Arrive();
    throw std::runtime_error("client failure");
  };
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
  ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  for (int i = 1; i <= 3; ++i) FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(i));
  gate.Open();
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
  EXPECT_EQ(releaser.count(), 3u);
  kelvra::DeleteFLVTag(thrownWith);
  FLVStreamDecoder_Delete(decoder);
}

TEST(StreamDecoderState, RunStopDeliveryAndSettingsFollowTheStateAndKind) {
  ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
  FLVTag* tag = MakeEmptyAudioTag(0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, tag), 0);  // never run
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 0);
  EXPECT_EQ(FLVStreamDecoder_Run(decoder), 1);
  EXPECT_EQ(FLVStreamDecoder_Run(decoder), 0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, nullptr), 0);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, tag), 0);  // stopped
  // Runs again after a stop.
  EXPECT_EQ(FLVStreamDecoder_Run(decoder), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
  kelvra::DeleteFLVTag(tag);
  FLVStreamDecoder_Delete(decoder);
  FLVStreamDecoder_Delete(nullptr);
  EXPECT_EQ(FLVStreamDecoder_Run(nullptr), 0);
  // Settings a kind does not have, and values that would divide by zero
  // or overflow, answer 0.
  ::FLVStreamDecoder* audio = FLVStreamDecoder_Create(0);
  ::FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  const FLVRect rect{0, 0, 10, 10};
  EXPECT_EQ(FLVStreamDecoder_SetOutputSize(audio, 320, 240), 0);
  EXPECT_EQ(FLVStreamDecoder_SetOutputFPS(audio, 25.0), 0);
  EXPECT_EQ(FLVStreamDecoder_SetDecodeAlphaChannel(audio, 1), 0);
  EXPECT_EQ(FLVStreamDecoder_SetCropRect(audio, &rect), 0);
  EXPECT_EQ(FLVStreamDecoder_SetResizeMode(audio, 2), 0);
  EXPECT_EQ(FLVStreamDecoder_SetSampleRate(video, 44100), 0);
  EXPECT_EQ(FLVStreamDecoder_SetNumberOfChannels(video, 2), 0);
  EXPECT_EQ(FLVStreamDecoder_SetSampleRate(audio, 0), 0);
  EXPECT_EQ(FLVStreamDecoder_SetNumberOfChannels(audio, 0), 0);
  EXPECT_EQ(FLVStreamDecoder_SetOutputSize(video, 0, 240), 0);
  EXPECT_EQ(FLVStreamDecoder_SetOutputFPS(video, 0.0), 0);
  EXPECT_EQ(FLVStreamDecoder_SetCropRect(video, nullptr), 0);
  FLVStreamDecoder_Delete(audio);
  FLVStreamDecoder_Delete(video);
}

TEST(StreamDecoderState, IdleOnlySettersAreRefusedWhileRunning) {
  for (int video : {0, 1}) {
    SCOPED_TRACE(video);
    ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(video);
    ::FLVStreamDecoder* other = FLVStreamDecoder_Create(1 - video);
    OutputRecorder recorder;
    TagReleaser releaser;
    auto setAll = [&] {
      return std::vector<int>{
          FLVStreamDecoder_SetOutputCallBack(decoder, &OutputRecorder::CallBack, &recorder),
          FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &TagReleaser::CallBack, &releaser),
          FLVStreamDecoder_SetMaxFLVTagQueue(decoder, 10),
          FLVStreamDecoder_SetBrother(decoder, nullptr),
          FLVStreamDecoder_SetMaxIntervalTime(decoder, 500),
          FLVStreamDecoder_SetDecodeSyncMode(decoder, 0),
          video ? FLVStreamDecoder_SetOutputSize(decoder, 64, 48)
                : FLVStreamDecoder_SetSampleRate(decoder, 22050),
          video ? FLVStreamDecoder_SetOutputFPS(decoder, 30.0)
                : FLVStreamDecoder_SetNumberOfChannels(decoder, 1),
      };
    };
    for (int result : setAll()) EXPECT_EQ(result, 1);
    if (video) {
      EXPECT_EQ(FLVStreamDecoder_SetDecodeAlphaChannel(decoder, 0), 1);
    }
    ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
    for (int result : setAll()) EXPECT_EQ(result, 0);
    EXPECT_EQ(FLVStreamDecoder_SetBrother(decoder, other), 0);
    if (video) {
      EXPECT_EQ(FLVStreamDecoder_SetDecodeAlphaChannel(decoder, 1), 0);
      // The crop rectangle and the resize mode may change while running.
      const FLVRect rect{0, 0, 10, 10};
      EXPECT_EQ(FLVStreamDecoder_SetCropRect(decoder, &rect), 1);
      EXPECT_EQ(FLVStreamDecoder_SetResizeMode(decoder, 2), 2);
      EXPECT_EQ(FLVStreamDecoder_SetResizeMode(decoder, 0), 0);
    }
    EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
    for (int result : setAll()) EXPECT_EQ(result, 1);
    FLVStreamDecoder_Delete(decoder);
    FLVStreamDecoder_Delete(other);
  }
}

TEST(StreamDecoderBrothers, ExactlyMaxIntervalDoesNotPauseOneMoreUnitDoes) {
  ProbeDecoder a;
  ProbeDecoder b;
  ASSERT_EQ(a.SetBrother(&b), 1);
  ASSERT_EQ(a.SetMaxIntervalTime(700), 1);
  b.SetCurrentTime(700 * kUnitsPerMs);
  a.SyncWithBrother();
  EXPECT_FALSE(b.IsWaitRequested());
  b.SetCurrentTime(700 * kUnitsPerMs + 1);
  a.SyncWithBrother();
  EXPECT_TRUE(b.IsWaitRequested());
  // Catching up releases the leader.
  a.SetCurrentTime(1);
  a.SyncWithBrother();
  EXPECT_FALSE(b.IsWaitRequested());
}

TEST(StreamDecoderBrothers, TheLeaderPausesUntilTheOtherCatchesUp) {
  TagReleaser releaser;
  std::atomic<int> leaderTags{0};
  ProbeDecoder leader;
  ProbeDecoder other;
  leader.SetBrother(&other);
  other.SetBrother(&leader);
  leader.SetMaxIntervalTime(100);
  other.SetMaxIntervalTime(100);
  // Each tag moves its decoder's clock to the tag's time stamp, then syncs.
  leader.onTag = [&](FLVTag* tag) {
    leader.SetCurrentTime(static_cast<std::int64_t>(tag->timestamp) * kUnitsPerMs);
    leader.SyncWithBrother();
    ++leaderTags;
  };
  other.onTag = [&](FLVTag* tag) {
    other.SetCurrentTime(static_cast<std::int64_t>(tag->timestamp) * kUnitsPerMs);
    other.SyncWithBrother();
  };
  leader.SetDeleteFLVTagCallBack(&TagReleaser::CallBack, &releaser);
  other.SetDeleteFLVTagCallBack(&TagReleaser::CallBack, &releaser);
  ASSERT_EQ(leader.Run(), 1);
  ASSERT_EQ(other.Run(), 1);
  ASSERT_EQ(other.DeliverFLVPacket(MakeEmptyAudioTag(10)), 1);
  ASSERT_TRUE(WaitUntil([&] { return releaser.count() == 1; }));
  // 990 ms ahead of a running brother after its first tag: the leader
  // pauses itself in its sync.
  ASSERT_EQ(leader.DeliverFLVPacket(MakeEmptyAudioTag(1000)), 1);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(leaderTags.load(), 0);
  // The other's next output finds the leader too far ahead and tells it so.
  ASSERT_EQ(other.DeliverFLVPacket(MakeEmptyAudioTag(20)), 1);
  ASSERT_TRUE(WaitUntil([&] { return leader.IsWaitRequested(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(leaderTags.load(), 0);
  // Within 100 ms of the leader: released.
  ASSERT_EQ(other.DeliverFLVPacket(MakeEmptyAudioTag(950)), 1);
  ASSERT_TRUE(WaitUntil([&] { return leaderTags.load() == 1; }));
  EXPECT_FALSE(leader.IsWaitRequested());
  other.Stop();
  leader.Stop();
  EXPECT_EQ(releaser.count(), 4u);
}

// The brother is far ahead and blocked by a full queue: the starved decoder
// fills the gap up to the brother's time, which releases the brother.
TEST(StreamDecoderBrothers, StarvedDecoderFillsTheGapWhenTheBrotherIsAheadAndBlocked) {
  Gate gate;
  TagReleaser releaser;
  ProbeDecoder starved;
  ProbeDecoder blocked;
  starved.SetBrother(&blocked);
  blocked.SetBrother(&starved);
  starved.SetMaxIntervalTime(1000);
  blocked.SetMaxIntervalTime(1000);
  blocked.SetMaxFLVTagQueue(1);
  blocked.onTag = [&](FLVTag*) { gate.Arrive(); };
  blocked.SetDeleteFLVTagCallBack(&TagReleaser::CallBack, &releaser);
  ASSERT_EQ(starved.Run(), 1);
  ASSERT_EQ(blocked.Run(), 1);
  ASSERT_EQ(blocked.DeliverFLVPacket(MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  blocked.SetCurrentTime(3000 * kUnitsPerMs);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(starved.fills.load(), 0);  // ahead, but not blocked
  ASSERT_EQ(blocked.DeliverFLVPacket(MakeEmptyAudioTag(1)), 1);
  ASSERT_EQ(blocked.DeliverFLVPacket(MakeEmptyAudioTag(2)), 1);
  ASSERT_TRUE(blocked.IsQueueOverMax());
  ASSERT_TRUE(WaitUntil([&] { return starved.fills.load() >= 1; }));
  EXPECT_EQ(starved.filledMs.load(), 3000);
  gate.Open();
  starved.Stop();
  blocked.Stop();
  EXPECT_EQ(releaser.count(), 3u);
}

TEST(StreamDecoderBrothers, WorkerEndsWhenItsBrotherStopsAndIsJoinedBeforeRunningAgain) {
  ProbeDecoder a;
  ProbeDecoder b;
  a.SetBrother(&b);
  b.SetBrother(&a);
  ASSERT_EQ(a.Run(), 1);
  ASSERT_EQ(b.Run(), 1);
  EXPECT_EQ(b.Stop(), 1);
  ASSERT_TRUE(WaitUntil([&] { return a.IsIdle(); }));
  EXPECT_EQ(a.Stop(), 0);
  // Both run again: the old marks of the stop do not end the new workers.
  ASSERT_EQ(a.Run(), 1);
  ASSERT_EQ(b.Run(), 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(a.IsIdle());
  EXPECT_FALSE(b.IsIdle());
  EXPECT_EQ(a.Stop(), 1);
  // b's worker ends on its own once a has stopped; its Stop then answers 0
  // or, if it is caught still running, 1.
  b.Stop();
  EXPECT_TRUE(b.IsIdle());
}

TEST(StreamDecoderBrothers, AStopEndsAWorkerWhoseBrotherNeverRan) {
  ProbeDecoder a;
  ProbeDecoder idle;
  a.SetBrother(&idle);
  ASSERT_EQ(a.Run(), 1);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(a.Stop(), 1);
}

TEST(StreamDecoderCpu, AStarvedRunningDecoderUsesNoMeasurableCpu) {
  ::FLVStreamDecoder* alone = FLVStreamDecoder_Create(0);
  ::FLVStreamDecoder* audio = FLVStreamDecoder_Create(0);
  ::FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  FLVStreamDecoder_SetBrother(audio, video);
  FLVStreamDecoder_SetBrother(video, audio);
  ASSERT_EQ(FLVStreamDecoder_Run(alone), 1);
  ASSERT_EQ(FLVStreamDecoder_Run(audio), 1);
  ASSERT_EQ(FLVStreamDecoder_Run(video), 1);
  std::this_thread::sleep_for(100ms);
  const double before = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double used = ProcessCpuSeconds() - before;
  // Three starved workers together stay under 1% of one core.
  EXPECT_LT(used, 0.01 * wall) << used << " s of CPU in " << wall << " s";
  EXPECT_EQ(FLVStreamDecoder_Stop(alone), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(audio), 1);
  FLVStreamDecoder_Stop(video);
  FLVStreamDecoder_Delete(alone);
  FLVStreamDecoder_Delete(audio);
  FLVStreamDecoder_Delete(video);
}

}  // namespace
}  // namespace kelvra::test
