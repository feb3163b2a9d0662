#pragma once
// Expected information gain of candidate designs for any model, with the
// outcomes enumerated and the parameters averaged over samples:
//
//   score(ξ) = Σ_{y in outcomes} (1/N) Σ_n p(y | θ_n, ξ) log p(y | θ_n, ξ) − p̂ log p̂,
//   p̂ = (1/N) Σ_n p(y | θ_n, ξ), 0·log 0 = 0.
//
// Samples are summed in order, then outcomes in order, so a result does not
// depend on the thread count. A model may bring vector lanes (EigLanes<M>
// below) that score four or eight designs at once with the same bits as the
// scalar loop; without them the scalar loop scores everything. Python-free.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>
#include <vector>

#include "model/threads.hpp"
#include "eig/exact_exp_log_lanes.hpp"
#include "model/model.hpp"
#include "sampler/panic.hpp"

namespace varnel {

// The inner loop: the widest lanes available (Fastest), at most four lanes
// (FourLanes), or none (Scalar). All give the same bits.
enum class ScoreKernel { Fastest, FourLanes, Scalar };

// Whether scoring needs parameter samples at all (an outcome and a design exist).
inline bool scoring_needs_samples(std::size_t n_outcomes, std::size_t n_designs) noexcept {
  return n_outcomes > 0 && n_designs > 0;
}

// The samples field by field, for lanes that run over samples rather than
// designs: every double of an EigSample becomes a column of n values.
struct SampleColumns {
  const double* data = nullptr;  // null when the samples were not laid out so
  std::size_t n = 0;
#if defined(VARNEL_HAVE_EXACT_LANES)
  // Samples i .. i + 3 of the field at byte offset `Offset` of the sample.
  template <std::size_t Offset>
  VARNEL_TARGET_LANES __m256d load4(std::size_t i) const noexcept {
    static_assert(Offset % sizeof(double) == 0);
    return _mm256_loadu_pd(data + Offset / sizeof(double) * n + i);
  }
  // The same for samples i .. i + 7.
  template <std::size_t Offset>
  VARNEL_TARGET_LANES8 __m512d load8(std::size_t i) const noexcept {
    static_assert(Offset % sizeof(double) == 0);
    return _mm512_loadu_pd(data + Offset / sizeof(double) * n + i);
  }
#endif
};

template <class Sample>
std::vector<double> sample_columns(std::span<const Sample> samples) {
  static_assert(std::is_trivially_copyable_v<Sample> && sizeof(Sample) % sizeof(double) == 0,
                "a sample made of doubles");
  constexpr std::size_t kFields = sizeof(Sample) / sizeof(double);
  const std::size_t n = samples.size();
  std::vector<double> out(kFields * n);
  for (std::size_t i = 0; i < n; ++i) {
    double fields[kFields];
    std::memcpy(fields, &samples[i], sizeof(Sample));
    for (std::size_t f = 0; f < kFields; ++f) out[f * n + i] = fields[f];
  }
  return out;
}

// Up to this many designs left over from whole vectors of eight are scored
// with the lanes over the samples: a design there costs about 1/7 of a
// vector of eight designs. (Of four, any one to three left over are.)
inline constexpr std::size_t kMaxDesignsOverSamples = 6;

// What scoring k designs in one call costs, roughly, in vectors of eight.
inline double score_call_cost(std::size_t k) noexcept {
  const std::size_t rest = k % 8;
  return static_cast<double>(k / 8) + (rest == 0 ? 0.0 : rest <= kMaxDesignsOverSamples ? rest / 7.0 : 1.0);
}

// What one scoring call shares with its workers.
template <class M>
struct ScoreJob {
  const M* model;
  std::span<const std::uint8_t> outcomes;
  std::span<const typename M::EigSample> samples;
  // Each sample's multiplicity (runs of equal rows merged), or null when
  // every sample counts once; `total` is the number of rows they stand for.
  const double* counts;
  std::size_t total;
  const MatrixView* designs;
  // The lanes' tables, or null for the scalar loop; eight lanes or four.
  const exact_exp_log::LibmTables* lanes;
  bool eight;
  // The samples as columns where the eight lanes can also run over samples.
  SampleColumns columns;
};

// A model's vector lanes. This primary template has none. A specialisation
// (see eig/two_param_lanes.cpp, eig/psychometric_lanes.cpp) declares
//   static const exact_exp_log::LibmTables* tables(const M&, bool eight);
//     the tables when its lanes reproduce the scalar bits here, else null
//   static void score_range(const ScoreJob<M>&, std::size_t first, std::size_t last, double* result);
template <class M>
struct EigLanes;

template <class M>
concept HasEigLanes = requires(const M& model) {
  { EigLanes<M>::tables(model, true) } -> std::same_as<const exact_exp_log::LibmTables*>;
};

// Whether the model's eight lanes can also run over samples (one design
// against eight samples), which a few designs fill better than design lanes.
template <class M>
concept HasSampleLanes = HasEigLanes<M> && requires { requires EigLanes<M>::kSampleLanes; };

// The score of one design from its sums over the samples, outcomes in order.
inline double design_score(std::span<const std::uint8_t> outcomes, std::size_t n_samples, const double sum_p[2],
                           const double sum_plp[2]) noexcept {
  const double n = static_cast<double>(n_samples);
  double total = 0.0;
  for (const std::uint8_t outcome : outcomes) {
    const int y = outcome != 0 ? 1 : 0;
    const double p_hat = sum_p[y] / n;
    double term = sum_plp[y] / n;
    if (p_hat != 0.0) term -= std::log(p_hat) * p_hat;
    total += term;
  }
  return total;
}

// p·log p of a response probability, 0 where p is 0.
inline double p_log_p(const ResponseProbs& r, int y) noexcept { return r.p[y] == 0.0 ? 0.0 : r.lp[y] * r.p[y]; }

template <ResponseModel M>
void score_range_scalar(const ScoreJob<M>& job, std::size_t first, std::size_t last, double* result) noexcept {
  double row[M::kDesignColumns];
  for (std::size_t d = first; d < last; ++d) {
    for (std::size_t j = 0; j < M::kDesignColumns; ++j) row[j] = job.designs->unchecked_at(d, j);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    for (std::size_t n = 0; n < job.samples.size(); ++n) {
      const ResponseProbs r =
          job.model->response_probs(job.samples[n], std::span<const double>(row, M::kDesignColumns));
      const double c = job.counts == nullptr ? 1.0 : job.counts[n];  // 1·p is p, bit for bit
      for (int y = 0; y < 2; ++y) {
        sum_p[y] += c * r.p[y];
        sum_plp[y] += c * p_log_p(r, y);
      }
    }
    result[d] = design_score(job.outcomes, job.total, sum_p, sum_plp);
  }
}

// Below this many (design, sample) pairs a worker thread costs more than it saves.
inline constexpr std::uint64_t kMinScorePairsPerThread = 8192;

// The samples of one set of parameter rows, prepared once, and the kernel
// that scores designs under them: any number of design sets may be scored
// with the same samples (the box search scores many small ones).
// With `merge_repeats`, a run of equal consecutive rows (as resampled
// particles come) is prepared and scored once and weighted by its length:
// the same estimate with fewer evaluations, its sums rounded differently
// where a run is longer than one row (bit for bit the same where none is).
// Precondition of the constructor: n_samples >= 1 rows of dim() values each
// (checked); for models whose rows are checked, every row inside the support
// (Panic otherwise).
template <ResponseModel M>
class DesignScorer {
 public:
  DesignScorer(const M& model, ScoreKernel kernel, std::span<const std::uint8_t> outcomes,
               std::span<const double> rows, std::uint64_t n_samples, bool merge_repeats = false)
      : model_(model), outcomes_(outcomes.begin(), outcomes.end()), total_(static_cast<std::size_t>(n_samples)) {
    const std::size_t dim = model.dim();
    check(rows.size() / dim == n_samples && rows.size() % dim == 0, "theta.len() == n_samples * dim");
    samples_.reserve(static_cast<std::size_t>(n_samples));
    for (std::size_t n = 0; n < n_samples; ++n) {
      const std::span<const double> row = rows.subspan(n * dim, dim);
      if (merge_repeats && n > 0 && std::memcmp(row.data(), row.data() - dim, dim * sizeof(double)) == 0) {
        counts_.back() += 1.0;
        continue;
      }
      if constexpr (M::kEigRowsChecked) check(model.in_support(row), "parameter row inside the model's support");
      samples_.push_back(model.eig_sample(row));
      if (merge_repeats) counts_.push_back(1.0);
    }
    if (samples_.size() == total_) counts_.clear();  // no run longer than one row: nothing to weigh
    if constexpr (HasEigLanes<M>) {
      if (kernel == ScoreKernel::Fastest && EigLanes<M>::tables(model, true) != nullptr) {
        lanes_ = EigLanes<M>::tables(model, true);
        eight_ = true;
      } else if (kernel != ScoreKernel::Scalar) {
        lanes_ = EigLanes<M>::tables(model, false);
      }
      if constexpr (HasSampleLanes<M>) {
        if (lanes_ != nullptr) columns_ = sample_columns(std::span<const typename M::EigSample>(samples_));
      }
    }
  }

