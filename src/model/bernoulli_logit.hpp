#pragma once
// A Bernoulli distribution parameterised by its logit l: P(true) = 1/(1 + exp(-l)).

#include <cmath>
#include <expected>
#include <string_view>

namespace varnel {

enum class BernoulliLogitError { InvalidProbability };

// "InvalidProbability"
std::string_view debug_text(BernoulliLogitError error) noexcept;

// log P(y) for the logit l given as t = -l (the model computes (m - x)·k).
// Literal arithmetic h = exp(t), pow(h/(h+1), 1-y)·pow(1/(h+1), y), log; where
// that is not finite (h overflowing or underflowing) the same quantity through
// an overflow-safe log-sigmoid instead.
double bernoulli_logit_log_prob(double neg_logit, bool y) noexcept;

// log(1/(1 + exp(-z))) without overflow.
double log_sigmoid(double z) noexcept;

// The same log P(y) from h = exp(neg_logit) already computed. pow(a, 0) is
// exactly 1 and pow(a, 1) exactly a, so one factor of the literal product
// pow(h/(h+1), 1-y)*pow(1/(h+1), y) drops out without changing a bit.
inline double bernoulli_logit_log_prob_from_h(double h, double neg_logit, bool y) noexcept {
  const double ll = y ? std::log(1.0 / (h + 1.0)) : std::log(h / (h + 1.0));
  if (std::isfinite(ll)) [[likely]] return ll;
  // h overflowed (a false response gives NaN, a true one -inf) or underflowed
  // (a false response gives log(0)) although the exact value is finite.
  return log_sigmoid(y ? -neg_logit : neg_logit);
}

// 1/(1 + exp(-z)) without overflow.
double sigmoid(double z) noexcept;

class BernoulliLogit {
 public:
  // Fails with InvalidProbability when 1/(exp(-l) + 1) is not in [0, 1],
  // that is when l is NaN.
  static std::expected<BernoulliLogit, BernoulliLogitError> try_new(double logit) noexcept;

  double logit() const noexcept { return logit_; }

  // One response from a uniform draw u in [0, 1): true when s > u with
  // s = exp(r)/(1 + exp(r)), r = log(q) - log1p(-q), q = exp(l)/(exp(l) + 1).
  // Where that chain turns NaN (q rounding to 1 or exp(l) overflowing) the
  // probability of true is 1 in double precision, and the response is true.
  bool sample_with(double u) const noexcept;

  // log P(y).
  double log_prob(bool y) const noexcept { return bernoulli_logit_log_prob(-logit_, y); }

 private:
  explicit BernoulliLogit(double logit) noexcept : logit_(logit) {}
  double logit_;
};

}  // namespace varnel
