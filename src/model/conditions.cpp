#include "model/conditions.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "model/argument_error.hpp"
#include "model/debug_text.hpp"
#include "sampler/panic.hpp"

namespace varnel {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A condition's vector in the base layout: at most s, m, γ, λ.
using Part = std::array<double, 4>;

}  // namespace

std::expected<ConditionsPsychometricModel, std::string> ConditionsPsychometricModel::try_new(
    PsychometricModel base, std::int64_t num_conditions, bool per_condition_slope, bool per_condition_guess,
    bool per_condition_lapse) {
  if (num_conditions < 1 || num_conditions > static_cast<std::int64_t>(kMaxConditions)) {
    return std::unexpected("argument 'num_conditions': must be from 1 to " + std::to_string(kMaxConditions) +
                           ", got " + std::to_string(num_conditions));
  }
  if (per_condition_guess && !base.guess.estimated) {
    return std::unexpected(std::string(
        "argument 'per_condition_guess_rate': the guess rate is fixed; give guess_rate=(a, b) to estimate it"));
  }
  if (per_condition_lapse && !base.lapse.estimated) {
    return std::unexpected(std::string(
        "argument 'per_condition_lapse_rate': the lapse rate is fixed; give lapse_rate=(a, b) to estimate it"));
  }
  if (base.guess.estimated && base.lapse.estimated && per_condition_guess != per_condition_lapse) {
    return std::unexpected(std::string(
        "arguments 'per_condition_guess_rate' and 'per_condition_lapse_rate': two estimated rates are shared "
        "alike (both per condition, or both shared)"));
  }
  ConditionsPsychometricModel model;
  model.base = base;
  model.num_conditions = static_cast<std::size_t>(num_conditions);
  model.per_condition_slope = per_condition_slope;
  model.per_condition_guess = per_condition_guess;
  model.per_condition_lapse = per_condition_lapse;
  return model;
}

std::vector<std::string> ConditionsPsychometricModel::param_names() const {
  std::vector<std::string> names;
  const auto block = [&](const std::string& name, std::size_t count) {
    if (count == 1) {
      names.push_back(name);
      return;
    }
    for (std::size_t c = 0; c < count; ++c) names.push_back(name + "_" + std::to_string(c));
  };
  block("s", slopes());
  for (std::size_t c = 0; c < num_conditions; ++c) names.push_back("m_" + std::to_string(c));
  block("guess_rate", guesses());
  block("lapse_rate", lapses());
  return names;
}

void ConditionsPsychometricModel::condition_vector(std::span<const double> full, std::size_t c,
                                                   std::span<double> out) const noexcept {
  out[0] = full[slope_index(c)];
  out[1] = full[location_index(c)];
  std::size_t k = 2;
  const std::size_t rates = slopes() + num_conditions;
  if (base.guess.estimated) out[k++] = full[rates + (per_condition_guess ? c : 0)];
  if (base.lapse.estimated) out[k] = full[rates + guesses() + (per_condition_lapse ? c : 0)];
}

void ConditionsPsychometricModel::scatter_condition(std::span<const double> part, std::size_t c,
                                                    std::span<double> full) const noexcept {
  full[slope_index(c)] = part[0];
  full[location_index(c)] = part[1];
  std::size_t k = 2;
  const std::size_t rates = slopes() + num_conditions;
  if (base.guess.estimated) full[rates + (per_condition_guess ? c : 0)] = part[k++];
  if (base.lapse.estimated) full[rates + guesses() + (per_condition_lapse ? c : 0)] = part[k];
}

void ConditionsPsychometricModel::scatter_draw(std::span<const double> draw, std::size_t c,
                                               std::span<double> natural) const noexcept {
  if (c == 0) {
    scatter_condition(draw, 0, natural);
    return;
  }
  if (per_condition_slope) natural[slope_index(c)] = draw[0];
  natural[location_index(c)] = draw[1];
  if (per_condition_rates()) {
    // Both rates of this condition come from one draw: with both estimated,
    // that draw kept γ + λ < 1.
    Part part{};
    condition_vector(natural, c, part);
    for (std::size_t k = 2; k < base.dim(); ++k) part[k] = draw[k];
    scatter_condition(std::span<const double>(part.data(), base.dim()), c, natural);
  }
}

std::optional<std::size_t> ConditionsPsychometricModel::condition_of(double value) const noexcept {
  if (!(value >= 0.0 && value < static_cast<double>(num_conditions)) || value != std::floor(value)) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(value);
}

void ConditionsPsychometricModel::check_design_values(const MatrixView& design, std::size_t rows,
                                                      std::string_view argument) const {
  if (design.cols < kDesignColumns) return;  // the width check names this
  for (std::size_t i = 0; i < rows && i < design.rows; ++i) {
    const double value = design.unchecked_at(i, 1);
    if (!condition_of(value)) {
      throw ArgumentError("argument '" + std::string(argument) + "': row " + std::to_string(i) +
                          " has condition " + debug_f64(value) + "; conditions are the integers 0 to " +
                          std::to_string(num_conditions - 1));
    }
  }
}

