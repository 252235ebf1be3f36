// The bridge's resampler and byte FIFO.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <deque>
#include <memory>
#include <random>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

using Samples = std::vector<std::int16_t>;
using Resampler =
    std::unique_ptr<VexmarResampler, decltype([](VexmarResampler* r) { ARes_Free(r); })>;
Resampler Make(int rate, int channels) {
  Vexmar_init();
  return Resampler(ARes_Create(rate, channels));
}
Samples Tone(int rate, int channels, double seconds, double hz) {
  Samples samples;
  for (int i = 0; i < static_cast<int>(rate * seconds); ++i)
    samples.insert(
        samples.end(), channels,
        static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * M_PI * hz * i / rate))));
  return samples;
}

// Converts `frames` of `source` (null: drains) into `room` bytes (< 0: the bound).
void Convert(Samples& to, VexmarResampler* r, const Samples* source, int rate, int channels,
             std::size_t first = 0, std::size_t frames = SIZE_MAX, int room = -1) {
  const std::int16_t* data = source ? source->data() + first * channels : nullptr;
  const int bytes =
      source ? static_cast<int>(std::min(frames, source->size() / channels - first) * channels * 2)
             : 0;
  const int bound = ARes_GetOutBufferSize(r, rate, channels, bytes);
  const int given = room < 0 ? bound : room;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(std::max(given, 0)) + 64, 0xAB);
  int produced = given;
  ASSERT_EQ(ARes_Convert(r, reinterpret_cast<const std::uint8_t*>(data), bytes, rate, channels,
                         out.data(), &produced),
            1);
  ASSERT_TRUE(produced >= 0 && produced <= std::min(bound, given)) << produced << " of " << bound;
  ASSERT_TRUE(std::all_of(out.begin() + given, out.end(), [](std::uint8_t b) { return b == 0xAB; }))
      << "written past the room";
  const auto* samples = reinterpret_cast<const std::int16_t*>(out.data());
  to.insert(to.end(), samples, samples + produced / 2);
}

// Any split of the input into calls gives the samples of one call; too little room
// never overruns; a source format change lets the held tail out first; bad formats refused.
TEST(Resampler, PiecesTightRoomFormatChangesAndRefusals) {
  const std::array<int, 4> rows[] = {{22050, 1, 44100, 2},
                                     {22050, 2, 44100, 1},
                                     {44100, 2, 11025, 2}};
  for (const auto& [rate, channels, toRate, toChannels] : rows) {
    SCOPED_TRACE(testing::Message() << rate << "/" << channels << " to " << toRate);
    const Samples tone = Tone(rate, channels, 1.0, 441.0);
    Resampler whole = Make(toRate, toChannels);
    Samples expected;
    Convert(expected, whole.get(), &tone, rate, channels);
    Convert(expected, whole.get(), nullptr, rate, channels);
    EXPECT_NEAR(static_cast<double>(expected.size()) / toChannels, toRate, 2.0);
    double power = 0;
    for (const std::int16_t v : expected) power += static_cast<double>(v) * v;
    EXPECT_NEAR(std::sqrt(power / static_cast<double>(expected.size())), 12000 / std::sqrt(2.0),
                200.0);
    for (const unsigned maxFrames : {2u, 50u, 4000u}) {
      Resampler pieces = Make(toRate, toChannels);
      std::mt19937 rng(maxFrames);
      Samples out;
      for (std::size_t frame = 0, piece = 0; frame < tone.size() / channels; frame += piece) {
        piece = rng() % maxFrames;
        Convert(out, pieces.get(), &tone, rate, channels, frame, piece);
      }
      Convert(out, pieces.get(), nullptr, rate, channels);
      EXPECT_EQ(out, expected) << "pieces of at most " << maxFrames << " frames";
    }
  }
  // Too little room never overruns and the rest comes later.
  const Samples tone = Tone(11025, 1, 0.5, 300.0), second = Tone(32000, 2, 0.25, 500.0);
  Resampler whole = Make(48000, 2), tight = Make(48000, 2);
  Samples expected, out;
  Convert(expected, whole.get(), &tone, 11025, 1);
  Convert(out, tight.get(), &tone, 11025, 1, 0, tone.size() / 2, 1000);
  Convert(out, tight.get(), &tone, 11025, 1, tone.size() / 2, SIZE_MAX, 6);  // not a whole frame
  for (int i = 0; i < 100 && out.size() < expected.size(); ++i)
    Convert(out, tight.get(), &tone, 11025, 1, 0, 0, 4096);
  EXPECT_EQ(out, expected);
  // 0.5 s of the first format and 0.25 s of the second: nothing of the first is held back.
  Convert(expected, whole.get(), &second, 32000, 2);
  Convert(expected, whole.get(), nullptr, 32000, 2);
  EXPECT_NEAR(static_cast<double>(expected.size()) / 2, 48000 * 0.75, 4.0);
  EXPECT_TRUE(Make(0, 2) == nullptr &&
              ARes_GetOutBufferSize(tight.get(), 22050, 1, INT32_MAX) == 0);  // does not fit an int
}

TEST(DataBuffer, RandomPushesReadsAndClearsMatchADeque) {
  VexmarDataBuffer* buffer = DB2_Create();
  std::deque<std::uint8_t> reference;
  std::mt19937 rng(12345);
  std::uint8_t next = 0;
  std::vector<std::uint8_t> piece, out;
  for (int step = 0; step < 4000; ++step) {
    // Sizes straddle the ring's growth points and wrap it.
    const std::size_t size = rng() % (step % 50 == 0 ? 20000 : 700);
    if (step % 1000 == 999) {
      ASSERT_EQ(DB2_Clear(buffer), 1);
      reference.clear();
    } else if (rng() % 2 == 0) {
      piece.resize(size);
      for (auto& b : piece) b = next++;
      ASSERT_EQ(DB2_Push(buffer, piece.data(), piece.size()), 1);
      reference.insert(reference.end(), piece.begin(), piece.end());
    } else {
      out.assign(size, 0xEE);
      const std::size_t moved = DB2_Read(buffer, out.data(), size);
      ASSERT_EQ(moved, std::min(size, reference.size()));
      for (std::size_t i = 0; i < moved; ++i, reference.pop_front())
        ASSERT_EQ(out[i], reference.front()) << step << " " << i;
      for (std::size_t i = moved; i < size; ++i)
        ASSERT_EQ(out[i], 0xEE) << "written past what was moved";
    }
    ASSERT_EQ(DB2_GetDataSize(buffer), reference.size());
  }
  EXPECT_TRUE(DB2_Push(buffer, nullptr, 5) == 0 && DB2_Read(buffer, nullptr, 1) == 0 &&
              DB2_Delete(buffer) == 1);
}

}  // namespace
