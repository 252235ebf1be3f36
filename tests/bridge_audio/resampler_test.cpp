// The bridge's streaming resampler: lengths, the announced bound, and
// chunk-independence of its output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "vexmar/vexmar.h"

namespace {

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

// `seconds` of a sine at `hz`, interleaved 16-bit with the same value in
// every channel.
std::vector<std::int16_t> Tone(int rate, int channels, double seconds, double hz) {
  const int frames = static_cast<int>(rate * seconds);
  std::vector<std::int16_t> samples(static_cast<std::size_t>(frames) * channels);
  for (int i = 0; i < frames; ++i) {
    const auto v = static_cast<std::int16_t>(std::lround(12000 * std::sin(2 * M_PI * hz * i / rate)));
    for (int c = 0; c < channels; ++c) samples[static_cast<std::size_t>(i) * channels + c] = v;
  }
  return samples;
}

constexpr std::uint8_t kGuard = 0xAB;
constexpr std::size_t kGuardBytes = 64;

// One Convert with exactly the announced room; checks the bound and that
// nothing is written past it. `room` < 0 means "as announced".
std::vector<std::int16_t> Convert(VexmarResampler* r, const std::int16_t* source, int sourceBytes,
                                  int rate, int channels, int room = -1) {
  const int bound = ARes_GetOutBufferSize(r, rate, channels, sourceBytes);
  EXPECT_GE(bound, 0);
  const int given = room < 0 ? bound : room;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(given) + kGuardBytes, kGuard);
  int produced = given;
  EXPECT_EQ(ARes_Convert(r, reinterpret_cast<const std::uint8_t*>(source), sourceBytes, rate,
                         channels, out.data(), &produced),
            1);
  EXPECT_GE(produced, 0);
  EXPECT_LE(produced, bound);
  EXPECT_LE(produced, given);
  for (std::size_t i = static_cast<std::size_t>(given); i < out.size(); ++i) {
    EXPECT_EQ(out[i], kGuard) << "written past the room at " << i;
    if (out[i] != kGuard) break;
  }
  std::vector<std::int16_t> samples(static_cast<std::size_t>(std::max(produced, 0)) / 2);
  if (!samples.empty()) std::memcpy(samples.data(), out.data(), samples.size() * 2);
  return samples;
}

std::vector<std::int16_t> Drain(VexmarResampler* r, int rate, int channels) {
  return Convert(r, nullptr, 0, rate, channels);
}

void Append(std::vector<std::int16_t>& to, const std::vector<std::int16_t>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Feeds `source` in random pieces of whole sample frames.
std::vector<std::int16_t> ConvertInPieces(VexmarResampler* r, const std::vector<std::int16_t>& source,
                                          int rate, int channels, unsigned seed, int maxFrames) {
  std::mt19937 rng(seed);
  std::vector<std::int16_t> out;
  const std::size_t frames = source.size() / channels;
  for (std::size_t frame = 0; frame < frames;) {
    const std::size_t piece = std::min<std::size_t>(frames - frame, rng() % maxFrames);
    Append(out, Convert(r, source.data() + frame * channels, static_cast<int>(piece * channels * 2),
                        rate, channels));
    frame += piece;
  }
  return out;
}

TEST(Resampler, OneSecondOfMono22050BecomesOneSecondOfStereo44100) {
  Resampler r = Make(44100, 2);
  const auto tone = Tone(22050, 1, 1.0, 441.0);
  auto out = ConvertInPieces(r.get(), tone, 22050, 1, 1, 3000);
  const std::size_t beforeDrain = out.size() / 2;
  // Without a drain a few input samples stay inside the filter.
  EXPECT_LE(beforeDrain, 44100u);
  EXPECT_GE(beforeDrain, 44100u - 64);
  Append(out, Drain(r.get(), 22050, 1));
  EXPECT_NEAR(static_cast<double>(out.size()) / 2, 44100.0, 2.0);

  // Mono goes to both sides at full level.
  double power = 0;
  for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
    ASSERT_EQ(out[i], out[i + 1]) << "frame " << i / 2;
    power += static_cast<double>(out[i]) * out[i];
  }
  EXPECT_NEAR(std::sqrt(power / (out.size() / 2)), 12000 / std::sqrt(2.0), 200.0);
}

