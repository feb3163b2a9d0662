#pragma once
// What a paper reports, per posterior draw, for any model: the psychometric
// function p(yes | x) over stimuli, and the stimulus at a performance level
// for models that can invert their function.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/model.hpp"
#include "model/threads.hpp"

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

// The order statistics lo and lo + 1 (or lo twice at the end) of `values`
// (reordered), by nth_element.
inline std::pair<double, double> order_pair_by_selection(std::span<double> values, std::size_t lo) noexcept {
  const auto at = values.begin() + static_cast<std::ptrdiff_t>(lo);
  std::nth_element(values.begin(), at, values.end());
  const double a = *at;
  return {a, lo + 1 < values.size() ? *std::min_element(at + 1, values.end()) : a};
}

// NumPy's default percentile: linear between the order statistics around
// percentile_index(n, q), from the pair at floor of that index.
inline double interpolate_percentile(std::pair<double, double> pair, double index) noexcept {
  const auto [a, b] = pair;
  const double t = index - std::floor(index);
  return t >= 0.5 ? b - (b - a) * (1.0 - t) : a + (b - a) * t;
}

// The index (n − 1)·(q/100) of the q-th percentile of n values, rounded as
// NumPy rounds it (q/100 first).
inline double percentile_index(std::size_t n, double q) noexcept {
  return (static_cast<double>(n) - 1.0) * (q / 100.0);
}

// The q-th percentile (0..100) of `values` (reordered), as NumPy's default
// percentile gives it.
inline double percentile_of(std::span<double> values, double q) noexcept {
  const std::size_t n = values.size();
  if (n == 0) return std::nan("");
  const double index = percentile_index(n, q);
  return interpolate_percentile(order_pair_by_selection(values, static_cast<std::size_t>(std::floor(index))), index);
}

// The pass that brackets an order statistic: counts the values below
// `lower` into `below` and gathers those in [lower, upper] at the front of
// `inside` (which holds values.size() + 8), their number into `count`.
using BracketPass = void (*)(std::span<const double> values, double lower, double upper, double* inside,
                             std::size_t& count, std::size_t& below) noexcept;

inline void bracket_pass(std::span<const double> values, double lower, double upper, double* inside,
                         std::size_t& count, std::size_t& below) noexcept {
  count = 0;
  below = 0;
  for (const double v : values) {
    inside[count] = v;
    count += static_cast<std::size_t>(v >= lower) & static_cast<std::size_t>(v <= upper);
    below += static_cast<std::size_t>(v < lower);
  }
}

// The selection of the order statistics lo and lo + 1 among `values`
// (reordered), with `scratch` room for 2·(values.size() + 8) values.
using PairSelect = std::pair<double, double> (*)(std::span<double> values, std::size_t lo, double* scratch) noexcept;

inline std::pair<double, double> select_pair(std::span<double> values, std::size_t lo, double*) noexcept {
  return order_pair_by_selection(values, lo);
}

// What a column's percentiles are found with: plain loops, or lanes where
// the processor has them (the same results).
struct PercentileKernels {
  BracketPass pass = bracket_pass;
  PairSelect select = select_pair;
};

// Several percentiles of one column of values, found without reordering
// the whole column for each: a sorted sample of the column brackets each
// wanted order statistic, one pass counts the values below the bracket and
// gathers those inside it, and only those are selected among. The result is
// that of percentile_of whatever the sample; a bracket that misses (rare:
// its margin is over three standard deviations of the sample's rank error)
// falls back to selection over the whole column.
class ColumnPercentiles {
 public:
  explicit ColumnPercentiles(PercentileKernels kernels = {}) noexcept : kernels_(kernels) {}

