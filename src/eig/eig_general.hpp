#pragma once
// Expected information gain of candidate designs under the general
// psychometric model (guess and lapse rates, a choice of link): the same
// estimator as for the two-parameter model, over natural-scale parameter
// rows of the model's dimension. Python-free.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/array_view.hpp"
#include "eig/eig.hpp"
#include "model/psychometric.hpp"

namespace varnel {

// n_samples rows of model.dim() values, row-major: row floor(n·rows/n_samples)
// of the given rows for n = 0 .. n_samples-1. `row_at(r, out)` writes the dim
// values of row r. Precondition: rows >= 1. Impossible sizes fail like any
// allocation.
template <class RowAt>
std::vector<double> select_general_rows(const PsychometricModel& model, std::uint64_t n_samples,
                                        std::size_t rows, RowAt&& row_at);

// Whether a natural-scale row (dim values) is in the model's support.
bool is_in_support(const PsychometricModel& model, std::span<const double> row) noexcept;

// n_samples prior draws on the calling thread's generator, row-major.
std::vector<double> draw_general_prior_samples(std::uint64_t n_samples, const PsychometricModel& model);

// For each design (stimulus in column 0): the sum over the outcomes (in
// order) of the sample mean of p·log p minus p̂·log p̂, with p = p(y | θ_n, x)
// and 0·log 0 = 0. Samples are summed in order, so the result does not depend
// on `threads` (0 = one per core). Fails with the unwrap failure when there
// are no samples, and the index failure when the designs have no column, as
// long as anything is scored. Precondition (checked, Panic): every row is in
// the model's support (s > 0, rates in [0, 1) summing to less than 1).
std::vector<double> score_designs_general(const PsychometricModel& model, std::span<const std::uint8_t> outcomes,
                                          std::span<const double> theta, std::uint64_t n_samples,
                                          const MatrixView& designs, unsigned threads = 0);

// score_designs_general with the inner loop chosen by the caller (tests
// compare them): the scalar loop, or four (FourLanes) or, where the
// processor has AVX-512, eight (Fastest) designs per vector through the exact
// exp, log, erfc and expm1 lanes, with the same bits.
std::vector<double> score_designs_general_using(ScoreKernel kernel, const PsychometricModel& model,
                                                std::span<const std::uint8_t> outcomes,
                                                std::span<const double> theta, std::uint64_t n_samples,
                                                const MatrixView& designs, unsigned threads = 0);

std::vector<double> allocate_general_rows(std::uint64_t n_samples, std::size_t dim);

template <class RowAt>
std::vector<double> select_general_rows(const PsychometricModel& model, std::uint64_t n_samples,
                                        std::size_t rows, RowAt&& row_at) {
  const std::size_t dim = model.dim();
  std::vector<double> theta = allocate_general_rows(n_samples, dim);
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const auto r = static_cast<std::size_t>(static_cast<unsigned __int128>(n) * rows / n_samples);
    row_at(r, std::span<double>(theta.data() + n * dim, dim));
  }
  return theta;
}

}  // namespace varnel
