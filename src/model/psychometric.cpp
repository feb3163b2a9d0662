#include "model/psychometric.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "model/debug_text.hpp"
#include "model/bernoulli_logit.hpp"
#include "sampler/math.hpp"
#include "sampler/panic.hpp"

namespace varnel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrtHalf = 0.70710678118654752440;
// 1/sqrt(2π).
constexpr double kInvSqrtTwoPi = 0.39894228040143267794;
// Below this a probability is handled in log space: its reciprocal and the
// products of it stay far from overflow.
constexpr double kTinyProbability = 1e-280;
// Where the normal tail is taken from its asymptotic series.
constexpr double kNormalTailStart = -20.0;
// Where log F of the Gumbel link is z − e^z/2 to double precision.
constexpr double kGumbelLowerTail = -20.0;

// The link at z in probability form: F, 1 − F, and the density f = F'.
struct LinkProbs {
  double F;
  double G;  // 1 − F
  double f;
};

// The link at z in log form, finite wherever the exact value is (the
// density's log may be −∞ only where f underflows far beyond any sample).
struct LinkLogs {
  double log_F;
  double log_G;
  double log_f;
  double f_over_F;  // hazards, the derivatives of log F and −log G
  double f_over_G;
};

LinkProbs link_probs(Link link, double z) noexcept {
  switch (link) {
    case Link::Logistic: {
      const double e = std::exp(-std::abs(z));
      const double small = e / (1.0 + e);
      const double large = 1.0 / (1.0 + e);
      const double F = z < 0.0 ? small : large;
      const double G = z < 0.0 ? large : small;
      return {F, G, F * G};
    }
    case Link::Normal: {
      const double F = 0.5 * std::erfc(-z * kSqrtHalf);
      const double G = 0.5 * std::erfc(z * kSqrtHalf);
      return {F, G, kInvSqrtTwoPi * std::exp(-0.5 * z * z)};
    }
    case Link::Gumbel: {
      const double e = std::exp(z);
      const double G = std::exp(-e);
      // e·G is ∞·0 once e overflows; the density is 0 long before that.
      return {-std::expm1(-e), G, G == 0.0 ? 0.0 : e * G};
    }
  }
  return {0.5, 0.5, 0.25};
}

// log Φ(z) for z below kNormalTailStart, and φ(z)/Φ(z) there, from the
// asymptotic series Φ(z) = φ(z)/(−z)·(1 − 1/z² + 3/z⁴ − 15/z⁶ + 105/z⁸ − …).
struct NormalTail {
  double log_cdf;
  double hazard;
};

NormalTail normal_lower_tail(double z) noexcept {
  const double r = 1.0 / (z * z);
  const double series = 1.0 - r * (1.0 - r * (3.0 - r * (15.0 - r * 105.0)));
  // −z²/2 overflows only for |z| beyond 1e154, where log Φ is −∞ in doubles.
  return {-0.5 * z * z - std::log(-z) - kHalfLogTwoPi + std::log(series), -z / series};
}

double normal_log_cdf(double z) noexcept {
  if (z < kNormalTailStart) return normal_lower_tail(z).log_cdf;
  if (z > 5.0) return std::log1p(-0.5 * std::erfc(z * kSqrtHalf));
  return std::log(0.5 * std::erfc(-z * kSqrtHalf));
}

double normal_hazard(double z) noexcept {
  if (z < kNormalTailStart) return normal_lower_tail(z).hazard;
  return std::exp(-0.5 * z * z - kHalfLogTwoPi - normal_log_cdf(z));
}

LinkLogs link_logs(Link link, double z) noexcept {
  switch (link) {
    case Link::Logistic: {
      const double log_F = log_sigmoid(z);
      const double log_G = log_sigmoid(-z);
      return {log_F, log_G, log_F + log_G, sigmoid(-z), sigmoid(z)};
    }
    case Link::Normal: {
      const double log_F = normal_log_cdf(z);
      const double log_G = normal_log_cdf(-z);
      return {log_F, log_G, -0.5 * z * z - kHalfLogTwoPi, normal_hazard(z), normal_hazard(-z)};
    }
    case Link::Gumbel: {
      const double e = std::exp(z);
      const double log_F = z < kGumbelLowerTail ? z - 0.5 * e : std::log(-std::expm1(-e));
      // e/(e^e − 1) tends to 1 as e underflows and to 0 as it overflows.
      const double f_over_F = e < 1e-300 ? 1.0 : e == kInf ? 0.0 : e / std::expm1(e);
      // z − e is ∞ − ∞ at z = +∞, where the density's log is −∞.
      return {log_F, -e, e == kInf ? -kInf : z - e, f_over_F, e};
    }
  }
  return {0.0, 0.0, 0.0, 0.0, 0.0};
}


