// Media time in 100-ns units, the clock of every decoded block and of the
// codec helpers: the unit and its conversions in one place. Header-only, so
// the library and the bridge libraries share it without linking each other.
//
// Every conversion is integer arithmetic that truncates toward zero, the
// multiplication done before the division so no precision is lost first.
#ifndef KELVRA_BRIDGE_SHARED_UNITS_100NS_H
#define KELVRA_BRIDGE_SHARED_UNITS_100NS_H

#include <cstdint>

namespace units100ns {

inline constexpr std::int64_t kPerMs = 10'000;
inline constexpr std::int64_t kPerSecond = 10'000'000;

constexpr std::int64_t FromMs(std::int64_t ms) { return ms * kPerMs; }
constexpr std::int64_t ToMs(std::int64_t units) { return units / kPerMs; }

// The playing time of `samples` sample frames at `rate` Hz; `rate` must not
// be zero.
constexpr std::int64_t FromSamples(std::int64_t samples, std::int64_t rate) {
  return samples * kPerSecond / rate;
}

// When the `count`-th of events that happen `perSecond` times a second
// falls, truncated to whole units; `perSecond` must be positive. Multiplied
// before dividing, so whole multiples of the period come out whole (41 / 25
// * 10^7 would truncate to 16399999).
constexpr std::int64_t FromCount(std::int64_t count, double perSecond) {
  return static_cast<std::int64_t>(static_cast<double>(count) * static_cast<double>(kPerSecond) /
                                   perSecond);
}

// The period of events that happen `perSecond` times a second.
constexpr std::int64_t PeriodOf(double perSecond) { return FromCount(1, perSecond); }

}  // namespace units100ns

#endif  // KELVRA_BRIDGE_SHARED_UNITS_100NS_H
