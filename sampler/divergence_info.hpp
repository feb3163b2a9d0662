#pragma once
// The record of one divergent leapfrog step. Every field is optional; the
// leapfrog fills all but `density_error`, which is absent in this system.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "error.hpp"

namespace varnel {

struct DivergenceInfo {
  std::optional<double> energy_error;
  std::optional<std::int64_t> end_idx_in_trajectory;
  std::optional<std::int64_t> start_idx_in_trajectory;
  std::optional<std::vector<double>> end_momentum;
  std::optional<std::vector<double>> start_position;
  std::optional<std::vector<double>> start_gradient;
  std::optional<std::vector<double>> end_position;
  std::shared_ptr<const Error> density_error;
};

}  // namespace varnel
