#include "estimation/particles.hpp"

namespace varnel::particles_detail {

std::vector<double> point_variances(std::span<const double> u, std::size_t dim) {
  const std::size_t n = u.size() / dim;
  std::vector<double> mean(dim, 0.0);
  std::vector<double> var(dim, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) mean[j] += u[i * dim + j];
  }
  for (double& m : mean) m /= static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      const double d = u[i * dim + j] - mean[j];
      var[j] += d * d;
    }
  }
  for (double& v : var) {
    v = n > 1 ? v / static_cast<double>(n - 1) : 0.0;
    if (!(v > 0.0 && std::isfinite(v))) v = 1.0;
  }
  return var;
}

}  // namespace varnel::particles_detail
