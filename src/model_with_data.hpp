#pragma once
// The psychometric model bound to one data set: the sampler's Model. It owns
// copies of everything it reads, so clones go to worker threads without
// touching Python.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "array_view.hpp"
#include "cpu_math.hpp"
#include "density.hpp"
#include "error.hpp"
#include "math.hpp"
#include "model.hpp"
#include "storage.hpp"

namespace varnel {

// Starting point of every chain in every coordinate.
inline constexpr double kInitialPosition = 0.0001;

// The log posterior of model M given owned copies of the data. Only column 0
// of the design enters the likelihood, so that is what the copy keeps (with
// the column count, so a design without columns still fails as it would);
// observations are kept one byte each.
template <PsychometricModel M>
class PsychometricDensity {
 public:
  PsychometricDensity(M model, const MatrixView& design, const BoolVectorView& observations)
      : model_(std::move(model)), rows_(design.rows), cols_(design.cols) {
    const std::size_t pairs = std::min(design.rows, observations.len);
    if (cols_ > 0) {
      stimuli_.resize(pairs);
      for (std::size_t i = 0; i < pairs; ++i) stimuli_[i] = design.unchecked_at(i, 0);
    }
    responses_.resize(pairs);
    for (std::size_t i = 0; i < pairs; ++i) responses_[i] = observations.unchecked_at(i) ? 1 : 0;
    rows_ = pairs;
  }

  static constexpr std::size_t kDim = 2;
  std::size_t dim() const noexcept { return kDim; }

  // Never fails: non-finite values are returned as they are, for the
  // sampler's divergence and initial-gradient checks to see.
  Result<double> logp(std::span<const double> position, std::span<double> gradient) const {
    const MatrixView design{stimuli_.data(), rows_, cols_, 1, 0};
    const BoolVectorView observations{responses_.data(), responses_.size(), 1};
    return model_.log_posterior_with_grad_vec(position, gradient, design, observations);
  }

  const M& model() const noexcept { return model_; }

 private:
  M model_;
  std::size_t rows_;
  std::size_t cols_;
  std::vector<double> stimuli_;
  std::vector<std::uint8_t> responses_;
};

template <PsychometricModel M>
class PsychometricModelWithData {
 public:
  using Density = PsychometricDensity<M>;
  static_assert(varnel::Density<Density>);

  // Copies the data; no shape checks (rows and observations pair up to the
  // shorter of the two).
  PsychometricModelWithData(M model, const MatrixView& design, const BoolVectorView& observations)
      : density_(std::move(model), design, observations) {}

  // A chain's math backend around its own clone of the density. Never fails.
  Result<CpuMath<Density>> math() const { return CpuMath<Density>(density_, detected_simd_level()); }

  // Every coordinate at kInitialPosition; the generator is not used.
  template <class Rng>
  Status init_position(Rng& /*rng*/, std::span<double> position) const {
    std::fill(position.begin(), position.end(), kInitialPosition);
    return {};
  }

  ArrowStorage new_trace() const { return ArrowStorage::create(Density::kDim); }
  std::size_t dim() const noexcept { return Density::kDim; }

 private:
  Density density_;
};

}  // namespace varnel
