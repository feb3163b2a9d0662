#pragma once
// Building one chain from the run's settings: its warm-up strategy, its
// potential with a zero mass matrix and step size 1.0 (both replaced when the
// chain is placed), its tree options and its own random generator.
//
// new_chain only reads the settings record, so several worker threads may
// build their chains from one record at the same time.

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "adapt_strategy.hpp"
#include "chacha.hpp"
#include "cpu_math.hpp"
#include "density.hpp"
#include "error.hpp"
#include "mass_matrix.hpp"
#include "nuts.hpp"
#include "panic.hpp"
#include "potential.hpp"
#include "settings.hpp"
#include "xoshiro.hpp"

namespace varnel {

// The chain type new_chain builds for a math backend.
template <class Math>
using SettingsChain = NutsChain<Math, GlobalStrategy, Xoshiro256pp>;

// A chain's xoshiro256++ generator from the next 32 bytes of its seeding
// generator (eight 32-bit words, each little-endian, in order); all-zero
// bytes give the SplitMix64 seeding of 0 instead.
template <class Seeding>
Xoshiro256pp chain_rng_from(Seeding& seeding) {
  std::array<std::uint8_t, 32> bytes{};
  for (std::size_t w = 0; w < 8; ++w) {
    const std::uint32_t word = seeding.next_u32();
    for (std::size_t b = 0; b < 4; ++b) bytes[4 * w + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  return Xoshiro256pp::from_seed_bytes(bytes);
}

// Chain `chain` of a run, not yet placed (set_position comes next), owning
// `math`. Takes 32 bytes from `seeding` (the chain's ChaCha8 stream) and
// never uses it again. Panics with "assertion failed: early_end < num_tune"
// before building anything when the early warm-up window would cover every
// warm-up draw (num_tune 0, or an early fraction of 1 or more).
template <class Math>
SettingsChain<Math> new_chain(const NutsSettings& settings, std::uint64_t chain, Math math,
                              ChaCha8Rng& seeding) {
  check(early_window_end(settings.num_tune, settings.adapt) < settings.num_tune,
        "early_end < num_tune");
  GlobalStrategy strategy(settings.adapt, math, settings.num_tune);
  EuclideanPotential potential{
      settings.max_energy_error, 1.0,
      DiagMassMatrix::create(math, settings.adapt.mass_matrix.store_mass_matrix)};
  const TreeOptions options = TreeOptions::from(settings);
  Xoshiro256pp rng = chain_rng_from(seeding);
  return SettingsChain<Math>(std::move(math), std::move(potential), std::move(strategy), options,
                             rng, chain);
}

// A settings record that builds chains for a math backend.
template <class S, class Math>
concept Settings = requires(const S& settings, Math math, ChaCha8Rng& seeding) {
  { new_chain(settings, std::uint64_t{0}, std::move(math), seeding) } -> Chain;
};

namespace detail {
// The smallest density: only for checking the interfaces below.
struct DensityArchetype {
  std::size_t dim() const { return 1; }
  Result<double> logp(std::span<const double>, std::span<double>) { return 0.0; }
};
using MathArchetype = CpuMath<DensityArchetype>;
}  // namespace detail

static_assert(Hamiltonian<EuclideanPotential, detail::MathArchetype, Xoshiro256pp,
                          CombinedCollector>);
static_assert(Collector<CombinedCollector>);
static_assert(ChainStrategy<GlobalStrategy, detail::MathArchetype, Xoshiro256pp>);
static_assert(Chain<SettingsChain<detail::MathArchetype>>);
static_assert(Settings<NutsSettings, detail::MathArchetype>);

}  // namespace varnel
