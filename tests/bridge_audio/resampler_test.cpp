// The bridge's streaming resampler: lengths, the announced bound, and
// chunk-independence of its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

using Samples = std::vector<std::int16_t>;

struct ResamplerDeleter {
  void operator()(VexmarResampler* r) const { ARes_Free(r); }
};
using Resampler = std::unique_ptr<VexmarResampler, ResamplerDeleter>;

Resampler Make(int rate, int channels) {
  Vexmar_init();
  Resampler resampler(ARes_Create(rate, channels));
  EXPECT_NE(resampler, nullptr);
  return resampler;
}

// A sine at `hz`, the same value in every channel.
Samples Tone(int rate, int channels, double seconds, double hz) {
  Samples samples;
  for (int i = 0; i < static_cast<int>(rate * seconds); ++i) {
    samples.insert(samples.end(), channels, static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * M_PI * hz * i / rate))));
  }
  return samples;
}

int Bytes(const Samples& s) { return static_cast<int>(s.size() * 2); }

// One Convert with `room` bytes (< 0: as announced), appended to `to`;
// checks the bound and that nothing is written past the room.
void Convert(Samples& to, VexmarResampler* r, const std::int16_t* source, int sourceBytes, int rate, int channels,
             int room = -1) {
  constexpr std::uint8_t kGuard = 0xAB;
  const int bound = ARes_GetOutBufferSize(r, rate, channels, sourceBytes);
  ASSERT_GE(bound, 0);
  const int given = room < 0 ? bound : room;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(given) + 64, kGuard);
  int produced = given;
  ASSERT_EQ(ARes_Convert(r, reinterpret_cast<const std::uint8_t*>(source), sourceBytes, rate, channels, out.data(), &produced), 1);
  ASSERT_GE(produced, 0);
  ASSERT_LE(produced, std::min(bound, given));
  for (std::size_t i = static_cast<std::size_t>(given); i < out.size(); ++i) ASSERT_EQ(out[i], kGuard) << "past the room at " << i;
  const std::size_t first = to.size();
  to.resize(first + static_cast<std::size_t>(produced) / 2);
  std::memcpy(to.data() + first, out.data(), static_cast<std::size_t>(produced) / 2 * 2);
}

// Feeds `source` in random pieces of whole sample frames.
Samples ConvertInPieces(VexmarResampler* r, const Samples& source, int rate, int channels, unsigned seed, int maxFrames) {
  std::mt19937 rng(seed);
  Samples out;
  const std::size_t frames = source.size() / channels;
  for (std::size_t frame = 0; frame < frames;) {
    const std::size_t piece = std::min<std::size_t>(frames - frame, rng() % maxFrames);
    Convert(out, r, source.data() + frame * channels, static_cast<int>(piece * channels * 2), rate, channels);
    frame += piece;
  }
  return out;
}

// Any split of the input into calls gives the samples of one call, and a
// second in comes out as a second at the same level once drained.
TEST(Resampler, PiecesGiveTheSamplesOfOneCall) {
  for (const auto& [rate, channels, toRate, toChannels] : {std::array{22050, 1, 44100, 2}, {22050, 2, 44100, 1}, {44100, 2, 11025, 2}}) {
    SCOPED_TRACE(testing::Message() << rate << "/" << channels << " to " << toRate << "/" << toChannels);
    const Samples tone = Tone(rate, channels, 1.0, 441.0);
    Resampler whole = Make(toRate, toChannels);
    Samples expected;
    Convert(expected, whole.get(), tone.data(), Bytes(tone), rate, channels);
    // Without a drain a few input samples stay inside the filter.
    EXPECT_LE(expected.size() / toChannels, static_cast<std::size_t>(toRate));
    EXPECT_GE(expected.size() / toChannels, static_cast<std::size_t>(toRate - 64));
    Convert(expected, whole.get(), nullptr, 0, rate, channels);
    EXPECT_NEAR(static_cast<double>(expected.size()) / toChannels, toRate, 2.0);
    double power = 0;
    for (const std::int16_t v : expected) power += static_cast<double>(v) * v;
    EXPECT_NEAR(std::sqrt(power / static_cast<double>(expected.size())), 12000 / std::sqrt(2.0), 200.0);
    for (const int maxFrames : {2, 50, 4000}) {
      Resampler pieces = Make(toRate, toChannels);
      Samples out = ConvertInPieces(pieces.get(), tone, rate, channels, 99u + maxFrames, maxFrames);
      Convert(out, pieces.get(), nullptr, 0, rate, channels);
      EXPECT_EQ(out, expected) << "pieces of at most " << maxFrames << " frames";
    }
  }
}