// log p(y) and its derivatives in log space: slower, but finite wherever the
// exact value is.
ResponseLogProb response_in_logs(Link link, const RateLogs& r, double z, bool y) noexcept {
  const LinkLogs k = link_logs(link, z);
  ResponseLogProb out;
  // The rate that p(y) cannot fall below: γ for yes, λ for no.
  const double log_floor = y ? r.log_g : r.log_l;
  const double log_link = y ? k.log_F : k.log_G;
  out.lp = logaddexp(log_floor, r.log_w + log_link);
  const double sign = y ? 1.0 : -1.0;
  // With a zero floor p(y) = w·F(y) exactly, and the derivative is the hazard.
  out.d_z = sign * (log_floor == -kInf ? (y ? k.f_over_F : k.f_over_G)
                                       : std::exp(r.log_w + k.log_f - out.lp));
  // d log p / d log γ = ±(1 − F)·γ/p, d log p / d log λ = ∓F·λ/p; where p is
  // w times a link probability the ratio simplifies exactly.
  if (y) {
    out.d_log_g = std::exp(k.log_G + r.log_g - out.lp + r.log_scale_g);
    const double log_d_l = r.log_g == -kInf ? r.log_l - r.log_w : k.log_F + r.log_l - out.lp;
    out.d_log_l = -std::exp(log_d_l + r.log_scale_l);
    out.d_cross = -std::exp(log_d_l + r.log_scale_cross);
  } else {
    const double log_d_g = r.log_l == -kInf ? r.log_g - r.log_w : k.log_G + r.log_g - out.lp;
    out.d_log_g = -std::exp(log_d_g + r.log_scale_g);
    out.d_log_l = std::exp(k.log_F + r.log_l - out.lp + r.log_scale_l);
    out.d_cross = std::exp(k.log_F + r.log_l - out.lp + r.log_scale_cross);
  }
  return out;
}


std::string rate_error(std::string_view name, std::string_view what) {
  return "argument '" + std::string(name) + "': " + std::string(what);
}

std::expected<void, std::string> check_rate(std::string_view name, const Rate& rate) {
  if (rate.estimated) {
    if (!(std::isfinite(rate.a) && rate.a > 0.0 && std::isfinite(rate.b) && rate.b > 0.0)) {
      return std::unexpected(rate_error(name, "the Beta prior (a, b) needs finite a > 0 and b > 0"));
    }
  } else if (!(std::isfinite(rate.value) && rate.value >= 0.0 && rate.value < 1.0)) {
    return std::unexpected(rate_error(name, "a fixed rate must be finite and in [0, 1)"));
  }
  return {};
}

}  // namespace

std::string_view link_name(Link link) noexcept {
  switch (link) {
    case Link::Logistic:
      return "logistic";
    case Link::Normal:
      return "normal";
    case Link::Gumbel:
      return "gumbel";
  }
  return "logistic";
}

std::string Rate::debug_text() const {
  if (estimated) return "Beta { a: " + debug_f64(a) + ", b: " + debug_f64(b) + " }";
  return "Fixed(" + debug_f64(value) + ")";
}

void panic_rejected_prior() {
  panic("prior draws of guess_rate and lapse_rate kept summing to 1 or more");
}

