// The decoder base: queue limit and order, Stop/Delete draining, Abandon,
// states and idle-only settings, brother pauses and gap fills, CPU use.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "decoder/decoder_test_support.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

bool WaitUntil(const std::function<bool()>& done) {
  const auto end = std::chrono::steady_clock::now() + 10s;
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

// The worker is held on the first tag while the queue fills: the limit is
// tested before insertion, and Stop or Delete release every queued tag in
// order before they return.
TEST(StreamDecoderQueue, LimitOrderAndStopOrDeleteDrainTheQueue) {
  for (const auto& [limit, byDelete] : {std::pair{1000, false}, {3, false}, {3, true}}) {
    SCOPED_TRACE(testing::Message() << limit << (byDelete ? " delete" : " stop"));
    ::FLVStreamDecoder* decoder = FLVStreamDecoder_Create(0);
    Recorder recorder;
    Gate gate;
    recorder.onRelease = [&](FLVTag*) { gate.Arrive(); };
    ASSERT_EQ(FLVStreamDecoder_SetMaxFLVTagQueue(decoder, limit), 1);
    recorder.Run(decoder);
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(0)), 1);
    gate.WaitForArrival();
    for (int i = 1; i <= limit + 1; ++i) ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(i)), 1);
    FLVTag* refused = MakeEmptyAudioTag(99999);
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
    gate.Open();
    if (!byDelete) {
      EXPECT_EQ(FLVStreamDecoder_Stop(decoder), 1);
    }
    FLVStreamDecoder_Delete(decoder);
    const std::vector<std::uint32_t> released = recorder.released();
    ASSERT_EQ(released.size(), static_cast<std::size_t>(limit + 2));
    for (std::size_t i = 0; i < released.size(); ++i) EXPECT_EQ(released[i], i);
    kelvra::DeleteFLVTag(refused);  // a refused tag stays the caller's
  }
}

// An hour of silence is owed when Abandon comes: the fill under way ends and
// the tags still queued are released undecoded, so Stop returns at once.
TEST(StreamDecoderQueue, AbandonDropsTheOutputStillOwed) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  Recorder recorder;
  Gate gate;
  recorder.onOutput = [&] { gate.Arrive(); };
  recorder.Run(decoder.get());
  ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeEmptyAudioTag(0)), 1);
  for (std::uint32_t t : {3600000u, 3600010u, 3600020u, 3600030u}) {
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(), MakeAudioTag(t, 3, 3, 1, 1, Bytes(400, 1))), 1);
  }
  gate.WaitForArrival();
  reinterpret_cast<kelvra::FLVStreamDecoder*>(decoder.get())->Abandon();
  gate.Open();
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_LE(recorder.records().size(), 2u);  // the held silence block, the tag it led to
  EXPECT_EQ(recorder.released().size(), 5u);
}