TEST(Resampler, TooLittleRoomNeverOverrunsAndTheRestComesLater) {
  const Samples tone = Tone(11025, 1, 0.5, 300.0);
  Resampler whole = Make(48000, 2);
  Samples expected, out;
  Convert(expected, whole.get(), tone.data(), Bytes(tone), 11025, 1);
  Resampler tight = Make(48000, 2);
  Convert(out, tight.get(), tone.data(), Bytes(tone) / 2, 11025, 1, 1000);
  Convert(out, tight.get(), tone.data() + tone.size() / 2, Bytes(tone) / 2, 11025, 1, 6);  // not a whole frame
  // Empty input just lets the held samples out.
  for (int i = 0; i < 100 && out.size() < expected.size(); ++i) Convert(out, tight.get(), tone.data(), 0, 11025, 1, 4096);
  EXPECT_EQ(out, expected);
}

TEST(Resampler, ASourceFormatChangeLetsTheOldTailOutFirst) {
  Resampler r = Make(44100, 2);
  const Samples first = Tone(22050, 1, 0.25, 500.0), second = Tone(32000, 2, 0.25, 500.0);
  Samples out;
  Convert(out, r.get(), first.data(), Bytes(first), 22050, 1);
  Convert(out, r.get(), second.data(), Bytes(second), 32000, 2);
  Convert(out, r.get(), nullptr, 0, 32000, 2);
  EXPECT_NEAR(static_cast<double>(out.size()) / 2, 44100 / 2.0, 4.0);
  // The output's own rate and channels pass through unchanged.
  const Samples same = Tone(44100, 2, 0.1, 700.0);
  Samples passed;
  Convert(passed, r.get(), same.data(), Bytes(same), 44100, 2);
  EXPECT_EQ(passed, same);
}

TEST(Resampler, BadArgumentsAreRefused) {
  Vexmar_init();
  EXPECT_EQ(ARes_Create(0, 2), nullptr);
  EXPECT_EQ(ARes_Create(44100, 0), nullptr);
  ARes_Free(nullptr);
  std::int16_t samples[8] = {};
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples);
  std::uint8_t out[64];
  int size = sizeof out;
  EXPECT_EQ(ARes_GetOutBufferSize(nullptr, 22050, 1, 16), 0);
  EXPECT_EQ(ARes_Convert(nullptr, bytes, 16, 22050, 1, out, &size), 0);
  EXPECT_EQ(size, 0);
  Resampler r = Make(44100, 2);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 1, -2), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 0, 1, 16), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 99, 16), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 1, INT32_MAX), 0);  // does not fit an int
  EXPECT_EQ(ARes_Convert(r.get(), bytes, 16, 22050, 1, out, nullptr), 0);
  for (const auto& [source, rate, destination, room] : {std::tuple{bytes, 0, out, 64}, {nullptr, 22050, out, 64},
                                                         {bytes, 22050, nullptr, 16}, {bytes, 22050, out, -1}}) {
    size = room;
    EXPECT_EQ(ARes_Convert(r.get(), source, 16, rate, 1, destination, &size), 0);
  }
  Samples still;
  Convert(still, r.get(), samples, 16, 44100, 2);
  EXPECT_FALSE(still.empty());
}

}  // namespace
