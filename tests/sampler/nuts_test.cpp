#include "nuts.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "alloc_counter.hpp"
#include "distributions.hpp"
#include "nuts_doubles.hpp"
#include "panic.hpp"
#include "xoshiro.hpp"

namespace varnel {
namespace {

using nuts_testing::panic_message;

using nuts_testing::CountingCollector;
using nuts_testing::CountingRng;
using nuts_testing::FixedStrategy;
using nuts_testing::FlatDensity;
using nuts_testing::GaussianDensity;
using nuts_testing::make_math;
using nuts_testing::ReplayRng;

template <class D>
using TestChain = NutsChain<CpuMath<D>, FixedStrategy, Xoshiro256pp>;

static_assert(Chain<TestChain<GaussianDensity>>);
static_assert(Hamiltonian<EuclideanPotential, CpuMath<GaussianDensity>, Xoshiro256pp,
                          CountingCollector>);

template <class D>
TestChain<D> make_chain(D density, double step_size, TreeOptions options, std::uint64_t seed = 1,
                        std::uint64_t chain = 0) {
  auto math = make_math(std::move(density));
  EuclideanPotential potential{1000.0, 1.0, DiagMassMatrix::create(math, false)};
  return TestChain<D>(std::move(math), std::move(potential), FixedStrategy{step_size}, options,
                      Xoshiro256pp::seed_from_u64(seed), chain);
}

TreeOptions depth_limit(std::uint64_t maxdepth) {
  TreeOptions o;
  o.maxdepth = maxdepth;
  return o;
}

// A state at `index` in a one-dimensional pool.
State at_index(StatePool& pool, std::int64_t index) {
  State s = pool.new_state();
  s.mut().idx_in_trajectory = index;
  return s;
}

TEST(MergeInto, RandomNumberUse) {
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 63;
  const std::uint64_t e1 = static_cast<std::uint64_t>(std::exp(-1.0) * 0x1p64);
  struct Row {
    const char* label;
    bool is_main;
    double self_log_size, other_log_size;
    std::uint64_t u;  // the random number offered
    std::size_t numbers_used;
    bool takes_other;
  };
  const Row rows[] = {
      {"main, equal weights: moves without a number", true, 0.0, 0.0, 0, 0, true},
      {"main, heavier new half: moves without a number", true, -1.0, 0.5, 0, 0, true},
      {"main, p = e^-1, u just below", true, 0.0, -1.0, e1 - 1, 1, true},
      {"main, p = e^-1, u at the threshold", true, 0.0, -1.0, e1, 1, false},
      {"main, p rounds to 0: a number is still used", true, 0.0, -800.0, 0, 1, false},
      {"subtree, equal weights, u below one half", false, 0.0, 0.0, kHalf - (1u << 20), 1, true},
      {"subtree, equal weights, u above one half", false, 0.0, 0.0, kHalf + (1u << 20), 1, false},
      {"subtree, other dominates the sum", false, -1000.0, 0.0, 0, 0, true},
  };
  for (const Direction direction : {Direction::Forward, Direction::Backward}) {
    for (const Row& row : rows) {
      SCOPED_TRACE(std::string(row.label) +
                   (direction == Direction::Forward ? " (forward)" : " (backward)"));
      StatePool pool(1, 4);
      const std::int64_t step = index_step(direction);
      // The main tree holds index 0; a subtree holds index 2 (or -2).
      State mine = at_index(pool, row.is_main ? 0 : 2 * step);
      State theirs = at_index(pool, row.is_main ? step : 3 * step);
      NutsTree self = NutsTree::single(mine, row.self_log_size, 0.0, row.is_main);
      NutsTree other = NutsTree::single(theirs, row.other_log_size, 0.0, false);
      ReplayRng rng({row.u});
      self.merge_into(std::move(other), rng, direction);
      EXPECT_EQ(rng.calls(), row.numbers_used);
      EXPECT_EQ(self.draw.same_block(theirs), row.takes_other);
      EXPECT_EQ(self.depth, 1u);
      EXPECT_EQ(self.log_size, logaddexp(row.self_log_size, row.other_log_size));
      const State& new_end = direction == Direction::Forward ? self.right : self.left;
      const State& old_end = direction == Direction::Forward ? self.left : self.right;
      EXPECT_TRUE(new_end.same_block(theirs));
      EXPECT_TRUE(old_end.same_block(mine));
    }
  }
}

TEST(MergeInto, BrokenInvariantsAreInternalFailures) {
  StatePool pool(1, 4);
  ReplayRng rng({0});
  {
    NutsTree self = NutsTree::single(at_index(pool, 0), 0.0, 0.0, true);
    NutsTree other = NutsTree::single(at_index(pool, 1), 0.0, 0.0, false);
    other.depth = 1;
    EXPECT_EQ(panic_message([&] { self.merge_into(std::move(other), rng, Direction::Forward); }),
              "assertion failed: self.depth == other.depth");
  }
  {
    NutsTree self = NutsTree::single(at_index(pool, 0), 0.0, 0.0, true);
    self.left = at_index(pool, 1);
    NutsTree other = NutsTree::single(at_index(pool, 2), 0.0, 0.0, false);
    EXPECT_EQ(panic_message([&] { self.merge_into(std::move(other), rng, Direction::Forward); }),
              "assertion failed: self.left.index_in_trajectory() <= "
              "self.right.index_in_trajectory()");
  }
  {
    // A main tree that does not contain the start.
    NutsTree self = NutsTree::single(at_index(pool, 1), 0.0, 0.0, true);
    NutsTree other = NutsTree::single(at_index(pool, 2), 0.0, 0.0, false);
    EXPECT_EQ(panic_message([&] { self.merge_into(std::move(other), rng, Direction::Forward); }),
              "assertion failed: self.left.index_in_trajectory() <= 0");
  }
}

// On a flat potential the trajectory is a straight line: no U-turn and no
// divergence, so every draw runs to the depth limit with 2^maxdepth - 1 steps.
TEST(NutsChain, FlatPotentialRunsToTheDepthLimit) {
  for (const std::uint64_t maxdepth : {0u, 1u, 2u, 5u, 8u}) {
    SCOPED_TRACE("maxdepth " + std::to_string(maxdepth));
    FlatDensity density(2);
    const auto evals = density.evals();
    auto chain = make_chain(density, 0.5, depth_limit(maxdepth));
    ASSERT_TRUE(chain.set_position(std::vector<double>{0.25, -0.5}).has_value());
    for (std::uint64_t draw = 0; draw < 3; ++draw) {
      const std::uint64_t evals_before = *evals;
      const std::uint64_t leapfrogs_before = chain.collector().leapfrogs;
      auto r = chain.draw();
      ASSERT_TRUE(r.has_value());
      const NutsSampleStats& stats = r->second;
      const std::uint64_t expected_steps = (std::uint64_t{1} << maxdepth) - 1;
      EXPECT_EQ(*evals - evals_before, expected_steps);
      EXPECT_EQ(chain.collector().leapfrogs - leapfrogs_before, expected_steps);
      EXPECT_EQ(stats.depth, maxdepth);
      EXPECT_TRUE(stats.maxdepth_reached);
      EXPECT_FALSE(stats.diverging());
      EXPECT_EQ(stats.energy_error, 0.0);
      if (maxdepth == 0) {
        EXPECT_EQ(stats.index_in_trajectory, 0);
        EXPECT_EQ(r->first, (std::vector<double>{0.25, -0.5}));
      }
    }
  }
}

// Once the pool is warm a draw allocates the same whatever its trajectory
// length: the tree, the leapfrog steps and the U-turn checks allocate nothing.
TEST(NutsChain, DrawAllocationsDoNotGrowWithTheTrajectory) {
  auto warm_draw_allocations = [](std::uint64_t maxdepth) {
    auto chain = make_chain(FlatDensity(2), 0.5, depth_limit(maxdepth));
    EXPECT_TRUE(chain.set_position(std::vector<double>{0.25, -0.5}).has_value());
    EXPECT_TRUE(chain.draw().has_value());
    nuts_testing::AllocationCounter counter;
    EXPECT_TRUE(chain.draw().has_value());
    EXPECT_EQ(chain.collector().leapfrogs, 2 * ((std::uint64_t{1} << maxdepth) - 1));
    return counter.count();
  };
  const std::size_t short_tree = warm_draw_allocations(2);
  EXPECT_EQ(warm_draw_allocations(9), short_tree);
  EXPECT_LE(short_tree, 1u);  // the returned position
}

TEST(NutsChain, DepthZeroUsesOnlyTheMomentumNumbers) {
  auto chain = make_chain(GaussianDensity::standard(2), 0.5, depth_limit(0));
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  auto reference = Xoshiro256pp::seed_from_u64(1);
  ASSERT_TRUE(chain.draw().has_value());
  (void)standard_normal(reference);
  (void)standard_normal(reference);
  EXPECT_EQ(chain.rng().state(), reference.state());
}

TEST(NutsChain, TinyAndHugeStepSizes) {
  {
    SCOPED_TRACE("tiny step: the trajectory cannot turn before the depth limit");
    auto chain = make_chain(GaussianDensity::standard(2), 1e-6, depth_limit(6));
    ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
    for (int i = 0; i < 5; ++i) {
      auto r = chain.draw();
      ASSERT_TRUE(r.has_value());
      EXPECT_EQ(r->second.depth, 6u);
      EXPECT_TRUE(r->second.maxdepth_reached);
      EXPECT_FALSE(r->second.diverging());
    }
  }
  {
    SCOPED_TRACE("huge step: the first step diverges and the start is kept");
    auto chain = make_chain(GaussianDensity::standard(2), 1e10, depth_limit(6));
    const std::vector<double> start{0.5, 1.0};
    ASSERT_TRUE(chain.set_position(start).has_value());
    for (int i = 0; i < 5; ++i) {
      auto r = chain.draw();
      ASSERT_TRUE(r.has_value());
      const NutsSampleStats& stats = r->second;
      EXPECT_EQ(r->first, start);
      EXPECT_EQ(stats.depth, 0u);
      EXPECT_FALSE(stats.maxdepth_reached);
      EXPECT_EQ(stats.index_in_trajectory, 0);
      EXPECT_EQ(stats.energy_error, 0.0);
      ASSERT_TRUE(stats.diverging());
      EXPECT_EQ(*stats.divergence_info->start_idx_in_trajectory, 0);
      EXPECT_EQ(std::abs(*stats.divergence_info->end_idx_in_trajectory), 1);
      EXPECT_EQ(chain.collector().divergent_draws, static_cast<std::uint64_t>(i + 1));
    }
  }
}

TEST(NutsChain, WithoutTurningChecksTrajectoriesReachTheLimit) {
  TreeOptions options = depth_limit(5);
  options.check_turning = false;
  auto chain = make_chain(GaussianDensity::standard(2), 0.3, options);
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  for (int i = 0; i < 20; ++i) {
    auto r = chain.draw();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->second.depth, 5u);
  }
  // With the checks, 32 steps of 0.3 go well past a half period of the
  // standard normal, so the trajectories turn earlier.
  auto checked = make_chain(GaussianDensity::standard(2), 0.3, depth_limit(5));
  ASSERT_TRUE(checked.set_position(std::vector<double>{0.5, 1.0}).has_value());
  std::uint64_t turned = 0;
  for (int i = 0; i < 20; ++i) turned += checked.draw()->second.maxdepth_reached ? 0 : 1;
  EXPECT_EQ(turned, 20u);
}

TEST(NutsTree, DivergenceInsideASubtreeReturnsTheTreeUnchanged) {
  // A flat potential that diverges beyond x = 5.5; unit steps move x by 1.
  auto math = make_math(FlatDensity(1, 5.5));
  auto potential = nuts_testing::unit_potential(math, 1.0);
  StatePool pool = potential.new_pool(math, 8);
  State start = pool.new_state();
  {
    InnerState& s = start.mut();
    s.momentum[0] = 1.0;
    s.velocity[0] = 1.0;
    s.kinetic_energy = 0.5;
  }
  start.make_init_point();
  CountingCollector collector;
  CountingRng rng(3);
  const TreeOptions options;
  NutsTree tree = NutsTree::single(start, 0.0, start->energy(), true);
  for (int doubling = 0; doubling < 2; ++doubling) {
    ExtendOutcome o = NutsTree::extend(std::move(tree), math, pool, rng, potential,
                                       Direction::Forward, collector, options);
    ASSERT_EQ(o.kind, ExtendOutcome::Kind::Continue);
    tree = std::move(*o.tree);
  }
  ASSERT_EQ(tree.right.index_in_trajectory(), 3);
  const double log_size = tree.log_size;
  const State draw = tree.draw;
  const State right = tree.right;

  ExtendOutcome o = NutsTree::extend(std::move(tree), math, pool, rng, potential,
                                     Direction::Forward, collector, options);
  ASSERT_EQ(o.kind, ExtendOutcome::Kind::Diverging);
  EXPECT_EQ(*o.divergence->end_idx_in_trajectory, 6);
  EXPECT_EQ(*o.divergence->start_idx_in_trajectory, 5);
  EXPECT_EQ(o.tree->depth, 2u);
  EXPECT_EQ(o.tree->log_size, log_size);
  EXPECT_TRUE(o.tree->right.same_block(right));
  EXPECT_TRUE(o.tree->draw.same_block(draw));
  EXPECT_EQ(collector.leapfrogs, 1u + 2u + 3u);
  EXPECT_EQ(collector.divergent_leapfrogs, 1u);
}

// A constant force: the leapfrog is exact, and each step changes the
// momentum by the same amount, so the momenta of a straight run can be chosen
// to change sign at a given step.
class LinearDensity {
 public:
  explicit LinearDensity(double force) : force_(force) {}
  std::size_t dim() const { return 1; }
  Result<double> logp(std::span<const double> q, std::span<double> gradient) {
    gradient[0] += -force_;
    return -force_ * q[0];
  }

