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

#include "model/array_view.hpp"
#include "sampler/cpu_math.hpp"
#include "sampler/distributions.hpp"
#include "sampler/density.hpp"
#include "sampler/error.hpp"
#include "sampler/math.hpp"
#include "model/model.hpp"
#include "sampler/storage.hpp"

namespace varnel {

// Starting point of every chain in every coordinate.
inline constexpr double kInitialPosition = 0.0001;
// Half-width of the uniform jitter around a model's prior centre.
inline constexpr double kInitialJitter = 0.5;

// The design columns a model reads: its kDesignColumns, else column 0 alone.
template <class M>
constexpr std::size_t design_columns_read() noexcept {
  if constexpr (requires { M::kDesignColumns; }) {
    return M::kDesignColumns;
  } else {
    return 1;
  }
}

// The log posterior of model M given owned copies of the data. Only the
// columns the model reads enter the likelihood, so those are what the copy
// keeps, row by row (with the column count, so a design without columns
// still fails as it would); observations are kept one byte each.
template <BinaryResponseModel M>
class PsychometricDensity {
 public:
  static constexpr std::size_t kColumns = design_columns_read<M>();

  PsychometricDensity(M model, const MatrixView& design, const BoolVectorView& observations)
      : model_(std::move(model)), rows_(design.rows), cols_(design.cols) {
    const std::size_t pairs = std::min(design.rows, observations.len);
    const std::size_t kept = std::min(cols_, kColumns);
    if (kept > 0) {
      stimuli_.resize(pairs * kColumns);
      for (std::size_t i = 0; i < pairs; ++i) {
        for (std::size_t j = 0; j < kept; ++j) stimuli_[i * kColumns + j] = design.unchecked_at(i, j);
      }
    }
    responses_.resize(pairs);
    for (std::size_t i = 0; i < pairs; ++i) responses_[i] = observations.unchecked_at(i) ? 1 : 0;
    rows_ = pairs;
  }

  std::size_t dim() const noexcept { return model_.dim(); }

  // Never fails: non-finite values are returned as they are, for the
  // sampler's divergence and initial-gradient checks to see.
  Result<double> logp(std::span<const double> position, std::span<double> gradient) const {
    // One kept column reads as column 0 whatever the column asked for.
    const MatrixView design{stimuli_.data(), rows_, cols_, static_cast<std::ptrdiff_t>(kColumns),
                            kColumns == 1 ? 0 : 1};
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

template <BinaryResponseModel M>
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

  // A model with a prior centre starts there, each coordinate jittered
  // uniformly by up to kInitialJitter (so that repeated attempts differ);
  // otherwise every coordinate is kInitialPosition and the generator is not used.
  template <class Rng>
  Status init_position(Rng& rng, std::span<double> position) const {
    if constexpr (requires(const M& m) { m.prior_center(position); }) {
      density_.model().prior_center(position);
      for (double& v : position) v += kInitialJitter * (2.0 * uniform01(rng) - 1.0);
    } else {
      (void)rng;
      std::fill(position.begin(), position.end(), kInitialPosition);
    }
    return {};
  }

  ArrowStorage new_trace() const { return ArrowStorage::create(density_.dim()); }
  std::size_t dim() const noexcept { return density_.dim(); }
  const M& model() const noexcept { return density_.model(); }

 private:
  Density density_;
};

}  // namespace varnel