std::expected<PsychometricModel, std::string> PsychometricModel::try_new(Link link, double mu_log_s,
                                                                        double sigma_log_s, double mu_m,
                                                                        double sigma_m, Rate guess,
                                                                        Rate lapse) {
  struct Named {
    const char* name;
    double value;
    bool scale;
  };
  for (const Named& p : {Named{"mu_log_s", mu_log_s, false}, Named{"sigma_log_s", sigma_log_s, true},
                         Named{"mu_m", mu_m, false}, Named{"sigma_m", sigma_m, true}}) {
    if (!std::isfinite(p.value)) return std::unexpected(rate_error(p.name, "must be finite"));
    if (p.scale && !(p.value > 0.0)) return std::unexpected(rate_error(p.name, "must be positive"));
  }
  if (auto ok = check_rate("guess_rate", guess); !ok) return std::unexpected(ok.error());
  if (auto ok = check_rate("lapse_rate", lapse); !ok) return std::unexpected(ok.error());
  if (!(guess.center() + lapse.center() < 1.0)) {
    return std::unexpected(std::string(
        "arguments 'guess_rate' and 'lapse_rate': the rates (or their prior means) must sum to less than 1"));
  }
  PsychometricModel model;
  model.link = link;
  model.mu_log_s = mu_log_s;
  model.sigma_log_s = sigma_log_s;
  model.m_prior = Normal{mu_m, sigma_m};
  model.guess = guess;
  model.lapse = lapse;
  return model;
}

namespace {

double horner(std::span<const double> coefficients, double r) noexcept {
  double value = 0.0;
  for (const double c : coefficients) value = value * r + c;
  return value;
}

// Wichura's AS241 (PPND16) coefficients, highest power first.
constexpr double kCentralNum[] = {2.5090809287301226727e+3, 3.3430575583588128105e+4, 6.7265770927008700853e+4,
                                  4.5921953931549871457e+4, 1.3731693765509461125e+4, 1.9715909503065514427e+3,
                                  1.3314166789178437745e+2, 3.3871328727963666080e+0};
constexpr double kCentralDen[] = {5.2264952788528545610e+3, 2.8729085735721942674e+4, 3.9307895800092710610e+4,
                                  2.1213794301586595867e+4, 5.3941960214247511077e+3, 6.8718700749205790830e+2,
                                  4.2313330701600911252e+1, 1.0};
constexpr double kNearNum[] = {7.74545014278341407640e-4, 2.27238449892691845833e-2, 2.41780725177450611770e-1,
                               1.27045825245236838258e+0, 3.64784832476320460504e+0, 5.76949722146069140550e+0,
                               4.63033784615654529590e+0, 1.42343711074968357734e+0};
constexpr double kNearDen[] = {1.05075007164441684324e-9, 5.47593808499534494600e-4, 1.51986665636164571966e-2,
                               1.48103976427480074590e-1, 6.89767334985100004550e-1, 1.67638483018380384940e+0,
                               2.05319162663775882187e+0, 1.0};
constexpr double kFarNum[] = {2.01033439929228813265e-7, 2.71155556874348757815e-5, 1.24266094738807843860e-3,
                              2.65321895265761230930e-2, 2.96560571828504891230e-1, 1.78482653991729133580e+0,
                              5.46378491116411436990e+0, 6.65790464350110377720e+0};
constexpr double kFarDen[] = {2.04426310338993978564e-15, 1.42151175831644588870e-7, 1.84631831751005468180e-5,
                              7.86869131145613259100e-4, 1.48753612908506148525e-2, 1.36929880922735805310e-1,
                              5.99832206555887937690e-1, 1.0};

double normal_quantile(double p) noexcept {
  const double q = p - 0.5;
  if (std::abs(q) <= 0.425) {
    const double r = 0.180625 - q * q;
    return q * horner(kCentralNum, r) / horner(kCentralDen, r);
  }
  double r = std::sqrt(-std::log(q < 0.0 ? p : 1.0 - p));
  double x = 0.0;
  if (r <= 5.0) {
    r -= 1.6;
    x = horner(kNearNum, r) / horner(kNearDen, r);
  } else {
    r -= 5.0;
    x = horner(kFarNum, r) / horner(kFarDen, r);
  }
  return q < 0.0 ? -x : x;
}

}  // namespace

double link_quantile(Link link, double q) noexcept {
  switch (link) {
    case Link::Logistic:
      return std::log(q) - std::log1p(-q);
    case Link::Normal:
      return normal_quantile(q);
    case Link::Gumbel:
      return std::log(-std::log1p(-q));
  }
  return std::numeric_limits<double>::quiet_NaN();
}

