#pragma once
// The two-parameter psychometric model: P(true | x) = sigmoid(k·(x − m)) with
// independent normal priors on the slope k and the location m. Parameter
// vectors hold k at index 0 and m at index 1 (further elements are ignored);
// design rows hold the stimulus x in column 0.
//
// The arithmetic is literal (C library exp, pow, log) wherever its result is
// finite; only where a literal per-observation term is not finite is the same
// quantity computed in an overflow-safe form.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <vector>
#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "model/array_view.hpp"
#include "model/model.hpp"
#include "model/normal.hpp"
#include "sampler/distributions.hpp"

namespace varnel {

class TwoParameterPsychometricModel {
 public:
  Normal k_prior;
  Normal m_prior;

  // Fails with BadVariance for a non-finite sigma_k (checked first) or sigma_m.
  static std::expected<TwoParameterPsychometricModel, NormalError> try_new(
      double mu_k, double sigma_k, double mu_m, double sigma_m) noexcept;

  // The parameter vector is (k, m), sampled as it is.
  static constexpr std::size_t dim() noexcept { return 2; }

  static constexpr std::string_view kClassName = "TwoParameterPsychometricModel";
  static constexpr std::size_t kDesignColumns = 1;
  // The information gain reads the first two values of each row and scores
  // whatever they hold.
  static constexpr bool kEigRowsChecked = false;
  static constexpr std::string_view kSupportText = "k and m finite";

  struct EigSample {
    double k = 0.0;
    double m = 0.0;
  };

  std::vector<std::string> param_names() const { return {"k", "m"}; }
  void to_natural(std::span<const double> u, std::span<double> natural) const noexcept {
    std::copy_n(u.begin(), dim(), natural.begin());
  }
  void to_sampling(std::span<const double> natural, std::span<double> u) const noexcept {
    std::copy_n(natural.begin(), dim(), u.begin());
  }
  bool in_support(std::span<const double> natural) const noexcept {
    return std::isfinite(natural[0]) && std::isfinite(natural[1]);
  }
  // Two standard normals, z1 for k then z2 for m.
  template <RandomGenerator G>
  void draw_prior(G& rng, std::span<double> natural) const {
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    const auto km = prior_from_normals(z1, z2);
    natural[0] = km[0];
    natural[1] = km[1];
  }
  double log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                const BoolVectorView& observations) const {
    return log_likelihood_vec(natural, design, observations);
  }
  EigSample eig_sample(std::span<const double> natural) const noexcept { return {natural[0], natural[1]}; }
  // From one exponential of the logit: p = exp(log p), as the lanes compute it.
  ResponseProbs response_probs(const EigSample& sample, std::span<const double> row) const noexcept;
  ModelSettings settings() const;

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

static_assert(ResponseModel<TwoParameterPsychometricModel>);

}  // namespace varnel
