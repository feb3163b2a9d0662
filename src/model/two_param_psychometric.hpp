#pragma once
// The two-parameter psychometric model: P(true | x) = sigmoid(k·(x − m)) with
// independent normal priors on the slope k and the location m. Parameter
// vectors hold k at index 0 and m at index 1 (further elements are ignored);
// design rows hold the stimulus x in column 0.
//
// The arithmetic is literal (C library exp, pow, log) wherever its result is
// finite; only where a literal per-observation term is not finite is the same
// quantity computed in an overflow-safe form.

#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "model/array_view.hpp"
#include "model/model.hpp"

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

class TwoParameterPsychometricModel {
 public:
  Normal k_prior;
  Normal m_prior;

  // Fails with BadVariance for a non-finite sigma_k (checked first) or sigma_m.
  static std::expected<TwoParameterPsychometricModel, NormalError> try_new(
      double mu_k, double sigma_k, double mu_m, double sigma_m) noexcept;

  // The parameter vector is (k, m).
  static constexpr std::size_t dim() noexcept { return 2; }

  // A prior draw (k, m) from two standard normal draws, z1 for k then z2 for m.
  std::array<double, 2> prior_from_normals(double z1, double z2) const noexcept;

  // Log-likelihood summed over the (row, observation) pairs up to the shorter
  // length, from 0.0; params is read only when a pair exists. Index failure
  // (Panic) for a design without column 0 or params shorter than 2.
  double log_likelihood_vec(std::span<const double> params, const MatrixView& design,
                            const BoolVectorView& observations) const;

  // The log-likelihood plus (log prior of k + log prior of m), without
  // gradient: what Python's log_posterior returns. Index failure (Panic) for
  // params shorter than 2.
  double log_posterior_vec(std::span<const double> params, const MatrixView& design,
                           const BoolVectorView& observations) const;

  // The log posterior (log prior of m + log prior of k) + log-likelihood; adds
  // its gradient with respect to (k, m) into grad[0] and grad[1] (the caller
  // zeroes grad). Index failure (Panic) for params or grad shorter than 2, or
  // a design without column 0 while a pair exists.
  double log_posterior_with_grad_vec(std::span<const double> params, std::span<double> grad,
                                     const MatrixView& design,
                                     const BoolVectorView& observations) const;

  // "TwoParameterPsychometricModel { k_prior: Normal { .. }, m_prior: Normal { .. } }"
  std::string debug_text() const;
};

static_assert(BinaryResponseModel<TwoParameterPsychometricModel>);

}  // namespace varnel