bool ConditionsPsychometricModel::in_support(std::span<const double> natural) const noexcept {
  if (natural.size() != dim()) return false;
  Part part{};
  for (std::size_t c = 0; c < num_conditions; ++c) {
    condition_vector(natural, c, part);
    if (!base.in_support(std::span<const double>(part.data(), base.dim()))) return false;
  }
  return true;
}

void ConditionsPsychometricModel::to_natural(std::span<const double> u, std::span<double> natural) const noexcept {
  Part in{}, out{};
  for (std::size_t c = 0; c < num_conditions; ++c) {
    condition_vector(u, c, in);
    base.to_natural(std::span<const double>(in.data(), base.dim()), std::span<double>(out.data(), base.dim()));
    scatter_condition(std::span<const double>(out.data(), base.dim()), c, natural);
  }
}

void ConditionsPsychometricModel::to_sampling(std::span<const double> natural, std::span<double> u) const noexcept {
  Part in{}, out{};
  for (std::size_t c = 0; c < num_conditions; ++c) {
    condition_vector(natural, c, in);
    base.to_unconstrained(std::span<const double>(in.data(), base.dim()), std::span<double>(out.data(), base.dim()));
    scatter_condition(std::span<const double>(out.data(), base.dim()), c, u);
  }
}

ConditionsPsychometricModel::EigSample ConditionsPsychometricModel::eig_sample(
    std::span<const double> natural) const {
  EigSample sample;
  sample.conditions.reserve(num_conditions);
  Part part{};
  for (std::size_t c = 0; c < num_conditions; ++c) {
    condition_vector(natural, c, part);
    sample.conditions.push_back(base.eig_sample(std::span<const double>(part.data(), base.dim())));
  }
  return sample;
}

ResponseProbs ConditionsPsychometricModel::response_probs(const EigSample& sample,
                                                          std::span<const double> row) const noexcept {
  const auto c = condition_of(row[1]);
  if (!c) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return ResponseProbs{{nan, nan}, {nan, nan}};
  }
  return base.response_probs(sample.conditions[*c], row.subspan(0, 1));
}

ModelSettings ConditionsPsychometricModel::settings() const {
  ModelSettings out;
  out.push_back({"num_conditions", static_cast<std::int64_t>(num_conditions)});
  for (Setting& s : base.settings()) out.push_back(std::move(s));
  out.push_back({"per_condition_slope", per_condition_slope});
  out.push_back({"per_condition_guess_rate", per_condition_guess});
  out.push_back({"per_condition_lapse_rate", per_condition_lapse});
  return out;
}

namespace {

// Each condition's natural (s, m, rate logs), or nothing outside the support.
struct ConditionValues {
  double s;
  double m;
  RateLogs rates;
};

}  // namespace

double ConditionsPsychometricModel::log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                                           const BoolVectorView& observations) const {
  const std::size_t n = std::min(design.rows, observations.len);
  if (n == 0) return 0.0;
  check_index(1, design.cols);
  if (!in_support(natural)) return -kInf;
  std::vector<ConditionValues> values;
  values.reserve(num_conditions);
  Part part{};
  for (std::size_t c = 0; c < num_conditions; ++c) {
    condition_vector(natural, c, part);
    const auto [s, m, g, l] = base.full_natural(std::span<const double>(part.data(), base.dim()));
    const RateLogs rates = PsychometricModel::rate_logs(g, l);
    if (!rates.valid || !(s > 0.0)) return -kInf;
    values.push_back({s, m, rates});
  }
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = condition_of(design.unchecked_at(i, 1));
    check(c.has_value(), "condition index of a design row");
    const ConditionValues& v = values[*c];
    sum += base.response(v.s, v.m, v.rates, design.unchecked_at(i, 0), observations.unchecked_at(i)).lp;
  }
  return sum;
}

double ConditionsPsychometricModel::log_posterior_natural(std::span<const double> natural, const MatrixView& design,
                                                          const BoolVectorView& observations) const {
  if (!in_support(natural)) return -kInf;
  // Condition 0 brings every prior term once; the others only their own parameters.
  static const MatrixView kNoDesign{nullptr, 0, 1, 1, 0};
  static const BoolVectorView kNoObservations{nullptr, 0, 1};
  Part part{};
  condition_vector(natural, 0, part);
  double lp = base.log_posterior_natural(std::span<const double>(part.data(), base.dim()), kNoDesign, kNoObservations);
  const Normal log_s_prior{base.mu_log_s, base.sigma_log_s};
  for (std::size_t c = 1; c < num_conditions; ++c) {
    condition_vector(natural, c, part);
    if (per_condition_slope) lp += log_s_prior.log_density(std::log(part[0])) - std::log(part[0]);
    lp += base.m_prior.log_density(part[1]);
    if (per_condition_rates()) {
      const auto [s, m, g, l] = base.full_natural(std::span<const double>(part.data(), base.dim()));
      base.add_natural_rate_prior(PsychometricModel::rate_logs(g, l), lp);
    }
  }
  if (lp == -kInf) return lp;
  return lp + log_likelihood_natural(natural, design, observations);
}

