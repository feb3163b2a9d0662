#pragma once
// Per-draw statistics records. The chain step fills them; the statistics
// builders lay them out as columns.

#include <cstdint>
#include <optional>
#include <vector>

#include "divergence_info.hpp"

namespace varnel {

namespace stepsize_adapt {
// Step size adaptation statistics reported with each draw, read before the
// draw's own adaptation (so the means and step count describe the previous
// draw's trajectory).
struct Stats {
  double step_size_bar = 0.0;
  double mean_tree_accept = 0.0;
  double mean_tree_accept_sym = 0.0;
  std::uint64_t n_steps = 0;
};
}  // namespace stepsize_adapt

// The inverse mass matrix diagonal, present only when it is stored.
struct DiagMassMatrixStats {
  std::optional<std::vector<double>> mass_matrix_inv;
};

struct PotentialStats {
  double step_size = 0.0;
  DiagMassMatrixStats mass_matrix;
};

struct NutsSampleStats {
  std::uint64_t depth = 0;
  bool maxdepth_reached = false;
  std::int64_t index_in_trajectory = 0;
  double logp = 0.0;
  double energy = 0.0;
  double energy_error = 0.0;
  std::uint64_t chain = 0;
  std::uint64_t draw = 0;
  std::optional<std::vector<double>> gradient;            // when store_gradient
  std::optional<std::vector<double>> unconstrained_draw;  // when store_unconstrained
  std::optional<DivergenceInfo> divergence_info;          // present iff the draw diverged
  PotentialStats potential_stats;
  stepsize_adapt::Stats strategy_stats;
  bool tuning = false;  // not a column; read by progress

  bool diverging() const noexcept { return divergence_info.has_value(); }
};

}  // namespace varnel