// Each runs and stops once; the idle-only settings answer 0 while running,
// while the crop rectangle may change; settings of the other kind and
// values that would divide by zero answer 0 at any time.
TEST(StreamDecoderState, RunStopAndSettingsFollowTheStateAndKind) {
  for (int video : {0, 1}) {
    SCOPED_TRACE(video);
    DecoderPtr decoder(FLVStreamDecoder_Create(video)), other(FLVStreamDecoder_Create(1 - video));
    ::FLVStreamDecoder* d = decoder.get();
    const FLVRect rect{0, 0, 10, 10};
    for (int refused : {FLVStreamDecoder_SetSampleRate(d, video ? 44100 : 0),
                        FLVStreamDecoder_SetOutputSize(d, video ? 0 : 320, 240),
                        FLVStreamDecoder_SetOutputFPS(d, video ? 0.0 : 25.0),
                        FLVStreamDecoder_SetCropRect(d, video ? nullptr : &rect)}) {
      EXPECT_EQ(refused, 0);
    }
    Recorder r;
    auto setAll = [&] {
      return std::vector<int>{
          FLVStreamDecoder_SetOutputCallBack(d, &Recorder::Output, &r), FLVStreamDecoder_SetMaxFLVTagQueue(d, 10),
          FLVStreamDecoder_SetDeleteFLVTagCallBack(d, &Recorder::Release, &r), FLVStreamDecoder_SetBrother(d, nullptr),
          FLVStreamDecoder_SetMaxIntervalTime(d, 500), FLVStreamDecoder_SetDecodeSyncMode(d, 0),
          video ? FLVStreamDecoder_SetOutputSize(d, 64, 48) : FLVStreamDecoder_SetSampleRate(d, 22050),
          video ? FLVStreamDecoder_SetDecodeAlphaChannel(d, 0) : FLVStreamDecoder_SetNumberOfChannels(d, 1)};
    };
    EXPECT_EQ(std::vector<int>({FLVStreamDecoder_Stop(d), FLVStreamDecoder_Run(d), FLVStreamDecoder_Run(d)}),
              std::vector<int>({0, 1, 0}));
    EXPECT_EQ(setAll(), std::vector<int>(8, 0));
    EXPECT_EQ(FLVStreamDecoder_SetBrother(d, other.get()), 0);
    EXPECT_EQ(FLVStreamDecoder_SetCropRect(d, &rect), video);
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(d, nullptr), 0);
    EXPECT_EQ(std::vector<int>({FLVStreamDecoder_Stop(d), FLVStreamDecoder_Stop(d)}), std::vector<int>({1, 0}));
    EXPECT_EQ(setAll(), std::vector<int>(8, 1));
    EXPECT_EQ(FLVStreamDecoder_Run(d), 1);  // runs again after a stop
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

struct Brothers {
  explicit Brothers(int intervalMs) {
    for (ProbeDecoder* d : {&a, &b}) {
      d->SetBrother(d == &a ? &b : &a);
      d->SetMaxIntervalTime(intervalMs);
      d->SetDeleteFLVTagCallBack(&Recorder::Release, &recorder);
    }
  }
  Recorder recorder;
  ProbeDecoder a, b;
};

// The brother is far ahead and blocked by a full queue: the starved decoder
// fills the gap up to the brother's time, which releases the brother.
TEST(StreamDecoderBrothers, StarvedDecoderFillsTheGapWhenTheBrotherIsAheadAndBlocked) {
  Brothers s(1000);
  Gate gate;
  s.b.SetMaxFLVTagQueue(1);
  s.b.onTag = [&](FLVTag*) { gate.Arrive(); };
  ASSERT_EQ(s.a.Run(), 1);
  ASSERT_EQ(s.b.Run(), 1);
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  s.b.SetCurrentTime(3000 * kUnitsPerMs);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(s.a.filledMs.load(), 0);  // ahead, but not blocked
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(1)), 1);
  ASSERT_EQ(s.b.DeliverFLVPacket(MakeEmptyAudioTag(2)), 1);
  ASSERT_TRUE(s.b.IsQueueOverMax());
  ASSERT_TRUE(WaitUntil([&] { return s.a.filledMs.load() > 0; }));
  EXPECT_EQ(s.a.filledMs.load(), 3000);
  gate.Open();
  s.a.Stop();
  s.b.Stop();
  EXPECT_EQ(s.recorder.released().size(), 3u);
}

TEST(StreamDecoderBrothers, WorkerEndsWhenItsBrotherStopsAndRunsAgainAfterwards) {
  {
    ProbeDecoder a, idle;  // a brother that never runs does not keep a's worker
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
  EXPECT_FALSE(s.a.IsIdle() || s.b.IsIdle());
  EXPECT_EQ(s.a.Stop(), 1);
  s.b.Stop();  // 0 or 1, as b's worker may already have ended
  EXPECT_TRUE(s.b.IsIdle());
}

TEST(StreamDecoderCpu, StarvedRunningDecodersUseNoMeasurableCpu) {
  auto cpuSeconds = [] {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
  };
  DecoderPtr alone(FLVStreamDecoder_Create(0)), audio(FLVStreamDecoder_Create(0)), video(FLVStreamDecoder_Create(1));
  FLVStreamDecoder_SetBrother(audio.get(), video.get());
  FLVStreamDecoder_SetBrother(video.get(), audio.get());
  for (auto* d : {alone.get(), audio.get(), video.get()}) ASSERT_EQ(FLVStreamDecoder_Run(d), 1);
  std::this_thread::sleep_for(100ms);
  const double before = cpuSeconds();
  std::this_thread::sleep_for(2s);
  EXPECT_LT(cpuSeconds() - before, 0.02) << "s of CPU in 2 s";
  EXPECT_EQ(FLVStreamDecoder_Stop(alone.get()), 1);
  EXPECT_EQ(FLVStreamDecoder_Stop(audio.get()), 1);
  FLVStreamDecoder_Stop(video.get());
}

}  // namespace
}  // namespace kelvra::test
