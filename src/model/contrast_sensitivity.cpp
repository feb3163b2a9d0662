#include "model/contrast_sensitivity.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "model/debug_text.hpp"
#include "sampler/panic.hpp"

namespace varnel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kLog10Two = ContrastSensitivityModel::kLog10Two;
constexpr double kLn10 = 2.30258509299404568402;
constexpr const char* kPriorNames[ContrastSensitivityModel::kCsfParams] = {
    "log10_peak_sensitivity", "log10_peak_frequency", "log10_bandwidth", "log10_truncation"};
constexpr const char* kParamNames[ContrastSensitivityModel::kCsfParams] = {"peak_sensitivity", "peak_frequency",
                                                                           "bandwidth", "truncation"};

// log10 S at L and its derivatives along the four log10 parameters.
struct LogSensitivity {
  double value;
  std::array<double, ContrastSensitivityModel::kCsfParams> d;
};

// The parabola's width and the truncation on the natural scale, the same at every frequency.
struct CsfShape {
  double width;
  double truncation;
};

CsfShape csf_shape(double log_bandwidth, double log_truncation) noexcept {
  return {std::pow(10.0, log_bandwidth) * kLog10Two, std::pow(10.0, log_truncation)};
}

LogSensitivity log_sensitivity_with_grad(double a, double p, const CsfShape& shape, double L) noexcept {
  const double width = shape.width;
  const double q = 2.0 * (L - p) / width;
  LogSensitivity out{a - kLog10Two * q * q, {1.0, 4.0 * kLog10Two * q / width, 2.0 * kLog10Two * q * q * kLn10, 0.0}};
  if (L < p) {
    const double truncation = shape.truncation;
    if (a - truncation > out.value) out = {a - truncation, {1.0, 0.0, 0.0, -truncation * kLn10}};
  }
  return out;
}

}  // namespace

std::expected<ContrastSensitivityModel, std::string> ContrastSensitivityModel::try_new(
    PsychometricModel base, std::array<Normal, kCsfParams> priors, double slope) {
  for (std::size_t k = 0; k < kCsfParams; ++k) {
    if (!std::isfinite(priors[k].mean) || !(priors[k].std_dev > 0.0) || !std::isfinite(priors[k].std_dev)) {
      return std::unexpected("argument '" + std::string(kPriorNames[k]) +
                             "': expected (mean, sd) of a normal prior, finite with sd > 0");
    }
  }
  if (!(slope > 0.0) || !std::isfinite(slope)) {
    return std::unexpected(std::string("argument 'slope': must be positive and finite"));
  }
  ContrastSensitivityModel model;
  model.base = base;
  model.priors = priors;
  model.slope = slope;
  return model;
}

std::vector<std::string> ContrastSensitivityModel::param_names() const {
  std::vector<std::string> names(std::begin(kParamNames), std::end(kParamNames));
  const std::vector<std::string> rates = base.param_names();
  names.insert(names.end(), rates.begin() + 2, rates.end());
  return names;
}

std::array<double, 4> ContrastSensitivityModel::rate_vector(std::span<const double> full) const noexcept {
  std::array<double, 4> part{1.0, 0.0, 0.0, 0.0};
  for (std::size_t k = 2; k < base.dim(); ++k) part[k] = full[kCsfParams + k - 2];
  return part;
}

ContrastSensitivityModel::EigSample ContrastSensitivityModel::sample_of(std::span<const double> natural) const noexcept {
  EigSample sample;
  sample.log_peak = std::log10(natural[0]);
  sample.log_peak_frequency = std::log10(natural[1]);
  sample.width = natural[2] * kLog10Two;
  sample.truncation = natural[3];
  sample.slope = slope;
  const auto part = rate_vector(natural);
  const auto [s, m, g, l] = base.full_natural(std::span<const double>(part.data(), base.dim()));
  (void)s;
  (void)m;
  sample.rates = PsychometricModel::rate_logs(g, l);
  return sample;
}

