#include "adapt_strategy.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "adapt_test_doubles.hpp"
#include "alloc_counter.hpp"
#include "chacha.hpp"
#include "chain_builder.hpp"
#include "nuts_doubles.hpp"
#include "panic.hpp"

namespace varnel {
namespace {

using testing::FakeMath;
using testing::FakePotential;
using testing::FakeRng;
using testing::FakeState;
using testing::make_state;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(U64FromDouble, TruncatesClampsAndSaturates) {
  struct Case {
    std::string label;
    double x;
    std::uint64_t expected;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"zero", 0.0, 0},
      {"negative zero", -0.0, 0},
      {"fraction truncates", 0.9, 0},
      {"truncates towards zero", 119.99999, 119},
      {"negative", -1.5, 0},
      {"negative infinity", -inf, 0},
      {"NaN", std::numeric_limits<double>::quiet_NaN(), 0},
      {"largest double below 2^64", 18446744073709549568.0, 18446744073709549568u},
      {"2^64 saturates", 18446744073709551616.0, kMax},
      {"huge saturates", 1e300, kMax},
      {"infinity saturates", inf, kMax},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(u64_from_double(c.x), c.expected);
  }
}

TEST(WarmupWindows, BoundariesForDefaultFractions) {
  struct Case {
    std::uint64_t num_tune, early_end, final_window_start;
  };
  const std::vector<Case> cases = {
      {400, 120, 340}, {10, 3, 9}, {7, 2, 6}, {6, 1, 6}, {1, 0, 1}, {1000, 300, 850}};
  for (const Case& c : cases) {
    SCOPED_TRACE("num_tune " + std::to_string(c.num_tune));
    const GlobalStrategy strategy(AdaptSettings{}, 2, c.num_tune);
    EXPECT_EQ(strategy.early_end(), c.early_end);
    EXPECT_EQ(strategy.final_window_start(), c.final_window_start);
    EXPECT_EQ(early_window_end(c.num_tune, AdaptSettings{}), c.early_end);
    EXPECT_EQ(final_window_start(c.num_tune, AdaptSettings{}), c.final_window_start);
    EXPECT_TRUE(strategy.is_tuning());
  }
}

TEST(WarmupWindows, OddFractions) {
  AdaptSettings settings;
  settings.step_size_window_fraction = 1.5;  // window longer than warm-up
  EXPECT_EQ(final_window_start(10, settings), 0u);
  settings.step_size_window_fraction = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(final_window_start(10, settings), 10u);
  settings.early_window_fraction = -0.5;
  EXPECT_EQ(early_window_end(10, settings), 0u);
}

TEST(GlobalStrategy, RefusesAnEarlyPhaseCoveringAllWarmup) {
  struct Case {
    std::string label;
    std::uint64_t num_tune;
    double early_fraction;
  };
  const std::vector<Case> cases = {{"no warm-up", 0, 0.3}, {"early fraction 1", 10, 1.0},
                                   {"early fraction above 1", 10, 2.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    AdaptSettings settings;
    settings.early_window_fraction = c.early_fraction;
    try {
      GlobalStrategy strategy(settings, 2, c.num_tune);
      ADD_FAILURE() << "accepted";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), "assertion failed: early_end < num_tune");
    }
  }
}

// Drives a GlobalStrategy through num_tune + 3 draws on test doubles and
// records per draw what the adaptation did, as four characters:
//   estimator: E early, L late, - none;
//   S when the mass matrix estimators switched, else .;
//   U when the diagonal was rewritten, else .;
//   next step size: c noisy iterate, a averaged iterate, r step size search,
//   f untouched (frozen).
// The step size search always fails here (the fake leapfrog reports an error)
// so that the estimator stays visible on the draws that rerun it.
struct ScheduleRun {
  AdaptSettings settings;
  std::uint64_t num_tune;
  std::function<bool(std::uint64_t)> is_good = [](std::uint64_t) { return true; };

  // Allocations made by each draw's adapt call, filled by run().
  mutable std::vector<std::size_t> allocations{};

