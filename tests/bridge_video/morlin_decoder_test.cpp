// The Morlin VP6 library: what it accepts, and its life cycle. Its pictures
// are compared with the bridge's in video_decoder_test.cpp.
#include <gtest/gtest.h>

#include <random>

#include "bridge_video/video_test_media.h"
#include "morlin/morlin.h"
#include "vexmar/vexmar.h"

namespace kelvra::test {
namespace {

TEST(MorlinDecoder, RefusesOtherCodecsUnknownFormatsNegativeSizesAndMissingArguments) {
  // Only the top-first VP6 decoder is made.
  for (const auto& [direction, codec] :
       {std::pair{0, 4}, {2, 4}, {-1, 4}, {1, 2}, {1, 5}, {1, 0}, {1, 94}}) {
    EXPECT_EQ(FlvDecoder_Create(direction, codec), nullptr) << direction << ", " << codec;
  }
  MorlinDecoder* decoder = FlvDecoder_Create(1, 4);
  ASSERT_NE(decoder, nullptr);
  for (int format : {0, 2, 5, 7}) EXPECT_EQ(FlvDecoder_Open(decoder, format, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(decoder, VEXMAR_IMAGE_BGRA, -16, 240), 0);
  EXPECT_EQ(FlvDecoder_Open(decoder, VEXMAR_IMAGE_BGRA, 320, -1), 0);

  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  const uint8_t byte = 0;
  EXPECT_EQ(FlvDecoder_DecodeVideo(decoder, &byte, 1, &picture, &size, &width, &height), 0);

  ASSERT_NE(FlvDecoder_Open(decoder, VEXMAR_IMAGE_BGRA, 0, 0), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(decoder, nullptr, 4, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(decoder, &byte, 0, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(decoder, &byte, 1, &picture, &size, nullptr, &height), 0);
  EXPECT_EQ(FlvDecoder_Close(decoder), 1);
  FlvDecoder_Free(decoder);

  EXPECT_EQ(FlvDecoder_Open(nullptr, VEXMAR_IMAGE_BGRA, 320, 240), 0);
  EXPECT_EQ(FlvDecoder_DecodeVideo(nullptr, &byte, 1, &picture, &size, &width, &height), 0);
  EXPECT_EQ(FlvDecoder_Close(nullptr), 0);
  FlvDecoder_Free(nullptr);
}

TEST(MorlinDecoder, GarbageFailsQuietlyAndReopenedDecoderStartsAfresh) {
  const CodedVideo video = ReadCodedVideo(RealFixture("mondain_red5_CuePointTest.flv"), 3);
  ASSERT_EQ(video.frames.size(), 3u);
  MorlinDecoder* decoder = FlvDecoder_Create(1, 4);
  ASSERT_NE(decoder, nullptr);
  ASSERT_NE(FlvDecoder_Open(decoder, VEXMAR_IMAGE_BGRA, 400, 300), 0);

  uint8_t* picture = nullptr;
  int size = 0, width = 0, height = 0;
  auto decode = [&](const std::vector<std::uint8_t>& frame) {
    return FlvDecoder_DecodeVideo(decoder, frame.data(), static_cast<int>(frame.size()), &picture,
                                  &size, &width, &height);
  };
  ASSERT_NE(decode(video.frames[0]), 0);
  const std::vector<std::uint8_t> first(picture, picture + size);
  ASSERT_NE(decode(video.frames[1]), 0);

  testing::internal::CaptureStderr();
  std::mt19937 random(99);
  std::uniform_int_distribution<int> byte(0, 255);
  int accepted = 0;
  for (int round = 0; round < 32; ++round) {
    std::vector<std::uint8_t> garbage(static_cast<std::size_t>(1 + round * 37));
    for (auto& b : garbage) b = static_cast<std::uint8_t>(byte(random));
    if (decode(garbage) != 0) ++accepted;
  }
  // A key frame cut short, then the whole key frame.
  const std::vector<std::uint8_t> cut(video.frames[0].begin(),
                                      video.frames[0].begin() + video.frames[0].size() / 8);
  EXPECT_EQ(decode(cut), 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_LE(accepted, 2);
  ASSERT_NE(decode(video.frames[0]), 0);
  EXPECT_TRUE(std::vector<std::uint8_t>(picture, picture + size) == first);

  // Close and open again: the key frame gives the very same picture.
  ASSERT_EQ(FlvDecoder_Close(decoder), 1);
  ASSERT_NE(FlvDecoder_Open(decoder, VEXMAR_IMAGE_BGRA, 400, 300), 0);
  ASSERT_NE(decode(video.frames[0]), 0);
  EXPECT_EQ(width, 400);
  EXPECT_EQ(height, 304);
  EXPECT_TRUE(std::vector<std::uint8_t>(picture, picture + size) == first);
  EXPECT_NE(decode(video.frames[1]), 0);
  FlvDecoder_Close(decoder);
  FlvDecoder_Free(decoder);
}

}  // namespace
}  // namespace kelvra::test
