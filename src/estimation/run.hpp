#pragma once
// A posterior run of any model, from an estimator's record to the chains'
// natural-scale draws, and the checked inputs of the particle steps. The
// Python boundary only converts arguments and results around these.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "estimation/particles.hpp"
#include "estimation/posterior.hpp"
#include "model/argument_error.hpp"
#include "model/model.hpp"
#include "model/model_with_data.hpp"
#include "sampler/chain_output.hpp"
#include "sampler/nuts_run.hpp"
#include "sampler/panic.hpp"
#include "sampler/sampler.hpp"

namespace varnel {

// Chains drawing at once.
inline constexpr std::uint64_t kNumCores = 4;

// The time limit as a duration; limits beyond what a duration holds (some
// 292 years) wait as long as a duration can.
std::chrono::nanoseconds to_duration(const TimeLimit& limit);

// Samples the posterior of `model` given the data and waits for the run, at
// most the estimator's time limit, calling `keep_waiting` between slices of
// the wait (false stops every chain and returns SamplerInterrupted).
// Panics when the sampler cannot be created.
template <ResponseModel M>
SliceWaitResult run_posterior(const NUTSEstimator& estimator, const M& model, const MatrixView& design,
                              const BoolVectorView& observations, const std::function<bool()>& keep_waiting) {
  PsychometricModelWithData<M> bound(model, design, observations);
  auto created = Sampler::create(std::move(bound), NutsRun{estimator.settings}, kNumCores, std::nullopt);
  if (!created) panic("Failed to create sampler: " + created.error().debug_text());
  return wait_in_slices(std::move(*created), to_duration(estimator.time_limit), kMaxWaitSlice, keep_waiting);
}

// The trace of a finished run; panics "Error: ..." for a failed run and
// "Timeout" for one past its limit (which ends in the background). Not for
// an interrupted run.
Trace finished_trace(SliceWaitResult&& waited);

// One chain's draws, row-major on the sampling scale, as stored.
struct ChainDraws {
  std::vector<double> values;
  std::size_t rows = 0;
  std::size_t dim = 0;
};

// Copies a chain's draws out of its Arrow list array. Panics when the array
// is not the list of doubles the storage writes, or its width is not `dim`.
ChainDraws chain_draws(const ChainOutput& output, std::size_t dim);

// A chain's draws on the model's natural scale.
template <ResponseModel M>
ChainDraws natural_draws(const M& model, const ChainOutput& output) {
  ChainDraws draws = chain_draws(output, model.dim());
  const std::size_t dim = draws.dim;
  std::vector<double> natural(dim);
  for (std::size_t i = 0; i < draws.rows; ++i) {
    const std::span<double> row(draws.values.data() + i * dim, dim);
    model.to_natural(row, natural);
    std::copy(natural.begin(), natural.end(), row.begin());
  }
  return draws;
}

// The points of a particle step: `rows` × `cols` values (read by `at(i, j)`)
// with one column per parameter, every row inside the support; ArgumentError
// naming "points" otherwise. Row-major.
template <ResponseModel M, class At>
std::vector<double> checked_points(const M& model, std::size_t rows, std::size_t cols, At&& at) {
  const std::size_t dim = model.dim();
  if (cols != dim) {
    throw ArgumentError("argument 'points': expected " + std::to_string(dim) +
                        " columns (one per parameter), got " + std::to_string(cols));
  }
  std::vector<double> out(rows * dim);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < dim; ++j) out[i * dim + j] = at(i, j);
    if (!model.in_support(std::span<const double>(out.data() + i * dim, dim))) {
      throw ArgumentError("argument 'points': row " + std::to_string(i) + " is outside the model's support");
    }
  }
  return out;
}

// The trials of a particle step: a design with the model's columns for each
// trial that has an observation (ArgumentError naming "design" otherwise).
template <ResponseModel M>
void check_trial_design(const M& model, const MatrixView& design, const BoolVectorView& observations) {
  if (design.cols < M::kDesignColumns && std::min(design.rows, observations.len) > 0) {
    throw ArgumentError(design.cols == 0 ? "argument 'design': has no column (the stimulus is column 0)"
                                         : "argument 'design': has " + std::to_string(design.cols) +
                                               " columns, the model reads " +
                                               std::to_string(M::kDesignColumns));
  }
  check_design(model, design, std::min(design.rows, observations.len), "design");
}

// NUTS transitions per point of a move when not given.
inline constexpr std::uint64_t kDefaultMoveSteps = 2;

// The settings of a move under the estimator's record: its tree depth, energy
// limit and seed, and a deadline its time limit from now. ArgumentError for
// a step size that is not positive and finite.
MoveSettings move_settings(const NUTSEstimator& estimator, double step_size, std::uint64_t num_steps);

}  // namespace varnel