  std::vector<std::string> run() const {
    FakeMath math;
    FakePotential potential;
    potential.energy_error = [](double) { return std::optional<double>(); };
    FakeRng rng;
    GlobalStrategy strategy(settings, math, num_tune);
    strategy.init(math, potential, make_state({0.1, 0.2}, {-0.4, 2.0}), rng);
    std::vector<std::string> events;
    for (std::uint64_t d = 0; d < num_tune + 3; ++d) {
      // Draws that keep the variance estimates moving.
      const double x = std::sin(0.7 * static_cast<double>(d)) + 0.01 * static_cast<double>(d);
      const double y = std::cos(2.3 * static_cast<double>(d));
      const FakeState state = make_state({x, y}, {-1.7 * x + 0.1, -0.3 * y * y - 1.0},
                                         is_good(d) ? 1 : 0, 0.5, 1.0);
      CombinedCollector collector = strategy.new_collector(math);
      collector.begin_draw(state);
      collector.accept_rate.add_step(0.9, 0.3);
      collector.observe_draw(state, nullptr);

      const DualAverage before = strategy.step_size().dual_average();
      DualAverage early = before;
      early.advance(0.9, 0.8);
      DualAverage late = before;
      late.advance(0.3, 0.8);
      const std::vector<double> variance(potential.mass_matrix.variance.begin(),
                                         potential.mass_matrix.variance.end());
      const std::size_t searches = potential.log.pool_capacities.size();
      potential.step_size = -1.0;

      EXPECT_EQ(strategy.is_tuning(), d <= num_tune) << "draw " << d;
      {
        nuts_testing::AllocationCounter counter;
        strategy.adapt(math, collector, potential, d, state, rng);
        allocations.push_back(counter.count());
      }

      std::string e(4, '?');
      const DualAverage& after = strategy.step_size().dual_average();
      if (after.hbar == early.hbar && after.count == early.count) e[0] = 'E';
      if (after.hbar == late.hbar && after.count == late.count) e[0] = 'L';
      if (after.hbar == before.hbar && after.count == before.count) e[0] = '-';
      const bool estimators_touched = d < strategy.final_window_start() && d < num_tune;
      e[1] = estimators_touched && strategy.mass_matrix().background_count() == 0 ? 'S' : '.';
      const bool rewritten = !std::equal(variance.begin(), variance.end(),
                                         potential.mass_matrix.variance.begin());
      e[2] = rewritten ? 'U' : '.';
      EXPECT_EQ(rewritten, d > 0 && strategy.last_update() == d) << "draw " << d;
      if (potential.log.pool_capacities.size() != searches) {
        e[3] = potential.step_size == settings.step_size.initial_step_size ? 'r' : '?';
      } else if (potential.step_size == -1.0) {
        e[3] = 'f';
      } else if (potential.step_size == strategy.step_size().current_step_size()) {
        e[3] = 'c';
      } else if (potential.step_size == strategy.step_size().current_step_size_adapted()) {
        e[3] = 'a';
      }
      events.push_back(e);
    }
    return events;
  }
};

// Expected events, given as ranges of draws [first, last] with one event.
struct Span {
  std::uint64_t first, last;
  std::string event;
};

std::vector<std::string> expand(const std::vector<Span>& spans) {
  std::vector<std::string> out;
  for (const Span& s : spans) {
    EXPECT_EQ(s.first, out.size()) << "spans must be contiguous";
    for (std::uint64_t d = s.first; d <= s.last; ++d) out.push_back(s.event);
  }
  return out;
}

// Spans for every draw that lies in the list of single draws `at` with
// `event`, and `other` elsewhere, over [first, last].
std::vector<Span> every(std::uint64_t first, std::uint64_t last, std::vector<std::uint64_t> at,
                        const std::string& event, const std::string& other) {
  std::vector<Span> out;
  std::uint64_t next = first;
  for (std::uint64_t d : at) {
    if (d > next) out.push_back({next, d - 1, other});
    out.push_back({d, d, event});
    next = d + 1;
  }
  if (next <= last) out.push_back({next, last, other});
  return out;
}

std::vector<Span> join(std::vector<std::vector<Span>> parts) {
  std::vector<Span> out;
  for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Compares draw by draw, reporting each mismatch with its draw index.
void expect_schedule(const std::vector<std::string>& actual, const std::vector<std::string>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t d = 0; d < actual.size(); ++d) {
    EXPECT_EQ(actual[d], expected[d]) << "draw " << d;
  }
}

