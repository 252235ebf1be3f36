// An audio and a video decoder running as brothers on a real A/V file: at
// every output the two clocks stay within maxIntervalTime of each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "decoder/decoder_test_support.h"
#include "decoder/tag_file_walker.h"
#include "kelvra.h"
#include "support/flv_files.h"

namespace kelvra::test {
namespace {

using namespace std::chrono_literals;

constexpr int kMaxIntervalMs = 300;
// One block or picture may go out before the pause request reaches it.
constexpr std::int64_t kSlackMs = 100;

struct Side {
  std::atomic<std::int64_t> last{-1};
  std::atomic<int> outputs{0};
  const Side* other = nullptr;
  std::mutex mutex;
  std::int64_t worstLead = 0;  // own time minus the other's, ms

  static void CallBack(void* self, const std::uint8_t*, std::int32_t, std::int64_t timestamp,
                       std::int64_t, std::int32_t, std::int32_t) {
    auto* side = static_cast<Side*>(self);
    side->last = timestamp;
    ++side->outputs;
    const std::int64_t other = side->other->last.load();
    if (other < 0) return;
    const std::int64_t leadMs = (timestamp - other) / 10000;
    std::lock_guard<std::mutex> lock(side->mutex);
    if (std::llabs(leadMs) > std::llabs(side->worstLead)) side->worstLead = leadMs;
  }
};

class BrotherFile : public ::testing::TestWithParam<const char*> {};

TEST_P(BrotherFile, ClocksStayWithinTheMaximumInterval) {
  const std::vector<TagPtr> tags = ReadTagsOfFile(FixturePath(GetParam()));
  ASSERT_FALSE(tags.empty());
  Side audioSide;
  Side videoSide;
  audioSide.other = &videoSide;
  videoSide.other = &audioSide;
  TagReleaser releaser;
  ::FLVStreamDecoder* audio = FLVStreamDecoder_Create(0);
  ::FLVStreamDecoder* video = FLVStreamDecoder_Create(1);
  for (::FLVStreamDecoder* d : {audio, video}) {
    FLVStreamDecoder_SetDeleteFLVTagCallBack(d, &TagReleaser::CallBack, &releaser);
    FLVStreamDecoder_SetMaxIntervalTime(d, kMaxIntervalMs);
    FLVStreamDecoder_SetMaxFLVTagQueue(d, 50);
  }
  FLVStreamDecoder_SetBrother(audio, video);
  FLVStreamDecoder_SetBrother(video, audio);
  FLVStreamDecoder_SetOutputCallBack(audio, &Side::CallBack, &audioSide);
  FLVStreamDecoder_SetOutputCallBack(video, &Side::CallBack, &videoSide);
  FLVStreamDecoder_SetOutputSize(video, 128, 96);
  ASSERT_EQ(FLVStreamDecoder_Run(audio), 1);
  ASSERT_EQ(FLVStreamDecoder_Run(video), 1);
  std::size_t delivered = 0;
  for (const TagPtr& tag : tags) {
    ::FLVStreamDecoder* target = tag->tagType == FLV_TAG_TYPE_AUDIO   ? audio
                                 : tag->tagType == FLV_TAG_TYPE_VIDEO ? video
                                                                      : nullptr;
    if (target == nullptr) continue;
    FLVTag* copy = CloneRaw(*tag);
    while (FLVStreamDecoder_DeliverFLVPacket(target, copy) == 0) std::this_thread::sleep_for(10ms);
    ++delivered;
  }
  EXPECT_EQ(FLVStreamDecoder_Stop(audio), 1);
  FLVStreamDecoder_Stop(video);
  FLVStreamDecoder_Delete(audio);
  FLVStreamDecoder_Delete(video);

  EXPECT_EQ(releaser.count(), delivered);
  EXPECT_GT(audioSide.outputs.load(), 10);
  EXPECT_GT(videoSide.outputs.load(), 10);
  EXPECT_LE(std::llabs(audioSide.worstLead), kMaxIntervalMs + kSlackMs) << audioSide.worstLead;
  EXPECT_LE(std::llabs(videoSide.worstLead), kMaxIntervalMs + kSlackMs) << videoSide.worstLead;
}

INSTANTIATE_TEST_SUITE_P(Files, BrotherFile,
                         ::testing::Values("real/ruffle-rs_ruffle_square.flv",
                                           "real/mondain_red5_fp_fcs_live_video.flv"));

}  // namespace
}  // namespace kelvra::test
