#pragma once
// The warm-up schedule of a chain: divides num_tune warm-up draws into an
// early phase, a late mass-matrix phase and a final step size window, decides
// draw by draw which estimator runs, and freezes everything after warm-up.
// Owned by one chain and used only on its thread.

#include <concepts>
#include <cstdint>

#include "divergence_info.hpp"
#include "mass_matrix_adapt.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "stepsize.hpp"
#include "stepsize_adapt.hpp"

namespace varnel {

// A double as an unsigned 64-bit count: truncates towards zero; negative
// values and NaN give 0; values at or above 2^64 (and +inf) give the largest
// value.
std::uint64_t u64_from_double(double x) noexcept;

// First draw index after the early phase: floor(num_tune * early fraction).
std::uint64_t early_window_end(std::uint64_t num_tune, const AdaptSettings& settings) noexcept;

// First draw index of the final step size window:
// num_tune - floor(num_tune * step size window fraction), at least 0.
std::uint64_t final_window_start(std::uint64_t num_tune, const AdaptSettings& settings) noexcept;

// Feeds one trajectory to the acceptance collector and then to the draw
// collector.
struct CombinedCollector {
  AcceptanceRateCollector accept_rate;
  DrawGradCollector draw_grad;

  explicit CombinedCollector(std::size_t dim) : draw_grad(dim) {}

  template <class State>
  void begin_draw(const State& start) {
    accept_rate.begin_draw(start);
    draw_grad.begin_draw(start);
  }
  template <class State>
  void observe_leapfrog(const State& start, const State& end, const DivergenceInfo* divergence) {
    accept_rate.observe_leapfrog(start, end, divergence);
    draw_grad.observe_leapfrog(start, end, divergence);
  }
  template <class State>
  void observe_draw(const State& draw, const DivergenceInfo* divergence) {
    accept_rate.observe_draw(draw, divergence);
    draw_grad.observe_draw(draw, divergence);
  }
};

// The adaptation strategy of a chain: the step size strategy and the mass
// matrix strategy, run by the warm-up schedule.
class GlobalStrategy {
 public:
  using Collector = CombinedCollector;

  // A strategy for `num_tune` warm-up draws. Panics with "assertion failed:
  // early_end < num_tune" when the early phase would cover every warm-up draw
  // (num_tune 0, or an early fraction of 1 or more), before allocating.
  template <class Math>
    requires requires(Math& m) { m.dim(); }
  GlobalStrategy(const AdaptSettings& settings, Math& math, std::uint64_t num_tune)
      : GlobalStrategy(settings, math.dim(), num_tune) {}
  GlobalStrategy(const AdaptSettings& settings, std::size_t dim, std::uint64_t num_tune);

  // A fresh collector for the chain's trajectories.
  template <class Math>
  CombinedCollector new_collector(Math& math) const {
    return CombinedCollector(math.dim());
  }

  // At chain start, on the valid initial state: the initial diagonal, then the
  // initial step size search.
  template <class Math, class Potential, class State, class Rng>
  void init(Math& math, Potential& potential, const State& state, Rng& rng) {
    mass_matrix_.init(math, potential, state);
    step_size_.init(math, potential, state, rng);
  }

  // The adaptation after draw `draw` (the number of draws made before it,
  // warm-up and sampling alike), whose chosen state is `draw_state` and whose
  // trajectory `collector` watched. Sets the potential's step size (and during
  // the mass-matrix phase its diagonal) for the next draw.
  template <class Math, class Potential, class State, class Rng>
  void adapt(Math& math, CombinedCollector& collector, Potential& potential, std::uint64_t draw,
             const State& draw_state, Rng& rng);

  // The statistics reported with a draw, taken before its adaptation.
  stepsize_adapt::Stats current_stats() const noexcept { return step_size_.current_stats(); }
  // Still warming up: false from the adaptation of draw num_tune on.
  bool is_tuning() const noexcept { return tuning_; }

  const stepsize_adapt::Strategy& step_size() const noexcept { return step_size_; }
  const mass_matrix_adapt::Strategy& mass_matrix() const noexcept { return mass_matrix_; }
  const AdaptSettings& settings() const noexcept { return settings_; }
  std::uint64_t num_tune() const noexcept { return num_tune_; }
  std::uint64_t early_end() const noexcept { return early_end_; }
  std::uint64_t final_window_start() const noexcept { return final_window_start_; }
  std::uint64_t last_update() const noexcept { return last_update_; }
  bool first_update_pending() const noexcept { return first_update_pending_; }

 private:
  static std::uint64_t checked_early_end(const AdaptSettings& settings, std::uint64_t num_tune);

  stepsize_adapt::Strategy step_size_;
  std::uint64_t num_tune_;
  std::uint64_t early_end_;
  std::uint64_t final_window_start_;
  std::uint64_t last_update_ = 0;
  mass_matrix_adapt::Strategy mass_matrix_;
  AdaptSettings settings_;
  bool tuning_ = true;
  bool first_update_pending_ = true;
};

template <class Math, class Potential, class State, class Rng>
void GlobalStrategy::adapt(Math& math, CombinedCollector& collector, Potential& potential,
                           std::uint64_t draw, const State& draw_state, Rng& rng) {
  step_size_.update_stats(collector.accept_rate);

  if (draw >= num_tune_) {
    tuning_ = false;
    return;
  }

  if (draw >= final_window_start_) {
    step_size_.update_estimator_late();
    potential.step_size = draw == num_tune_ - 1 ? step_size_.current_step_size_adapted()
                                                : step_size_.current_step_size();
    return;
  }

  const std::uint64_t interval =
      draw < early_end_ ? settings_.early_switch_interval : settings_.switch_interval;
  // Saturating: a huge interval simply never fits before the final window.
  const std::uint64_t interval_end = draw + interval < draw ? UINT64_MAX : draw + interval;

  mass_matrix_.update_estimators(math, collector.draw_grad);
  const std::uint64_t background = mass_matrix_.background_count();

  bool changed = false;
  if (background >= interval && interval_end <= final_window_start_) {
    // The update at a switch does not wait for the update interval.
    mass_matrix_.switch_estimators(math);
    if (mass_matrix_.update_potential(math, potential)) {
      last_update_ = draw;
      changed = true;
    }
  } else if (draw - last_update_ >= settings_.mass_matrix_update_interval) {
    if (mass_matrix_.update_potential(math, potential)) {
      last_update_ = draw;
      changed = true;
    }
  }

  if (interval_end > final_window_start_) {
    step_size_.update_estimator_late();
  } else {
    step_size_.update_estimator_early();
  }

  if (changed && first_update_pending_) {
    // The first diagonal estimate changes the scale of the problem: search the
    // step size again from the draw's state under the new diagonal.
    first_update_pending_ = false;
    step_size_.init(math, potential, draw_state, rng);
  } else {
    potential.step_size = step_size_.current_step_size();
  }
}

}  // namespace varnel
