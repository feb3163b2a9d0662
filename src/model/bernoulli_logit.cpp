#include "model/bernoulli_logit.hpp"

#include <cmath>

namespace varnel {

std::string_view debug_text(BernoulliLogitError error) noexcept {
  switch (error) {
    case BernoulliLogitError::InvalidProbability:
      return "InvalidProbability";
  }
  return "InvalidProbability";
}

double log_sigmoid(double z) noexcept {
  return z < 0.0 ? z - std::log1p(std::exp(z)) : -std::log1p(std::exp(-z));
}

double sigmoid(double z) noexcept {
  if (z < 0.0) {
    const double e = std::exp(z);
    return e / (1.0 + e);
  }
  return 1.0 / (1.0 + std::exp(-z));
}

double bernoulli_logit_log_prob(double neg_logit, bool y) noexcept {
  return bernoulli_logit_log_prob_from_h(std::exp(neg_logit), neg_logit, y);
}

std::expected<BernoulliLogit, BernoulliLogitError> BernoulliLogit::try_new(double logit) noexcept {
  const double p = 1.0 / (std::exp(-logit) + 1.0);
  if ((0.0 <= p && p < 1.0) || p == 1.0) return BernoulliLogit(logit);
  return std::unexpected(BernoulliLogitError::InvalidProbability);
}

bool BernoulliLogit::sample_with(double u) const noexcept {
  const double e = std::exp(logit_);
  const double q = e / (e + 1.0);
  const double r = std::log(q) - std::log1p(-q);
  const double er = std::exp(r);
  const double s = er / (1.0 + er);
  if (std::isnan(s)) return true;
  return s > u;
}

}  // namespace varnel
