#include "chain_builder.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "chacha.hpp"
#include "nuts_doubles.hpp"
#include "panic.hpp"
#include "xoshiro.hpp"

namespace varnel {
namespace {

using nuts_testing::GaussianDensity;
using nuts_testing::make_math;

ChaCha8Rng seeding_for(std::uint64_t seed, std::uint64_t chain) {
  auto rng = ChaCha8Rng::seed_from_u64(seed);
  rng.set_stream(chain);
  return rng;
}

SettingsChain<CpuMath<GaussianDensity>> build(const NutsSettings& settings, std::uint64_t chain,
                                              GaussianDensity density) {
  auto seeding = seeding_for(settings.seed, chain);
  return new_chain(settings, chain, make_math(std::move(density)), seeding);
}

using nuts_testing::correlated_gaussian;

TEST(NewChain, EarlyWindowMustEndBeforeWarmUpEnds) {
  struct Row {
    const char* label;
    std::uint64_t num_tune;
    double early_window_fraction;
    bool refused;
  };
  const Row rows[] = {
      {"no warm-up", 0, 0.3, true},
      {"one warm-up draw", 1, 0.3, false},
      {"early fraction of one", 10, 1.0, true},
      {"early fraction above one", 10, 1.5, true},
      {"negative early fraction", 10, -0.5, false},
      {"defaults", 400, 0.3, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    NutsSettings settings;
    settings.num_tune = row.num_tune;
    settings.adapt.early_window_fraction = row.early_window_fraction;
    auto seeding = seeding_for(1, 0);
    const auto untouched = seeding_for(1, 0);
    try {
      auto chain = new_chain(settings, 0, make_math(GaussianDensity::standard(2)), seeding);
      EXPECT_FALSE(row.refused);
    } catch (const Panic& p) {
      EXPECT_TRUE(row.refused);
      EXPECT_STREQ(p.what(), "assertion failed: early_end < num_tune");
      // Refused before anything was built: the seeding stream is untouched.
      auto copy = untouched;
      EXPECT_EQ(seeding.next_u64(), copy.next_u64());
    }
  }
}

TEST(NewChain, ChainGeneratorsFromTheSeedingStream) {
  struct Row {
    std::uint64_t chain;
    Xoshiro256pp::State state;
  };
  const Row rows[] = {
      {0, {0x67094cea8ca40db1u, 0x149406d8fc0e8e6bu, 0x98b82b0336070665u, 0x3825a7dc63080d42u}},
      {1, {0xda16ea55e3f5ade7u, 0x0d08a889e871fc06u, 0x8f0a6837389a34a6u, 0x19bcb4c88ee76947u}},
  };
  NutsSettings settings;
  settings.seed = 1;
  for (const Row& row : rows) {
    SCOPED_TRACE("chain " + std::to_string(row.chain));
    auto seeding = seeding_for(1, row.chain);
    auto chain = new_chain(settings, row.chain, make_math(GaussianDensity::standard(2)), seeding);
    EXPECT_EQ(chain.rng().state(), row.state);
    EXPECT_EQ(chain.chain(), row.chain);
    // Exactly 32 bytes were taken.
    auto reference = seeding_for(1, row.chain);
    for (int i = 0; i < 8; ++i) (void)reference.next_u32();
    EXPECT_EQ(seeding.next_u32(), reference.next_u32());
  }
}

TEST(NewChain, AllZeroSeedBytesUseSplitMixOfZero) {
  struct ZeroSeeding {
    std::uint32_t next_u32() { return 0; }
  } zero;
  EXPECT_EQ(chain_rng_from(zero).state(), Xoshiro256pp::seed_from_u64(0).state());
}

TEST(NewChain, UnplacedChainCarriesTheSettings) {
  NutsSettings settings;
  settings.maxdepth = 7;
  settings.max_energy_error = 55.0;
  settings.check_turning = false;
  settings.store_gradient = true;
  settings.adapt.mass_matrix.store_mass_matrix = true;
  auto chain = build(settings, 3, GaussianDensity::standard(2));
  EXPECT_EQ(chain.potential().step_size, 1.0);
  EXPECT_EQ(chain.potential().max_energy_error, 55.0);
  EXPECT_TRUE(chain.potential().mass_matrix.store_mass_matrix);
  EXPECT_EQ(chain.potential().mass_matrix.variance[0], 0.0);
  EXPECT_EQ(chain.options().maxdepth, 7u);
  EXPECT_FALSE(chain.options().check_turning);
  EXPECT_TRUE(chain.options().store_gradient);
  EXPECT_EQ(chain.strategy().num_tune(), 400u);
  EXPECT_TRUE(chain.strategy().is_tuning());
  EXPECT_EQ(chain.draw_count(), 0u);
}

// Every draw of a chain, as bits: positions, then the trajectory statistics.
std::vector<double> run_chain(SettingsChain<CpuMath<GaussianDensity>>& chain, int draws) {
  std::vector<double> trace;
  EXPECT_TRUE(chain.set_position(std::vector<double>{0.0001, 0.0001}).has_value());
  for (int i = 0; i < draws; ++i) {
    auto r = chain.draw();
    EXPECT_TRUE(r.has_value());
    if (!r) break;
    trace.insert(trace.end(), r->first.begin(), r->first.end());
    trace.push_back(r->second.potential_stats.step_size);
    trace.push_back(static_cast<double>(r->second.depth));
    trace.push_back(static_cast<double>(r->second.index_in_trajectory));
  }
  return trace;
}

TEST(NewChain, FixedSeedReproducesEachChainInAnyOrder) {
  NutsSettings settings;
  settings.seed = 42;
  settings.num_tune = 60;
  auto chain0 = build(settings, 0, correlated_gaussian());
  auto chain1 = build(settings, 1, correlated_gaussian());
  const auto trace1 = run_chain(chain1, 100);  // chain 1 first this time
  const auto trace0 = run_chain(chain0, 100);
  auto again0 = build(settings, 0, correlated_gaussian());
  auto again1 = build(settings, 1, correlated_gaussian());
  EXPECT_EQ(run_chain(again0, 100), trace0);
  EXPECT_EQ(run_chain(again1, 100), trace1);
  EXPECT_NE(trace0, trace1);
}

// The whole chain with its warm-up samples a correlated Gaussian, reports
// the warm-up on exactly num_tune + 1 draws and adapts the diagonal towards
// the scales of the coordinates.
TEST(NewChain, AdaptedChainRecoversACorrelatedGaussian) {
  NutsSettings settings;
  settings.seed = 7;
  auto chain = build(settings, 0, correlated_gaussian());
  ASSERT_TRUE(chain.set_position(std::vector<double>{0.0001, 0.0001}).has_value());
  std::uint64_t tuning_draws = 0;
  std::uint64_t divergences = 0;
  auto next_draw = [&] {
    auto r = chain.draw();
    EXPECT_TRUE(r.has_value());
    tuning_draws += r->second.tuning ? 1 : 0;
    divergences += r->second.diverging() ? 1 : 0;
    return r->first;
  };
  for (std::uint64_t i = 0; i < settings.num_tune; ++i) (void)next_draw();
  divergences = 0;  // early warm-up steps may diverge; sampling should not
  nuts_testing::expect_correlated_gaussian_moments(next_draw, 40, 50);
  EXPECT_EQ(tuning_draws, settings.num_tune + 1);
  EXPECT_EQ(divergences, 0u);
  const Vector& variance = chain.potential().mass_matrix.variance;
  EXPECT_NEAR(variance[1] / variance[0], 4.0, 2.0);
}

}  // namespace
}  // namespace varnel