  // out[k·stride] gets percents[k] of `values` (left in any order).
  void operator()(std::span<double> values, std::span<const double> percents, double* out, std::size_t stride) {
    const std::size_t n = values.size();
    const bool bracket = n >= 4 * kSample;
    if (bracket) {
      const std::size_t step = n / kSample;
      for (std::size_t k = 0; k < kSample; ++k) sample_[k] = values[k * step + step / 2];
      std::sort(sample_.begin(), sample_.end());
      inside_.resize(n + 8);
      scratch_.resize(2 * (n + 8));
    }
    for (std::size_t k = 0; k < percents.size(); ++k) {
      if (n == 0) {
        out[k * stride] = std::nan("");
        continue;
      }
      const double index = percentile_index(n, percents[k]);
      const auto lo = static_cast<std::size_t>(std::floor(index));
      std::pair<double, double> pair;
      if (!bracket || !bracketed_pair(values, lo, pair)) pair = order_pair_by_selection(values, lo);
      out[k * stride] = interpolate_percentile(pair, index);
    }
  }

 private:
  static constexpr std::size_t kSample = 64;

  bool bracketed_pair(std::span<const double> values, std::size_t lo, std::pair<double, double>& pair) {
    const std::size_t n = values.size();
    const std::size_t hi = std::min(lo + 1, n - 1);
    const auto centre = static_cast<std::ptrdiff_t>((static_cast<double>(lo) + 0.5) / static_cast<double>(n) *
                                                    static_cast<double>(kSample));
    // Three standard deviations of the sample's rank error at this quantile, and two more.
    const double share = static_cast<double>(lo) / static_cast<double>(n);
    const auto margin = static_cast<std::ptrdiff_t>(3.0 * std::sqrt(kSample * share * (1.0 - share))) + 2;
    const std::ptrdiff_t first = centre - margin;
    const std::ptrdiff_t last = centre + margin;
    const double lower = first < 0 ? -HUGE_VAL : sample_[static_cast<std::size_t>(first)];
    const double upper = last >= static_cast<std::ptrdiff_t>(kSample) ? HUGE_VAL : sample_[static_cast<std::size_t>(last)];
    std::size_t below = 0;
    std::size_t count = 0;
    kernels_.pass(values, lower, upper, inside_.data(), count, below);
    if (below > lo || hi >= below + count) return false;
    pair = kernels_.select(std::span<double>(inside_.data(), count), lo - below, scratch_.data());
    if (hi == lo) pair.second = pair.first;
    return true;
  }

  PercentileKernels kernels_;
  std::array<double, kSample> sample_{};
  std::vector<double> inside_, scratch_;
};

// sum_in_eight's end: the values after the last whole eight (fewer than
// eight) into sums[0], sums[1], ..., then the eight sums pairwise.
inline double sum_in_eight_rest(double (&sums)[8], std::span<const double> rest) noexcept {
  for (std::size_t k = 0; k < rest.size(); ++k) sums[k] += rest[k];
  return ((sums[0] + sums[1]) + (sums[2] + sums[3])) + ((sums[4] + sums[5]) + (sums[6] + sums[7]));
}

// The sum of `values` in eight running sums (value i into sum i mod 8, in
// order), added up pairwise at the end: a fixed order, so the same bits on
// any machine, and eight times shorter chains of dependent additions.
inline double sum_in_eight(std::span<const double> values) noexcept {
  double sums[8] = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 8 <= values.size(); i += 8) {
    for (std::size_t k = 0; k < 8; ++k) sums[k] += values[i + k];
  }
  return sum_in_eight_rest(sums, values.subspan(i));
}

// The curve's posterior mean over the rows and its percentiles at every
// stimulus: mean[j], then quantiles[k·len(xs) + j] for percents[k].
struct ResponseBand {
  std::vector<double> mean;
  std::vector<double> quantiles;
};

// No preparation of the rows before the first column.
struct NoRowPreparation {
  void operator()(std::size_t, std::size_t) const noexcept {}
};

