// The decoder base: queue limit and order, Stop/Delete draining, Abandon,
// idle-only settings, brother pauses and gap fills, and a starved worker's
// CPU use.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "decoder/decoder_test_support.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The worker is held on the first tag while the queue fills: the limit is
// tested before insertion, and Stop or Delete release every queued tag in
// order before they return.
TEST(StreamDecoderQueue, LimitOrderAndStopOrDeleteDrainTheQueue) {
  for (const auto& [limit, byDelete] : {std::pair{1000, false}, {3, false}, {3, true}}) {
    SCOPED_TRACE(testing::Message() << limit << (byDelete ? " delete" : " stop"));
    ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
    TagReleaser releaser;
    Gate gate;
    std::atomic<bool> first{true};
    releaser.hook = [&](FLVTag*) {
      if (first.exchange(false)) gate.Arrive();
    };
    ASSERT_EQ(FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder, &TagReleaser::CallBack, &releaser), 1);
    ASSERT_EQ(FLVStreamDecoder_SetMaxFLVTagQueue(decoder, limit), 1);
    ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(0)), 1);
    gate.WaitForArrival();
    for (int i = 1; i <= limit + 1; ++i) ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(i)), 1);
    FLVTag* refused = MakeEmptyAudioTag(99999);
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
    gate.Open();
    if (byDelete) {
      FLVStreamDecoder_Delete(decoder);
    } else {
      EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
      EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
      FLVStreamDecoder_Delete(decoder);
    }
    const std::vector<std::uint32_t> released = releaser.timestamps();
    ASSERT_EQ(released.size(), static_cast<std::size_t>(limit + 2));
    for (std::size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i], i);
    kelvra::DeleteFLVTag(refused);  // a refused tag stays the caller's
  }
}

// An hour of silence is owed when Abandon comes: the fill under way ends and
// the tags still queued are released undecoded, so Stop returns at once.
TEST(StreamDecoderQueue, AbandonDropsTheOutputStillOwed) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  OutputRecorder recorder;
  TagReleaser releaser;
  Gate gate;
  std::atomic<bool> first{true};
  recorder.hook = [&] {
    if (first.exchange(false)) gate.Arrive();
  };
  RunWith(decoder.get(), &recorder, &releaser);
  ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeEmptyAudioTag(0)), 1);
  for (std::uint32_t t : {3600000u, 3600010u, 3600020u, 3600030u}) {
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeAudioTag(t, 3, 3, 1, 1, Bytes(400, 1))), 1);
  }
  gate.WaitForArrival();
  reinterpret_cast<kelvra::FLVStreamDecoder*>(decoder.get())->Abandon();
  gate.Open();
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_LE(recorder.count(), 2u);  // the held silence block, the tag it led to
  EXPECT_EQ(releaser.count(), 5u);
}

// A C++ client's callback that throws ends the worker, not the process.
TEST(StreamDecoderState, ACallbackThatThrowsEndsTheWorkerOnly) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  TagReleaser releaser;
  Gate gate;
  FLVTag* thrownWith = nullptr;  // thrown before it was freed
  releaser.hook = [&](FLVTag* tag) {
    if (thrownWith != nullptr) return;
    thrownWith = tag;
    gate.Arrive();
    throw std::runtime_error("client failure");
  };
  FLVStreamDecoder_SetDeleteFLVTagCallBack(decoder.get(), &TagReleaser::CallBack, &releaser);
  ASSERT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  for (int i = 1; i <= 3; ++i) FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeEmptyAudioTag(i));
  gate.Open();
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(releaser.count(), 3u);
  kelvra::DeleteFLVTag(thrownWith);
}