double ConditionsPsychometricModel::log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                                                       const BoolVectorView& observations) const {
  check_index(dim() - 1, u.size());
  std::vector<double> natural(dim());
  to_natural(u.subspan(0, dim()), natural);
  return log_likelihood_natural(natural, design, observations);
}

double ConditionsPsychometricModel::log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad,
                                                                const MatrixView& design,
                                                                const BoolVectorView& observations) const {
  const std::size_t d = dim();
  check_index(d - 1, u.size());
  check_index(d - 1, grad.size());
  const std::size_t C = num_conditions;
  const std::size_t S = slopes();

  // Normal priors on every log s and m.
  double lp = 0.0;
  const Normal log_s_prior{base.mu_log_s, base.sigma_log_s};
  std::vector<double> s(S), d_log_s(S, 0.0), d_m(C, 0.0);
  for (std::size_t k = 0; k < S; ++k) {
    lp += log_s_prior.log_density(u[k]);
    grad[k] += (base.mu_log_s - u[k]) / (base.sigma_log_s * base.sigma_log_s);
    s[k] = std::exp(u[k]);
  }
  for (std::size_t c = 0; c < C; ++c) {
    const double m = u[location_index(c)];
    lp += base.m_prior.log_density(m);
    grad[location_index(c)] += (base.m_prior.mean - m) / (base.m_prior.std_dev * base.m_prior.std_dev);
  }

  // The rates of each rate group (one, or one per condition).
  const std::size_t groups = per_condition_rates() ? C : 1;
  std::vector<UnconstrainedRates> rates(groups);
  Part part{};
  for (std::size_t k = 0; k < groups; ++k) {
    condition_vector(u, k, part);
    rates[k] = base.unconstrained_rates(std::span<const double>(part.data(), base.dim()));
  }

  const std::size_t n = std::min(design.rows, observations.len);
  if (n > 0) check_index(1, design.cols);
  double sum = 0.0;
  std::vector<double> a_g(groups, 0.0), a_l(groups, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = condition_of(design.unchecked_at(i, 1));
    check(c.has_value(), "condition index of a design row");
    const std::size_t k = slope_index(*c);
    const std::size_t g = rate_group(*c);
    const double m = u[location_index(*c)];
    const double x = design.unchecked_at(i, 0);
    const ResponseLogProb r = base.response(s[k], m, rates[g].logs, x, observations.unchecked_at(i));
    sum += r.lp;
    // z = s·(x − m): dz/d log s = z, dz/dm = −s.
    const double z = link_argument(s[k], m, x);
    if (r.d_z != 0.0) {
      d_log_s[k] += r.d_z * z;
      d_m[*c] -= r.d_z * s[k];
    }
    a_g[g] += r.d_log_g - r.d_cross;
    a_l[g] += r.d_log_l;
  }

  std::vector<double> grad_g(groups, 0.0), grad_l(groups, 0.0);
  for (std::size_t k = 0; k < groups; ++k) {
    grad_g[k] = base.guess.estimated ? a_g[k] : 0.0;
    grad_l[k] = base.lapse.estimated ? a_l[k] : 0.0;
    base.add_rate_prior(rates[k], lp, grad_g[k], grad_l[k]);
  }

  const double total = lp + sum;
  const auto finite_or_zero = [&](double v) { return total == -kInf && std::isnan(v) ? 0.0 : v; };
  for (std::size_t k = 0; k < S; ++k) grad[k] += finite_or_zero(d_log_s[k]);
  for (std::size_t c = 0; c < C; ++c) grad[location_index(c)] += finite_or_zero(d_m[c]);
  const std::size_t first_rate = S + C;
  for (std::size_t k = 0; k < groups; ++k) {
    if (base.guess.estimated) grad[first_rate + k] += finite_or_zero(grad_g[k]);
    if (base.lapse.estimated) grad[first_rate + guesses() + k] += finite_or_zero(grad_l[k]);
  }
  return total;
}

void ConditionsPsychometricModel::prior_center(std::span<double> u) const noexcept {
  Part part{};
  base.prior_center(std::span<double>(part.data(), base.dim()));
  for (std::size_t c = 0; c < num_conditions; ++c) scatter_condition(std::span<const double>(part.data(), base.dim()), c, u);
}

std::string ConditionsPsychometricModel::debug_text() const {
  const auto flag = [](bool v) { return v ? "true" : "false"; };
  return "ConditionsPsychometricModel { num_conditions: " + std::to_string(num_conditions) +
         ", base: " + base.debug_text() + ", per_condition_slope: " + flag(per_condition_slope) +
         ", per_condition_guess_rate: " + flag(per_condition_guess) +
         ", per_condition_lapse_rate: " + flag(per_condition_lapse) + " }";
}

}  // namespace varnel
