#pragma once
// The No-U-Turn trajectory tree and one chain's step.
//
// A draw grows a trajectory from the chain's state by repeated doubling in a
// random direction; each doubling builds a subtree of equal size at that end
// with leapfrog steps and merges it in. A tree keeps only its two end states,
// its chosen draw, its log weight and its depth. The order of the leapfrog
// steps, the U-turn checks and the random numbers is fixed: a fixed seed
// reproduces a chain bit for bit.

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "collector.hpp"
#include "divergence_info.hpp"
#include "error.hpp"
#include "math.hpp"
#include "panic.hpp"
#include "potential.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "state.hpp"

namespace varnel {

struct ExtendOutcome;

// A (sub)tree of one draw's trajectory. A tree of depth d spans 2^d
// consecutive states; the main tree contains the draw's start (index 0).
struct NutsTree {
  State left;   // the state with the smallest index
  State right;  // the state with the largest index
  State draw;   // the state chosen so far
  double log_size = 0.0;  // log of the sum of exp(initial_energy - energy) over the states
  std::uint64_t depth = 0;
  double initial_energy = 0.0;  // energy of the draw's starting state
  bool is_main = false;

  // The tree of one state.
  static NutsTree single(State state, double log_size, double initial_energy, bool is_main) {
    NutsTree t;
    t.left = state;
    t.right = state;
    t.draw = std::move(state);
    t.log_size = log_size;
    t.initial_energy = initial_energy;
    t.is_main = is_main;
    return t;
  }

  // Builds a subtree of this tree's depth beyond the end given by `direction`
  // and merges it in, consuming this tree. A U-turn inside the new subtree,
  // or a divergence, returns this tree unmerged; a U-turn across the merged
  // tree returns it merged. A density failure returns the error.
  template <class Math, class Rng, class H, class C>
  static ExtendOutcome extend(NutsTree self, Math& math, StatePool& pool, Rng& rng,
                              const H& potential, Direction direction, C& collector,
                              const TreeOptions& options);

  // Merges `other` (same depth, adjacent at the end given by `direction`)
  // into this tree and chooses the draw: biased towards the new half in the
  // main tree, in proportion to the weights inside a subtree. Uses one 64-bit
  // number from `rng` exactly when the move probability is below 1. Panics on
  // mismatched depths or misordered ends.
  template <class Rng>
  void merge_into(NutsTree other, Rng& rng, Direction direction);
};

// The result of NutsTree::extend.
struct ExtendOutcome {
  enum class Kind : std::uint8_t { Continue, Turning, Diverging, Failed };

  Kind kind;
  std::optional<NutsTree> tree;              // all but Failed
  std::optional<DivergenceInfo> divergence;  // Diverging
  std::optional<NutsError> error;            // Failed