double PsychometricModel::stimulus_at(std::span<const double> natural, double level) const noexcept {
  const auto [s, m, g, l] = full_natural(natural);
  const double q = (level - g) / (1.0 - g - l);
  if (!(q > 0.0 && q < 1.0)) return std::numeric_limits<double>::quiet_NaN();
  return m + link_quantile(link, q) / s;
}

bool PsychometricModel::in_support(std::span<const double> natural) const noexcept {
  const auto [s, m, g, l] = full_natural(natural);
  return s > 0.0 && std::isfinite(s) && std::isfinite(m) && rates_valid(g, l);
}

PsychometricModel::EigSample PsychometricModel::eig_sample(std::span<const double> natural) const noexcept {
  const auto [s, m, g, l] = full_natural(natural);
  return EigSample{s, m, rate_logs(g, l)};
}

namespace {

SettingValue rate_setting(const Rate& rate) {
  if (!rate.estimated) return rate.value;
  return std::vector<double>{rate.a, rate.b};
}

}  // namespace

ModelSettings PsychometricModel::settings() const {
  return {{"link", std::string(link_name(link))},
          {"mu_log_s", mu_log_s},
          {"sigma_log_s", sigma_log_s},
          {"mu_m", m_prior.mean},
          {"sigma_m", m_prior.std_dev},
          {"guess_rate", rate_setting(guess)},
          {"lapse_rate", rate_setting(lapse)}};
}

std::vector<std::string> PsychometricModel::param_names() const {
  std::vector<std::string> names{"s", "m"};
  if (guess.estimated) names.emplace_back("guess_rate");
  if (lapse.estimated) names.emplace_back("lapse_rate");
  return names;
}

void PsychometricModel::to_natural(std::span<const double> u, std::span<double> natural) const noexcept {
  const RateLogs rates = unconstrained_rates(u).logs;
  natural[0] = std::exp(u[0]);
  natural[1] = u[1];
  std::size_t i = 2;
  if (guess.estimated) natural[i++] = rates.g;
  if (lapse.estimated) natural[i] = rates.l;
}

std::array<double, 4> PsychometricModel::full_natural(std::span<const double> natural) const noexcept {
  std::array<double, 4> out{natural[0], natural[1], guess.value, lapse.value};
  std::size_t i = 2;
  if (guess.estimated) out[2] = natural[i++];
  if (lapse.estimated) out[3] = natural[i];
  return out;
}

double PsychometricModel::response_scale(double g, double l) noexcept {
  if (!rates_valid(g, l)) return 0.0;
  // As rate_logs forms it: log(1 − γ) and log(1 − λ) are log1p(−γ) and log1p(−λ).
  return std::exp(l == 0.0 ? std::log1p(-g) : g == 0.0 ? std::log1p(-l) : std::log1p(-(g + l)));
}

RateLogs PsychometricModel::rate_logs(double g, double l) noexcept {
  RateLogs r;
  r.valid = rates_valid(g, l);
  r.log_g = std::log(g);
  r.log_1mg = std::log1p(-g);
  r.log_l = std::log(l);
  r.log_1ml = std::log1p(-l);
  // 1 − γ − λ from whichever form keeps its digits.
  r.log_w = l == 0.0 ? r.log_1mg : g == 0.0 ? r.log_1ml : std::log1p(-(g + l));
  if (!r.valid) r.log_w = -kInf;
  r.g = g;
  r.l = l;
  r.w = r.valid ? std::exp(r.log_w) : 0.0;  // log1p(−1) = −∞ at γ + λ = 1
  return r;
}

ResponseLogProb PsychometricModel::response_at(const RateLogs& rates, double z, bool y) const noexcept {
  const LinkProbs k = link_probs(link, z);
  const double g = rates.g;
  const double l = rates.l;
  const double w = rates.w;
  const double p = y ? g + w * k.F : l + w * k.G;
  if (!(p > kTinyProbability) || !std::isfinite(z)) return response_in_logs(link, rates, z, y);
  // Probability space: one logarithm, the derivatives as plain ratios.
  ResponseLogProb out;
  out.lp = std::log(p);
  const double sign = y ? 1.0 : -1.0;
  out.d_z = sign * w * k.f / p;
  const double d_g = k.G * g / p;
  const double d_l = k.F * l / p;
  out.d_log_g = (y ? d_g : -d_g) * rates.scale_g;
  out.d_log_l = (y ? -d_l : d_l) * rates.scale_l;
  out.d_cross = (y ? -d_l : d_l) * rates.scale_cross;
  return out;
}

