#include "stepsize.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "adapt_test_doubles.hpp"

namespace varnel {
namespace {

using testing::FakeState;
using testing::make_state;

// One leapfrog step as the collector sees it: the end state's energy, or a
// divergence.
struct Step {
  double end_energy;
  bool divergent;
};

TEST(AcceptanceRateCollector, MeansOverRegularAndDivergentSteps) {
  struct Case {
    std::string label;
    std::vector<Step> steps;
    double mean;
    double mean_sym;
  };
  // The draw starts at energy 1.5 (kinetic 0.5 + potential 1.0); delta is
  // 1.5 minus the end energy.
  const std::vector<Case> cases = {
      {"equal energy accepts fully", {{1.5, false}}, 1.0, 1.0},
      {"energy drop: 1 and 2/(1+e^0.5)", {{1.0, false}}, 1.0, 0.7550813375962908},
      {"energy rise: e^-1", {{2.5, false}}, 0.36787944117144233, 0.5378828427399902},
      {"divergent step counts 0", {{1.5, true}}, 0.0, 0.0},
      {"huge energy drop: symmetric mean 0", {{-798.5, false}}, 1.0, 0.0},
      {"mixed four steps",
       {{1.5, false}, {1.0, false}, {2.5, false}, {1e300, true}},
       0.5919698602928606,
       0.5732410450840703},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    AcceptanceRateCollector collector;
    // Leftovers of an earlier draw must be cleared by begin_draw.
    collector.add_step(0.25, 0.25);
    const FakeState start = make_state({0.0, 0.0}, {1.0, 1.0}, 0, 0.5, 1.0);
    collector.begin_draw(start);
    EXPECT_EQ(collector.initial_energy, 1.5);
    for (const Step& step : c.steps) {
      const FakeState end = make_state({0.0, 0.0}, {1.0, 1.0}, 1, 0.0, step.end_energy);
      DivergenceInfo info;
      collector.observe_leapfrog(start, end, step.divergent ? &info : nullptr);
    }
    EXPECT_EQ(collector.mean.count, c.steps.size());
    EXPECT_EQ(collector.mean_sym.count, c.steps.size());
    EXPECT_EQ(collector.mean.value(), c.mean);
    EXPECT_EQ(collector.mean_sym.value(), c.mean_sym);
  }
}

// Reference values computed independently with the same update in double
// precision (start 0.1, target 0.8, default constants).
TEST(DualAverage, PinnedAdvances) {
  struct Row {
    double accept;
    double hbar, log_step, log_step_adapted;
    double step_size, step_size_adapted;
  };
  const std::vector<Row> rows = {
      {0.9, -0.009090909090909089, 0.18181818181818177, 0.18181818181818177, 1.1993961020353858,
       1.1993961020353858},
      {0.5, 0.01666666666666667, -0.4714045207910318, -0.20659036099390987, 0.6241250557782609,
       0.8133527627722605},
      {0.8, 0.015384615384615389, -0.5329387100211931, -0.34975655476882894, 0.5868777694687303,
       0.7048596635571875},
      {1.0, 8.673617379884035e-18, -3.469446951953614e-16, -0.22609893894808752,
       0.9999999999999997, 0.7976391801800938},
  };
  DualAverage da = DualAverage::create(DualAverageSettings{}, 0.1);
  std::uint64_t advances = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE("advance " + std::to_string(advances + 1) + " accept " + std::to_string(r.accept));
    da.advance(r.accept, 0.8);
    ++advances;
    EXPECT_EQ(da.hbar, r.hbar);
    EXPECT_EQ(da.log_step, r.log_step);
    EXPECT_EQ(da.log_step_adapted, r.log_step_adapted);
    EXPECT_EQ(da.current_step_size(), r.step_size);
    EXPECT_EQ(da.current_step_size_adapted(), r.step_size_adapted);
    EXPECT_EQ(da.count, advances + 1);
  }
}

}  // namespace
}  // namespace varnel
