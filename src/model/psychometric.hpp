#pragma once
// The psychometric model of a real experiment:
//
//   p(yes | x) = γ + (1 − γ − λ)·F(s·(x − m))
//
// with a guess rate γ and a lapse rate λ (each fixed, or estimated under a
// Beta prior), a link F (logistic, normal or Gumbel), a slope s > 0 under a
// log-normal prior and a location m under a normal prior.
//
// The prior on (γ, λ) is the product of the Beta priors of the estimated
// rates truncated to γ + λ < 1 (the normalising constant is omitted).
//
// The sampler works on the unconstrained vector u = (log s, m, [u_g], [u_l])
// (a rate's entry only when it is estimated), with γ = room_g·σ(u_g) where
// room_g is 1 − λ for a fixed λ and 1 otherwise, and λ = (1 − γ)·σ(u_l): each
// rate is the logit of its share of the room the other leaves, so that every
// u is inside γ + λ < 1 and no trajectory meets the edge of the support. The
// log density there includes the Jacobian of the transforms. Python sees
// natural-scale vectors (s, m, [γ], [λ]); there the log density is −∞
// outside the support.
//
// Every evaluation is overflow-safe: for finite input no NaN comes out.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/array_view.hpp"
#include "sampler/distributions.hpp"
#include "model/model.hpp"
#include "model/normal.hpp"

namespace varnel {

enum class Link { Logistic, Normal, Gumbel };

// "logistic", "normal", "gumbel".
std::string_view link_name(Link link) noexcept;

// log B(a, b), the normaliser of a Beta(a, b) density.
inline double log_beta_fn(double a, double b) noexcept { return std::lgamma(a) + std::lgamma(b) - std::lgamma(a + b); }

// z = s·(x − m); an infinite slope at x = m is a zero argument, not NaN.
inline double link_argument(double s, double m, double x) noexcept {
  const double z = s * (x - m);
  return std::isnan(z) && !std::isnan(s) && !std::isnan(x - m) ? 0.0 : z;
}

// The link's quantile function F⁻¹(q) for q in (0, 1): log(q/(1 − q)), the
// normal quantile (Wichura's AS241), log(−log(1 − q)).
double link_quantile(Link link, double q) noexcept;

// A guess or lapse rate: fixed at `value`, or estimated with a Beta(a, b) prior.
struct Rate {
  bool estimated = false;
  double value = 0.0;  // when fixed
  double a = 1.0;      // when estimated
  double b = 1.0;

  static Rate fixed(double value) noexcept { return Rate{false, value, 1.0, 1.0}; }
  static Rate beta(double a, double b) noexcept { return Rate{true, 0.0, a, b}; }

  // The prior mean when estimated, the value when fixed.
  double center() const noexcept { return estimated ? a / (a + b) : value; }
  // "Fixed(0.5)" or "Beta { a: 1.0, b: 19.0 }"
  std::string debug_text() const;
};

// The logs of the two rates and of the weight 1 − γ − λ of the link, kept in
// log form so that rates near 0 or 1 lose nothing.
struct RateLogs {
  double log_g = 0.0;    // log γ (−∞ when γ = 0)
  double log_1mg = 0.0;  // log(1 − γ)
  double log_l = 0.0;    // log λ (−∞ when λ = 0)
  double log_1ml = 0.0;  // log(1 − λ)
  double log_w = 0.0;    // log(1 − γ − λ); −∞ when γ + λ >= 1
  double g = 0.0;        // γ, λ and 1 − γ − λ themselves
  double l = 0.0;
  double w = 1.0;
  bool valid = true;     // γ + λ < 1, both in [0, 1)
  // Factors (and their logs) folded into the rate derivatives of a response,
  // inside the exponent where they are formed, so that a huge ratio never
  // meets a vanishing factor: d_log_g·scale_g, d_log_l·scale_l, and d_cross =
  // d_log_l·scale_cross. All 1 (log 0) for plain derivatives.
  double scale_g = 1.0, log_scale_g = 0.0;
  double scale_l = 1.0, log_scale_l = 0.0;
  double scale_cross = 1.0, log_scale_cross = 0.0;
};

// log p(y) for one observation and its derivatives with respect to
// z = s·(x − m), log γ and log λ (each with the other rate held; times the
// scales of RateLogs).
struct ResponseLogProb {
  double lp = 0.0;
  double d_z = 0.0;
  double d_log_g = 0.0;
  double d_log_l = 0.0;
  double d_cross = 0.0;
};

class PsychometricModel;

// The response terms of n rows at once from each row's z and observation
// (0 or 1), the bits of PsychometricModel::response_at for every row.
// The rows the density hands such an evaluator at a time.
inline constexpr std::size_t kResponseBlock = 32;
using ResponseRowsFn = void (*)(const PsychometricModel& model, const RateLogs& rates, const double* z,
                                const std::uint8_t* y, std::size_t n, ResponseLogProb* out);

// The rates of an unconstrained vector with the sigmoids they came from.
struct UnconstrainedRates {
  RateLogs logs;
  double sigma_g = 0.0;         // σ(u_g), when γ is estimated
  double log_1m_sigma_g = 0.0;  // log(1 − σ(u_g))
  double sigma_l = 0.0;
  double log_1m_sigma_l = 0.0;
};


class PsychometricModel {
 public:
  Link link = Link::Logistic;
  double mu_log_s = 0.0;
  double sigma_log_s = 1.0;
  Normal m_prior{0.0, 1.0};
  Rate guess{};
  Rate lapse{};
  // What evaluates the likelihood's response terms in the sampler's density,
  // many rows at once: the scalar loop when null. Not a setting: a faster
  // evaluator must give the same bits (the moves install the exact lanes).
  ResponseRowsFn response_rows = nullptr;

