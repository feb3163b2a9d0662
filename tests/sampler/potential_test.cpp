#include "potential.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "alloc_counter.hpp"
#include "distributions.hpp"
#include "nuts_doubles.hpp"
#include "panic.hpp"
#include "xoshiro.hpp"

namespace varnel {
namespace {

using nuts_testing::CountingCollector;
using nuts_testing::FlatDensity;
using nuts_testing::GaussianDensity;
using nuts_testing::make_math;
using nuts_testing::unit_potential;

// The state q = (1, 0), p = (0, 1) of the standard normal, at index 0.
template <class Math>
State example_start(Math& math, StatePool& pool) {
  State s = pool.new_state();
  InnerState& in = s.mut();
  in.position[0] = 1.0;
  in.momentum[1] = 1.0;
  in.velocity[1] = 1.0;
  in.kinetic_energy = 0.5;
  in.potential_energy = -*math.logp(in.position, in.gradient);
  s.make_init_point();
  return s;
}

template <class Math>
State step(const EuclideanPotential& potential, Math& math, StatePool& pool, const State& start,
           Direction direction, double initial_energy, CountingCollector& collector) {
  auto r = potential.leapfrog(math, pool, start, direction, initial_energy, collector);
  EXPECT_TRUE(r.has_value());
  return std::get<State>(std::move(*r));
}

TEST(Leapfrog, ForwardStepOfTheStandardNormal) {
  auto math = make_math(GaussianDensity::standard(2));
  auto potential = unit_potential(math, 0.1);
  StatePool pool(2, 4);
  CountingCollector collector;
  State start = example_start(math, pool);
  State out = step(potential, math, pool, start, Direction::Forward, start->energy(), collector);

  constexpr double kTol = 1e-15;
  EXPECT_NEAR(out->position[0], 0.995, kTol);
  EXPECT_NEAR(out->position[1], 0.1, kTol);
  EXPECT_NEAR(out->momentum[0], -0.09975, kTol);
  EXPECT_NEAR(out->momentum[1], 0.995, kTol);
  EXPECT_EQ(out->velocity[0], out->momentum[0]);
  EXPECT_NEAR(out->kinetic_energy, 0.5 * (0.09975 * 0.09975 + 0.995 * 0.995), kTol);
  EXPECT_NEAR(out->potential_energy, 0.5 * (0.995 * 0.995 + 0.1 * 0.1), kTol);
  EXPECT_EQ(out->gradient[0], -out->position[0]);
  EXPECT_EQ(out.index_in_trajectory(), 1);
  // Forward sums include the start's momentum.
  EXPECT_EQ(out->momentum_sum[0], 0.0 + out->momentum[0]);
  EXPECT_EQ(out->momentum_sum[1], 1.0 + out->momentum[1]);
  EXPECT_EQ(collector.leapfrogs, 1u);
  EXPECT_EQ(collector.divergent_leapfrogs, 0u);
  // The start is read only.
  EXPECT_EQ(start->position[0], 1.0);
  EXPECT_EQ(start->momentum[1], 1.0);
}

TEST(Leapfrog, BackwardSumsStartAfresh) {
  auto math = make_math(GaussianDensity::standard(2));
  auto potential = unit_potential(math, 0.1);
  StatePool pool(2, 4);
  CountingCollector collector;
  State start = example_start(math, pool);
  State m1 = step(potential, math, pool, start, Direction::Backward, start->energy(), collector);
  EXPECT_EQ(m1.index_in_trajectory(), -1);
  EXPECT_NEAR(m1->position[1], -0.1, 1e-15);
  EXPECT_NEAR(m1->momentum[0], 0.09975, 1e-15);
  EXPECT_EQ(m1->momentum_sum[0], m1->momentum[0]);
  EXPECT_EQ(m1->momentum_sum[1], m1->momentum[1]);

  State m2 = step(potential, math, pool, m1, Direction::Backward, start->energy(), collector);
  EXPECT_EQ(m2.index_in_trajectory(), -2);
  EXPECT_EQ(m2->momentum_sum[0], m1->momentum[0] + m2->momentum[0]);
  EXPECT_EQ(m2->momentum_sum[1], m1->momentum[1] + m2->momentum[1]);

  // Stepping forward from -1 would land on the start again.
  EXPECT_THROW(
      {
        try {
          (void)potential.leapfrog(math, pool, m1, Direction::Forward, 0.0, collector);
        } catch (const Panic& p) {
          EXPECT_STREQ(p.what(), "assertion failed: out.idx_in_trajectory != 0");
          throw;
        }
      },
      Panic);
}

// A density whose log-density is set by the test, with a negligible gradient:
// from a state with zero momentum the energy error is exactly -logp.
class SetLogpDensity {
 public:
  explicit SetLogpDensity(std::shared_ptr<double> logp) : logp_(std::move(logp)) {}
  std::size_t dim() const { return 2; }
  Result<double> logp(std::span<const double>, std::span<double> gradient) {
    for (double& g : gradient) g += 1e-300;
    return *logp_;
  }

