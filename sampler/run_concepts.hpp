#pragma once
// What the multi-chain runtime needs from the parts it runs. The runtime is
// generic over the model binding and the run settings, so that it can be
// tested with small doubles; in the product they are the psychometric model
// with its data and `NutsRun` (NUTS settings, chain construction, statistics
// builder).

#include <arrow/array.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "chain_progress.hpp"
#include "draw_storage.hpp"
#include "error.hpp"
#include "stat_trace.hpp"

namespace varnel {

// The generator from which a chain derives its own: keyed from the run's seed,
// one stream per chain.
template <class G>
concept SeedingRng = std::movable<G> && requires(G& g, std::uint64_t x) {
  { G::seed_from_u64(x) } -> std::same_as<G>;
  g.set_stream(x);
};

template <class M, class S>
struct RunTypes {
  using SeedRng = typename S::SeedRng;
  using Math = typename decltype(std::declval<const M&>().math())::value_type;
  using ChainType = decltype(std::declval<const S&>().new_chain(
      std::uint64_t{}, std::declval<Math>(), std::declval<SeedRng&>()));
  using Draw = typename decltype(std::declval<ChainType&>().draw())::value_type;
  using Stats = typename Draw::second_type;
  using Storage = decltype(std::declval<const M&>().new_trace());
  using StatsBuilder = decltype(std::declval<const S&>().new_stats_builder(std::size_t{}));
};

// A model binding, shared read-only by every chain task of a run:
// `math()` makes a chain's math backend (Result), `init_position` writes a
// starting point, `new_trace()` makes an empty draw storage, `dim()` is the
// parameter count.
template <class M, class Rng>
concept Model = requires(const M& m, Rng& rng, std::span<double> position) {
  { m.math() } -> std::same_as<Result<typename decltype(m.math())::value_type>>;
  { m.init_position(rng, position) } -> std::same_as<Status>;
  { m.new_trace() } -> DrawStorage;
  { m.dim() } -> std::convertible_to<std::size_t>;
};

// The settings of a run as the runtime reads them, with the construction of a
// chain (`new_chain(chain_index, math, seeding_rng)`, which may throw Panic)
// and of its statistics builder (`new_stats_builder(dim)`).
template <class S>
concept RunSettings = std::copy_constructible<S> && SeedingRng<typename S::SeedRng> &&
                      requires(const S& s) {
                        { s.num_tune() } -> std::same_as<std::uint64_t>;
                        { s.num_draws() } -> std::same_as<std::uint64_t>;
                        { s.num_chains() } -> std::same_as<std::uint64_t>;
                        { s.seed() } -> std::same_as<std::uint64_t>;
                      };

// A model and settings that fit together: the chain the settings build on the
// model's math is placed with `set_position` and draws (position, Stats)
// pairs, the builder takes those Stats, and progress can be read from them.
template <class M, class S>
concept Runnable =
    RunSettings<S> && Model<M, typename S::SeedRng> &&
    requires(typename RunTypes<M, S>::ChainType& chain, std::span<const double> position) {
      { chain.set_position(position) } -> std::same_as<Status>;
    } &&
    std::same_as<decltype(std::declval<typename RunTypes<M, S>::ChainType&>().draw()),
                 Result<std::pair<std::vector<double>, typename RunTypes<M, S>::Stats>>> &&
    StatTraceBuilder<typename RunTypes<M, S>::StatsBuilder, typename RunTypes<M, S>::Stats> &&
    requires(const typename RunTypes<M, S>::Stats& stats) {
      { progress_info(stats) } -> std::same_as<ProgressInfo>;
    };

}  // namespace varnel