 private:
  double force_;
};

TEST(NutsTree, UTurnInsideANewSubtreeRejectsIt) {
  struct Row {
    const char* label;
    double force;  // momenta 1, 1 - f, 1 - 2f, 1 - 3f along the run
    Direction direction;
    std::uint64_t depth;
    std::int64_t far_end;  // index of the end in the direction of travel
  };
  const Row rows[] = {
      // 1, .55, .1, -.35: the pair (2, 3) turns by itself; the subtree is dropped.
      {"inside the subtree, forward", 0.45, Direction::Forward, 1, 1},
      {"inside the subtree, backward", 0.45, Direction::Backward, 1, -1},
      // 1, .4, -.2, -.8: the pair (2, 3) moves one way and does not turn, the
      // whole span does; the subtree is merged.
      {"across the merged tree, forward", 0.6, Direction::Forward, 2, 3},
      {"across the merged tree, backward", 0.6, Direction::Backward, 2, -3},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    auto math = make_math(LinearDensity(row.force));
    auto potential = nuts_testing::unit_potential(math, 1.0);
    StatePool pool = potential.new_pool(math, 8);
    // Travelling backward the force is reversed by the negative step, so the
    // start momentum is mirrored to run the same course.
    const double p0 = row.direction == Direction::Forward ? 1.0 : -1.0;
    auto start = potential.init_state(math, pool, std::vector<double>{0.0});
    ASSERT_TRUE(start.has_value());
    {
      InnerState& s = start->mut();
      s.momentum[0] = p0;
      s.velocity[0] = p0;
      s.kinetic_energy = 0.5;
    }
    start->make_init_point();
    CountingCollector collector;
    CountingRng rng(1);
    NutsTree tree = NutsTree::single(*start, 0.0, (*start)->energy(), true);
    ExtendOutcome first = NutsTree::extend(std::move(tree), math, pool, rng, potential,
                                           row.direction, collector, TreeOptions{});
    ASSERT_EQ(first.kind, ExtendOutcome::Kind::Continue);
    ExtendOutcome second = NutsTree::extend(std::move(*first.tree), math, pool, rng, potential,
                                            row.direction, collector, TreeOptions{});
    ASSERT_EQ(second.kind, ExtendOutcome::Kind::Turning);
    const NutsTree& t = *second.tree;
    EXPECT_EQ(collector.leapfrogs, 3u);
    EXPECT_EQ(t.depth, row.depth);
    const State& far = row.direction == Direction::Forward ? t.right : t.left;
    const State& near = row.direction == Direction::Forward ? t.left : t.right;
    EXPECT_EQ(far.index_in_trajectory(), row.far_end);
    EXPECT_EQ(near.index_in_trajectory(), 0);
    EXPECT_LE(std::abs(t.draw.index_in_trajectory()), std::abs(row.far_end));
  }
}

TEST(NutsChain, DensityFailureLeavesTheChainWhereItWas) {
  // One evaluation for set_position, three good steps, then failures.
  auto chain = make_chain(nuts_testing::FailingDensity(4), 0.1, depth_limit(10));
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  auto r = chain.draw();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Logp function returned error: density exploded");
  ASSERT_NE(r.error().cause(), nullptr);
  EXPECT_EQ(r.error().cause()->message(), "density exploded");
  EXPECT_EQ(chain.draw_count(), 0u);
  EXPECT_EQ(chain.strategy().adapts, 0u);
  EXPECT_EQ(chain.state()->position[1], 1.0);
  EXPECT_EQ(chain.collector().draws, 0u);
}

TEST(NutsChain, BadInitialPointKeepsTheOldState) {
  auto chain = make_chain(GaussianDensity::standard(2), 0.1, depth_limit(3));
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  auto s = chain.set_position(std::vector<double>{0.0, 1.0});
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().message(), "Could not initialize state because of bad initial gradient.");
  EXPECT_EQ(chain.state()->position[0], 0.5);
  EXPECT_EQ(chain.strategy().inits, 1u);
}