void PsychometricModel::responses(const RateLogs& rates, const double* z, const std::uint8_t* y, std::size_t n,
                                  ResponseLogProb* out) const noexcept {
  if (response_rows != nullptr) return response_rows(*this, rates, z, y, n, out);
  for (std::size_t i = 0; i < n; ++i) out[i] = response_at(rates, z[i], y[i] != 0);
}

double PsychometricModel::p_yes(const EigSample& sample, double x) const noexcept {
  const double z = link_argument(sample.s, sample.m, x);
  double F = 0.0;
  switch (link) {
    case Link::Logistic: {
      const double e = std::exp(-std::abs(z));
      F = z < 0.0 ? e / (1.0 + e) : 1.0 / (1.0 + e);
      break;
    }
    case Link::Normal:
      F = 0.5 * std::erfc(-z * kSqrtHalf);
      break;
    case Link::Gumbel:
      F = -std::expm1(-std::exp(z));
      break;
  }
  return sample.rates.g + sample.rates.w * F;
}

ResponseProbs PsychometricModel::response_probs(double s, double m, const RateLogs& rates,
                                               double x) const noexcept {
  const double z = link_argument(s, m, x);
  const LinkProbs k = link_probs(link, z);
  ResponseProbs out{{rates.l + rates.w * k.G, rates.g + rates.w * k.F}, {0.0, 0.0}};
  for (int y = 0; y < 2; ++y) {
    out.lp[y] = out.p[y] > kTinyProbability && std::isfinite(z) ? std::log(out.p[y])
                                                                : response_in_logs(link, rates, z, y == 1).lp;
  }
  return out;
}

double PsychometricModel::log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                                 const BoolVectorView& observations) const {
  const std::size_t n = std::min(design.rows, observations.len);
  if (n == 0) return 0.0;
  check_index(0, design.cols);
  const auto [s, m, g, l] = full_natural(natural);
  const RateLogs rates = rate_logs(g, l);
  if (!rates.valid || !(s > 0.0)) return -kInf;
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    sum += response(s, m, rates, design.unchecked_at(i, 0), observations.unchecked_at(i)).lp;
  }
  return sum;
}

double PsychometricModel::log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                                                const BoolVectorView& observations) const {
  const auto [s, m, g, l] = full_natural(natural);
  const RateLogs rates = rate_logs(g, l);
  if (!rates.valid || !(s > 0.0)) return -kInf;
  const double log_s = std::log(s);
  // The log-normal density of s: the normal density of log s over s.
  double lp = Normal{mu_log_s, sigma_log_s}.log_density(log_s) - log_s;
  lp += m_prior.log_density(m);
  add_natural_rate_prior(rates, lp);
  if (lp == -kInf) return lp;
  return lp + log_likelihood_natural(natural, design, observations);
}

void PsychometricModel::add_natural_rate_prior(const RateLogs& rates, double& lp) const noexcept {
  if (guess.estimated) lp += (guess.a - 1.0) * rates.log_g + (guess.b - 1.0) * rates.log_1mg - log_beta_fn(guess.a, guess.b);
  if (lapse.estimated) lp += (lapse.a - 1.0) * rates.log_l + (lapse.b - 1.0) * rates.log_1ml - log_beta_fn(lapse.a, lapse.b);
}

double PsychometricModel::log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                                             const BoolVectorView& observations) const {
  check_index(dim() - 1, u.size());
  std::array<double, 4> natural{};
  to_natural(u, natural);
  return log_likelihood_natural(std::span<const double>(natural.data(), dim()), design, observations);
}

