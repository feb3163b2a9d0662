#include "stepsize_adapt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "adapt_test_doubles.hpp"

namespace varnel {
namespace {

using testing::FakeMath;
using testing::FakePotential;
using testing::FakeRng;
using testing::FakeState;
using testing::make_state;

TEST(StepSizeStrategy, NewStartsAtInitialStepWithZeroStats) {
  StepSizeSettings settings;
  settings.initial_step_size = 0.25;
  const stepsize_adapt::Strategy strategy(settings);
  EXPECT_EQ(strategy.dual_average().log_step, std::log(0.25));
  EXPECT_EQ(strategy.dual_average().mu, std::log(2.5));
  const stepsize_adapt::Stats stats = strategy.current_stats();
  EXPECT_EQ(stats.step_size_bar, 0.25);
  EXPECT_EQ(stats.mean_tree_accept, 0.0);
  EXPECT_EQ(stats.mean_tree_accept_sym, 0.0);
  EXPECT_EQ(stats.n_steps, 0u);
}

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
