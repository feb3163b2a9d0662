#pragma once
// The native steps of a sequential Monte Carlo update over a cloud of
// parameter points: the log-likelihood of some trials at every point (the
// reweighting), and NUTS transitions that leave the posterior given all the
// data invariant (the move that spreads resampled points out again).
//
// Points are natural-scale rows of the model's dimension, row-major. A move
// runs each point as its own short chain, placed at the point and drawn from
// its own generator stream (keyed by the seed, the round and the point's
// index), with a fixed step size and a diagonal mass matrix estimated from the
// points themselves: no warm-up, so every transition is invariant for the
// posterior, and the result does not depend on how the points are split over
// threads. Python-free.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "eig/response_lanes.hpp"
#include "model/threads.hpp"
#include "model/array_view.hpp"
#include "model/model.hpp"
#include "model/model_with_data.hpp"
#include "sampler/chacha.hpp"
#include "sampler/chain_builder.hpp"
#include "sampler/nuts.hpp"
#include "sampler/panic.hpp"
#include "sampler/stepsize.hpp"
#include "sampler/xoshiro.hpp"

namespace varnel {

struct MoveSettings {
  std::uint64_t num_steps = 2;       // rounds of one NUTS transition per point
  std::uint64_t maxdepth = 10;
  double max_energy_error = 1000.0;  // an energy error beyond this is a divergence
  double step_size = 1.0;            // of the first round; positive and finite
  double target_accept = 0.8;        // what the step size aims at between rounds
  std::uint64_t seed = 0;
  // Past this point in time no further point is moved and the move fails.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

struct MoveResult {
  std::vector<double> points;    // the moved points, natural scale, row-major
  double step_size = 0.0;        // adapted after the last round: start the next move here
  double mean_accept = 0.0;      // mean tree acceptance over every transition
  std::uint64_t divergences = 0; // transitions whose trajectory diverged
  std::uint64_t unplaced = 0;    // points whose gradient could not start a chain (left as they were)
};

namespace particles_detail {

// Below this many (point, trial) pairs per round a second thread costs more than it saves.
inline constexpr std::uint64_t kMinPairsPerThread = 4096;
// The same for a move, whose pairs each cost a NUTS trajectory's leapfrog
// steps, not one likelihood term: a move of 250 points over 10 trials (about
// a millisecond) is already worth a second thread.
inline constexpr std::uint64_t kMinMovePairsPerThread = 512;
// Bounds of the step size change between two rounds.
inline constexpr double kMaxStepFactor = 2.0;
inline constexpr double kStepAdaptRate = 2.0;

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

// The per-coordinate variance of the points (two passes, points in order);
// 1 where it is not positive and finite (all points equal, say).
std::vector<double> point_variances(std::span<const double> u, std::size_t dim);

template <ResponseModel M>
MoveResult move_points_impl(const M& model, const MatrixView& design, const BoolVectorView& observations,
                     std::span<const double> points, const MoveSettings& settings, unsigned threads) {
  const std::size_t dim = model.dim();
  check(points.size() % dim == 0, "points.len() % dim == 0");
  check(settings.step_size > 0.0 && std::isfinite(settings.step_size), "step_size > 0");
  const std::size_t n = points.size() / dim;
  MoveResult out;
  out.step_size = settings.step_size;
  std::vector<double> u(points.size());
  for (std::size_t i = 0; i < n; ++i) {
    model.to_sampling(points.subspan(i * dim, dim), std::span<double>(u.data() + i * dim, dim));
  }
  out.points.assign(points.begin(), points.end());
  if (n == 0) return out;

  const std::vector<double> variance = point_variances(u, dim);
  std::vector<double> inv_stds(dim);
  for (std::size_t j = 0; j < dim; ++j) inv_stds[j] = std::sqrt(1.0 / variance[j]);

  using Bound = PsychometricModelWithData<M>;
  using Math = CpuMath<typename Bound::Density>;
  using MoveChain = NutsChain<Math, FixedStrategy, Xoshiro256pp>;
  // The density through the exact lanes where the model has them: the same bits, sooner.
  const Bound bound(with_exact_responses(model), design, observations);
  const TreeOptions options{settings.maxdepth, false, false, true, false};

  std::vector<double> accept(n, 0.0);
  std::vector<std::uint8_t> diverged(n, 0);
  std::vector<std::uint8_t> unplaced(n, 0);
  const std::size_t pairs_per_point = std::max<std::size_t>(1, std::min(design.rows, observations.len));
  const std::size_t workers = useful_workers(threads, static_cast<std::uint64_t>(n) * pairs_per_point,
                                             kMinMovePairsPerThread, n);
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
    model.to_natural(std::span<const double>(u.data() + i * dim, dim),
                     std::span<double>(out.points.data() + i * dim, dim));
  }
  return out;
}

template <ResponseModel M>
std::vector<double> log_likelihood_rows_impl(const M& model, std::span<const double> points, const MatrixView& design,
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
      out[i] = model.log_likelihood_natural(row, design, observations);
    }
  });
  return out;
}

}  // namespace particles_detail

// The log-likelihood of the (row, observation) pairs at each point: one value
// per point. Precondition: points.size() is a multiple of the model's dim();
// the design has column 0 when there are pairs (else an index failure).
template <ResponseModel M>
std::vector<double> log_likelihood_rows(const M& model, std::span<const double> points, const MatrixView& design,
                                        const BoolVectorView& observations) {
  return particles_detail::log_likelihood_rows_impl(model, points, design, observations);
}

// `settings.num_steps` rounds of one NUTS transition for every point, under
// the posterior of the model given the data. Between rounds the step size is
// scaled by exp(2·(mean acceptance − target)), at most halved or doubled. On
// `threads` threads (0 = one per core); the result is the same for any count.
// Precondition: every point inside the model's support, dim() values each.
// Panics with "Timeout" when the deadline passes before the last point of the
// last round is moved.
template <ResponseModel M>
MoveResult move_points(const M& model, const MatrixView& design, const BoolVectorView& observations,
                       std::span<const double> points, const MoveSettings& settings, unsigned threads = 0) {
  return particles_detail::move_points_impl(model, design, observations, points, settings, threads);
}

}  // namespace varnel
