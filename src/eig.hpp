#pragma once
// Expected information gain of candidate designs for the two-parameter
// psychometric model, with the outcomes enumerated and the parameters averaged
// over samples. Python-free: the binding converts arguments and calls in here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "panic.hpp"

namespace varnel {

// The estimator's record, fixed after construction.
struct EnumeratedMonteCarloEstimator {
  std::vector<std::uint8_t> outcomes;  // 0 or 1 each; repetitions count separately
  std::uint64_t n_samples = 0;
};

// One parameter sample: slope k and location m.
struct Theta {
  double k = 0.0;
  double m = 0.0;
};

// Column 0 of a design matrix read through its strides (in elements; negative
// strides allowed). `cols` is kept so that a matrix without columns fails
// with the index failure when a stimulus is needed.
struct StimulusColumn {
  const double* base = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;

  double at(std::size_t row) const noexcept { return base[static_cast<std::ptrdiff_t>(row) * row_stride]; }
};

// theta_n = row floor(n * rows / n_samples) for n = 0 .. n_samples-1: evenly
// spaced through the rows, repeating rows when there are fewer rows than
// samples. `row_at(r)` returns the (k, m) of row r and throws the index
// failure for a row shorter than 2. Precondition: rows >= 1.
template <class RowAt>
std::vector<Theta> select_parameter_rows(std::uint64_t n_samples, std::size_t rows, RowAt&& row_at);

// n_samples draws from the priors on the calling thread's generator, each as
// z1 then z2: k = z1*sigma_k + mu_k, m = z2*sigma_m + mu_m.
std::vector<Theta> draw_prior_samples(std::uint64_t n_samples, double mu_k, double sigma_k, double mu_m,
                                      double sigma_m);

// Scores every design: for each outcome y (in order) the sample mean of
// p*log p minus phat*log phat, summed over the outcomes, with p = p(y | theta_n, x)
// and phat the sample mean of p. Samples are summed in order, then outcomes
// in order, so the result does not depend on `threads` (0 = one per core).
// Fails with the unwrap failure when there are no samples, and with the index
// failure when the designs have no column, as long as anything is scored.
std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, std::span<const Theta> theta,
                                  std::uint64_t n_samples, const StimulusColumn& designs,
                                  unsigned threads = 0);

// Whether scoring needs parameter samples at all (an outcome and a design exist).
inline bool scoring_needs_samples(std::size_t n_outcomes, std::size_t n_designs) noexcept {
  return n_outcomes > 0 && n_designs > 0;
}

// Reserves room for n samples; an impossible size fails like any allocation.
std::vector<Theta> allocate_samples(std::uint64_t n_samples);

template <class RowAt>
std::vector<Theta> select_parameter_rows(std::uint64_t n_samples, std::size_t rows, RowAt&& row_at) {
  std::vector<Theta> theta = allocate_samples(n_samples);
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    // n * rows fits 128 bits for any 64-bit operands.
    const auto r = static_cast<std::size_t>(static_cast<unsigned __int128>(n) * rows / n_samples);
    const std::array<double, 2> km = row_at(r);
    theta.push_back({km[0], km[1]});
  }
  return theta;
}

}  // namespace varnel
