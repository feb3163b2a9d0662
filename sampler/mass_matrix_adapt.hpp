#pragma once
// The diagonal mass matrix half of the warm-up: running variances of the
// accepted draws and of their gradients, the collector that says which draws
// count, and the strategy that turns foreground estimators into a diagonal
// and swaps in the background window. Owned by one chain; no locks.

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <span>

#include "divergence_info.hpp"
#include "vector.hpp"

namespace varnel {

// Running mean and sum of squared deviations of a vector-valued sample. The
// sum is not divided by the count.
class RunningVariance {
 public:
  // An estimator of `dim` elements: zero mean, zero sum, count 0.
  explicit RunningVariance(std::size_t dim) : mean_(dim), variance_sum_(dim) {}
  // An empty estimator of the math backend's dimension.
  template <class Math>
  static RunningVariance create(Math& math) {
    return RunningVariance(math.dim());
  }

  // Adds one sample of the estimator's length (Panic otherwise). The first
  // sample becomes the mean; later ones update mean and sum in place with the
  // deviation from the mean before the update.
  void add_sample(std::span<const double> value);
  template <class Math>
  void add_sample(Math& /*math*/, const Vector& value) {
    add_sample(value.span());
  }

  std::uint64_t count() const noexcept { return count_; }
  const Vector& mean() const noexcept { return mean_; }
  const Vector& variance_sum() const noexcept { return variance_sum_; }

 private:
  Vector mean_;
  Vector variance_sum_;
  std::uint64_t count_ = 0;
};

// Number of leapfrog steps a divergent draw must lie from its trajectory's
// starting point to count for adaptation.
inline constexpr std::int64_t kMinDivergentDrawDistance = 5;

// Remembers the position and gradient of each chosen draw and whether it
// counts for adaptation: never the trajectory's starting point, and a draw of
// a divergent trajectory only when it lies far enough from the start.
class DrawGradCollector {
 public:
  // Zero draw and gradient of `dim` elements; good until the first draw.
  explicit DrawGradCollector(std::size_t dim) : draw_(dim), grad_(dim) {}
  template <class Math>
  static DrawGradCollector create(Math& math) {
    return DrawGradCollector(math.dim());
  }

  template <class State>
  void begin_draw(const State& /*start*/) noexcept {}
  template <class State>
  void observe_leapfrog(const State& /*start*/, const State& /*end*/,
                        const DivergenceInfo* /*divergence*/) noexcept {}

  // Copies the chosen state's position and gradient; `divergence` is non-null
  // when the draw's trajectory diverged.
  template <class State>
  void observe_draw(const State& draw, const DivergenceInfo* divergence) {
    record(draw->position.span(), draw->gradient.span(), draw.index_in_trajectory(),
           divergence != nullptr);
  }

  // The non-template body of observe_draw. Panics on a length mismatch.
  void record(std::span<const double> position, std::span<const double> gradient,
              std::int64_t index_in_trajectory, bool diverged);

  const Vector& draw() const noexcept { return draw_; }
  const Vector& grad() const noexcept { return grad_; }
  bool is_good() const noexcept { return is_good_; }

 private:
  Vector draw_;
  Vector grad_;
  bool is_good_ = true;
};

// Both diagonal rules clamp to this interval.
inline constexpr double kMinVariance = 1e-20;
inline constexpr double kMaxVariance = 1e20;

// min(upper, max(lower, x)) for ordinary x; NaN stays NaN.
constexpr double clamp_variance(double x) noexcept {
  return x < kMinVariance ? kMinVariance : (x > kMaxVariance ? kMaxVariance : x);
}

// The initial diagonal from a gradient: variance 1 / clamp(|g|), or 1 where g
// is NaN; inv_stds = sqrt(1 / variance). Panics on a length mismatch.
void set_initial_diagonal(std::span<const double> gradient, std::span<double> variance,
                          std::span<double> inv_stds);

// The diagonal update from foreground sums, element by element: with
// `grad_based` sqrt(draw_sum / grad_sum), else draw_sum * (1 / count). Only a
// finite positive estimate is written (clamped, with its inv_stds); any other
// element keeps its previous values. Panics on a length mismatch.
void update_diagonal(std::span<const double> draw_sum, std::span<const double> grad_sum,
                     std::uint64_t count, bool grad_based, std::span<double> variance,
                     std::span<double> inv_stds);

// A mass matrix adaptation the warm-up schedule can drive.
template <class S, class Math, class Potential>
concept MassMatrixAdaptStrategy = requires(S s, Math& math, Potential& potential) {
  { s.update_potential(math, potential) } -> std::same_as<bool>;
  s.switch_estimators(math);
};

namespace mass_matrix_adapt {

// Foreground and background running variances of draws and gradients. The
// foreground covers the samples since the switch before last, the background
// those since the last switch.
class Strategy {
 public:
  // Foreground samples needed before the diagonal is estimated.
  static constexpr std::uint64_t kMinSamples = 3;

