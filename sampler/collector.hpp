#pragma once
// What the trajectory tells the warm-up adaptation: the start of every draw,
// every leapfrog step and the chosen draw.

#include <concepts>

#include "divergence_info.hpp"
#include "state.hpp"

namespace varnel {

// A collector watches one draw's trajectory. `divergence` is nullptr for a
// regular step or draw. Collectors must not keep handles to the states they
// are shown beyond the call (the tree mutates only states it holds alone).
template <class C>
concept Collector = requires(C& c, const State& s, const DivergenceInfo* d) {
  { c.begin_draw(s) } -> std::same_as<void>;
  { c.observe_leapfrog(s, s, d) } -> std::same_as<void>;
  { c.observe_draw(s, d) } -> std::same_as<void>;
};

// A collector that ignores everything.
struct NullCollector {
  void begin_draw(const State&) noexcept {}
  void observe_leapfrog(const State&, const State&, const DivergenceInfo*) noexcept {}
  void observe_draw(const State&, const DivergenceInfo*) noexcept {}
};
static_assert(Collector<NullCollector>);

}  // namespace varnel
