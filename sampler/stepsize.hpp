#pragma once
// The step size estimator of the warm-up and the statistics it is fed with:
// a running mean, the per-draw acceptance collector and the dual-averaging
// estimator of the log step size. Plain records, owned by one chain.

#include <cstdint>

#include "divergence_info.hpp"
#include "settings.hpp"

namespace varnel {

// Mean of a stream of doubles. The mean of no samples is 0/0 = NaN.
struct RunningMean {
  double sum = 0.0;
  std::uint64_t count = 0;

  void add(double value) noexcept {
    sum += value;
    count += 1;
  }
  // sum / count in double precision.
  double value() const noexcept { return sum / static_cast<double>(count); }
  void reset() noexcept {
    sum = 0.0;
    count = 0;
  }
};

// Watches the leapfrog steps of one draw's trajectory and accumulates the
// acceptance probability min(1, e^delta) and its symmetric variant
// 2 min(1, e^delta) / (1 + e^delta), delta being the draw's initial energy
// minus the energy of the step's end state. A divergent step counts as 0 in
// both means. Cheap by design: two exponentials per step.
struct AcceptanceRateCollector {
  RunningMean mean;
  RunningMean mean_sym;
  double initial_energy = 0.0;

  // Starts a draw at `start` (after its momentum was drawn): remembers its
  // energy and empties both means.
  template <class State>
  void begin_draw(const State& start) noexcept {
    initial_energy = start->kinetic_energy + start->potential_energy;
    mean.reset();
    mean_sym.reset();
  }

  // One leapfrog step from `start` to `end`; `divergence` is non-null when the
  // leapfrog judged the step divergent.
  template <class State>
  void observe_leapfrog(const State& /*start*/, const State& end,
                        const DivergenceInfo* divergence) noexcept {
    if (divergence != nullptr) {
      add_step(0.0, 0.0);
      return;
    }
    observe_energy(end->kinetic_energy + end->potential_energy);
  }

  // The acceptance of a regular step whose end state has energy `end_energy`.
  void observe_energy(double end_energy) noexcept;

  // Adds one step's acceptance and symmetric acceptance.
  void add_step(double accept, double accept_sym) noexcept {
    mean.add(accept);
    mean_sym.add(accept_sym);
  }

  template <class State>
  void observe_draw(const State& /*draw*/, const DivergenceInfo* /*divergence*/) noexcept {}
};

// Dual-averaging estimator of the log step size: a noisy iterate that reacts
// fast and an averaged iterate used once warm-up ends. `mu` is the shrinkage
// point ln(10 * initial step size); `count` numbers the next update from 1.
struct DualAverage {
  double log_step = 0.0;
  double log_step_adapted = 0.0;
  double hbar = 0.0;
  double mu = 0.0;
  std::uint64_t count = 1;
  DualAverageSettings settings{};

  // A fresh estimator started at `initial_step` (expected positive; a zero or
  // negative start gives -inf or NaN logarithms, which the caller avoids).
  static DualAverage create(const DualAverageSettings& settings, double initial_step) noexcept;

  // One update with the observed acceptance statistic `accept` aiming at
  // `target`. An acceptance above the target raises the step size. A NaN
  // acceptance makes the iterates NaN until the estimator is replaced.
  void advance(double accept, double target) noexcept;

  // exp(log_step).
  double current_step_size() const noexcept;
  // exp(log_step_adapted).
  double current_step_size_adapted() const noexcept;
};

}  // namespace varnel