  Strategy(std::size_t dim, bool store_mass_matrix, bool grad_based_estimate)
      : exp_variance_draw_(dim),
        exp_variance_grad_(dim),
        exp_variance_grad_bg_(dim),
        exp_variance_draw_bg_(dim),
        store_mass_matrix_(store_mass_matrix),
        grad_based_estimate_(grad_based_estimate) {}
  // Four empty estimators of the math backend's dimension.
  template <class Math>
  static Strategy create(Math& math, bool store_mass_matrix, bool grad_based_estimate) {
    return Strategy(math.dim(), store_mass_matrix, grad_based_estimate);
  }

  // At chain start, on the valid initial state: every estimator gets the
  // state's position or gradient, and the potential's diagonal is set from
  // the gradient.
  template <class Math, class Potential, class State>
  void init(Math& /*math*/, Potential& potential, const State& state) {
    add_to_all(state->position.span(), state->gradient.span());
    set_initial_diagonal(state->gradient.span(), potential.mass_matrix.variance.span(),
                         potential.mass_matrix.inv_stds.span());
  }

  // Adds the collector's draw and gradient to all four estimators when the
  // draw is good.
  template <class Math>
  void update_estimators(Math& /*math*/, const DrawGradCollector& collector) {
    if (collector.is_good()) add_to_all(collector.draw().span(), collector.grad().span());
  }

  // Samples in the background window. Panics if the draw and gradient
  // background counts differ.
  std::uint64_t background_count() const;

  // The background becomes the foreground; the background starts empty.
  void switch_estimators();
  template <class Math>
  void switch_estimators(Math& /*math*/) {
    switch_estimators();
  }

  // Writes a new diagonal from the foreground into the potential's mass
  // matrix; true when the foreground held enough samples, whether or not an
  // element changed. Panics if the foreground counts differ.
  template <class Math, class Potential>
  bool update_potential(Math& /*math*/, Potential& potential) {
    return update_mass_matrix(potential.mass_matrix.variance.span(),
                              potential.mass_matrix.inv_stds.span());
  }
  bool update_mass_matrix(std::span<double> variance, std::span<double> inv_stds);

  const RunningVariance& exp_variance_draw() const noexcept { return exp_variance_draw_; }
  const RunningVariance& exp_variance_grad() const noexcept { return exp_variance_grad_; }
  const RunningVariance& exp_variance_grad_bg() const noexcept { return exp_variance_grad_bg_; }
  const RunningVariance& exp_variance_draw_bg() const noexcept { return exp_variance_draw_bg_; }
  bool store_mass_matrix() const noexcept { return store_mass_matrix_; }
  bool grad_based_estimate() const noexcept { return grad_based_estimate_; }

 private:
  void add_to_all(std::span<const double> draw, std::span<const double> grad);

  RunningVariance exp_variance_draw_;
  RunningVariance exp_variance_grad_;
  RunningVariance exp_variance_grad_bg_;
  RunningVariance exp_variance_draw_bg_;
  bool store_mass_matrix_;
  bool grad_based_estimate_;
};

}  // namespace mass_matrix_adapt
}  // namespace varnel