bool ContrastSensitivityModel::in_support(std::span<const double> natural) const noexcept {
  if (natural.size() != dim()) return false;
  for (std::size_t k = 0; k < kCsfParams; ++k) {
    if (!(natural[k] > 0.0) || !std::isfinite(natural[k])) return false;
  }
  const auto part = rate_vector(natural);
  return base.in_support(std::span<const double>(part.data(), base.dim()));
}

void ContrastSensitivityModel::to_natural(std::span<const double> u, std::span<double> natural) const noexcept {
  for (std::size_t k = 0; k < kCsfParams; ++k) natural[k] = std::pow(10.0, u[k]);
  std::array<double, 4> in = rate_vector(u), out{};
  in[0] = 0.0;
  base.to_natural(std::span<const double>(in.data(), base.dim()), std::span<double>(out.data(), base.dim()));
  for (std::size_t k = 2; k < base.dim(); ++k) natural[kCsfParams + k - 2] = out[k];
}

void ContrastSensitivityModel::to_sampling(std::span<const double> natural, std::span<double> u) const noexcept {
  for (std::size_t k = 0; k < kCsfParams; ++k) u[k] = std::log10(natural[k]);
  std::array<double, 4> in = rate_vector(natural), out{};
  base.to_unconstrained(std::span<const double>(in.data(), base.dim()), std::span<double>(out.data(), base.dim()));
  for (std::size_t k = 2; k < base.dim(); ++k) u[kCsfParams + k - 2] = out[k];
}

ResponseProbs ContrastSensitivityModel::response_probs(const EigSample& sample,
                                                       std::span<const double> row) const noexcept {
  return base.response_probs(slope, -log_sensitivity(sample, row[0]), sample.rates, row[1]);
}

ModelSettings ContrastSensitivityModel::settings() const {
  ModelSettings out;
  for (const Setting& s : base.settings()) {
    if (s.name == "link") out.push_back(s);
  }
  for (std::size_t k = 0; k < kCsfParams; ++k) {
    out.push_back({kPriorNames[k], std::vector<double>{priors[k].mean, priors[k].std_dev}});
  }
  out.push_back({"slope", slope});
  for (const Setting& s : base.settings()) {
    if (s.name == "guess_rate" || s.name == "lapse_rate") out.push_back(s);
  }
  return out;
}

double ContrastSensitivityModel::log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                                        const BoolVectorView& observations) const {
  const std::size_t n = std::min(design.rows, observations.len);
  if (n == 0) return 0.0;
  check_index(1, design.cols);
  if (!in_support(natural)) return -kInf;
  const EigSample sample = sample_of(natural);
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double m = -log_sensitivity(sample, design.unchecked_at(i, 0));
    sum += base.response(slope, m, sample.rates, design.unchecked_at(i, 1), observations.unchecked_at(i)).lp;
  }
  return sum;
}

double ContrastSensitivityModel::log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                                                       const BoolVectorView& observations) const {
  if (!in_support(natural)) return -kInf;
  // The priors are normal on the log10 parameters: the density of each
  // natural parameter carries 1/(θ ln 10).
  double lp = 0.0;
  for (std::size_t k = 0; k < kCsfParams; ++k) {
    const double v = std::log10(natural[k]);
    lp += priors[k].log_density(v) - std::log(natural[k] * kLn10);
  }
  base.add_natural_rate_prior(sample_of(natural).rates, lp);
  if (lp == -kInf) return lp;
  return lp + log_likelihood_natural(natural, design, observations);
}

double ContrastSensitivityModel::log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                                                    const BoolVectorView& observations) const {
  check_index(dim() - 1, u.size());
  std::vector<double> natural(dim());
  to_natural(u.subspan(0, dim()), natural);
  return log_likelihood_natural(natural, design, observations);
}

