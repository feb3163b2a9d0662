#include "estimation/particles.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <exception>
#include <mutex>

#include "sampler/chacha.hpp"
#include "sampler/chain_builder.hpp"
#include "eig/design_blocks.hpp"
#include "model/model_with_data.hpp"
#include "sampler/nuts.hpp"
#include "sampler/panic.hpp"
#include "sampler/stepsize.hpp"
#include "sampler/xoshiro.hpp"

namespace varnel {
namespace {

// Below this many (point, trial) pairs per round a second thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 4096;
// Bounds of the step size change between two rounds.
constexpr double kMaxStepFactor = 2.0;
constexpr double kStepAdaptRate = 2.0;

// No adaptation at all: the step size and mass matrix are set before the
// chain is built, so every transition leaves the posterior invariant.
struct FixedStrategy {
  template <class Math>
  AcceptanceRateCollector new_collector(Math&) const noexcept {
    return {};
  }
  template <class Math, class Potential, class State, class Rng>
  void init(Math&, Potential&, const State&, Rng&) noexcept {}
  template <class Math, class Collector, class Potential, class State, class Rng>
  void adapt(Math&, Collector&, Potential&, std::uint64_t, const State&, Rng&) noexcept {}
  stepsize_adapt::Stats current_stats() const noexcept { return {}; }
  bool is_tuning() const noexcept { return false; }
};

void to_sampling_scale(const PsychometricModel& model, std::span<const double> natural, std::span<double> u) {
  model.to_unconstrained(natural, u);
}
void to_natural_scale(const PsychometricModel& model, std::span<const double> u, std::span<double> natural) {
  model.to_natural(u, natural);
}
// The two-parameter model is sampled on its natural scale.
void to_sampling_scale(const TwoParameterPsychometricModel&, std::span<const double> natural, std::span<double> u) {
  std::copy(natural.begin(), natural.end(), u.begin());
}
void to_natural_scale(const TwoParameterPsychometricModel&, std::span<const double> u, std::span<double> natural) {
  std::copy(u.begin(), u.end(), natural.begin());
}

// The per-coordinate variance of the points (two passes, points in order);
// 1 where it is not positive and finite (all points equal, say).
std::vector<double> point_variances(std::span<const double> u, std::size_t dim) {
  const std::size_t n = u.size() / dim;
  std::vector<double> mean(dim, 0.0);
  std::vector<double> var(dim, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) mean[j] += u[i * dim + j];
  }
  for (double& m : mean) m /= static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < dim; ++j) {
      const double d = u[i * dim + j] - mean[j];
      var[j] += d * d;
    }
  }
  for (double& v : var) {
    v = n > 1 ? v / static_cast<double>(n - 1) : 0.0;
    if (!(v > 0.0 && std::isfinite(v))) v = 1.0;
  }
  return var;
}