 private:
  std::shared_ptr<double> logp_;
};

TEST(Leapfrog, DivergenceTest) {
  constexpr double kMax = 1000.0;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Row {
    const char* label;
    double end_logp;  // energy error = -end_logp
    bool divergent;
  };
  const Row rows[] = {
      {"error exactly at the threshold", -kMax, false},
      {"error just above the threshold", -std::nextafter(kMax, kInf), true},
      {"large negative finite error", 1e300, false},
      {"error -inf", kInf, true},
      {"error +inf", -kInf, true},
      {"error NaN", std::nan(""), true},
  };
  auto logp = std::make_shared<double>(0.0);
  auto math = make_math(SetLogpDensity(logp));
  auto potential = unit_potential(math, 0.5, kMax);
  StatePool pool(2, 4);
  State start = pool.new_state();
  start.mut().position[0] = 3.0;
  // A gradient too small for its kinetic energy to register.
  start.mut().gradient[1] = 1e-200;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    *logp = row.end_logp;
    CountingCollector collector;
    const std::size_t free_before = pool.free_count();
    auto r = potential.leapfrog(math, pool, start, Direction::Forward, 0.0, collector);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(collector.leapfrogs, 1u);
    EXPECT_EQ(collector.divergent_leapfrogs, row.divergent ? 1u : 0u);
    ASSERT_EQ(std::holds_alternative<DivergenceInfo>(*r), row.divergent);
    if (!row.divergent) continue;
    const DivergenceInfo& info = std::get<DivergenceInfo>(*r);
    EXPECT_EQ(pool.free_count(), free_before);  // the divergent state went back
    if (std::isnan(row.end_logp)) {
      EXPECT_TRUE(std::isnan(*info.energy_error));
    } else {
      EXPECT_EQ(*info.energy_error, -row.end_logp);
    }
    EXPECT_EQ(*info.start_idx_in_trajectory, 0);
    EXPECT_EQ(*info.end_idx_in_trajectory, 1);
    EXPECT_EQ(*info.start_position, (std::vector<double>{3.0, 0.0}));
    EXPECT_EQ(*info.start_gradient, (std::vector<double>{0.0, 1e-200}));
    EXPECT_EQ((*info.end_position)[0], 3.0);
    EXPECT_DOUBLE_EQ((*info.end_position)[1], 0.5 * 0.25e-200);
    EXPECT_DOUBLE_EQ((*info.end_momentum)[1], 0.25e-200);
    EXPECT_EQ(info.density_error, nullptr);
  }
}

TEST(Leapfrog, DensityFailureIsAnError) {
  auto math = make_math(nuts_testing::FailingDensity(0));
  auto potential = unit_potential(math, 0.1);
  StatePool pool(2, 1);
  State start = pool.new_state();
  CountingCollector collector;
  auto r = potential.leapfrog(math, pool, start, Direction::Forward, 0.0, collector);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "Logp function returned error: density exploded");
  EXPECT_EQ(collector.leapfrogs, 0u);
  EXPECT_EQ(pool.free_count(), 1u);
}

