#pragma once
// Expected information gain of candidate designs for the two-parameter
// psychometric model, with the outcomes enumerated and the parameters averaged
// over samples. Python-free: the binding converts arguments and calls in here.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/array_view.hpp"
#include "sampler/panic.hpp"
#include "model/two_param_psychometric.hpp"

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

// theta_n = row floor(n * rows / n_samples) for n = 0 .. n_samples-1: evenly
// spaced through the rows, repeating rows when there are fewer rows than
// samples. `row_at(r)` returns the (k, m) of row r and throws the index
// failure for a row shorter than 2. Precondition: rows >= 1.
template <class RowAt>
std::vector<Theta> select_parameter_rows(std::uint64_t n_samples, std::size_t rows, RowAt&& row_at);

// n_samples draws from the model's priors on the calling thread's generator,
// each from two standard normals, z1 for k and then z2 for m.
std::vector<Theta> draw_prior_samples(std::uint64_t n_samples, const TwoParameterPsychometricModel& model);

// Scores every design (stimulus in column 0, read through the strides): for each outcome y (in order) the sample mean of
// p*log p minus phat*log phat, summed over the outcomes, with p = p(y | theta_n, x)
// and phat the sample mean of p. Samples are summed in order, then outcomes
// in order, so the result does not depend on `threads` (0 = one per core).
// Fails with the unwrap failure when there are no samples, and with the index
// failure when the designs have no column, as long as anything is scored.
std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, std::span<const Theta> theta,
                                  std::uint64_t n_samples, const MatrixView& designs,
                                  unsigned threads = 0);

// The inner loop of the scoring: eight (AVX-512) or four (AVX2) designs per
// vector with exp and log lanes that return the C library's bits where the
// processor and library allow it (see exact_exp_log.hpp), or one design and
// sample at a time with the library calls. All give the same bits. Fastest
// takes the widest available, FourLanes at most four, Scalar none.
enum class ScoreKernel { Fastest, FourLanes, Scalar };

// score_designs with the inner loop chosen by the caller (tests compare them).
std::vector<double> score_designs_using(ScoreKernel kernel, std::span<const std::uint8_t> outcomes,
                                        std::span<const Theta> theta, std::uint64_t n_samples,
                                        const MatrixView& designs, unsigned threads = 0);

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