// score_in_blocks for work that may throw: every block runs, and the first
// failure of any block is re-thrown on the calling thread once all are joined.
template <class Work>
void run_in_blocks(std::size_t n, std::size_t block, const Work& work) {
  std::exception_ptr failure;
  std::mutex failure_lock;
  score_in_blocks(n, block, [&](std::size_t first, std::size_t last) {
    try {
      work(first, last);
    } catch (...) {
      const std::lock_guard lock(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

template <class M>
MoveResult move_impl(const M& model, const MatrixView& design, const BoolVectorView& observations,
                     std::span<const double> points, const MoveSettings& settings, unsigned threads) {
  const std::size_t dim = model.dim();
  check(points.size() % dim == 0, "points.len() % dim == 0");
  check(settings.step_size > 0.0 && std::isfinite(settings.step_size), "step_size > 0");
  const std::size_t n = points.size() / dim;
  MoveResult out;
  out.step_size = settings.step_size;
  std::vector<double> u(points.size());
  for (std::size_t i = 0; i < n; ++i) {
    to_sampling_scale(model, points.subspan(i * dim, dim), std::span<double>(u.data() + i * dim, dim));
  }
  out.points.assign(points.begin(), points.end());
  if (n == 0) return out;

  const std::vector<double> variance = point_variances(u, dim);
  std::vector<double> inv_stds(dim);
  for (std::size_t j = 0; j < dim; ++j) inv_stds[j] = std::sqrt(1.0 / variance[j]);

  using Bound = PsychometricModelWithData<M>;
  using Math = CpuMath<typename Bound::Density>;
  using MoveChain = NutsChain<Math, FixedStrategy, Xoshiro256pp>;
  const Bound bound(model, design, observations);
  const TreeOptions options{settings.maxdepth, false, false, true, false};

  std::vector<double> accept(n, 0.0);
  std::vector<std::uint8_t> diverged(n, 0);
  std::vector<std::uint8_t> unplaced(n, 0);
  const std::size_t pairs_per_point = std::max<std::size_t>(1, std::min(design.rows, observations.len));
  const std::size_t workers = useful_workers(threads, static_cast<std::uint64_t>(n) * pairs_per_point,
                                             kMinPairsPerThread, n);
  const std::size_t block = (n + workers - 1) / workers;
  double step_size = settings.step_size;
  double accept_total = 0.0;

  std::atomic<bool> timed_out{false};
  for (std::uint64_t round = 0; round < settings.num_steps && !timed_out; ++round) {
    run_in_blocks(n, block, [&](std::size_t first, std::size_t last) {
      auto math = bound.math();
      if (!math) panic("could not create the math backend: " + math.error().debug_text());
      EuclideanPotential potential{settings.max_energy_error, step_size,
                                   DiagMassMatrix{Vector(std::span<const double>(variance)),
                                                  Vector(std::span<const double>(inv_stds)), false}};
      MoveChain chain(std::move(*math), std::move(potential), FixedStrategy{}, options,
                      Xoshiro256pp::seed_from_u64(0), 0);
      for (std::size_t i = first; i < last; ++i) {
        if (timed_out.load(std::memory_order_relaxed) || std::chrono::steady_clock::now() > settings.deadline) {
          timed_out = true;
          return;
        }
        ChaCha8Rng seeding = ChaCha8Rng::seed_from_u64(settings.seed);
        seeding.set_stream(round * n + i);
        chain.rng() = chain_rng_from(seeding);
        const std::span<double> row(u.data() + i * dim, dim);
        accept[i] = 0.0;
        if (!chain.set_position(row)) {
          unplaced[i] = 1;
          continue;
        }
        auto drawn = chain.draw();
        if (!drawn) continue;  // the density failed: the point stays
        std::copy(drawn->first.begin(), drawn->first.end(), row.begin());
        accept[i] = chain.collector().mean.value();
        diverged[i] = drawn->second.diverging() ? 1 : 0;
      }
    });
    double round_accept = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      round_accept += accept[i];
      out.divergences += diverged[i];
      out.unplaced += unplaced[i];
      diverged[i] = 0;
      unplaced[i] = 0;
    }
    round_accept /= static_cast<double>(n);
    accept_total += round_accept;
    const double factor = std::exp(kStepAdaptRate * (round_accept - settings.target_accept));
    step_size *= std::clamp(factor, 1.0 / kMaxStepFactor, kMaxStepFactor);
  }
  if (timed_out) panic("Timeout");
  out.step_size = step_size;
  out.mean_accept = settings.num_steps > 0 ? accept_total / static_cast<double>(settings.num_steps) : 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    to_natural_scale(model, std::span<const double>(u.data() + i * dim, dim),
                     std::span<double>(out.points.data() + i * dim, dim));
  }
  return out;
}

template <class M>
std::vector<double> log_likelihood_impl(const M& model, std::span<const double> points, const MatrixView& design,
                                        const BoolVectorView& observations) {
  const std::size_t dim = model.dim();
  check(points.size() % dim == 0, "points.len() % dim == 0");
  const std::size_t n = points.size() / dim;
  std::vector<double> out(n);
  if (n == 0) return out;
  // A design without column 0 fails here, on the calling thread, not in a worker.
  if (std::min(design.rows, observations.len) > 0) check_index(0, design.cols);
  const std::size_t pairs = std::max<std::size_t>(1, std::min(design.rows, observations.len));
  const std::size_t workers = useful_workers(0, static_cast<std::uint64_t>(n) * pairs, kMinPairsPerThread, n);
  run_in_blocks(n, (n + workers - 1) / workers, [&](std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i) {
      const std::span<const double> row = points.subspan(i * dim, dim);
      if constexpr (requires { model.log_likelihood_natural(row, design, observations); }) {
        out[i] = model.log_likelihood_natural(row, design, observations);
      } else {
        out[i] = model.log_likelihood_vec(row, design, observations);
      }
    }
  });
  return out;
}

}  // namespace

std::vector<double> log_likelihood_rows(const PsychometricModel& model, std::span<const double> points,
                                        const MatrixView& design, const BoolVectorView& observations) {
  return log_likelihood_impl(model, points, design, observations);
}

std::vector<double> log_likelihood_rows(const TwoParameterPsychometricModel& model,
                                        std::span<const double> points, const MatrixView& design,
                                        const BoolVectorView& observations) {
  return log_likelihood_impl(model, points, design, observations);
}

MoveResult move_points(const PsychometricModel& model, const MatrixView& design,
                       const BoolVectorView& observations, std::span<const double> points,
                       const MoveSettings& settings, unsigned threads) {
  return move_impl(model, design, observations, points, settings, threads);
}

MoveResult move_points(const TwoParameterPsychometricModel& model, const MatrixView& design,
                       const BoolVectorView& observations, std::span<const double> points,
                       const MoveSettings& settings, unsigned threads) {
  return move_impl(model, design, observations, points, settings, threads);
}

}  // namespace varnel