double ContrastSensitivityModel::log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad,
                                                             const MatrixView& design,
                                                             const BoolVectorView& observations) const {
  const std::size_t d = dim();
  check_index(d - 1, u.size());
  check_index(d - 1, grad.size());
  double lp = 0.0;
  for (std::size_t k = 0; k < kCsfParams; ++k) {
    lp += priors[k].log_density(u[k]);
    grad[k] += (priors[k].mean - u[k]) / (priors[k].std_dev * priors[k].std_dev);
  }
  std::array<double, 4> part = rate_vector(u);
  part[0] = 0.0;
  const UnconstrainedRates rates = base.unconstrained_rates(std::span<const double>(part.data(), base.dim()));

  const std::size_t n = std::min(design.rows, observations.len);
  if (n > 0) check_index(1, design.cols);
  double sum = 0.0;
  std::array<double, kCsfParams> d_csf{};
  double a_g = 0.0, a_l = 0.0;
  // A block of rows at a time through the base model's response terms, summed row by row.
  std::array<LogSensitivity, kResponseBlock> ls;
  std::array<double, kResponseBlock> z;
  std::array<std::uint8_t, kResponseBlock> y;
  std::array<ResponseLogProb, kResponseBlock> terms;
  const CsfShape shape = csf_shape(u[2], u[3]);
  for (std::size_t first = 0; first < n; first += kResponseBlock) {
    const std::size_t count = std::min(kResponseBlock, n - first);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = first + k;
      ls[k] = log_sensitivity_with_grad(u[0], u[1], shape, design.unchecked_at(i, 0));
      z[k] = link_argument(slope, -ls[k].value, design.unchecked_at(i, 1));
      y[k] = observations.unchecked_at(i) ? 1 : 0;
    }
    base.responses(rates.logs, z.data(), y.data(), count, terms.data());
    for (std::size_t k = 0; k < count; ++k) {
      const ResponseLogProb& r = terms[k];
      sum += r.lp;
      // z = s·(X + log10 S): dz/d log10 S = s.
      if (r.d_z != 0.0) {
        for (std::size_t j = 0; j < kCsfParams; ++j) d_csf[j] += r.d_z * slope * ls[k].d[j];
      }
      a_g += r.d_log_g - r.d_cross;
      a_l += r.d_log_l;
    }
  }
  double grad_g = base.guess.estimated ? a_g : 0.0;
  double grad_l = base.lapse.estimated ? a_l : 0.0;
  base.add_rate_prior(rates, lp, grad_g, grad_l);

  const double total = lp + sum;
  const auto finite_or_zero = [&](double v) { return total == -kInf && std::isnan(v) ? 0.0 : v; };
  for (std::size_t k = 0; k < kCsfParams; ++k) grad[k] += finite_or_zero(d_csf[k]);
  std::size_t next = kCsfParams;
  if (base.guess.estimated) grad[next++] += finite_or_zero(grad_g);
  if (base.lapse.estimated) grad[next] += finite_or_zero(grad_l);
  return total;
}

void ContrastSensitivityModel::prior_center(std::span<double> u) const noexcept {
  for (std::size_t k = 0; k < kCsfParams; ++k) u[k] = priors[k].mean;
  std::array<double, 4> part{};
  base.prior_center(std::span<double>(part.data(), base.dim()));
  for (std::size_t k = 2; k < base.dim(); ++k) u[kCsfParams + k - 2] = part[k];
}

std::string ContrastSensitivityModel::debug_text() const {
  std::string text = "ContrastSensitivityModel { link: " + std::string(link_name(base.link));
  for (std::size_t k = 0; k < kCsfParams; ++k) text += std::string(", ") + kPriorNames[k] + ": " + priors[k].debug_text();
  return text + ", slope: " + debug_f64(slope) + ", guess_rate: " + base.guess.debug_text() +
         ", lapse_rate: " + base.lapse.debug_text() + " }";
}

}  // namespace varnel