TEST(StreamDecoderState, RunStopDeliveryAndSettingsFollowTheStateAndKind) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  FLVTag* tag = MakeEmptyAudioTag(0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag), 0);  // never run
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 0);
  EXPECT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  EXPECT_EQ(FLVStreamDecoder_Run(decoder.get()), 0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), nullptr), 0);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 0);
  EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag), 0);  // stopped
  EXPECT_EQ(FLVStreamDecoder_Run(decoder.get()), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  kelvra::DeleteFLVTag(tag);
  FLVStreamDecoder_Delete(nullptr);
  EXPECT_EQ(FLVStreamDecoder_Run(nullptr), 0);
  // Settings of the other kind, and values that would divide by zero.
  DecoderPtr audio(FLVStreamDecoder_Create(0));
  DecoderPtr video(FLVStreamDecoder_Create(1));
  const FLVRect rect{0, 0, 10, 10};
  for (int result : {FLVStreamDecoder_SetOutputSize(audio.get(), 320, 240),
                     FLVStreamDecoder_SetOutputFPS(audio.get(), 25.0),
                     FLVStreamDecoder_SetDecodeAlphaChannel(audio.get(), 1),
                     FLVStreamDecoder_SetCropRect(audio.get(), &rect), FLVStreamDecoder_SetResizeMode(audio.get(), 2),
                     FLVStreamDecoder_SetSampleRate(video.get(), 44100),
                     FLVStreamDecoder_SetNumberOfChannels(video.get(), 2),
                     FLVStreamDecoder_SetSampleRate(audio.get(), 0), FLVStreamDecoder_SetNumberOfChannels(audio.get(), 0),
                     FLVStreamDecoder_SetOutputSize(video.get(), 0, 240), FLVStreamDecoder_SetOutputFPS(video.get(), 0.0),
                     FLVStreamDecoder_SetCropRect(video.get(), nullptr)}) {
    EXPECT_EQ(result, 0);
  }
}

