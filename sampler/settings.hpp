#pragma once
// The settings record of a sampling run with every default, and the per-tree
// options a chain copies from it. Plain data.

#include <cstdint>

namespace varnel {

struct DualAverageSettings {
  double kappa = 0.75;
  double t0 = 10.0;
  double gamma = 0.05;
};

struct StepSizeSettings {
  double target_accept_rate = 0.8;
  double initial_step_size = 0.1;
  DualAverageSettings dual_average{};
};

struct DiagAdaptExpSettings {
  bool store_mass_matrix = false;
  bool grad_based_estimate = true;
};

struct AdaptSettings {
  StepSizeSettings step_size{};
  double early_window_fraction = 0.3;
  double step_size_window_fraction = 0.15;
  std::uint64_t switch_interval = 80;
  std::uint64_t early_switch_interval = 10;
  std::uint64_t mass_matrix_update_interval = 1;
  DiagAdaptExpSettings mass_matrix{};
};

struct NutsSettings {
  std::uint64_t num_tune = 400;
  std::uint64_t num_draws = 1000;
  std::uint64_t maxdepth = 10;
  double max_energy_error = 1000.0;
  std::uint64_t num_chains = 6;
  std::uint64_t seed = 0;
  AdaptSettings adapt{};
  bool store_gradient = false;
  bool store_unconstrained = false;
  bool store_divergences = false;
  bool check_turning = true;
};

struct TreeOptions {
  std::uint64_t maxdepth = 10;
  bool store_gradient = false;
  bool store_unconstrained = false;
  bool check_turning = true;
  bool store_divergences = false;

  static TreeOptions from(const NutsSettings& s) noexcept {
    return {s.maxdepth, s.store_gradient, s.store_unconstrained, s.check_turning,
            s.store_divergences};
  }
};

}  // namespace varnel
