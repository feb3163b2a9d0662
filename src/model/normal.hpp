#pragma once
// The normal distribution of the models' priors.

#include <expected>
#include <string>
#include <string_view>

namespace varnel {

enum class NormalError { BadVariance, MeanTooSmall };

// "BadVariance", "MeanTooSmall"
std::string_view debug_text(NormalError error) noexcept;

// 0.5·log(2π), subtracted from every normal log density.
inline constexpr double kHalfLogTwoPi = 0.9189385332046727;

// A normal distribution. Only a non-finite std_dev is refused; zero and
// negative values flow into the arithmetic as they are.
struct Normal {
  double mean = 0.0;
  double std_dev = 1.0;

  static std::expected<Normal, NormalError> try_new(double mean, double std_dev) noexcept;

  // −0.5·((v − mean)/std_dev)² − 0.5·log(2π) − log(std_dev), in that order.
  double log_density(double v) const noexcept;

  // "Normal { mean: 0.0, std_dev: 1.0 }"
  std::string debug_text() const;
};

}  // namespace varnel