  // The score of every design, on `threads` threads (0 = one per core).
  // Precondition: the designs have the columns the model reads.
  std::vector<double> score(const MatrixView& designs, unsigned threads = 0) const {
    const std::size_t n_designs = designs.rows;
    std::vector<double> result(n_designs, 0.0);
    if (outcomes_.empty() || n_designs == 0) return result;
    const ScoreJob<M> job{&model_,   outcomes_, samples_, counts_.empty() ? nullptr : counts_.data(),
                          total_,    &designs,  lanes_,   eight_,
                          SampleColumns{columns_.empty() ? nullptr : columns_.data(), samples_.size()}};
    const std::size_t n_workers = useful_workers(
        threads, static_cast<std::uint64_t>(n_designs) * samples_.size(), kMinScorePairsPerThread, n_designs);
    // Contiguous blocks of designs, whole vectors of them where the lanes run.
    const std::size_t per_vector = job.lanes == nullptr ? 1 : job.eight ? 8 : 4;
    const std::size_t vectors = (n_designs + per_vector - 1) / per_vector;
    const std::size_t block = (vectors + n_workers - 1) / n_workers * per_vector;
    const auto score_range = [&](std::size_t first, std::size_t last) {
      if constexpr (HasEigLanes<M>) {
        if (job.lanes != nullptr) return EigLanes<M>::score_range(job, first, last, result.data());
      }
      score_range_scalar(job, first, last, result.data());
    };
    score_in_blocks(n_designs, block, score_range);
    return result;
  }

