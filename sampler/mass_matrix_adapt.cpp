#include "mass_matrix_adapt.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "panic.hpp"

namespace varnel {
namespace {

void check_length(std::size_t length, std::size_t expected, const char* what) {
  if (length != expected) [[unlikely]] {
    panic(std::string("length mismatch in ") + what + ": expected " + std::to_string(expected) +
          ", got " + std::to_string(length));
  }
}

// Writes a finite positive variance estimate, clamped, with its inverse
// standard deviation (the square root of the reciprocal, not 1 / sqrt).
inline void write_element(double v, double& variance, double& inv_std) noexcept {
  const double clamped = clamp_variance(v);
  variance = clamped;
  inv_std = std::sqrt(1.0 / clamped);
}

}  // namespace

// The element loops below are plain and independent per element; the compiler
// may vectorise them, which cannot change the bits (no contraction, no
// reassociation).
void RunningVariance::add_sample(std::span<const double> value) {
  const std::size_t n = mean_.size();
  check_length(value.size(), n, "RunningVariance::add_sample");
  const std::uint64_t old = count_;
  count_ = old + 1;
  if (old == 0) {
    std::copy(value.begin(), value.end(), mean_.begin());
    return;
  }
  const double w = 1.0 / static_cast<double>(old + 1);
  double* mean = mean_.data();
  double* sum = variance_sum_.data();
  const double* x = value.data();
  for (std::size_t i = 0; i < n; ++i) {
    const double d = x[i] - mean[i];
    mean[i] = mean[i] + w * d;
    sum[i] = sum[i] + d * d;
  }
}

void DrawGradCollector::record(std::span<const double> position, std::span<const double> gradient,
                               std::int64_t index_in_trajectory, bool diverged) {
  check_length(position.size(), draw_.size(), "DrawGradCollector position");
  check_length(gradient.size(), grad_.size(), "DrawGradCollector gradient");
  std::copy(position.begin(), position.end(), draw_.begin());
  std::copy(gradient.begin(), gradient.end(), grad_.begin());
  if (diverged) {
    // |k| >= 5 without negating k (INT64_MIN has no positive counterpart).
    is_good_ = index_in_trajectory >= kMinDivergentDrawDistance ||
               index_in_trajectory <= -kMinDivergentDrawDistance;
  } else {
    is_good_ = index_in_trajectory != 0;
  }
}

void set_initial_diagonal(std::span<const double> gradient, std::span<double> variance,
                          std::span<double> inv_stds) {
  const std::size_t n = gradient.size();
  check_length(variance.size(), n, "initial diagonal variance");
  check_length(inv_stds.size(), n, "initial diagonal inv_stds");
  for (std::size_t i = 0; i < n; ++i) {
    double v = 1.0 / clamp_variance(std::abs(gradient[i]));
    if (!std::isfinite(v)) v = 1.0;  // only a NaN gradient element gets here
    variance[i] = v;
    inv_stds[i] = std::sqrt(1.0 / v);
  }
}

void update_diagonal(std::span<const double> draw_sum, std::span<const double> grad_sum,
                     std::uint64_t count, bool grad_based, std::span<double> variance,
                     std::span<double> inv_stds) {
  const std::size_t n = draw_sum.size();
  check_length(grad_sum.size(), n, "diagonal update gradient sum");
  check_length(variance.size(), n, "diagonal update variance");
  check_length(inv_stds.size(), n, "diagonal update inv_stds");
  if (grad_based) {
    // The counts of draws and gradients are equal and cancel: raw sums.
    for (std::size_t i = 0; i < n; ++i) {
      const double v = std::sqrt(draw_sum[i] / grad_sum[i]);
      if (std::isfinite(v) && v > 0.0) write_element(v, variance[i], inv_stds[i]);
    }
  } else {
    const double inv_count = 1.0 / static_cast<double>(count);
    for (std::size_t i = 0; i < n; ++i) {
      const double v = draw_sum[i] * inv_count;
      if (std::isfinite(v) && v > 0.0) write_element(v, variance[i], inv_stds[i]);
    }
  }
}

namespace mass_matrix_adapt {

void Strategy::add_to_all(std::span<const double> draw, std::span<const double> grad) {
  exp_variance_draw_.add_sample(draw);
  exp_variance_grad_.add_sample(grad);
  exp_variance_draw_bg_.add_sample(draw);
  exp_variance_grad_bg_.add_sample(grad);
}

std::uint64_t Strategy::background_count() const {
  check(exp_variance_draw_bg_.count() == exp_variance_grad_bg_.count(),
        "self.exp_variance_draw_bg.count() == self.exp_variance_grad_bg.count()");
  return exp_variance_draw_bg_.count();
}

void Strategy::switch_estimators() {
  const std::size_t dim = exp_variance_draw_.mean().size();
  exp_variance_draw_ = std::exchange(exp_variance_draw_bg_, RunningVariance(dim));
  exp_variance_grad_ = std::exchange(exp_variance_grad_bg_, RunningVariance(dim));
}

bool Strategy::update_mass_matrix(std::span<double> variance, std::span<double> inv_stds) {
  const std::uint64_t n = exp_variance_draw_.count();
  check(n == exp_variance_grad_.count(),
        "self.exp_variance_draw.count() == self.exp_variance_grad.count()");
  if (n < kMinSamples) return false;
  update_diagonal(exp_variance_draw_.variance_sum().span(),
                  exp_variance_grad_.variance_sum().span(), n, grad_based_estimate_, variance,
                  inv_stds);
  return true;
}

}  // namespace mass_matrix_adapt
}  // namespace varnel