  static ExtendOutcome continuing(NutsTree t) { return {Kind::Continue, std::move(t), {}, {}}; }
  static ExtendOutcome turning(NutsTree t) { return {Kind::Turning, std::move(t), {}, {}}; }
  static ExtendOutcome diverging(NutsTree t, DivergenceInfo info) {
    return {Kind::Diverging, std::move(t), std::move(info), {}};
  }
  static ExtendOutcome failed(NutsError e) { return {Kind::Failed, {}, {}, std::move(e)}; }
};

template <class Math, class Rng, class H, class C>
ExtendOutcome NutsTree::extend(NutsTree self, Math& math, StatePool& pool, Rng& rng,
                               const H& potential, Direction direction, C& collector,
                               const TreeOptions& options) {
  const State& start = direction == Direction::Forward ? self.right : self.left;
  auto step = potential.leapfrog(math, pool, start, direction, self.initial_energy, collector);
  if (!step) return ExtendOutcome::failed(std::move(step.error()));
  if (auto* info = std::get_if<DivergenceInfo>(&*step)) {
    return ExtendOutcome::diverging(std::move(self), std::move(*info));
  }
  State s = std::get<State>(std::move(*step));
  const double log_size = self.initial_energy - (s->kinetic_energy + s->potential_energy);
  NutsTree other = single(std::move(s), log_size, self.initial_energy, false);

  while (other.depth < self.depth) {
    ExtendOutcome o =
        extend(std::move(other), math, pool, rng, potential, direction, collector, options);
    switch (o.kind) {
      case ExtendOutcome::Kind::Continue:
        other = std::move(*o.tree);
        break;
      case ExtendOutcome::Kind::Turning:
        // A subtree with a U-turn inside is rejected whole: none of its
        // states can become the draw.
        o.tree.reset();
        return ExtendOutcome::turning(std::move(self));
      case ExtendOutcome::Kind::Diverging:
        o.tree.reset();
        return ExtendOutcome::diverging(std::move(self), std::move(*o.divergence));
      case ExtendOutcome::Kind::Failed:
        return o;
    }
  }

  if (!options.check_turning) {
    self.merge_into(std::move(other), rng, direction);
    return ExtendOutcome::continuing(std::move(self));
  }

  bool turning = direction == Direction::Forward ? is_turning(self.left, math, other.right)
                                                 : is_turning(other.left, math, self.right);
  // Also check the spans joining the first states and the last states of the
  // two halves; a depth-0 tree has only the whole span.
  if (self.depth > 0 && !turning) {
    turning = is_turning(self.right, math, other.right);
    if (!turning) turning = is_turning(self.left, math, other.left);
  }
  // A subtree that completes a U-turn of the whole tree is still merged, and
  // its draw can still be chosen.
  self.merge_into(std::move(other), rng, direction);
  return turning ? ExtendOutcome::turning(std::move(self))
                 : ExtendOutcome::continuing(std::move(self));
}

template <class Rng>
void NutsTree::merge_into(NutsTree other, Rng& rng, Direction direction) {
  check(depth == other.depth, "self.depth == other.depth");
  check(left.index_in_trajectory() <= right.index_in_trajectory(),
        "self.left.index_in_trajectory() <= self.right.index_in_trajectory()");
  if (direction == Direction::Backward) {
    left = std::move(other.left);
  } else {
    right = std::move(other.right);
  }
  const double new_log_size = logaddexp(log_size, other.log_size);

  double reference;
  if (is_main) {
    check(left.index_in_trajectory() <= 0, "self.left.index_in_trajectory() <= 0");
    check(right.index_in_trajectory() >= 0, "self.right.index_in_trajectory() >= 0");
    // Biased progressive sampling: the old weight alone, which favours the
    // new half and moves the draw further from the start.
    reference = log_size;
  } else {
    reference = new_log_size;
  }

  if (other.log_size >= reference) {
    draw = std::move(other.draw);
  } else {
    const double p = std::exp(other.log_size - reference);
    if (p >= 0.0 && p < 1.0) {
      // One 64-bit number against p scaled to the full 64-bit range.
      const auto threshold = static_cast<std::uint64_t>(p * 0x1p64);
      if (rng.next_u64() < threshold) draw = std::move(other.draw);
    } else if (p == 1.0) {
      draw = std::move(other.draw);
    } else {
      panic_unwrap_err("InvalidProbability");
    }
  }
  depth += 1;
  log_size = new_log_size;
}

// The adaptation strategy a chain calls (the warm-up schedule).
template <class S, class Math, class Rng>
concept ChainStrategy = requires(S& s, const S& cs, Math& math, EuclideanPotential& potential,
                                 const State& state, Rng& rng, std::uint64_t draw) {
  { s.new_collector(math) } -> Collector;
  s.init(math, potential, state, rng);
  requires requires(decltype(s.new_collector(math))& collector) {
    s.adapt(math, collector, potential, draw, state, rng);
  };
  { cs.current_stats() } -> std::same_as<stepsize_adapt::Stats>;
  { cs.is_tuning() } -> std::convertible_to<bool>;
};

// What the runtime calls on a chain.
template <class C>
concept Chain = requires(C& c, const C& cc, std::span<const double> position) {
  { c.set_position(position) } -> std::same_as<Status>;
  { c.draw() } -> std::same_as<Result<std::pair<std::vector<double>, NutsSampleStats>>>;
  { cc.dim() } -> std::same_as<std::size_t>;
};

// The free list of a chain's pool starts with room for 2 * maxdepth states;
// the hint is capped so that an absurd maxdepth cannot exhaust memory up front.
inline constexpr std::size_t kMaxPoolCapacityHint = 64;

constexpr std::size_t pool_capacity_hint(std::uint64_t maxdepth) noexcept {
  return maxdepth >= kMaxPoolCapacityHint / 2 ? kMaxPoolCapacityHint
                                              : static_cast<std::size_t>(2 * maxdepth);
}

// One Markov chain: owns its math backend, potential, pool, current state,
// strategy, collector and random generator. Used by one thread at a time.
template <class Math, class Strategy, class Rng>
  requires ChainStrategy<Strategy, Math, Rng>
class NutsChain {
 public:
  using CollectorType = decltype(std::declval<Strategy&>().new_collector(std::declval<Math&>()));
  using DrawResult = std::pair<std::vector<double>, NutsSampleStats>;

