#pragma once
// What a paper reports, per posterior draw, for any model: the psychometric
// function p(yes | x) over stimuli, and the stimulus at a performance level
// for models that can invert their function.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <exception>
#include <span>
#include <thread>
#include <vector>

#include "model/model.hpp"

namespace varnel {

// p(yes | θ, x) of one sample: the model's p_yes where it has one (no logs),
// else p[1] of its response_probs.
template <ResponseModel M>
double sample_p_yes(const M& model, const typename M::EigSample& sample, const double& x) noexcept {
  if constexpr (requires { model.p_yes(sample, x); }) {
    return model.p_yes(sample, x);
  } else {
    return model.response_probs(sample, std::span<const double>(&x, 1)).p[1];
  }
}

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
    for (std::size_t j = 0; j < xs.size(); ++j) out[i * xs.size() + j] = sample_p_yes(model, sample, xs[j]);
  }
  return out;
}

// The q-th percentile (0..100) of `values` (reordered), interpolated
// linearly between the order statistics around (n − 1)·q/100, as NumPy's
// default percentile does.
inline double percentile_of(std::span<double> values, double q) noexcept {
  const std::size_t n = values.size();
  if (n == 0) return std::nan("");
  const double index = (static_cast<double>(n) - 1.0) * q / 100.0;
  const auto lo = static_cast<std::size_t>(std::floor(index));
  const std::size_t hi = std::min(lo + 1, n - 1);
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(lo), values.end());
  const double a = values[lo];
  const double b = hi == lo ? a : *std::min_element(values.begin() + static_cast<std::ptrdiff_t>(lo) + 1, values.end());
  const double t = index - static_cast<double>(lo);
  return t >= 0.5 ? b - (b - a) * (1.0 - t) : a + (b - a) * t;
}

// The curve's posterior mean over the rows and its percentiles at every
// stimulus: mean[j], then quantiles[k·len(xs) + j] for percents[k]. The
// stimuli are split over `threads` threads (0 = one per core).
struct ResponseBand {
  std::vector<double> mean;
  std::vector<double> quantiles;
};

template <ResponseModel M>
ResponseBand response_band(const M& model, std::span<const double> rows, std::span<const double> xs,
                           std::span<const double> percents, unsigned threads = 0) {
  static_assert(M::kDesignColumns == 1, "a curve over one stimulus column");
  const std::size_t dim = model.dim();
  const std::size_t n = rows.size() / dim;
  std::vector<typename M::EigSample> samples;
  samples.reserve(n);
  for (std::size_t i = 0; i < n; ++i) samples.push_back(model.eig_sample(rows.subspan(i * dim, dim)));
  ResponseBand band{std::vector<double>(xs.size()), std::vector<double>(percents.size() * xs.size())};
  const auto stimuli = [&](std::size_t first, std::size_t last) {
    std::vector<double> column(n);
    for (std::size_t j = first; j < last; ++j) {
      double sum = 0.0;
      for (std::size_t i = 0; i < n; ++i) sum += column[i] = sample_p_yes(model, samples[i], xs[j]);
      band.mean[j] = n > 0 ? sum / static_cast<double>(n) : std::nan("");
      for (std::size_t k = 0; k < percents.size(); ++k) {
        band.quantiles[k * xs.size() + j] = percentile_of(column, percents[k]);
      }
    }
  };
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(threads, xs.size() * n / 65536));
  const std::size_t block = (xs.size() + workers - 1) / std::max<std::size_t>(1, workers);
  std::vector<std::thread> pool;
  std::size_t next = block;
  try {
    for (; next < xs.size(); next += block) pool.emplace_back(stimuli, next, std::min(xs.size(), next + block));
  } catch (const std::exception&) {
    // Could not start a thread: the calling thread does the rest below.
  }
  stimuli(0, std::min(block, xs.size()));
  for (auto& t : pool) t.join();
  if (next < xs.size()) stimuli(next, xs.size());
  return band;
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