TEST(Resampler, ConsecutiveCallsGiveTheSameSamplesAsOneCall) {
  const auto tone = Tone(22050, 2, 0.7, 1000.0);
  Resampler whole = Make(44100, 1);
  auto expected = Convert(whole.get(), tone.data(), static_cast<int>(tone.size() * 2), 22050, 2);
  Append(expected, Drain(whole.get(), 22050, 2));

  for (const int maxFrames : {2, 50, 4000}) {
    SCOPED_TRACE(maxFrames);
    Resampler pieces = Make(44100, 1);
    auto out = ConvertInPieces(pieces.get(), tone, 22050, 2, 99u + maxFrames, maxFrames);
    Append(out, Drain(pieces.get(), 22050, 2));
    EXPECT_EQ(out, expected);
  }
}

TEST(Resampler, TooLittleRoomNeverOverrunsAndTheRestComesLater) {
  const auto tone = Tone(11025, 1, 0.5, 300.0);
  Resampler whole = Make(48000, 2);
  auto expected = Convert(whole.get(), tone.data(), static_cast<int>(tone.size() * 2), 11025, 1);

  Resampler tight = Make(48000, 2);
  std::vector<std::int16_t> out;
  const int half = static_cast<int>(tone.size());  // bytes of the first half
  Append(out, Convert(tight.get(), tone.data(), half, 11025, 1, 1000));
  Append(out, Convert(tight.get(), tone.data() + tone.size() / 2, half, 11025, 1, 6));  // not a whole frame
  // Empty input just lets the held samples out.
  for (int i = 0; i < 100 && out.size() < expected.size(); ++i) {
    Append(out, Convert(tight.get(), tone.data(), 0, 11025, 1, 4096));
  }
  EXPECT_EQ(out, expected);
}

TEST(Resampler, ASourceFormatChangeLetsTheOldTailOutFirst) {
  Resampler r = Make(44100, 2);
  const auto first = Tone(22050, 1, 0.25, 500.0);
  const auto second = Tone(32000, 2, 0.25, 500.0);
  auto out = Convert(r.get(), first.data(), static_cast<int>(first.size() * 2), 22050, 1);
  Append(out, Convert(r.get(), second.data(), static_cast<int>(second.size() * 2), 32000, 2));
  Append(out, Drain(r.get(), 32000, 2));
  EXPECT_NEAR(static_cast<double>(out.size()) / 2, 44100 / 2.0, 4.0);
  // The same rate and channels pass through unchanged.
  const auto same = Tone(44100, 2, 0.1, 700.0);
  EXPECT_EQ(Convert(r.get(), same.data(), static_cast<int>(same.size() * 2), 44100, 2), same);
}

TEST(Resampler, BadArgumentsAreRefused) {
  Vexmar_init();
  EXPECT_EQ(ARes_Create(0, 2), nullptr);
  EXPECT_EQ(ARes_Create(44100, 0), nullptr);
  EXPECT_EQ(ARes_Create(-5, -5), nullptr);
  ARes_Free(nullptr);
  std::int16_t samples[8] = {};
  std::uint8_t out[64];
  int size = sizeof out;
  EXPECT_EQ(ARes_GetOutBufferSize(nullptr, 22050, 1, 16), 0);
  EXPECT_EQ(ARes_Convert(nullptr, reinterpret_cast<std::uint8_t*>(samples), 16, 22050, 1, out, &size), 0);
  EXPECT_EQ(size, 0);

  Resampler r = Make(44100, 2);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 1, -2), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 0, 1, 16), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 99, 16), 0);
  EXPECT_EQ(ARes_GetOutBufferSize(r.get(), 22050, 1, INT32_MAX), 0);  // does not fit an int
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples);
  EXPECT_EQ(ARes_Convert(r.get(), bytes, 16, 22050, 1, out, nullptr), 0);
  size = sizeof out;
  EXPECT_EQ(ARes_Convert(r.get(), bytes, 16, 0, 1, out, &size), 0);
  size = sizeof out;
  EXPECT_EQ(ARes_Convert(r.get(), nullptr, 16, 22050, 1, out, &size), 0);
  size = 16;
  EXPECT_EQ(ARes_Convert(r.get(), bytes, 16, 22050, 1, nullptr, &size), 0);
  size = -1;
  EXPECT_EQ(ARes_Convert(r.get(), bytes, 16, 22050, 1, out, &size), 0);
  // Still usable.
  EXPECT_FALSE(Convert(r.get(), samples, 16, 44100, 2).empty());
}

}  // namespace