  // An unplaced chain: its state is a placeholder until set_position.
  NutsChain(Math math, EuclideanPotential potential, Strategy strategy, TreeOptions options,
            Rng rng, std::uint64_t chain)
      : math_(std::move(math)),
        potential_(std::move(potential)),
        strategy_(std::move(strategy)),
        collector_(strategy_.new_collector(math_)),
        options_(options),
        pool_(potential_.new_pool(math_, pool_capacity_hint(options.maxdepth))),
        state_(pool_.new_state()),
        rng_(std::move(rng)),
        chain_(chain) {}

  // Places the chain at `position` (n values) and runs the strategy's
  // initialisation there. On an error (a bad initial gradient, a density
  // failure) the chain keeps its old state. A wrong length is a Panic.
  Status set_position(std::span<const double> position) {
    auto s = potential_.init_state(math_, pool_, position);
    if (!s) return std::unexpected(s.error().to_error());
    state_ = std::move(*s);
    strategy_.init(math_, potential_, state_, rng_);
    return {};
  }

  // One draw: the new position and its statistics, or the density's error
  // (the chain is then not advanced).
  Result<DrawResult> draw() {
    potential_.randomize_momentum(math_, state_, rng_);
    state_.make_init_point();
    const double initial_energy = state_->kinetic_energy + state_->potential_energy;
    collector_.begin_draw(state_);

    NutsTree tree = NutsTree::single(state_, 0.0, initial_energy, true);
    bool maxdepth_reached = true;
    std::optional<DivergenceInfo> divergence;
    while (tree.depth < options_.maxdepth) {
      // The most significant bit of one 64-bit number picks the side.
      const Direction direction =
          (rng_.next_u64() >> 63) == 1 ? Direction::Forward : Direction::Backward;
      ExtendOutcome outcome = NutsTree::extend(std::move(tree), math_, pool_, rng_, potential_,
                                               direction, collector_, options_);
      if (outcome.kind == ExtendOutcome::Kind::Failed) {
        return std::unexpected(outcome.error->to_error());
      }
      tree = std::move(*outcome.tree);
      if (outcome.kind == ExtendOutcome::Kind::Continue) continue;
      maxdepth_reached = false;
      if (outcome.kind == ExtendOutcome::Kind::Diverging) divergence = std::move(outcome.divergence);
      break;
    }

    const State d = tree.draw;
    collector_.observe_draw(d, divergence ? &*divergence : nullptr);

    std::vector<double> position(math_.dim());
    math_.write_position(d->position, std::span<double>(position));

    NutsSampleStats stats;
    stats.depth = tree.depth;
    stats.maxdepth_reached = maxdepth_reached;
    stats.index_in_trajectory = d->idx_in_trajectory;
    stats.logp = -d->potential_energy;
    stats.energy = d->kinetic_energy + d->potential_energy;
    stats.energy_error = stats.energy - initial_energy;
    stats.divergence_info = std::move(divergence);
    stats.chain = chain_;
    stats.draw = draw_count_;
    stats.potential_stats = potential_.stats();
    stats.strategy_stats = strategy_.current_stats();
    stats.tuning = strategy_.is_tuning();
    if (options_.store_gradient) stats.gradient.emplace(d->gradient.begin(), d->gradient.end());
    if (options_.store_unconstrained) {
      stats.unconstrained_draw.emplace(d->position.begin(), d->position.end());
    }

    strategy_.adapt(math_, collector_, potential_, draw_count_, d, rng_);
    draw_count_ += 1;
    state_ = d;
    return DrawResult(std::move(position), std::move(stats));
  }

  std::size_t dim() const { return math_.dim(); }

  // Read access for the runtime and tests.
  const EuclideanPotential& potential() const noexcept { return potential_; }
  EuclideanPotential& potential() noexcept { return potential_; }
  const Strategy& strategy() const noexcept { return strategy_; }
  const CollectorType& collector() const noexcept { return collector_; }
  const TreeOptions& options() const noexcept { return options_; }
  const State& state() const noexcept { return state_; }
  const StatePool& pool() const noexcept { return pool_; }
  Math& math() noexcept { return math_; }
  const Rng& rng() const noexcept { return rng_; }
  // Write access to the generator, so that one chain can be re-placed and
  // re-seeded for many independent short runs.
  Rng& rng() noexcept { return rng_; }
  std::uint64_t chain() const noexcept { return chain_; }
  std::uint64_t draw_count() const noexcept { return draw_count_; }

 private:
  // Declared in dependency order; the state goes before its pool.
  Math math_;
  EuclideanPotential potential_;
  Strategy strategy_;
  CollectorType collector_;
  TreeOptions options_;
  StatePool pool_;
  State state_;
  Rng rng_;
  std::uint64_t chain_;
  std::uint64_t draw_count_ = 0;
};

}  // namespace varnel