UnconstrainedRates PsychometricModel::unconstrained_rates(std::span<const double> u) const noexcept {
  UnconstrainedRates out;
  RateLogs& r = out.logs;
  const std::size_t gi = 2;
  const std::size_t li = guess.estimated ? 3 : 2;
  // γ = room_g·σ(u_g) with room_g = 1 − λ for a fixed λ (else 1); then
  // λ = (1 − γ)·σ(u_l). Every u gives γ + λ < 1.
  if (guess.estimated) {
    const double room = lapse.estimated ? 1.0 : 1.0 - lapse.value;
    out.sigma_g = sigmoid(u[gi]);
    out.log_1m_sigma_g = log_sigmoid(-u[gi]);
    r.g = room * out.sigma_g;
    r.log_g = std::log(room) + log_sigmoid(u[gi]);
    // With the whole unit interval as room, 1 − γ = σ(−u) keeps its digits.
    r.log_1mg = lapse.estimated ? out.log_1m_sigma_g : std::log1p(-r.g);
  } else {
    r.g = guess.value;
    r.log_g = std::log(guess.value);
    r.log_1mg = std::log1p(-guess.value);
  }
  if (lapse.estimated) {
    out.sigma_l = sigmoid(u[li]);
    out.log_1m_sigma_l = log_sigmoid(-u[li]);
    r.l = (1.0 - r.g) * out.sigma_l;
    r.log_l = r.log_1mg + log_sigmoid(u[li]);
    r.log_1ml = std::log1p(-r.l);
    r.log_w = r.log_1mg + out.log_1m_sigma_l;  // 1 − γ − λ = (1 − γ)(1 − σ(u_l))
  } else {
    r.l = lapse.value;
    r.log_l = std::log(lapse.value);
    r.log_1ml = std::log1p(-lapse.value);
    r.log_w = guess.estimated ? std::log1p(-lapse.value) + out.log_1m_sigma_g  // room_g·(1 − σ(u_g))
                              : rate_logs(guess.value, lapse.value).log_w;
  }
  r.w = std::exp(r.log_w);
  r.valid = true;
  // Along u: dlog γ/du_g = 1 − σ(u_g), dlog λ/du_l = 1 − σ(u_l), and with both
  // estimated λ moves with γ: dlog λ/du_g = −γ(1 − σ(u_g))/(1 − γ).
  r.log_scale_g = out.log_1m_sigma_g;
  r.log_scale_l = out.log_1m_sigma_l;
  r.log_scale_cross = guess.estimated && lapse.estimated ? r.log_g + out.log_1m_sigma_g - r.log_1mg : -kInf;
  r.scale_g = std::exp(r.log_scale_g);
  r.scale_l = std::exp(r.log_scale_l);
  r.scale_cross = std::exp(r.log_scale_cross);
  return out;
}

double PsychometricModel::log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad,
                                                      const MatrixView& design,
                                                      const BoolVectorView& observations) const {
  const std::size_t d = dim();
  check_index(d - 1, u.size());
  check_index(d - 1, grad.size());
  const double log_s = u[0];
  const double s = std::exp(log_s);
  const double m = u[1];
  const std::size_t gi = 2;
  const std::size_t li = guess.estimated ? 3 : 2;
  const UnconstrainedRates ur = unconstrained_rates(u);
  const RateLogs& rates = ur.logs;

  // Normal priors on log s and m.
  double lp = Normal{mu_log_s, sigma_log_s}.log_density(log_s) + m_prior.log_density(m);
  grad[0] += (mu_log_s - log_s) / (sigma_log_s * sigma_log_s);
  grad[1] += (m_prior.mean - m) / (m_prior.std_dev * m_prior.std_dev);

  const std::size_t n = std::min(design.rows, observations.len);
  if (n > 0) check_index(0, design.cols);
  double sum = 0.0;
  double d_log_s = 0.0, d_m = 0.0;
  // The likelihood's derivatives along u_g and u_l (the scales carry the chain rule).
  double a_g = 0.0, a_l = 0.0;
  // The terms come a block of rows at a time (so a lane evaluator can take
  // them together) and are summed row by row, in order.
  std::array<double, kResponseBlock> z;
  std::array<std::uint8_t, kResponseBlock> y;
  std::array<ResponseLogProb, kResponseBlock> terms;
  for (std::size_t first = 0; first < n; first += kResponseBlock) {
    const std::size_t count = std::min(kResponseBlock, n - first);
    for (std::size_t k = 0; k < count; ++k) {
      z[k] = link_argument(s, m, design.unchecked_at(first + k, 0));
      y[k] = observations.unchecked_at(first + k) ? 1 : 0;
    }
    responses(rates, z.data(), y.data(), count, terms.data());
    for (std::size_t k = 0; k < count; ++k) {
      const ResponseLogProb& r = terms[k];
      sum += r.lp;
      // z = s·(x − m): dz/d log s = z, dz/dm = −s.
      if (r.d_z != 0.0) {
        d_log_s += r.d_z * z[k];
        d_m -= r.d_z * s;
      }
      a_g += r.d_log_g - r.d_cross;
      a_l += r.d_log_l;
    }
  }

  double grad_g = guess.estimated ? a_g : 0.0;
  double grad_l = lapse.estimated ? a_l : 0.0;
  add_rate_prior(ur, lp, grad_g, grad_l);

  const double total = lp + sum;
  if (total == -kInf) {
    // Opposite infinite terms (an overflowing slope) would add up to NaN; at
    // a log density of −∞ the sampler only needs the gradient to be a number.
    for (double* v : {&d_log_s, &d_m, &grad_g, &grad_l}) {
      if (std::isnan(*v)) *v = 0.0;
    }
  }
  grad[0] += d_log_s;
  grad[1] += d_m;
  if (guess.estimated) grad[gi] += grad_g;
  if (lapse.estimated) grad[li] += grad_l;
  return total;
}