  // Checks the settings; the error text names the argument and is meant for
  // a ValueError: finite means, finite positive sigmas, a fixed rate in
  // [0, 1), Beta parameters finite and positive, and the fixed values (or
  // prior means) of the two rates summing to less than 1.
  static std::expected<PsychometricModel, std::string> try_new(Link link, double mu_log_s,
                                                               double sigma_log_s, double mu_m,
                                                               double sigma_m, Rate guess, Rate lapse);

  static constexpr std::string_view kClassName = "PsychometricModel";
  static constexpr std::size_t kDesignColumns = 1;
  static constexpr bool kEigRowsChecked = true;
  static constexpr bool kDesignWidthChecked = true;
  static constexpr std::string_view kSupportText =
      "s > 0 and finite, m finite, rates in [0, 1) summing to at most 1";

  // A row's slope, location and rate logs, formed once for every design.
  struct EigSample {
    double s = 0.0;
    double m = 0.0;
    RateLogs rates;
  };

  // 2 plus one per estimated rate.
  std::size_t dim() const noexcept { return 2 + (guess.estimated ? 1 : 0) + (lapse.estimated ? 1 : 0); }
  // "s", "m", then "guess_rate" and "lapse_rate" when estimated.
  std::vector<std::string> param_names() const;

  // Whether a natural-scale row is inside the support: s > 0, both finite,
  // the rates in [0, 1) with γ + λ < 1.
  bool in_support(std::span<const double> natural) const noexcept;
  void to_sampling(std::span<const double> natural, std::span<double> u) const noexcept {
    to_unconstrained(natural, u);
  }
  template <RandomGenerator G>
  void draw_prior(G& rng, std::span<double> natural) const {
    const std::vector<double> draw = sample_prior(rng);
    std::copy(draw.begin(), draw.end(), natural.begin());
  }
  EigSample eig_sample(std::span<const double> natural) const noexcept;
  // p(yes | x) alone, the p[1] of response_probs without the logs.
  double p_yes(const EigSample& sample, double x) const noexcept;
  ResponseProbs response_probs(const EigSample& sample, std::span<const double> row) const noexcept {
    return response_probs(sample.s, sample.m, sample.rates, row[0]);
  }
  ModelSettings settings() const;

  // The stimulus at which p(yes | x) = level for a natural-scale row inside
  // the support: m + F⁻¹((level − γ)/(1 − γ − λ))/s; NaN where the level is
  // not strictly between γ and 1 − λ (never reached by this row).
  double stimulus_at(std::span<const double> natural, double level) const noexcept;

  // The rates of an unconstrained vector (dim() entries); always inside the support.
  UnconstrainedRates unconstrained_rates(std::span<const double> u) const noexcept;
  // Adds the log prior of the estimated rates at `ur`, with the Jacobian of
  // their transform, to lp, and its derivatives along u_g and u_l to grad_g
  // and grad_l (each left alone when its rate is fixed).
  void add_rate_prior(const UnconstrainedRates& ur, double& lp, double& grad_g, double& grad_l) const noexcept;
  // Adds the Beta log densities of the estimated rates at natural γ and λ to lp.
  void add_natural_rate_prior(const RateLogs& rates, double& lp) const noexcept;

  // Natural-scale parameters from an unconstrained vector (dim() entries each).
  void to_natural(std::span<const double> u, std::span<double> natural) const noexcept;
  // The unconstrained vector of a natural-scale vector inside the support: the
  // inverse of to_natural up to rounding.
  void to_unconstrained(std::span<const double> natural, std::span<double> u) const noexcept;
  // The natural (s, m, γ, λ) of a natural-scale vector (fixed rates filled in).
  std::array<double, 4> full_natural(std::span<const double> natural) const noexcept;

