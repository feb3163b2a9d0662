#include "estimation/posterior.hpp"

#include <cmath>

#include "sampler/panic.hpp"

namespace varnel {

namespace {

constexpr std::uint64_t kNanosPerSec = 1'000'000'000;
constexpr double kTwoPow64 = 18446744073709551616.0;

}  // namespace

TimeLimit time_limit_from_secs(double seconds) {
  if (seconds < 0.0) panic("cannot convert float seconds to Duration: value is negative");
  if (!(seconds < kTwoPow64)) {
    panic("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  const double whole = std::floor(seconds);
  const double fraction = seconds - whole;  // exact
  auto secs = static_cast<std::uint64_t>(whole);

  // fraction = mantissa·2^exponent exactly; the nanoseconds are that times
  // 1e9, rounded to nearest with ties to even in 128-bit integer arithmetic.
  std::uint64_t nanos = 0;
  if (fraction > 0.0) {
    int exponent = 0;
    const double normalised = std::frexp(fraction, &exponent);  // in [0.5, 1)
    const auto mantissa = static_cast<std::uint64_t>(std::ldexp(normalised, 53));
    const int shift = 53 - exponent;  // fraction = mantissa / 2^shift, shift >= 53
    if (shift < 128) {
      const unsigned __int128 product = static_cast<unsigned __int128>(mantissa) * kNanosPerSec;
      unsigned __int128 quotient = product >> shift;
      const unsigned __int128 remainder = product - (quotient << shift);
      const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
      if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++quotient;
      nanos = static_cast<std::uint64_t>(quotient);
    }
  }
  if (nanos >= kNanosPerSec) {
    nanos -= kNanosPerSec;
    if (secs == UINT64_MAX) {
      panic("cannot convert float seconds to Duration: value is either too big or NaN");
    }
    ++secs;
  }
  return TimeLimit{secs, static_cast<std::uint32_t>(nanos)};
}

}  // namespace varnel
