#pragma once
// The NUTS posterior estimator's record: a fixed sampling configuration.

#include <cstdint>

#include "sampler/settings.hpp"

namespace varnel {

// A time limit of whole seconds and nanoseconds (nanos < 1e9).
struct TimeLimit {
  std::uint64_t secs = 100;
  std::uint32_t nanos = 0;
};

// Seconds as a TimeLimit, rounded to the nearest nanosecond (ties to even).
// Panics "cannot convert float seconds to Duration: value is negative" for a
// negative value, and "...: value is either too big or NaN" for NaN or 2^64
// seconds and more.
TimeLimit time_limit_from_secs(double seconds);

struct NUTSEstimator {
  NutsSettings settings{};
  TimeLimit time_limit{};
};

}  // namespace varnel