  // The rate logs of natural γ and λ.
  static RateLogs rate_logs(double g, double l) noexcept;
  // rate_logs(g, l).w alone, without the other logarithms: what p_yes needs.
  static double response_scale(double g, double l) noexcept;
  // Whether natural γ and λ are rates of the model, rate_logs(g, l).valid
  // without the logarithms. γ + λ = 1 (a flat function, w = 0) is allowed:
  // shares of the room close to 1 round to it on the way back from the
  // unconstrained scale.
  static bool rates_valid(double g, double l) noexcept {
    return g >= 0.0 && g < 1.0 && l >= 0.0 && l < 1.0 && g + l <= 1.0;
  }

  // log p(y | x) at natural (s, m, γ, λ) with the rate logs precomputed;
  // derivatives included.
  ResponseLogProb response(double s, double m, const RateLogs& rates, double x, bool y) const noexcept {
    return response_at(rates, link_argument(s, m, x), y);
  }
  // The same from the link's argument z.
  ResponseLogProb response_at(const RateLogs& rates, double z, bool y) const noexcept;
  // response_at for n rows, through response_rows when it is set.
  void responses(const RateLogs& rates, const double* z, const std::uint8_t* y, std::size_t n,
                 ResponseLogProb* out) const noexcept;

  // Both response probabilities at natural (s, m) with the rate logs
  // precomputed; a probability that underflows is 0 with its log finite.
  ResponseProbs response_probs(double s, double m, const RateLogs& rates, double x) const noexcept;

  // Natural-scale log-likelihood over the (row, observation) pairs up to the
  // shorter length; −∞ outside the support. Precondition: natural.size() == dim().
  double log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                const BoolVectorView& observations) const;
  // Natural-scale log-likelihood plus the log prior densities of s (log-normal),
  // m (normal) and the estimated rates (Beta); −∞ outside the support.
  double log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                               const BoolVectorView& observations) const;

  // The sampler's density on the unconstrained scale. Index failure (Panic)
  // for vectors shorter than dim() or a design without column 0 while a pair
  // exists.
  double log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                            const BoolVectorView& observations) const;
  // Log posterior with the Jacobian of the transforms; adds its gradient into
  // grad (dim() entries, zeroed by the caller).
  double log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad,
                                     const MatrixView& design, const BoolVectorView& observations) const;

  // The centre of the prior on the unconstrained scale: (mu_log_s, mu_m, and
  // for each estimated rate the logit of its prior mean's share of its room).
  void prior_center(std::span<double> u) const noexcept;

  // A natural-scale prior draw (dim() values) from the generator; draws of
  // γ + λ >= 1 are rejected. Panics if 10000 draws in a row are rejected.
  template <RandomGenerator G>
  std::vector<double> sample_prior(G& rng) const;

  // "PsychometricModel { link: logistic, s_prior: LogNormal { .. }, .. }"
  std::string debug_text() const;
};

static_assert(ResponseModel<PsychometricModel>);

// Gamma(shape, 1) by Marsaglia and Tsang's method, boosted for shape < 1.
template <RandomGenerator G>
double standard_gamma(G& rng, double shape) {
  if (shape < 1.0) {
    const double u = uniform_open01(rng);
    return standard_gamma(rng, shape + 1.0) * std::pow(u, 1.0 / shape);
  }
  const double d = shape - 1.0 / 3.0;
  const double c = 1.0 / std::sqrt(9.0 * d);
  for (;;) {
    double x = 0.0;
    double v = 0.0;
    do {
      x = standard_normal(rng);
      v = 1.0 + c * x;
    } while (v <= 0.0);
    v = v * v * v;
    const double u = uniform_open01(rng);
    if (u < 1.0 - 0.0331 * (x * x) * (x * x)) return d * v;
    if (std::log(u) < 0.5 * x * x + d * (1.0 - v + std::log(v))) return d * v;
  }
}

// Beta(a, b) from two gamma variates.
template <RandomGenerator G>
double beta_variate(G& rng, double a, double b) {
  const double x = standard_gamma(rng, a);
  const double y = standard_gamma(rng, b);
  return x / (x + y);
}

[[noreturn]] void panic_rejected_prior();

template <RandomGenerator G>
std::vector<double> PsychometricModel::sample_prior(G& rng) const {
  // Rejection only matters for priors that put real mass on γ + λ >= 1.
  constexpr int kMaxAttempts = 10000;
  std::vector<double> out;
  out.reserve(dim());
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    out.clear();
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    out.push_back(std::exp(mu_log_s + sigma_log_s * z1));
    out.push_back(m_prior.mean + m_prior.std_dev * z2);
    double g = guess.value;
    double l = lapse.value;
    if (guess.estimated) out.push_back(g = beta_variate(rng, guess.a, guess.b));
    if (lapse.estimated) out.push_back(l = beta_variate(rng, lapse.a, lapse.b));
    if (g + l < 1.0) return out;
  }
  panic_rejected_prior();
}

}  // namespace varnel