 private:
  M model_;
  std::vector<std::uint8_t> outcomes_;
  std::vector<typename M::EigSample> samples_;
  std::vector<double> counts_;  // empty when every sample counts once
  std::vector<double> columns_;  // the samples as columns, when the lanes run over them
  std::size_t total_;
  const exact_exp_log::LibmTables* lanes_ = nullptr;
  bool eight_ = false;
};

// Scores every design under `rows`, n_samples natural-scale parameter rows
// (row-major, dim() values each), on `threads` threads (0 = one per core).
// Fails with the unwrap failure when there are no samples, and with the
// index failure when the designs have fewer columns than the model reads, as
// long as anything is scored. For models whose rows are checked, every row
// must be inside the support (Panic otherwise).
template <ResponseModel M>
std::vector<double> score_designs(const M& model, ScoreKernel kernel, std::span<const std::uint8_t> outcomes,
                                  std::span<const double> rows, std::uint64_t n_samples, const MatrixView& designs,
                                  unsigned threads = 0, bool merge_repeats = false) {
  if (outcomes.empty() || designs.rows == 0) return std::vector<double>(designs.rows, 0.0);
  // The mean of no samples does not exist.
  if (n_samples == 0) panic_unwrap_none();
  check_index(M::kDesignColumns - 1, designs.cols);
  return DesignScorer<M>(model, kernel, outcomes, rows, n_samples, merge_repeats).score(designs, threads);
}

}  // namespace varnel

// The lanes of the models that have them.
#include "eig/model_lanes.hpp"
