#include "mass_matrix_adapt.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "adapt_test_doubles.hpp"
#include "cpu_math.hpp"
#include "nuts_doubles.hpp"
#include "potential.hpp"
#include "panic.hpp"

namespace varnel {
namespace {

using testing::FakeMath;
using testing::FakePotential;
using testing::FakeState;
using testing::make_state;

std::vector<double> values(const Vector& v) { return {v.begin(), v.end()}; }

TEST(RunningVariance, ScalarSamplesOneTwoThree) {
  struct Row {
    double sample;
    double mean;
    double sum;
  };
  // The squared deviation is taken from the mean before the update: d = 1,
  // then d = 1.5.
  const std::vector<Row> rows = {{1.0, 1.0, 0.0}, {2.0, 1.5, 1.0}, {3.0, 2.0, 3.25}};
  RunningVariance rv(1);
  std::uint64_t count = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE("sample " + std::to_string(r.sample));
    const double x[] = {r.sample};
    rv.add_sample(x);
    EXPECT_EQ(rv.count(), ++count);
    EXPECT_EQ(rv.mean()[0], r.mean);
    EXPECT_EQ(rv.variance_sum()[0], r.sum);
  }
}

TEST(RunningVariance, FirstSampleBecomesMeanAndLengthIsChecked) {
  RunningVariance rv(2);
  const Vector first(std::vector<double>{-3.0, 7.5});
  FakeMath math;
  rv.add_sample(math, first);
  EXPECT_EQ(values(rv.mean()), (std::vector<double>{-3.0, 7.5}));
  EXPECT_EQ(values(rv.variance_sum()), (std::vector<double>{0.0, 0.0}));
  const double short_sample[] = {1.0};
  EXPECT_THROW(rv.add_sample(short_sample), Panic);
  EXPECT_EQ(rv.count(), 1u);
}

TEST(DrawGradCollector, WhichDrawsCount) {
  struct Case {
    std::string label;
    std::int64_t index;
    bool diverged;
    bool good;
  };
  const std::vector<Case> cases = {
      {"starting point", 0, false, false},
      {"one step forward", 1, false, true},
      {"one step backward", -1, false, true},
      {"divergent, 4 steps forward", 4, true, false},
      {"divergent, 5 steps forward", 5, true, true},
      {"divergent, 4 steps backward", -4, true, false},
      {"divergent, 5 steps backward", -5, true, true},
      {"divergent at the start", 0, true, false},
      {"divergent, most negative index", std::numeric_limits<std::int64_t>::min(), true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    DrawGradCollector collector(2);
    EXPECT_TRUE(collector.is_good());
    const FakeState draw = make_state({0.5, 1.5}, {-2.0, 4.0}, c.index);
    DivergenceInfo info;
    collector.observe_draw(draw, c.diverged ? &info : nullptr);
    EXPECT_EQ(collector.is_good(), c.good);
    EXPECT_EQ(values(collector.draw()), (std::vector<double>{0.5, 1.5}));
    EXPECT_EQ(values(collector.grad()), (std::vector<double>{-2.0, 4.0}));
  }
}

TEST(MassMatrixDiagonal, InitialFromGradient) {
  struct Case {
    std::string label;
    double gradient;
    double variance;
    double inv_std;
  };
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"ordinary", 4.0, 0.25, 2.0},
      {"negative", -0.5, 2.0, std::sqrt(0.5)},
      {"zero clamps to 1e-20", 0.0, 1e20, 1e-10},
      {"tiny clamps to 1e-20", 1e-30, 1e20, 1e-10},
      {"infinite clamps to 1e20", -inf, 1e-20, 1e10},
      {"NaN gives variance 1", nan, 1.0, 1.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const double gradient[] = {c.gradient, 1.0};
    double variance[2] = {};
    double inv_stds[2] = {};
    set_initial_diagonal(gradient, variance, inv_stds);
    EXPECT_EQ(variance[0], c.variance);
    EXPECT_EQ(inv_stds[0], c.inv_std);
    EXPECT_EQ(variance[1], 1.0);
    EXPECT_EQ(inv_stds[1], 1.0);
  }
}

TEST(MassMatrixDiagonal, UpdateClampsAndKeepsBadEstimates) {
  struct Case {
    std::string label;
    double draw_sum;
    double grad_sum;
    bool grad_based;
    double variance;  // the previous value is 7.0 with inv_std 0.5
    double inv_std;
  };
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<Case> cases = {
      {"ratio of sums", 18.0, 2.0, true, 3.0, std::sqrt(1.0 / 3.0)},
      {"huge ratio clamps to 1e20", 1e30, 1e-30, true, 1e20, 1e-10},
      {"tiny ratio clamps to 1e-20", 1e-30, 1e30, true, 1e-20, 1e10},
      {"zero draw sum keeps the element", 0.0, 2.0, true, 7.0, 0.5},
      {"zero gradient sum keeps the element", 2.0, 0.0, true, 7.0, 0.5},
      {"0/0 keeps the element", 0.0, 0.0, true, 7.0, 0.5},
      {"infinite draw sum keeps the element", inf, 1.0, true, 7.0, 0.5},
      {"draw variance: sum times 1/count", 6.0, 123.0, false, 6.0 * (1.0 / 4.0),
       std::sqrt(1.0 / 1.5)},
      {"draw variance of zero keeps the element", 0.0, 1.0, false, 7.0, 0.5},
      {"draw variance clamps to 1e20", 1e30, 1.0, false, 1e20, 1e-10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const double draw_sum[] = {c.draw_sum};
    const double grad_sum[] = {c.grad_sum};
    double variance[] = {7.0};
    double inv_stds[] = {0.5};
    update_diagonal(draw_sum, grad_sum, 4, c.grad_based, variance, inv_stds);
    EXPECT_EQ(variance[0], c.variance);
    EXPECT_EQ(inv_stds[0], c.inv_std);
  }
}

// A strategy whose foreground holds draws (0, 5), (2, 5), (1, 5) and
// gradients (0, 3), (1, 3), (0.5, 3): sums (4, 0) and (1, 0).
struct ThreeSamples {
  FakeMath math;
  FakePotential potential;
  mass_matrix_adapt::Strategy strategy;
  DrawGradCollector collector{2};

  explicit ThreeSamples(bool grad_based) : strategy(2, false, grad_based) {
    strategy.init(math, potential, make_state({0.0, 5.0}, {0.0, 3.0}));
  }
  void add(double x, double g) {
    collector.observe_draw(make_state({x, 5.0}, {g, 3.0}, 1), nullptr);
    strategy.update_estimators(math, collector);
  }
};

TEST(MassMatrixStrategy, UpdateNeedsThreeForegroundSamples) {
  ThreeSamples s(true);
  s.add(2.0, 1.0);
  const std::vector<double> before = values(s.potential.mass_matrix.variance);
  EXPECT_FALSE(s.strategy.update_potential(s.math, s.potential));
  EXPECT_EQ(values(s.potential.mass_matrix.variance), before);

  s.add(1.0, 0.5);
  EXPECT_EQ(s.strategy.exp_variance_draw().variance_sum()[0], 4.0);
  EXPECT_EQ(s.strategy.exp_variance_grad().variance_sum()[0], 1.0);
  EXPECT_TRUE(s.strategy.update_potential(s.math, s.potential));
  // Element 1 never varied (0/0): it keeps its initial value.
  EXPECT_EQ(values(s.potential.mass_matrix.variance), (std::vector<double>{2.0, 1.0 / 3.0}));
  EXPECT_EQ(values(s.potential.mass_matrix.inv_stds),
            (std::vector<double>{std::sqrt(0.5), std::sqrt(1.0 / (1.0 / 3.0))}));
  // True again even though nothing changes.
  EXPECT_TRUE(s.strategy.update_potential(s.math, s.potential));
}

TEST(MassMatrixStrategy, SwitchPromotesTheBackground) {
  ThreeSamples s(true);
  s.add(2.0, 1.0);
  s.strategy.switch_estimators(s.math);
  s.add(1.0, 0.5);
  s.add(4.0, 0.5);
  // Foreground: the init point, 2, then 1 and 4; background: 1 and 4.
  EXPECT_EQ(s.strategy.exp_variance_draw().count(), 4u);
  EXPECT_EQ(s.strategy.background_count(), 2u);
  s.strategy.switch_estimators(s.math);
  EXPECT_EQ(s.strategy.exp_variance_draw().count(), 2u);
  EXPECT_EQ(s.strategy.exp_variance_grad().count(), 2u);
  EXPECT_EQ(s.strategy.exp_variance_draw().mean()[0], 2.5);
  EXPECT_EQ(s.strategy.background_count(), 0u);
  EXPECT_EQ(s.strategy.exp_variance_grad_bg().count(), 0u);
  EXPECT_FALSE(s.strategy.update_potential(s.math, s.potential));
}

static_assert(MassMatrixAdaptStrategy<mass_matrix_adapt::Strategy, FakeMath, FakePotential>);
static_assert(MassMatrixAdaptStrategy<mass_matrix_adapt::Strategy,
                                      CpuMath<nuts_testing::GaussianDensity>, EuclideanPotential>);

}  // namespace
}  // namespace varnel
