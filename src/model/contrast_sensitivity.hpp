#pragma once
// The contrast sensitivity function (CSF): a truncated log-parabola of four
// positive parameters over spatial frequency, and a psychometric function of
// log contrast relative to the threshold it gives there. Designs have two
// columns, log10 spatial frequency L and log10 contrast X.
//
// With peak sensitivity γ_max, peak frequency f_max, bandwidth β (the full
// width at half maximum, in octaves) and low-frequency truncation δ (log10
// units), on a log10 axis P = log10 f_max and w = β·log10 2:
//
//   log10 S'(L) = log10 γ_max − log10 2 · (2(L − P)/w)²
//   log10 S(L)  = max(log10 S'(L), log10 γ_max − δ)  below the peak (L < P),
//                 log10 S'(L)                         above it,
//
// and the threshold contrast is 1/S, so that
//
//   p(yes | L, X) = γ + (1 − γ − λ)·F(s·(X + log10 S(L)))
//
// with the link F, slope s (fixed, per log10 unit of contrast) and the guess
// and lapse rates of a PsychometricModel (`base`, whose location and slope
// priors are unused). The sampler moves the log10 of each CSF parameter,
// each with a normal prior, and the rates as PsychometricModel does.

#include <algorithm>
#include <array>
#include <cstddef>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/array_view.hpp"
#include "model/model.hpp"
#include "model/normal.hpp"
#include "model/psychometric.hpp"

namespace varnel {

class ContrastSensitivityModel {
 public:
  static constexpr std::size_t kCsfParams = 4;
  PsychometricModel base;  // link and rates
  // Normal priors of log10 γ_max, log10 f_max, log10 β, log10 δ.
  std::array<Normal, kCsfParams> priors{Normal{2.0, 0.5}, Normal{0.5, 0.3}, Normal{0.5, 0.15}, Normal{-0.3, 0.3}};
  double slope = 3.0;

  // Checks the priors (finite means, finite positive sds) and the slope
  // (finite, positive); the error names the argument.
  static std::expected<ContrastSensitivityModel, std::string> try_new(PsychometricModel base,
                                                                      std::array<Normal, kCsfParams> priors,
                                                                      double slope);

  static constexpr std::string_view kClassName = "ContrastSensitivityModel";
  static constexpr std::size_t kDesignColumns = 2;
  static constexpr bool kEigRowsChecked = true;
  static constexpr bool kDesignWidthChecked = true;
  static constexpr std::string_view kSupportText =
      "CSF parameters > 0 and finite, rates in [0, 1) summing to at most 1";

  // The log10 CSF parameters of a row and its rate logs.
  struct EigSample {
    double log_peak = 0.0;
    double log_peak_frequency = 0.0;
    double width = 1.0;  // w = β·log10 2
    double truncation = 0.0;
    double slope = 1.0;  // the model's, for the lanes
    RateLogs rates;
  };

  std::size_t dim() const noexcept { return kCsfParams + base.dim() - 2; }
  // "peak_sensitivity", "peak_frequency", "bandwidth", "truncation", then
  // "guess_rate" and "lapse_rate" when estimated.
  std::vector<std::string> param_names() const;

  static constexpr double kLog10Two = 0.30102999566398119521;

  // log10 S at log10 frequency L for a sample (inline: the band's loop over
  // the draws runs it 10⁵ times and more).
  static double log_sensitivity(const EigSample& sample, double L) noexcept {
    const double q = 2.0 * (L - sample.log_peak_frequency) / sample.width;
    const double value = sample.log_peak - kLog10Two * q * q;
    if (L < sample.log_peak_frequency) return std::max(value, sample.log_peak - sample.truncation);
    return value;
  }
  EigSample sample_of(std::span<const double> natural) const noexcept;

  bool in_support(std::span<const double> natural) const noexcept;
  void to_natural(std::span<const double> u, std::span<double> natural) const noexcept;
  void to_sampling(std::span<const double> natural, std::span<double> u) const noexcept;
  template <RandomGenerator G>
  void draw_prior(G& rng, std::span<double> natural) const {
    for (std::size_t k = 0; k < kCsfParams; ++k) {
      natural[k] = std::pow(10.0, priors[k].mean + priors[k].std_dev * standard_normal(rng));
    }
    const std::vector<double> rates = base.sample_prior(rng);
    for (std::size_t k = 2; k < rates.size(); ++k) natural[kCsfParams + k - 2] = rates[k];
  }
  EigSample eig_sample(std::span<const double> natural) const noexcept { return sample_of(natural); }
  ResponseProbs response_probs(const EigSample& sample, std::span<const double> row) const noexcept;
  ModelSettings settings() const;

  double log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                const BoolVectorView& observations) const;
  double log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                               const BoolVectorView& observations) const;
  double log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                            const BoolVectorView& observations) const;
  double log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad, const MatrixView& design,
                                     const BoolVectorView& observations) const;
  void prior_center(std::span<double> u) const noexcept;
  std::string debug_text() const;

 private:
  // The base model's vector (s, m, rates) for the rates of `full`.
  std::array<double, 4> rate_vector(std::span<const double> full) const noexcept;
};

static_assert(ResponseModel<ContrastSensitivityModel>);

}  // namespace varnel
