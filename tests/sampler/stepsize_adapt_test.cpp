#include "stepsize_adapt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "adapt_test_doubles.hpp"
#include "cpu_math.hpp"
#include "nuts_doubles.hpp"
#include "potential.hpp"
#include "seeded_rng.hpp"
#include "state.hpp"
#include "xoshiro.hpp"

namespace varnel {
namespace {

using testing::FakeMath;
using testing::FakePotential;
using testing::FakeRng;
using testing::FakeState;
using testing::make_state;

TEST(StepSizeStrategy, EarlyUsesPlainMeanLateUsesSymmetricMean) {
  AcceptanceRateCollector collector;
  collector.add_step(0.9, 0.6);
  collector.add_step(0.7, 0.2);
  for (const bool late : {false, true}) {
    SCOPED_TRACE(late ? "late" : "early");
    stepsize_adapt::Strategy strategy{StepSizeSettings{}};
    strategy.update_stats(collector);
    const stepsize_adapt::Stats stats = strategy.current_stats();
    EXPECT_EQ(stats.mean_tree_accept, 0.8);
    EXPECT_EQ(stats.mean_tree_accept_sym, 0.4);
    EXPECT_EQ(stats.n_steps, 2u);
    DualAverage expected = DualAverage::create(DualAverageSettings{}, 0.1);
    expected.advance(late ? 0.4 : 0.8, 0.8);
    if (late) {
      strategy.update_estimator_late();
    } else {
      strategy.update_estimator_early();
    }
    EXPECT_EQ(strategy.dual_average().hbar, expected.hbar);
    EXPECT_EQ(strategy.current_step_size(), expected.current_step_size());
    EXPECT_EQ(strategy.current_stats().step_size_bar, expected.current_step_size_adapted());
  }
}

TEST(StepSizeStrategy, EmptyCollectorGivesNaNStatsAndZeroSteps) {
  stepsize_adapt::Strategy strategy{StepSizeSettings{}};
  strategy.update_stats(AcceptanceRateCollector{});
  EXPECT_TRUE(std::isnan(strategy.current_stats().mean_tree_accept));
  EXPECT_EQ(strategy.current_stats().n_steps, 0u);
  strategy.update_estimator_early();
  EXPECT_TRUE(std::isnan(strategy.current_step_size()));
}

// An energy error e with exp(-e) == 0.8 exactly, so that a step's acceptance
// equals the default target.
double energy_error_accepting_at_target() {
  double e = -std::log(0.8);
  for (int i = 0; i < 8 && std::exp(-e) != 0.8; ++i) {
    e = std::exp(-e) > 0.8 ? std::nextafter(e, 1.0) : std::nextafter(e, 0.0);
  }
  return e;
}

using EnergyError = std::function<std::optional<double>(double)>;

std::vector<double> doublings(double start, int count, double sign) {
  std::vector<double> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(sign * start);
    start *= 2.0;
  }
  return out;
}

std::vector<double> halvings(double start, int count, double sign) {
  std::vector<double> out;
  for (int i = 0; i < count; ++i) {
    out.push_back(sign * start);
    start /= 2.0;
  }
  return out;
}

TEST(StepSizeStrategy, InitialSearchPaths) {
  struct Case {
    std::string label;
    double initial_step_size;
    EnergyError energy_error;
    // The signed step sizes of every leapfrog step the search makes.
    std::vector<double> steps;
    double final_step_size;
    // The estimator restarts at final_step_size; otherwise it is untouched.
    bool restarted;
  };
  const double at_target = energy_error_accepting_at_target();
  ASSERT_EQ(std::exp(-at_target), 0.8);
  auto quadratic = [](double scale) -> EnergyError {
    return [scale](double eps) { return std::optional<double>(scale * eps * eps); };
  };
  auto cat = [](std::vector<double> a, const std::vector<double>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<Case> cases = {
      {"failure in the first step keeps the initial step size",
       0.1, [](double) { return std::optional<double>(); }, {0.1}, 0.1, false},
      {"forward until the acceptance falls to the target",
       0.1, quadratic(1.0), {0.1, 0.1, 0.2, 0.4, 0.8}, 0.8, true},
      {"backward until the acceptance reaches the target",
       0.1, quadratic(100.0), {0.1, -0.1, -0.05, -0.025}, 0.025, true},
      {"acceptance exactly at the target searches backward and stops at once",
       0.1, [at_target](double) { return std::optional<double>(at_target); }, {0.1, -0.1}, 0.1,
       true},
      {"a divergent step ends a forward search at its step size",
       0.1,
       [](double eps) { return std::optional<double>(std::abs(eps) < 0.3 ? 0.0 : INFINITY); },
       {0.1, 0.1, 0.2, 0.4}, 0.4, true},
      {"forward search ends at the first doubled size above 1e5",
       0.1, quadratic(0.0), cat({0.1}, doublings(0.1, 21, 1.0)), 0.1 * 1048576.0, true},
      {"backward search ends at the first halved size below 1e-10",
       0.1, [](double) { return std::optional<double>(100.0); },
       cat({0.1}, halvings(0.1, 31, -1.0)), 0.1 / 1073741824.0, true},
      {"failure inside the search restores the initial step size",
       0.1,
       [](double eps) { return std::abs(eps) < 0.3 ? std::optional<double>(0.0) : std::nullopt; },
       {0.1, 0.1, 0.2, 0.4}, 0.1, false},
      {"100 forward iterations without an end restore the initial step size",
       1e-40, quadratic(0.0), cat({1e-40}, doublings(1e-40, 100, 1.0)), 1e-40, false},
      {"100 backward iterations without an end restore the initial step size",
       1e40, [](double) { return std::optional<double>(100.0); },
       cat({1e40}, halvings(1e40, 100, -1.0)), 1e40, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    StepSizeSettings settings;
    settings.initial_step_size = c.initial_step_size;
    stepsize_adapt::Strategy strategy(settings);
    // An estimator that has moved, so that "untouched" is visible.
    AcceptanceRateCollector seen;
    seen.add_step(0.5, 0.5);
    strategy.update_stats(seen);
    strategy.update_estimator_early();
    const DualAverage before = strategy.dual_average();

    FakeMath math;
    FakePotential potential;
    potential.step_size = 1.0;
    potential.energy_error = c.energy_error;
    FakeRng rng;
    const FakeState state = make_state({0.3, -0.2}, {1.0, 2.0}, 7, 0.125, 2.0);
    strategy.init(math, potential, state, rng);

    EXPECT_EQ(potential.log.leapfrog_step_sizes, c.steps);
    EXPECT_EQ(potential.step_size, c.final_step_size);
    EXPECT_EQ(potential.log.pool_capacities, std::vector<std::size_t>{1});
    EXPECT_EQ(rng.draws, 1u);
    // The search never moves the chain.
    EXPECT_EQ(state->idx_in_trajectory, 7);
    EXPECT_EQ(state->kinetic_energy, 0.125);
    EXPECT_EQ(state.use_count(), 1);
    const DualAverage& after = strategy.dual_average();
    if (c.restarted) {
      const DualAverage fresh = DualAverage::create(settings.dual_average, c.final_step_size);
      EXPECT_EQ(after.count, 1u);
      EXPECT_EQ(after.hbar, 0.0);
      EXPECT_EQ(after.mu, fresh.mu);
      EXPECT_EQ(after.log_step, fresh.log_step);
      EXPECT_EQ(after.log_step_adapted, fresh.log_step_adapted);
    } else {
      EXPECT_EQ(after.count, before.count);
      EXPECT_EQ(after.hbar, before.hbar);
      EXPECT_EQ(after.log_step, before.log_step);
      EXPECT_EQ(after.mu, before.mu);
    }
    // The statistics of the last draw are not the search's.
    EXPECT_EQ(strategy.current_stats().mean_tree_accept, 0.5);
  }
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// The search on the real integrator: a Gaussian with very different scales,
// identity mass matrix.
namespace real {

using nuts_testing::FailingDensity;
using nuts_testing::GaussianDensity;
using nuts_testing::make_math;

struct SearchSetup {
  CpuMath<GaussianDensity> math;
  EuclideanPotential potential{1000.0, 1.0, DiagMassMatrix::create(math, false)};
  StatePool pool = potential.new_pool(math, 4);

  // Variances (sd0^2, 25).
  explicit SearchSetup(double sd0)
      : math(make_math(GaussianDensity({0.0, 0.0}, {1.0 / (sd0 * sd0), 0.0, 0.0, 1.0 / 25.0}))) {
    for (std::size_t i = 0; i < 2; ++i) {
      potential.mass_matrix.variance[i] = 1.0;
      potential.mass_matrix.inv_stds[i] = 1.0;
    }
  }
  State start(std::vector<double> q) {
    auto s = potential.init_state(math, pool, q);
    EXPECT_TRUE(s.has_value());
    return std::move(*s);
  }
};

// The acceptance of one leapfrog step of size `step` from a copy of `state`
// with the momentum that `rng` draws first, as the search sees it.
double replay_acceptance(SearchSetup& s, const State& state, Xoshiro256pp rng, double step,
                         Direction direction) {
  StatePool pool = s.potential.new_pool(s.math, 1);
  State copy = s.potential.copy_state(s.math, pool, state);
  copy.mut().idx_in_trajectory = 0;
  s.potential.randomize_momentum(s.math, copy, rng);
  AcceptanceRateCollector collector;
  collector.begin_draw(copy);
  const double saved = s.potential.step_size;
  s.potential.step_size = step;
  auto r = s.potential.leapfrog(s.math, pool, copy, direction, copy->energy(), collector);
  s.potential.step_size = saved;
  EXPECT_TRUE(r.has_value());
  return collector.mean.value();
}

TEST(StepSizeSearch, EndsWhereTheAcceptanceCrossesTheTarget) {
  struct Case {
    std::string label;
    std::uint64_t seed;
    double sd0;
    std::vector<double> position;
    bool forward;
  };
  // Step 0.1 is small against the scales 0.2 and 5, and unstable for a
  // scale of 0.02 (the leapfrog needs a step below twice the scale).
  const std::vector<Case> cases = {
      {"wide: larger steps, near the mode", 1, 0.2, {0.01, 0.5}, true},
      {"wide: larger steps, far out", 7, 0.2, {0.9, -12.0}, true},
      {"narrow: smaller steps, near the mode", 3, 0.02, {0.001, 0.3}, false},
      {"narrow: smaller steps, far out", 11, 0.02, {-0.09, 8.0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    SearchSetup s(c.sd0);
    const State state = s.start(c.position);
    Xoshiro256pp rng = testing::chain_rng(c.seed, 0);
    const Xoshiro256pp replay = rng;
    stepsize_adapt::Strategy strategy{StepSizeSettings{}};
    strategy.init(s.math, s.potential, state, rng);
    const double eps = s.potential.step_size;
    const double target = 0.8;

    const double first = replay_acceptance(s, state, replay, 0.1, Direction::Forward);
    EXPECT_EQ(first > target, c.forward) << "acceptance at 0.1: " << first;
    if (c.forward) {
      EXPECT_LE(replay_acceptance(s, state, replay, eps, Direction::Forward), target);
      if (eps > 0.1) {
        EXPECT_GT(replay_acceptance(s, state, replay, eps / 2, Direction::Forward), target);
      }
    } else {
      EXPECT_GE(replay_acceptance(s, state, replay, eps, Direction::Backward), target);
      EXPECT_LT(replay_acceptance(s, state, replay, eps * 2, Direction::Backward), target);
    }
    EXPECT_EQ(strategy.dual_average().count, 1u);
    EXPECT_EQ(strategy.dual_average().mu, std::log(10.0 * eps));
    // One momentum (two normals) is all the randomness the search takes.
    Xoshiro256pp after_one_momentum = replay;
    {
      StatePool pool = s.potential.new_pool(s.math, 1);
      State copy = s.potential.copy_state(s.math, pool, state);
      s.potential.randomize_momentum(s.math, copy, after_one_momentum);
    }
    EXPECT_EQ(rng.next_u64(), after_one_momentum.next_u64());
    // The search's states went back to their own pool, not the chain's.
    EXPECT_EQ(state.use_count(), 1u);
    EXPECT_EQ(state->idx_in_trajectory, 0);
  }
}

TEST(StepSizeSearch, DensityFailureKeepsTheInitialStepSize) {
  // The first evaluation places the state; the search fails at evaluation
  // `ok_calls + 1`: in its first step, or inside its loop.
  for (const std::uint64_t ok_calls : {1u, 3u}) {
    SCOPED_TRACE("density fails after " + std::to_string(ok_calls) + " evaluations");
    auto math = make_math(FailingDensity(ok_calls));
    EuclideanPotential potential{1000.0, 1.0, DiagMassMatrix::create(math, false)};
    for (std::size_t i = 0; i < 2; ++i) {
      potential.mass_matrix.variance[i] = 1.0;
      potential.mass_matrix.inv_stds[i] = 1.0;
    }
    StatePool pool = potential.new_pool(math, 2);
    auto state = potential.init_state(math, pool, std::vector<double>{0.01, 0.02});
    ASSERT_TRUE(state.has_value());
    Xoshiro256pp rng = testing::chain_rng(5, 0);
    StepSizeSettings settings;
    settings.initial_step_size = 0.05;
    stepsize_adapt::Strategy strategy(settings);
    strategy.init(math, potential, *state, rng);
    EXPECT_EQ(potential.step_size, 0.05);
    EXPECT_EQ(strategy.dual_average().log_step, std::log(0.05));
    EXPECT_EQ(strategy.dual_average().count, 1u);
  }
}

}  // namespace real
}  // namespace
}  // namespace varnel
