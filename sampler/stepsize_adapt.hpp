#pragma once
// The step size half of the warm-up: owns the dual-averaging estimator, runs
// the initial step size search, feeds the estimator with one of the two
// acceptance means of the last draw and reports the per-draw statistics.
// Owned by one chain's GlobalStrategy; used on that chain's thread only.

#include <cstdint>

#include "panic.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "state.hpp"
#include "stepsize.hpp"

namespace varnel {
namespace stepsize_adapt {

// Bounds and length of the initial step size search.
inline constexpr double kSearchMaxStepSize = 1e5;
inline constexpr double kSearchMinStepSize = 1e-10;
inline constexpr int kSearchMaxIterations = 100;

class Strategy {
 public:
  // A strategy whose estimator starts at the settings' initial step size. The
  // potential's step size is not touched.
  explicit Strategy(const StepSizeSettings& settings) noexcept
      : dual_average_(DualAverage::create(settings.dual_average, settings.initial_step_size)),
        settings_(settings) {}

  // The initial step size search from `state`. Writes the potential's step
  // size and, when the search ends regularly, restarts the estimator at the
  // step size found. A sampler error during the search, or a search that does
  // not end within its iterations, leaves the step size at the settings'
  // initial step size and the estimator unchanged. `state` is not changed:
  // the search works on a copy in a pool of its own, with a fresh momentum
  // from `rng`.
  template <class Math, class Potential, class State, class Rng>
  void init(Math& math, Potential& potential, const State& state, Rng& rng);

  // Remembers the acceptance means and step count of the draw just made.
  void update_stats(const AcceptanceRateCollector& collector) noexcept {
    last_mean_tree_accept_ = collector.mean.value();
    last_mean_tree_accept_sym_ = collector.mean_sym.value();
    last_n_steps_ = collector.mean.count;
  }

  // Advances the estimator with the plain acceptance mean of the last draw.
  void update_estimator_early() noexcept {
    dual_average_.advance(last_mean_tree_accept_, settings_.target_accept_rate);
  }

  // Advances the estimator with the symmetric acceptance mean of the last draw.
  void update_estimator_late() noexcept {
    dual_average_.advance(last_mean_tree_accept_sym_, settings_.target_accept_rate);
  }

  // The statistics reported with a draw: the averaged step size and the
  // means and step count remembered by the last update_stats.
  Stats current_stats() const noexcept {
    return {dual_average_.current_step_size_adapted(), last_mean_tree_accept_,
            last_mean_tree_accept_sym_, last_n_steps_};
  }

  double current_step_size() const noexcept { return dual_average_.current_step_size(); }
  double current_step_size_adapted() const noexcept {
    return dual_average_.current_step_size_adapted();
  }

  const DualAverage& dual_average() const noexcept { return dual_average_; }
  const StepSizeSettings& settings() const noexcept { return settings_; }

 private:
  DualAverage dual_average_;
  StepSizeSettings settings_;
  double last_mean_tree_accept_ = 0.0;
  double last_mean_tree_accept_sym_ = 0.0;
  std::uint64_t last_n_steps_ = 0;
};

template <class Math, class Potential, class State, class Rng>
void Strategy::init(Math& math, Potential& potential, const State& state, Rng& rng) {
  auto pool = potential.new_pool(math, 1);
  // The copy lives in the search's own pool and is released (with every state
  // the search made) when this function returns; `state` stays untouched.
  State start = potential.copy_state(math, pool, state);
  start.expect_mut("New state should have only one reference").idx_in_trajectory = 0;
  potential.randomize_momentum(math, start, rng);

  // One leapfrog step from `start` at the potential's current step size;
  // false on a sampler error, else the step's acceptance in `accept`.
  double accept = 0.0;
  auto try_step = [&](bool forward) {
    AcceptanceRateCollector collector;
    collector.begin_draw(start);
    const double initial_energy = start->kinetic_energy + start->potential_energy;
    {
      auto result =
          potential.leapfrog(math, pool, start, forward ? Direction::Forward : Direction::Backward,
                             initial_energy, collector);
      // A divergence is a result (acceptance 0); only a sampler error fails.
      if (!result.has_value()) return false;
    }
    accept = collector.mean.value();
    return true;
  };

  potential.step_size = settings_.initial_step_size;
  if (!try_step(true)) return;
  const bool forward = accept > settings_.target_accept_rate;

  for (int iteration = 0; iteration < kSearchMaxIterations; ++iteration) {
    if (!try_step(forward)) {
      potential.step_size = settings_.initial_step_size;
      return;
    }
    const double step_size = potential.step_size;
    const bool done = forward ? (step_size > kSearchMaxStepSize ||
                                 accept <= settings_.target_accept_rate)
                              : (step_size < kSearchMinStepSize ||
                                 accept >= settings_.target_accept_rate);
    if (done) {
      dual_average_ = DualAverage::create(settings_.dual_average, step_size);
      return;
    }
    potential.step_size = forward ? step_size * 2.0 : step_size / 2.0;
  }
  potential.step_size = settings_.initial_step_size;
}

}  // namespace stepsize_adapt
}  // namespace varnel