TEST(NutsChain, StatisticsOfADraw) {
  TreeOptions options = depth_limit(4);
  options.store_gradient = true;
  options.store_unconstrained = true;
  auto chain = make_chain(GaussianDensity::standard(2), 0.4, options, 5, 7);
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  for (std::uint64_t i = 0; i < 5; ++i) {
    SCOPED_TRACE("draw " + std::to_string(i));
    auto r = chain.draw();
    ASSERT_TRUE(r.has_value());
    const auto& [position, stats] = *r;
    const InnerState& d = *chain.state();
    EXPECT_EQ(position, (std::vector<double>{d.position[0], d.position[1]}));
    EXPECT_EQ(*stats.unconstrained_draw, position);
    EXPECT_EQ(*stats.gradient, (std::vector<double>{d.gradient[0], d.gradient[1]}));
    EXPECT_EQ(stats.logp, -d.potential_energy);
    EXPECT_EQ(stats.energy, d.kinetic_energy + d.potential_energy);
    EXPECT_EQ(stats.index_in_trajectory, d.idx_in_trajectory);
    EXPECT_EQ(stats.chain, 7u);
    EXPECT_EQ(stats.draw, i);
    EXPECT_EQ(stats.potential_stats.step_size, 0.4);
    EXPECT_FALSE(stats.potential_stats.mass_matrix.mass_matrix_inv.has_value());
    // Strategy statistics are read before this draw's adaptation.
    EXPECT_EQ(stats.strategy_stats.n_steps, i);
    EXPECT_EQ(stats.tuning, i < 3);
    EXPECT_EQ(chain.strategy().last_adapt_draw, i);
    EXPECT_EQ(chain.draw_count(), i + 1);
    // Between draws the chain holds the only handle to its state.
    EXPECT_EQ(chain.state().use_count(), 1u);
  }
}

TEST(NutsChain, PoolCapacityHintIsCapped) {
  EXPECT_EQ(pool_capacity_hint(0), 0u);
  EXPECT_EQ(pool_capacity_hint(10), 20u);
  EXPECT_EQ(pool_capacity_hint(std::numeric_limits<std::uint64_t>::max()), kMaxPoolCapacityHint);
  // An absurd depth limit builds a chain and draws; a turning trajectory ends it.
  auto chain = make_chain(GaussianDensity::standard(2), 0.3,
                          depth_limit(std::numeric_limits<std::uint64_t>::max()));
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.5, 1.0}).has_value());
  auto r = chain.draw();
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->second.maxdepth_reached);
}

// NUTS alone, with a fixed step size and a unit mass matrix, samples a
// correlated Gaussian.
TEST(NutsChain, RecoversACorrelatedGaussian) {
  auto chain = make_chain(nuts_testing::correlated_gaussian(), 0.25, depth_limit(10), 2024);
  ASSERT_TRUE(chain.set_position(std::vector<double>{1.5, -1.0}).has_value());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(chain.draw().has_value());
  nuts_testing::expect_correlated_gaussian_moments([&] { return chain.draw()->first; }, 50, 100);
}

}  // namespace
}  // namespace varnel
