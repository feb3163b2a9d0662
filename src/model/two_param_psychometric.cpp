#include "model/two_param_psychometric.hpp"

#include <algorithm>
#include <cmath>

#include "model/debug_text.hpp"
#include "model/bernoulli_logit.hpp"
#include "sampler/panic.hpp"

namespace varnel {

namespace {

double at(std::span<const double> values, std::size_t i) {
  check_index(i, values.size());
  return values[i];
}

std::size_t pair_count(const MatrixView& design, const BoolVectorView& observations) {
  return std::min(design.rows, observations.len);
}

// The stimulus of row i: column 0, read through the strides of any layout.
double stimulus(const MatrixView& design, std::size_t i) {
  check_index(0, design.cols);
  return design.unchecked_at(i, 0);
}

}  // namespace

std::expected<TwoParameterPsychometricModel, NormalError> TwoParameterPsychometricModel::try_new(
    double mu_k, double sigma_k, double mu_m, double sigma_m) noexcept {
  auto k_prior = Normal::try_new(mu_k, sigma_k);
  if (!k_prior) return std::unexpected(k_prior.error());
  auto m_prior = Normal::try_new(mu_m, sigma_m);
  if (!m_prior) return std::unexpected(m_prior.error());
  return TwoParameterPsychometricModel{*k_prior, *m_prior};
}

std::array<double, 2> TwoParameterPsychometricModel::prior_from_normals(double z1,
                                                                        double z2) const noexcept {
  return {k_prior.mean + k_prior.std_dev * z1, m_prior.mean + m_prior.std_dev * z2};
}

double TwoParameterPsychometricModel::log_likelihood_vec(
    std::span<const double> params, const MatrixView& design,
    const BoolVectorView& observations) const {
  const std::size_t n = pair_count(design, observations);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = stimulus(design, i);
    const double k = at(params, 0);
    const double m = at(params, 1);
    sum += bernoulli_logit_log_prob((m - x) * k, observations.unchecked_at(i));
  }
  return sum;
}

double TwoParameterPsychometricModel::log_posterior_vec(std::span<const double> params,
                                                        const MatrixView& design,
                                                        const BoolVectorView& observations) const {
  const double ll = log_likelihood_vec(params, design, observations);
  const double lp_k = k_prior.log_density(at(params, 0));
  const double lp_m = m_prior.log_density(at(params, 1));
  return ll + (lp_k + lp_m);
}

double TwoParameterPsychometricModel::log_posterior_with_grad_vec(
    std::span<const double> params, std::span<double> grad, const MatrixView& design,
    const BoolVectorView& observations) const {
  check_index(0, params.size());
  check_index(0, grad.size());
  check_index(1, params.size());
  check_index(1, grad.size());
  const double k = params[0];
  const double m = params[1];
  const double mu_k = k_prior.mean;
  const double sigma_k = k_prior.std_dev;
  const double mu_m = m_prior.mean;
  const double sigma_m = m_prior.std_dev;

  grad[0] += (mu_k - k) / (sigma_k * sigma_k);
  grad[1] += (mu_m - m) / (sigma_m * sigma_m);

  const double w = std::exp(k * m);
  const std::size_t n = pair_count(design, observations);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double x = stimulus(design, i);
    const bool y = observations.unchecked_at(i);
    const double F = std::exp(k * x);
    const double H = std::exp(k * (m - x));
    const double G = 1.0 - (y ? 1.0 : 0.0);
    double dk = ((G - 1.0) * H + G) * (m - x) / (H + 1.0);
    double dm = k * (G * F + G * w - w) / (F + w);
    if (!std::isfinite(dk) || !std::isfinite(dm)) {
      // The separate exponentials overflowed (or underflowed to 0/0): the same
      // derivatives through a stable sigmoid of l = k·(x − m).
      const double residual = (y ? 1.0 : 0.0) - sigmoid(-((m - x) * k));
      if (!std::isfinite(dk)) dk = residual * (x - m);
      if (!std::isfinite(dm)) dm = -k * residual;
    }
    grad[0] += dk;
    grad[1] += dm;
    sum += bernoulli_logit_log_prob_from_h(H, k * (m - x), y);
  }
  const double lp_k = k_prior.log_density(k);
  const double lp_m = m_prior.log_density(m);
  return (lp_m + lp_k) + sum;
}

ResponseProbs TwoParameterPsychometricModel::response_probs(const EigSample& sample,
                                                           std::span<const double> row) const noexcept {
  const double t = (sample.m - row[0]) * sample.k;
  const double h = std::exp(t);
  ResponseProbs out{};
  out.lp[1] = bernoulli_logit_log_prob_from_h(h, t, true);
  out.lp[0] = bernoulli_logit_log_prob_from_h(h, t, false);
  out.p[1] = std::exp(out.lp[1]);
  out.p[0] = std::exp(out.lp[0]);
  return out;
}

ModelSettings TwoParameterPsychometricModel::settings() const {
  return {{"mu_k", k_prior.mean}, {"sigma_k", k_prior.std_dev}, {"mu_m", m_prior.mean}, {"sigma_m", m_prior.std_dev}};
}

std::string TwoParameterPsychometricModel::debug_text() const {
  return "TwoParameterPsychometricModel { k_prior: " + k_prior.debug_text() +
         ", m_prior: " + m_prior.debug_text() + " }";
}

}  // namespace varnel
