#pragma once
// The multi-chain runtime bound to the NUTS sampler: the settings record, the
// construction of a chain and of its statistics builder, and each chain's
// ChaCha8 seeding generator (keyed from the run's seed, stream = chain index).

#include <cstddef>
#include <cstdint>
#include <utility>

#include "chacha.hpp"
#include "chain_builder.hpp"
#include "nuts_stats.hpp"
#include "run_concepts.hpp"
#include "settings.hpp"

namespace varnel {

// The runtime's view of a NUTS run. Read-only once made, so every chain task
// builds from the same record.
struct NutsRun {
  using SeedRng = ChaCha8Rng;

  NutsSettings settings;

  std::uint64_t num_tune() const noexcept { return settings.num_tune; }
  std::uint64_t num_draws() const noexcept { return settings.num_draws; }
  std::uint64_t num_chains() const noexcept { return settings.num_chains; }
  std::uint64_t seed() const noexcept { return settings.seed; }

  // Chain `chain` on `math`, its generator drawn from `seeding`. Panics with
  // "assertion failed: early_end < num_tune" for a warm-up too short to adapt.
  template <class Math>
  auto new_chain(std::uint64_t chain, Math math, ChaCha8Rng& seeding) const {
    return varnel::new_chain(settings, chain, std::move(math), seeding);
  }

  // The chain's statistics table for `dim` parameters.
  NutsStatsBuilder new_stats_builder(std::size_t dim) const {
    return NutsStatsBuilder::create(settings, dim);
  }
};

static_assert(RunSettings<NutsRun>);
static_assert(StatTraceBuilder<NutsStatsBuilder, NutsSampleStats>);

}  // namespace varnel
