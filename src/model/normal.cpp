#include "model/normal.hpp"

#include <cmath>

#include "model/debug_text.hpp"

namespace varnel {

std::string_view debug_text(NormalError error) noexcept {
  switch (error) {
    case NormalError::BadVariance:
      return "BadVariance";
    case NormalError::MeanTooSmall:
      return "MeanTooSmall";
  }
  return "BadVariance";
}

std::expected<Normal, NormalError> Normal::try_new(double mean, double std_dev) noexcept {
  if (!std::isfinite(std_dev)) return std::unexpected(NormalError::BadVariance);
  return Normal{mean, std_dev};
}

double Normal::log_density(double v) const noexcept {
  const double z = (v - mean) / std_dev;
  double lp = z * z * -0.5;
  lp = lp - kHalfLogTwoPi;
  return lp - std::log(std_dev);
}

std::string Normal::debug_text() const {
  return "Normal { mean: " + debug_f64(mean) + ", std_dev: " + debug_f64(std_dev) + " }";
}

}  // namespace varnel
