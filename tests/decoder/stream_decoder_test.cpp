// The decoder base: queue limit and order, Stop/Delete draining, Abandon,
// brother pauses and gap fills, starved workers' CPU use.
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
  while (!done() && std::chrono::steady_clock::now() < end) std::this_thread::sleep_for(1ms);
  return done();
}

// The worker is held on the first tag while the queue fills: the limit is tested before insertion,
// and Stop or Delete release every queued tag in order before they return.
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
    for (int i = 1; i <= limit + 1; ++i)
      ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, MakeEmptyAudioTag(i)), 1);
    FLVTag* refused = MakeEmptyAudioTag(99999);
    EXPECT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder, refused), 0);
    gate.Open();
    EXPECT_TRUE(byDelete || FLVStreamDecoder_Stop(decoder) == 1);
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
    ASSERT_EQ(FLVStreamDecoder_DeliverFLVPacket(decoder.get(),
                                                MakeAudioTag(t, 3, 3, 1, 1, Bytes(400, 1))),
              1);
  }
  gate.WaitForArrival();
  reinterpret_cast<kelvra::FLVStreamDecoder*>(decoder.get())->Abandon();
  gate.Open();
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_LE(recorder.records().size(), 2u);  // the held silence block, the tag it led to
  EXPECT_EQ(recorder.released().size(), 5u);
}

// An output callback that throws ends the worker, not the process: it takes
// no more tags, the queued ones are released, and Stop still answers.
TEST(StreamDecoderQueue, ACallbackThatThrowsEndsTheWorkerOnly) {
  DecoderPtr decoder(FLVStreamDecoder_Create(0));
  Recorder recorder;
  Gate gate;
  recorder.onOutput = [&] {
    gate.Arrive();
    throw std::runtime_error("client failure");
  };
  recorder.Run(decoder.get());
  auto deliver = [&](FLVTag* tag) { return FLVStreamDecoder_DeliverFLVPacket(decoder.get(), tag); };
  FLVTag* thrownIn = MakeAudioTag(1000, 3, 3, 1, 1, Bytes(400, 1));  // its silence throws
  ASSERT_EQ(deliver(MakeEmptyAudioTag(0)), 1);
  ASSERT_EQ(deliver(thrownIn), 1);
  gate.WaitForArrival();
  for (std::uint32_t t : {1001u, 1002u, 1003u}) ASSERT_EQ(deliver(MakeEmptyAudioTag(t)), 1);
  gate.Open();
  ASSERT_TRUE(WaitUntil([&] { return recorder.released().size() == 4; }));
  TagPtr refused(MakeEmptyAudioTag(2000));
  EXPECT_EQ(deliver(refused.get()), 0);
  EXPECT_EQ(FLVStreamDecoder_Stop(decoder.get()), 1);
  EXPECT_TRUE(recorder.records().empty());
  EXPECT_EQ(recorder.released(), std::vector<std::uint32_t>({0, 1001, 1002, 1003}));
  kelvra::DeleteFLVTag(thrownIn);  // the throw came before its release
}

TEST(StreamDecoderBrothers, ExactlyMaxIntervalDoesNotPauseOneMoreUnitDoes) {
  ProbeDecoder a, b;
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

// The brother is far ahead and blocked by a full queue: the starved decoder
// fills the gap up to the brother's time, which releases the brother.
TEST(StreamDecoderBrothers, StarvedDecoderFillsTheGapWhenTheBrotherIsAheadAndBlocked) {
  Recorder recorder;
  Gate gate;
  ProbeDecoder a, b;
  for (ProbeDecoder* d : {&a, &b}) {
    d->SetBrother(d == &a ? &b : &a);
    d->SetMaxIntervalTime(1000);
    d->SetDeleteFLVTagCallBack(&Recorder::Release, &recorder);
  }
  b.SetMaxFLVTagQueue(1);
  b.onTag = [&](FLVTag*) { gate.Arrive(); };
  ASSERT_EQ(a.Run(), 1);
  ASSERT_EQ(b.Run(), 1);
  ASSERT_EQ(b.DeliverFLVPacket(MakeEmptyAudioTag(0)), 1);
  gate.WaitForArrival();
  b.SetCurrentTime(3000 * kUnitsPerMs);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(a.filledMs.load(), 0);  // ahead, but not blocked
  ASSERT_EQ(b.DeliverFLVPacket(MakeEmptyAudioTag(1)), 1);
  ASSERT_EQ(b.DeliverFLVPacket(MakeEmptyAudioTag(2)), 1);
  ASSERT_TRUE(b.IsQueueOverMax());
  ASSERT_TRUE(WaitUntil([&] { return a.filledMs.load() > 0; }));
  EXPECT_EQ(a.filledMs.load(), 3000);
  gate.Open();
  a.Stop();
  b.Stop();
  EXPECT_EQ(recorder.released().size(), 3u);
}

// Workers with nothing to do wait on their queue's condition variable: three
// running decoders, two of them brothers, together stay under 1% of a core.
TEST(StreamDecoderCpu, StarvedRunningDecodersUseNoMeasurableCpu) {
  const auto cpuSeconds = [] {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  };
  ::FLVStreamDecoder* decoders[] = {FLVStreamDecoder_Create(0), FLVStreamDecoder_Create(0),
                                    FLVStreamDecoder_Create(1)};
  FLVStreamDecoder_SetBrother(decoders[1], decoders[2]);
  FLVStreamDecoder_SetBrother(decoders[2], decoders[1]);
  for (::FLVStreamDecoder* decoder : decoders) ASSERT_EQ(FLVStreamDecoder_Run(decoder), 1);
  std::this_thread::sleep_for(100ms);
  const double before = cpuSeconds();
  std::this_thread::sleep_for(2s);
  EXPECT_LT(cpuSeconds() - before, 0.02);
  // Deleting a running decoder stops its brother, whose worker read the
  // deleted one, and unlinks it: the brother runs again on its own.
  FLVStreamDecoder_Delete(decoders[0]);
  FLVStreamDecoder_Delete(decoders[1]);
  EXPECT_EQ(FLVStreamDecoder_Run(decoders[2]), 1);
  FLVStreamDecoder_Delete(decoders[2]);
}

}  // namespace
}  // namespace kelvra::test