// The band from a column function: column(x, out) writes p(yes | θ_i, x) for
// every one of the n rows into out (and may return their sum_in_eight),
// after prepare(first, last) has run over every row (in disjoint ranges, on
// any thread). The threads (at most `threads`, 0 = one per core) take the
// row ranges, then the stimuli, as they come free; the result does not
// depend on their number.
template <class Column, class Prepare = NoRowPreparation>
ResponseBand band_of_columns(std::size_t n, std::span<const double> xs, std::span<const double> percents,
                             unsigned threads, const Column& column, PercentileKernels kernels = {},
                             const Prepare& prepare = {}) {
  constexpr std::size_t kRowChunk = 512, kStimulusRun = 8;
  ResponseBand band{std::vector<double>(xs.size()), std::vector<double>(percents.size() * xs.size())};
  const std::size_t workers = useful_workers(threads, static_cast<std::uint64_t>(xs.size()) * n, 65536, xs.size());
  std::atomic<std::size_t> next_rows{0}, rows_done{0}, next_stimulus{0};
  const auto work = [&](std::size_t, std::size_t) {
    for (std::size_t first = next_rows.fetch_add(kRowChunk); first < n; first = next_rows.fetch_add(kRowChunk)) {
      const std::size_t last = std::min(n, first + kRowChunk);
      // Counted as done even when it fails, so that no thread waits for it
      // (the failure is raised once every thread has ended).
      const auto done = [&] {
        if (rows_done.fetch_add(last - first, std::memory_order_acq_rel) + (last - first) == n) rows_done.notify_all();
      };
      try {
        prepare(first, last);
      } catch (...) {
        done();
        throw;
      }
      done();
    }
    // Every range was taken by a running thread: wait for the last of them.
    for (std::size_t done = rows_done.load(std::memory_order_acquire); done < n;
         done = rows_done.load(std::memory_order_acquire)) {
      rows_done.wait(done);
    }
    std::vector<double> values(n);
    ColumnPercentiles percentiles(kernels);
    // Stimuli in runs, so that threads seldom write to the same cache line,
    // shorter towards the end, so that they end at nearly the same time.
    for (;;) {
      std::size_t first = next_stimulus.load(std::memory_order_relaxed), run = 0;
      do {
        if (first >= xs.size()) return;
        run = std::clamp<std::size_t>((xs.size() - first) / (2 * workers), 1, kStimulusRun);
      } while (!next_stimulus.compare_exchange_weak(first, first + run, std::memory_order_relaxed));
      for (std::size_t j = first; j < first + run; ++j) {
        double sum = 0.0;
        if constexpr (std::is_same_v<std::invoke_result_t<const Column&, double, std::span<double>>, double>) {
          sum = column(xs[j], std::span<double>(values));
        } else {
          column(xs[j], std::span<double>(values));
          sum = sum_in_eight(values);
        }
        band.mean[j] = n > 0 ? sum / static_cast<double>(n) : std::nan("");
        percentiles(values, percents, band.quantiles.data() + j, xs.size());
      }
    }
  };
  // One call per thread; a thread that could not start leaves its share to
  // the others, and an allocation that fails on any thread is raised here.
  run_in_blocks(workers, 1, work);
  return band;
}

// The band of value(sample, x) over the model's samples of the rows.
template <ResponseModel M, class Value>
ResponseBand band_of_samples(const M& model, std::span<const double> rows, std::span<const double> xs,
                             std::span<const double> percents, unsigned threads, const Value& value,
                             PercentileKernels kernels = {}) {
  const std::size_t dim = model.dim();
  const std::size_t n = rows.size() / dim;
  std::vector<typename M::EigSample> samples;
  samples.reserve(n);
  for (std::size_t i = 0; i < n; ++i) samples.push_back(model.eig_sample(rows.subspan(i * dim, dim)));
  return band_of_columns(n, xs, percents, threads, [&](double x, std::span<double> out) {
    for (std::size_t i = 0; i < n; ++i) out[i] = value(samples[i], x);
  }, kernels);
}

// The band of any model, one sample at a time.
template <ResponseModel M>
ResponseBand response_band(const M& model, std::span<const double> rows, std::span<const double> xs,
                           std::span<const double> percents, unsigned threads = 0) {
  static_assert(M::kDesignColumns == 1, "a curve over one stimulus column");
  return band_of_samples(model, rows, xs, percents, threads,
                         [&](const typename M::EigSample& sample, double x) { return sample_p_yes(model, sample, x); });
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