TEST(WarmupSchedule, GoldenSchedules) {
  struct Case {
    std::string label;
    std::uint64_t num_tune;
    std::vector<Span> spans;
  };
  std::vector<std::uint64_t> early_switches;
  for (std::uint64_t d = 8; d <= 118; d += 10) early_switches.push_back(d);
  const std::vector<Case> cases = {
      {"default num_tune 400",
       400,
       join({{{0, 0, "E..c"}, {1, 1, "E.Ur"}},
             every(2, 119, early_switches, "ESUc", "E.Uc"),
             every(120, 260, {198}, "ESUc", "E.Uc"),
             {{261, 339, "L.Uc"}, {340, 398, "L..c"}, {399, 399, "L..a"}, {400, 402, "-..f"}}})},
      {"num_tune 10: no switch, late estimator from the start",
       10,
       {{0, 0, "L..c"}, {1, 1, "L.Ur"}, {2, 8, "L.Uc"}, {9, 9, "L..a"}, {10, 12, "-..f"}}},
      {"num_tune 7: one-draw final window",
       7,
       {{0, 0, "L..c"}, {1, 1, "L.Ur"}, {2, 5, "L.Uc"}, {6, 6, "L..a"}, {7, 9, "-..f"}}},
      {"num_tune 6: no final window, the averaged iterate is never installed",
       6,
       {{0, 0, "L..c"}, {1, 1, "L.Ur"}, {2, 5, "L.Uc"}, {6, 8, "-..f"}}},
      {"num_tune 1: a single warm-up draw",
       1,
       {{0, 0, "L..c"}, {1, 3, "-..f"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ScheduleRun run{AdaptSettings{}, c.num_tune};
    expect_schedule(run.run(), expand(c.spans));
  }
}

// Only a switch (two fresh background estimators) and a step size search
// may allocate.
TEST(WarmupSchedule, AdaptAllocatesOnlyAtSwitchesAndSearches) {
  ScheduleRun run{AdaptSettings{}, 400};
  const std::vector<std::string> events = run.run();
  ASSERT_EQ(run.allocations.size(), events.size());
  for (std::size_t d = 0; d < events.size(); ++d) {
    if (events[d][1] == 'S' || events[d][3] == 'r') continue;
    EXPECT_EQ(run.allocations[d], 0u) << "draw " << d << " " << events[d];
  }
  // The counter sees the switch at draw 8.
  EXPECT_EQ(events[8], "ESUc");
  EXPECT_GT(run.allocations[8], 0u);
}

TEST(WarmupSchedule, SwitchUpdatesAtOnceWithALongUpdateInterval) {
  AdaptSettings settings;
  settings.early_switch_interval = 3;
  settings.mass_matrix_update_interval = 1000;
  // early_end 30, final_window_start 85. The background reaches 3 at draw 1
  // (init point, draws 0 and 1), so the first update comes with a switch and
  // reruns the search; afterwards a switch every 3 draws while d < 30.
  std::vector<std::uint64_t> switches;
  for (std::uint64_t d = 4; d < 30; d += 3) switches.push_back(d);
  ScheduleRun run{settings, 100};
  const std::vector<std::string> events = run.run();
  const std::vector<Span> expected_early =
      join({{{0, 0, "E..c"}, {1, 1, "ESUr"}}, every(2, 29, switches, "ESUc", "E..c")});
  const std::vector<std::string> expected = expand(expected_early);
  expect_schedule(std::vector<std::string>(events.begin(), events.begin() + 30), expected);
  // After the early phase the interval is 80 and never fits before draw 85.
  for (std::uint64_t d = 30; d < 85; ++d) EXPECT_EQ(events[d], "L..c") << "draw " << d;
}

TEST(WarmupSchedule, BadDrawsPostponeTheFirstUpdate) {
  // Draws 0, 1 and 3 are the trajectories' starting points: the foreground
  // reaches 3 samples only at draw 4.
  ScheduleRun run{AdaptSettings{}, 400,
                  [](std::uint64_t d) { return d != 0 && d != 1 && d != 3; }};
  const std::vector<std::string> events = run.run();
  const std::vector<std::string> expected = {"E..c", "E..c", "E..c", "E..c", "E.Ur", "E.Uc"};
  expect_schedule(std::vector<std::string>(events.begin(), events.begin() + 6), expected);
  // The background started with the init point and misses three draws: the
  // first switch comes three draws later than with every draw good.
  EXPECT_EQ(events[10], "E.Uc");
  EXPECT_EQ(events[11], "ESUc");
}

TEST(GlobalStrategy, SuccessfulRerunRestartsTheEstimatorAtTheFoundStepSize) {
  FakeMath math;
  FakePotential potential;
  // Acceptance exp(-eps^2): forward from 0.1 to 0.8.
  potential.energy_error = [](double eps) { return std::optional<double>(eps * eps); };
  FakeRng rng;
  GlobalStrategy strategy(AdaptSettings{}, math, 400);
  const FakeState start = make_state({0.1, 0.2}, {-0.4, 2.0});
  strategy.init(math, potential, start, rng);
  EXPECT_EQ(potential.step_size, 0.8);
  EXPECT_EQ(potential.mass_matrix.variance[0], 1.0 / 0.4);
  EXPECT_EQ(potential.log.pool_capacities.size(), 1u);

  for (std::uint64_t d = 0; d < 2; ++d) {
    CombinedCollector collector = strategy.new_collector(math);
    const FakeState state = make_state({0.3 * static_cast<double>(d), -0.1}, {1.0, -1.0 - static_cast<double>(d)}, 2);
    collector.begin_draw(state);
    collector.accept_rate.add_step(0.6, 0.5);
    collector.observe_draw(state, nullptr);
    const stepsize_adapt::Stats stats = strategy.current_stats();
    // The reported means lag one draw behind.
    EXPECT_EQ(stats.mean_tree_accept, d == 0 ? 0.0 : 0.6);
    strategy.adapt(math, collector, potential, d, state, rng);
  }
  EXPECT_FALSE(strategy.first_update_pending());
  EXPECT_EQ(potential.log.pool_capacities.size(), 2u);
  EXPECT_EQ(strategy.step_size().dual_average().count, 1u);
  EXPECT_EQ(strategy.step_size().dual_average().mu, std::log(10.0 * potential.step_size));
  EXPECT_EQ(rng.draws, 2u);
}

// The warm-up on the real chain: an independent Gaussian whose scales differ
// by a factor of 100. The adapted diagonal matches the variances, the
// averaged step size is installed at the last warm-up draw, and nothing moves
// during sampling.
TEST(WarmupOnAChain, AdaptsTheDiagonalAndFreezesAfterWarmup) {
  for (const std::uint64_t seed : {3u, 19u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    NutsSettings settings;
    settings.seed = seed;
    auto seeding = ChaCha8Rng::seed_from_u64(seed);
    auto chain = new_chain(
        settings, 0,
        nuts_testing::make_math(nuts_testing::GaussianDensity({0.0, 0.0}, {100.0, 0.0, 0.0, 0.01})),
        seeding);
    ASSERT_TRUE(chain.set_position(std::vector<double>{0.0001, 0.0001}).has_value());
    for (std::uint64_t d = 0; d < settings.num_tune; ++d) ASSERT_TRUE(chain.draw().has_value());

    const auto& potential = chain.potential();
    const GlobalStrategy& strategy = chain.strategy();
    EXPECT_EQ(potential.step_size, strategy.step_size().current_step_size_adapted());
    // For a Gaussian the gradient is linear in the position, so the ratio of
    // the draw and gradient spreads recovers each variance up to rounding,
    // whatever the draws were.
    const double true_variance[2] = {0.01, 100.0};
    for (std::size_t k = 0; k < 2; ++k) {
      EXPECT_NEAR(potential.mass_matrix.variance[k] / true_variance[k], 1.0, 1e-9) << "element " << k;
    }
    const double step_size = potential.step_size;
    const std::vector<double> variance(potential.mass_matrix.variance.begin(),
                                       potential.mass_matrix.variance.end());
    double accept_sum = 0.0;
    constexpr int kDraws = 200;
    for (int i = 0; i < kDraws; ++i) {
      auto r = chain.draw();
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->second.tuning, i == 0);
      EXPECT_EQ(r->second.potential_stats.step_size, step_size);
      accept_sum += r->second.strategy_stats.mean_tree_accept;
    }
    EXPECT_FALSE(strategy.is_tuning());
    EXPECT_EQ(potential.step_size, step_size);
    EXPECT_TRUE(std::equal(variance.begin(), variance.end(), potential.mass_matrix.variance.begin()));
    // The adapted step size gives an acceptance near the target.
    const double mean_accept = accept_sum / kDraws;
    EXPECT_GT(mean_accept, 0.65);
    EXPECT_LT(mean_accept, 0.97);
  }
}

}  // namespace
}  // namespace varnel