void PsychometricModel::add_rate_prior(const UnconstrainedRates& ur, double& lp, double& grad_g,
                                       double& grad_l) const noexcept {
  const RateLogs& rates = ur.logs;
  // Beta priors on the natural rates, with the Jacobian
  // dγ/du_g·dλ/du_l = γ(1 − σ(u_g))·λ(1 − σ(u_l)): in log form
  // a·log r + (b − 1)·log(1 − r) + log(1 − σ(u)) for each estimated rate.
  // Each derivative is formed from logs, for the same reason as the scales.
  if (lapse.estimated) {
    lp += lapse.a * rates.log_l + (lapse.b - 1.0) * rates.log_1ml + ur.log_1m_sigma_l -
          log_beta_fn(lapse.a, lapse.b);
    grad_l += lapse.a * rates.scale_l - (lapse.b - 1.0) * std::exp(rates.log_l + rates.log_scale_l - rates.log_1ml) -
              ur.sigma_l;
    if (guess.estimated) {
      // λ's terms through λ = (1 − γ)σ(u_l).
      grad_g += -lapse.a * rates.scale_cross +
                (lapse.b - 1.0) * std::exp(rates.log_l + rates.log_scale_cross - rates.log_1ml);
    }
  }
  if (guess.estimated) {
    lp += guess.a * rates.log_g + (guess.b - 1.0) * rates.log_1mg + ur.log_1m_sigma_g -
          log_beta_fn(guess.a, guess.b);
    grad_g += guess.a * rates.scale_g - (guess.b - 1.0) * std::exp(rates.log_g + rates.log_scale_g - rates.log_1mg) -
              ur.sigma_g;
  }
}

void PsychometricModel::prior_center(std::span<double> u) const noexcept {
  u[0] = mu_log_s;
  u[1] = m_prior.mean;
  std::size_t i = 2;
  const auto logit = [](double p) { return std::log(p) - std::log1p(-p); };
  const double g = guess.center();
  // Each rate as its share of the room the transform gives it.
  if (guess.estimated) u[i++] = logit(g / (lapse.estimated ? 1.0 : 1.0 - lapse.value));
  if (lapse.estimated) u[i] = logit(lapse.center() / (1.0 - g));
}

void PsychometricModel::to_unconstrained(std::span<const double> natural, std::span<double> u) const noexcept {
  const auto logit = [](double p) { return std::log(p) - std::log1p(-p); };
  const auto [s, m, g, l] = full_natural(natural);
  u[0] = std::log(s);
  u[1] = m;
  std::size_t i = 2;
  if (guess.estimated) u[i++] = logit(g / (lapse.estimated ? 1.0 : 1.0 - lapse.value));
  if (lapse.estimated) u[i] = logit(l / (1.0 - g));
}

std::string PsychometricModel::debug_text() const {
  return "PsychometricModel { link: " + std::string(link_name(link)) + ", s_prior: LogNormal { mu: " +
         debug_f64(mu_log_s) + ", sigma: " + debug_f64(sigma_log_s) + " }, m_prior: " + m_prior.debug_text() +
         ", guess_rate: " + guess.debug_text() + ", lapse_rate: " + lapse.debug_text() + " }";
}

}  // namespace varnel
