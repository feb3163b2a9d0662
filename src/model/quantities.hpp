#pragma once
// What a paper reports, per posterior draw, for any model: the psychometric
// function p(yes | x) over stimuli, and the stimulus at a performance level
// for models that can invert their function.

#include <cstddef>
#include <span>
#include <vector>

#include "model/model.hpp"

namespace varnel {

// p(yes | θ_i, x_j) for every natural-scale row i (inside the support) and
// stimulus j: row-major, rows × stimuli.
template <ResponseModel M>
std::vector<double> response_curve(const M& model, std::span<const double> rows, std::span<const double> xs) {
  static_assert(M::kDesignColumns == 1, "a curve over one stimulus column");
  const std::size_t dim = model.dim();
  const std::size_t n = rows.size() / dim;
  std::vector<double> out(n * xs.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto sample = model.eig_sample(rows.subspan(i * dim, dim));
    for (std::size_t j = 0; j < xs.size(); ++j) {
      out[i * xs.size() + j] = model.response_probs(sample, xs.subspan(j, 1)).p[1];
    }
  }
  return out;
}

// The stimulus at `level` for every row (NaN where the row never reaches it).
template <ResponseModel M>
std::vector<double> stimuli_at(const M& model, std::span<const double> rows, double level) {
  const std::size_t dim = model.dim();
  std::vector<double> out(rows.size() / dim);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = model.stimulus_at(rows.subspan(i * dim, dim), level);
  return out;
}

}  // namespace varnel
