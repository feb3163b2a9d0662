#pragma once
// Test doubles for the states, the integrator, the tree and the chain:
// small densities, a counting collector, a strategy that adapts nothing and
// generators that replay or count their outputs.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "collector.hpp"
#include "cpu_math.hpp"
#include "error.hpp"
#include "panic.hpp"
#include "potential.hpp"
#include "sample_stats.hpp"
#include "state.hpp"
#include "xoshiro.hpp"

namespace varnel::nuts_testing {

// The message of the internal failure that `f` raises, or "<no panic>".
template <class F>
std::string panic_message(F&& f) {
  try {
    f();
  } catch (const Panic& p) {
    return p.message();
  }
  return "<no panic>";
}

// Counts density evaluations across the copies a CpuMath makes.
using EvalCounter = std::shared_ptr<std::uint64_t>;

// log p(q) = -1/2 (q - mu)^T P (q - mu), with P the precision matrix (row-major).
class GaussianDensity {
 public:
  GaussianDensity(std::vector<double> mean, std::vector<double> precision)
      : mean_(std::move(mean)), precision_(std::move(precision)) {}
  // The standard normal of dimension n.
  static GaussianDensity standard(std::size_t n) {
    std::vector<double> precision(n * n, 0.0);
    for (std::size_t i = 0; i < n; ++i) precision[i * n + i] = 1.0;
    return GaussianDensity(std::vector<double>(n, 0.0), std::move(precision));
  }

  std::size_t dim() const { return mean_.size(); }
  Result<double> logp(std::span<const double> q, std::span<double> gradient) {
    const std::size_t n = dim();
    double logp = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      double pi = 0.0;  // (P (q - mu))_i
      for (std::size_t j = 0; j < n; ++j) pi += precision_[i * n + j] * (q[j] - mean_[j]);
      gradient[i] += -pi;
      logp += -0.5 * (q[i] - mean_[i]) * pi;
    }
    return logp;
  }

 private:
  std::vector<double> mean_;
  std::vector<double> precision_;
};

// A flat potential: log-density 0 everywhere with a negligible but non-zero
// gradient (so that the initial state is accepted), beyond `wall` in the first
// coordinate a NaN log-density (a divergence). Counts its evaluations.
class FlatDensity {
 public:
  explicit FlatDensity(std::size_t n, double wall = std::numeric_limits<double>::infinity())
      : n_(n), wall_(wall), evals_(std::make_shared<std::uint64_t>(0)) {}
  static constexpr double kGradient = 1e-300;

  std::size_t dim() const { return n_; }
  Result<double> logp(std::span<const double> q, std::span<double> gradient) {
    ++*evals_;
    for (double& g : gradient) g += kGradient;
    if (q[0] > wall_) return std::numeric_limits<double>::quiet_NaN();
    return 0.0;
  }
  const EvalCounter& evals() const { return evals_; }

 private:
  std::size_t n_;
  double wall_;
  EvalCounter evals_;
};

// A density that fails after `ok_calls` evaluations.
class FailingDensity {
 public:
  explicit FailingDensity(std::uint64_t ok_calls) : ok_calls_(ok_calls) {}
  std::size_t dim() const { return 2; }
  Result<double> logp(std::span<const double> q, std::span<double> gradient) {
    if (calls_++ >= ok_calls_) return fail("density exploded");
    for (std::size_t i = 0; i < 2; ++i) gradient[i] += -q[i];
    return -0.5 * (q[0] * q[0] + q[1] * q[1]);
  }

 private:
  std::uint64_t ok_calls_;
  std::uint64_t calls_ = 0;
};

template <class D>
CpuMath<D> make_math(D density) {
  return CpuMath<D>(std::move(density), 0);
}

// Records what the trajectory showed it.
struct CountingCollector {
  std::uint64_t begin_draws = 0;
  std::uint64_t leapfrogs = 0;
  std::uint64_t divergent_leapfrogs = 0;
  std::uint64_t draws = 0;
  std::uint64_t divergent_draws = 0;
  std::int64_t last_draw_index = 0;

  void begin_draw(const State&) { ++begin_draws; }
  void observe_leapfrog(const State&, const State&, const DivergenceInfo* divergence) {
    ++leapfrogs;
    if (divergence != nullptr) ++divergent_leapfrogs;
  }
  void observe_draw(const State& draw, const DivergenceInfo* divergence) {
    ++draws;
    if (divergence != nullptr) ++divergent_draws;
    last_draw_index = draw.index_in_trajectory();
  }
};
static_assert(Collector<CountingCollector>);

// A potential with a unit mass matrix of dimension n and the given step size.
template <class Math>
EuclideanPotential unit_potential(Math& math, double step_size, double max_energy_error = 1000.0) {
  EuclideanPotential potential{max_energy_error, step_size, DiagMassMatrix::create(math, false)};
  for (std::size_t i = 0; i < math.dim(); ++i) {
    potential.mass_matrix.variance[i] = 1.0;
    potential.mass_matrix.inv_stds[i] = 1.0;
  }
  return potential;
}