TEST(StreamDecoderState, IdleOnlySettersAreRefusedWhileRunning) {
  for (int video : {0, 1}) {
    SCOPED_TRACE(video);
    DecoderPtr decoder(FLVStreamDecoder_Create(video));
    DecoderPtr other(FLVStreamDecoder_Create(1 - video));
    OutputRecorder recorder;
    TagReleaser releaser;
    ::FLVStreamDecoder* d = decoder.get();
    auto setAll = [&] {
      return std::vector<int>{
          FLVStreamDecoder_SetOutputCallBack(d, &OutputRecorder::CallBack, &recorder),
          FLVStreamDecoder_SetDeleteFLVTagCallBack(d, &TagReleaser::CallBack, &releaser),
          FLVStreamDecoder_SetMaxFLVTagQueue(d, 10), FLVStreamDecoder_SetBrother(d, nullptr),
          FLVStreamDecoder_SetMaxIntervalTime(d, 500), FLVStreamDecoder_SetDecodeSyncMode(d, 0),
          video ? FLVStreamDecoder_SetOutputSize(d, 64, 48) : FLVStreamDecoder_SetSampleRate(d, 22050),
          video ? FLVStreamDecoder_SetOutputFPS(d, 30.0) : FLVStreamDecoder_SetNumberOfChannels(d, 1),
          video ? FLVStreamDecoder_SetDecodeAlphaChannel(d, 0) : 1};
    };
    EXPECT_EQ(setAll(), std::vector<int>(9, 1));
    ASSERT_EQ(FLVStreamDecoder_Run(d), 1);
    EXPECT_EQ(setAll(), std::vector<int>({0, 0, 0, 0, 0, 0, 0, 0, video ? 0 : 1}));
    EXPECT_EQ(FLVStreamDecoder_SetBrother(d, other.get()), 0);
    if (video) {
      // The crop rectangle and the resize mode may change while running.
      const FLVRect rect{0, 0, 10, 10};
      EXPECT_EQ(FLVStreamDecoder_SetCropRect(d, &rect), 1);
      EXPECT_EQ(FLVStreamDecoder_SetResizeMode(d, 2), 2);
    }
    EXPECT_EQ(FLVStreamDecoder_Stop(d), 1);
    EXPECT_EQ(setAll(), std::vector<int>(9, 1));
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
  a.SetCurrentTime(1);  // catching up releases the leader
  a.SyncWithBrother();
  EXPECT_FALSE(b.IsWaitRequested());
}

// Two probes whose tags move their clocks to the tags' time stamps.
struct Brothers {
  explicit Brothers(int intervalMs) {
    for (ProbeDecoder* d : {&a, &b}) {
      d->SetBrother(d == &a ? &b : &a);
      d->SetMaxIntervalTime(intervalMs);
      d->SetDeleteFLVTagCallBack(&TagReleaser::CallBack, &releaser);
    }
  }
  TagReleaser releaser;
  ProbeDecoder a, b;
};

TEST(StreamDecoderBrothers, TheLeaderPausesUntilTheOtherCatchesUp) {
  Brothers s(100);
  std::atomic<int> leaderTags{0};
  for (ProbeDecoder* d : {&s.a, &s.b}) {
    d->onTag = [d, &s, &leaderTags](FLVTag* tag) {
      d->SetCurrentTime(static_cast<std::int64_t>(tag->timestamp) * kUnitsPerMs);
      d->SyncWithBrother();
      if (d == &s.a) ++leaderTags;
    };
  }
  ASSERT_EQ(s.a.Run(), 1);
  ASSERT_EQ(s.b.Run(), 1);
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(10)), 1);
  ASSERT_TRUE(WaitUntil([&] { return s.releaser.count() == 1; }));
  ASSERT_EQ(s.a.DeliverFLVPacket(MakeEmptyAudioTag(1000)), 1);  // 990 ms ahead: pauses itself
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(leaderTags.load(), 0);
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(20)), 1);
  ASSERT_TRUE(WaitUntil([&] { return s.a.IsWaitRequested(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(leaderTags.load(), 0);
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(950)), 1);  // within 100 ms: released
  ASSERT_TRUE(WaitUntil([&] { return leaderTags.load() == 1; }));
  EXPECT_FALSE(s.a.IsWaitRequested());
  s.b.Stop();
  s.a.Stop();
  EXPECT_EQ(s.releaser.count(), 4u);
}

// The brother is far ahead and blocked by a full queue: the starved decoder
// fills the gap up to the brother's time, which releases the brother.
TEST(StreamDecoderBrothers, StarvedDecoderFillsTheGapWhenTheBrotherIsAheadAndBlocked) {
  Brothers s(1000);
  ProbeDecoder& starved = s.a;
  ProbeDecoder& blocked = s.b;
  Gate gate;
  blocked.SetMaxFLVTagQueue(1);
  blocked.onTag = [&](FLVTag*) { gate.Arrive(); };
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
  EXPECT_EQ(s.releaser.count(), 3u);
}

TEST(StreamDecoderBrothers, WorkerEndsWhenItsBrotherStopsAndRunsAgainAfterwards) {
  {
    ProbeDecoder a;
    ProbeDecoder idle;  // a brother that never runs does not keep a's worker
    a.SetBrother(&idle);
    ASSERT_EQ(a.Run(), 1);
    EXPECT_EQ(a.Stop(), 1);
  }
  Brothers s(1000);
  ASSERT_EQ(s.a.Run(), 1);
  ASSERT_EQ(s.b.Run(), 1);
  EXPECT_EQ(s.b.Stop(), 1);
  ASSERT_TRUE(WaitUntil([&] { return s.a.IsIdle(); }));
  EXPECT_EQ(s.a.Stop(), 0);
  // The old marks of the stop do not end the new workers.
  ASSERT_EQ(s.a.Run(), 1);
  ASSERT_EQ(s.b.Run(), 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(s.a.IsIdle());
  EXPECT_FALSE(s.b.IsIdle());
  EXPECT_EQ(s.a.Stop(), 1);
  s.b.Stop();  // 0 or 1, as b's worker may already have ended
  EXPECT_TRUE(s.b.IsIdle());
}

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

TEST(StreamDecoderCpu, StarvedRunningDecodersUseNoMeasurableCpu) {
  DecoderPtr alone(FLVStreamDecoder_Create(0));
  DecoderPtr audio(FLVStreamDecoder_Create(0));
  DecoderPtr video(FLVStreamDecoder_Create(1));
  FLVStreamDecoder_SetBrother(audio.get(), video.get());
  FLVStreamDecoder_SetBrother(video.get(), audio.get());
  for (auto* d : {alone.get(), audio.get(), video.get()}) ASSERT_EQ(FLVStreamDecoder_Run(d), 1);
  std::this_thread::sleep_for(100ms);
  const double before = ProcessCpuSeconds();
  const auto start = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(2s);
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double used = ProcessCpuSeconds() - before;
  EXPECT_LT(used, 0.01 * wall) << used << " s of CPU in " << wall << " s";
  EXPECT_EQ(FLVStreamDecoder_Stop(alone.get()), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(audio.get()), 1);
  FLVStreamDecoder_Stop(video.get());
}

}  // namespace
}  // namespace kelvra::test