TEST(InitState, RejectsBadGradients) {
  struct Row {
    const char* label;
    std::vector<double> position;
    bool ok;
  };
  const Row rows[] = {
      {"regular point", {1.0, -2.0}, true},
      {"zero gradient component", {1.0, 0.0}, false},
      {"negative zero component", {-0.0, 3.0}, false},
      {"subnormal component", {1.0, 5e-324}, true},
      {"infinite component", {1.0, std::numeric_limits<double>::infinity()}, false},
      {"NaN component", {std::nan(""), 1.0}, false},
  };
  auto math = make_math(GaussianDensity::standard(2));
  auto potential = unit_potential(math, 0.1);
  StatePool pool(2, 1);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    auto s = potential.init_state(math, pool, row.position);
    ASSERT_EQ(s.has_value(), row.ok);
    if (!row.ok) {
      EXPECT_EQ(s.error().kind(), NutsError::Kind::BadInitGrad);
      EXPECT_EQ(pool.free_count(), 1u);  // back in the pool
      continue;
    }
    EXPECT_EQ((*s)->position[1], row.position[1]);
    EXPECT_EQ((*s)->gradient[0], -row.position[0]);
    EXPECT_EQ((*s)->potential_energy,
              -(-0.5 * row.position[0] * row.position[0] + -0.5 * row.position[1] * row.position[1]));
  }
  EXPECT_THROW((void)potential.init_state(math, pool, std::vector<double>{1.0}), Panic);
  auto failing = make_math(nuts_testing::FailingDensity(0));
  auto r = potential.init_state(failing, pool, std::vector<double>{1.0, 1.0});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), NutsError::Kind::LogpFailure);
}

TEST(RandomizeMomentum, ScalesNormalsByTheInverseStds) {
  auto math = make_math(GaussianDensity::standard(2));
  EuclideanPotential potential{1000.0, 0.1, DiagMassMatrix::create(math, true)};
  potential.mass_matrix.variance[0] = 4.0;
  potential.mass_matrix.variance[1] = 0.25;
  potential.mass_matrix.inv_stds[0] = 0.5;
  potential.mass_matrix.inv_stds[1] = 2.0;
  StatePool pool(2, 1);
  State s = pool.new_state();
  auto rng = Xoshiro256pp::seed_from_u64(7);
  auto reference = Xoshiro256pp::seed_from_u64(7);
  potential.randomize_momentum(math, s, rng);
  const double z0 = standard_normal(reference);
  const double z1 = standard_normal(reference);
  EXPECT_EQ(s->momentum[0], z0 * 0.5);
  EXPECT_EQ(s->momentum[1], z1 * 2.0);
  EXPECT_EQ(s->velocity[0], 4.0 * s->momentum[0]);
  EXPECT_EQ(s->kinetic_energy,
            0.5 * (s->momentum[0] * s->velocity[0] + s->momentum[1] * s->velocity[1]));
  EXPECT_EQ(rng.next_u64(), reference.next_u64());  // exactly n variates used

  EXPECT_EQ(potential.stats().step_size, 0.1);
  EXPECT_EQ(*potential.stats().mass_matrix.mass_matrix_inv, (std::vector<double>{4.0, 0.25}));
  potential.mass_matrix.store_mass_matrix = false;
  EXPECT_FALSE(potential.stats().mass_matrix.mass_matrix_inv.has_value());

  State other = s;
  EXPECT_THROW(potential.randomize_momentum(math, s, rng), Panic);
}

TEST(Leapfrog, NoAllocationOnceThePoolIsWarm) {
  auto math = make_math(GaussianDensity::standard(2));
  auto potential = unit_potential(math, 0.1);
  StatePool pool = potential.new_pool(math, 2);
  NullCollector collector;
  State start = example_start(math, pool);
  // Warm: one block waits in the pool.
  (void)potential.leapfrog(math, pool, start, Direction::Forward, start->energy(), collector);
  std::size_t allocations = 0;
  {
    nuts_testing::AllocationCounter counter;
    for (int i = 0; i < 1000; ++i) {
      // Both momentum sum rules: index 1 (sum extended) and -1 (sum restarted).
      const Direction d = i % 2 == 0 ? Direction::Forward : Direction::Backward;
      auto r = potential.leapfrog(math, pool, start, d, start->energy(), collector);
      if (!r || !std::holds_alternative<State>(*r)) break;
    }
    allocations = counter.count();
  }
  EXPECT_EQ(allocations, 0u);
  {
    nuts_testing::AllocationCounter counter;
    State fresh = pool.new_state();
    State second = pool.new_state();  // the pool holds one block: a new one is made
    EXPECT_GT(counter.count(), 0u);   // the counter does count
  }
}

}  // namespace
}  // namespace varnel