// A strategy that adapts nothing: init installs a unit mass matrix and a
// fixed step size; stats are constant; counts its calls.
struct FixedStrategy {
  double step_size = 0.1;
  std::uint64_t inits = 0;
  std::uint64_t adapts = 0;
  std::uint64_t last_adapt_draw = 0;

  template <class Math>
  CountingCollector new_collector(Math&) {
    return {};
  }
  template <class Math, class Rng>
  void init(Math& math, EuclideanPotential& potential, const State&, Rng&) {
    ++inits;
    potential.step_size = step_size;
    for (std::size_t i = 0; i < math.dim(); ++i) {
      potential.mass_matrix.variance[i] = 1.0;
      potential.mass_matrix.inv_stds[i] = 1.0;
    }
  }
  template <class Math, class Rng>
  void adapt(Math&, CountingCollector&, EuclideanPotential&, std::uint64_t draw, const State&,
             Rng&) {
    ++adapts;
    last_adapt_draw = draw;
  }
  stepsize_adapt::Stats current_stats() const { return {0.25, 0.5, 0.75, adapts}; }
  bool is_tuning() const { return adapts < 3; }
};

// Replays fixed 64-bit outputs (then repeats the last); counts the calls.
class ReplayRng {
 public:
  explicit ReplayRng(std::vector<std::uint64_t> outputs) : outputs_(std::move(outputs)) {}
  std::uint64_t next_u64() {
    const std::uint64_t v = outputs_[calls_ < outputs_.size() ? calls_ : outputs_.size() - 1];
    ++calls_;
    return v;
  }
  std::size_t calls() const { return calls_; }

 private:
  std::vector<std::uint64_t> outputs_;
  std::size_t calls_ = 0;
};

// A seeded xoshiro256++ that counts its outputs.
class CountingRng {
 public:
  explicit CountingRng(std::uint64_t seed) : inner_(Xoshiro256pp::seed_from_u64(seed)) {}
  std::uint64_t next_u64() {
    ++calls_;
    return inner_.next_u64();
  }
  std::size_t calls() const { return calls_; }

 private:
  Xoshiro256pp inner_;
  std::size_t calls_ = 0;
};

// Sets a state's dynamic fields directly (dimension n from the vectors).
inline void set_point(State& state, std::int64_t index, std::vector<double> momentum_sum,
                      std::vector<double> momentum, std::vector<double> velocity) {
  InnerState& s = state.mut();
  s.idx_in_trajectory = index;
  for (std::size_t i = 0; i < momentum.size(); ++i) {
    s.momentum_sum[i] = momentum_sum[i];
    s.momentum[i] = momentum[i];
    s.velocity[i] = velocity[i];
  }
}

// The correlated Gaussian of the statistical checks: mean (1, -2), standard
// deviations 1 and 2, correlation 0.8.
inline GaussianDensity correlated_gaussian() {
  const double det = 1.0 * 4.0 - 1.6 * 1.6;
  return GaussianDensity({1.0, -2.0}, {4.0 / det, -1.6 / det, -1.6 / det, 1.0 / det});
}

// Draws batches * batch_size points from `next_draw` (a callable returning a
// two-element position) and expects the means and variances of
// correlated_gaussian() within five Monte Carlo standard errors, estimated
// from batch means; the errors must be small enough to mean something.
template <class F>
void expect_correlated_gaussian_moments(F next_draw, int batches, int batch_size) {
  const double mu[2] = {1.0, -2.0};
  const double var[2] = {1.0, 4.0};
  std::vector<double> batch_mean[2], batch_var[2];
  for (int b = 0; b < batches; ++b) {
    double sum[2] = {0, 0}, sq[2] = {0, 0};
    for (int i = 0; i < batch_size; ++i) {
      const std::vector<double> x = next_draw();
      for (int k = 0; k < 2; ++k) {
        sum[k] += x[k];
        sq[k] += (x[k] - mu[k]) * (x[k] - mu[k]);
      }
    }
    for (int k = 0; k < 2; ++k) {
      batch_mean[k].push_back(sum[k] / batch_size);
      batch_var[k].push_back(sq[k] / batch_size);
    }
  }
  auto mean_and_se = [](const std::vector<double>& x) {
    const double n = static_cast<double>(x.size());
    double m = 0, s = 0;
    for (double v : x) m += v;
    m /= n;
    for (double v : x) s += (v - m) * (v - m);
    return std::pair{m, std::sqrt(s / (n - 1) / n)};
  };
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE("coordinate " + std::to_string(k));
    const auto [m, m_se] = mean_and_se(batch_mean[k]);
    const auto [v, v_se] = mean_and_se(batch_var[k]);
    EXPECT_LT(std::abs(m - mu[k]), 5 * m_se) << m << " +- " << m_se;
    EXPECT_LT(std::abs(v - var[k]), 5 * v_se) << v << " +- " << v_se;
    EXPECT_LT(m_se, 0.1 * std::sqrt(var[k]));
  }
}

}  // namespace varnel::nuts_testing
