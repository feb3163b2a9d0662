#include "estimation/posterior.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "sampler/panic.hpp"

namespace varnel {
namespace {

TEST(TimeLimit, RoundsToTheNearestNanosecond) {
  struct Case {
    double seconds;
    std::uint64_t secs;
    std::uint32_t nanos;
  };
  const Case cases[] = {
      {0.0, 0, 0},
      {-0.0, 0, 0},
      {100.0, 100, 0},
      {1.5, 1, 500'000'000},
      {0.1, 0, 100'000'000},
      {1e-9, 0, 1},
      {4e-10, 0, 0},
      {0.0009765625, 0, 976'562},         // exactly 976562.5 ns: ties go to even
      {0.0029296875, 0, 2'929'688},       // exactly 2929687.5 ns
      {0.9999999994, 0, 999'999'999},
      {0.99999999999, 1, 0},              // rounds up into the next second
      {18446744073709549568.0, 18446744073709549568u, 0},  // largest double below 2^64
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.seconds);
    const TimeLimit t = time_limit_from_secs(c.seconds);
    EXPECT_EQ(t.secs, c.secs);
    EXPECT_EQ(t.nanos, c.nanos);
  }
}

TEST(TimeLimit, RefusesNegativeNaNAndTooBig) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::string negative = "cannot convert float seconds to Duration: value is negative";
  const std::string too_big = "cannot convert float seconds to Duration: value is either too big or NaN";
  const std::pair<double, std::string> cases[] = {
      {-1.0, negative}, {-1e-300, negative}, {-inf, negative},
      {std::nan(""), too_big}, {inf, too_big}, {18446744073709551616.0, too_big},
  };
  for (const auto& [seconds, text] : cases) {
    SCOPED_TRACE(seconds);
    try {
      (void)time_limit_from_secs(seconds);
      ADD_FAILURE() << "no failure";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), text);
    }
  }
}

}  // namespace
}  // namespace varnel
