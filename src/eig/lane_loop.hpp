#pragma once
// The loop that every model's lanes run in: four (AVX2) or eight (AVX-512)
// designs at a time, one per lane, each lane's sums over the samples in order
// exactly as in the scalar loop. `Terms` computes both responses'
// probabilities and p·log p for one sample in every lane and flags the lanes
// that left its common path; those are redone by the model's scalar
// response_probs. Spare lanes repeat the last design; their results are
// dropped.

#include "eig/scorer.hpp"

#if defined(VARNEL_HAVE_EXACT_LANES)
namespace varnel {

// The designs d .. d + W − 1 of a lane vector (spare lanes repeat the last of
// the `count` real ones), column by column for the lanes and row by row for
// the scalar redo.
template <std::size_t W, class M>
inline void lane_designs(const ScoreJob<M>& job, std::size_t d, std::size_t count,
                         double (&columns)[M::kDesignColumns][W], double (&rows)[W][M::kDesignColumns]) noexcept {
  for (std::size_t j = 0; j < W; ++j) {
    for (std::size_t k = 0; k < M::kDesignColumns; ++k) {
      rows[j][k] = columns[k][j] = job.designs->unchecked_at(d + std::min(j, count - 1), k);
    }
  }
}

// The parts of the loops over samples that are plain arithmetic. redo_lanes:
// the scalar terms of the lanes in `mask` of samples n .. n + W − 1, times
// their counts; add_lanes: the W lanes of each sum in sample order;
// samples_left: the samples past the last whole vector, then the score.
template <std::size_t W, bool Counted, class M>
inline void redo_lanes(const ScoreJob<M>& job, std::size_t n, std::span<const double> design, unsigned mask,
                       double (&v)[4][W]) noexcept {
  for (std::size_t j = 0; j < W; ++j) {
    if (((mask >> j) & 1) == 0) continue;
    const ResponseProbs r = job.model->response_probs(job.samples[n + j], design);
    const double c = Counted ? job.counts[n + j] : 1.0;  // 1·p is p, bit for bit
    v[0][j] = c * r.p[0];
    v[1][j] = c * r.p[1];
    v[2][j] = c * p_log_p(r, 0);
    v[3][j] = c * p_log_p(r, 1);
  }
}

template <std::size_t W>
inline void add_lanes(const double (&v)[4][W], double (&sum_p)[2], double (&sum_plp)[2]) noexcept {
  for (std::size_t j = 0; j < W; ++j) {
    sum_p[0] += v[0][j];
    sum_p[1] += v[1][j];
    sum_plp[0] += v[2][j];
    sum_plp[1] += v[3][j];
  }
}

template <bool Counted, class M>
inline double samples_left(const ScoreJob<M>& job, std::size_t n, std::span<const double> design,
                           double (&sum_p)[2], double (&sum_plp)[2]) noexcept {
  for (; n < job.samples.size(); ++n) {
    const ResponseProbs r = job.model->response_probs(job.samples[n], design);
    const double c = Counted ? job.counts[n] : 1.0;
    for (int y = 0; y < 2; ++y) {
      sum_p[y] += c * r.p[y];
      sum_plp[y] += c * p_log_p(r, y);
    }
  }
  return design_score(job.outcomes, job.total, sum_p, sum_plp);
}

// One design at a time against four samples at a time, each lane's terms
// added to the design's sums in sample order (score_over_samples8 in four lanes).
template <class M, class Terms, bool Counted>
VARNEL_TARGET_LANES void score_over_samples4(const ScoreJob<M>& job, std::size_t first, std::size_t last,
                                             double* result) noexcept {
  constexpr std::size_t K = M::kDesignColumns;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const std::size_t n_samples = job.samples.size();
  for (std::size_t d = first; d < last; ++d) {
    double row[K];
    for (std::size_t k = 0; k < K; ++k) row[k] = job.designs->unchecked_at(d, k);
    const std::span<const double> design(row, K);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    std::size_t n = 0;
    for (; n + 4 <= n_samples; n += 4) {
      __m256d p0, p1, plp0, plp1;
      const int mask = _mm256_movemask_pd(Terms::samples4(tab, job.columns, n, row, p0, p1, plp0, plp1));
      if constexpr (Counted) {
        const __m256d c = _mm256_loadu_pd(job.counts + n);
        p0 = _mm256_mul_pd(c, p0);
        p1 = _mm256_mul_pd(c, p1);
        plp0 = _mm256_mul_pd(c, plp0);
        plp1 = _mm256_mul_pd(c, plp1);
      }
      alignas(32) double v[4][4];
      _mm256_store_pd(v[0], p0);
      _mm256_store_pd(v[1], p1);
      _mm256_store_pd(v[2], plp0);
      _mm256_store_pd(v[3], plp1);
      if (mask != 0) [[unlikely]] redo_lanes<4, Counted>(job, n, design, static_cast<unsigned>(mask), v);
      add_lanes(v, sum_p, sum_plp);
    }
    result[d] = samples_left<Counted>(job, n, design, sum_p, sum_plp);
  }
}

// Designs of several columns: `Terms` gets one vector per column.
template <class M, class Terms, bool Counted>
VARNEL_TARGET_LANES void score_range_lanes4_of(const ScoreJob<M>& job, std::size_t first, std::size_t last,
                                            double* result) noexcept {
  constexpr std::size_t K = M::kDesignColumns;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m256d zero = _mm256_setzero_pd();
  if constexpr (requires { &Terms::samples4; }) {
    const std::size_t spare = (last - first) % 4;
    if (job.columns.data != nullptr && spare != 0) {
      score_over_samples4<M, Terms, Counted>(job, last - spare, last, result);
      last -= spare;
    }
  }
  for (std::size_t d = first; d < last; d += 4) {
    const std::size_t count = std::min<std::size_t>(4, last - d);
    alignas(32) double columns[K][4];
    double rows[4][K];
    lane_designs(job, d, count, columns, rows);
    __m256d x[K];
    for (std::size_t k = 0; k < K; ++k) x[k] = _mm256_load_pd(columns[k]);
    __m256d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (std::size_t n = 0; n < job.samples.size(); ++n) {
      const auto& sample = job.samples[n];
      __m256d p0, p1, plp0, plp1;
      __m256d bad;
      if constexpr (K == 1) {
        bad = Terms::terms4(tab, sample, x[0], p0, p1, plp0, plp1);
      } else {
        bad = Terms::terms4(tab, sample, x, p0, p1, plp0, plp1);
      }
      if (const int mask = _mm256_movemask_pd(bad); mask != 0) [[unlikely]] {
        alignas(32) double v[4][4];
        _mm256_store_pd(v[0], p0);
        _mm256_store_pd(v[1], p1);
        _mm256_store_pd(v[2], plp0);
        _mm256_store_pd(v[3], plp1);
        for (int j = 0; j < 4; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseProbs r = job.model->response_probs(sample, std::span<const double>(rows[j], K));
          v[0][j] = r.p[0];
          v[1][j] = r.p[1];
          v[2][j] = p_log_p(r, 0);
          v[3][j] = p_log_p(r, 1);
        }
        p0 = _mm256_load_pd(v[0]);
        p1 = _mm256_load_pd(v[1]);
        plp0 = _mm256_load_pd(v[2]);
        plp1 = _mm256_load_pd(v[3]);
      }
      if constexpr (Counted) {
        const __m256d c = _mm256_set1_pd(job.counts[n]);
        p0 = _mm256_mul_pd(c, p0);
        p1 = _mm256_mul_pd(c, p1);
        plp0 = _mm256_mul_pd(c, plp0);
        plp1 = _mm256_mul_pd(c, plp1);
      }
      sum_p0 = _mm256_add_pd(sum_p0, p0);
      sum_p1 = _mm256_add_pd(sum_p1, p1);
      sum_plp0 = _mm256_add_pd(sum_plp0, plp0);
      sum_plp1 = _mm256_add_pd(sum_plp1, plp1);
    }
    alignas(32) double s[4][4];
    _mm256_store_pd(s[0], sum_p0);
    _mm256_store_pd(s[1], sum_p1);
    _mm256_store_pd(s[2], sum_plp0);
    _mm256_store_pd(s[3], sum_plp1);
    for (std::size_t j = 0; j < count; ++j) {
      const double sum_p[2] = {s[0][j], s[1][j]};
      const double sum_plp[2] = {s[2][j], s[3][j]};
      result[d + j] = design_score(job.outcomes, job.total, sum_p, sum_plp);
    }
  }
}

// One design at a time against eight samples at a time. Each lane's terms
// are added to the design's sums in sample order, so the sums are those of
// the scalar loop (and of the design lanes) bit for bit.
template <class M, class Terms, bool Counted>
VARNEL_TARGET_LANES8 void score_over_samples8(const ScoreJob<M>& job, std::size_t first, std::size_t last,
                                              double* result) noexcept {
  constexpr std::size_t K = M::kDesignColumns;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const std::size_t n_samples = job.samples.size();
  for (std::size_t d = first; d < last; ++d) {
    double row[K];
    for (std::size_t k = 0; k < K; ++k) row[k] = job.designs->unchecked_at(d, k);
    const std::span<const double> design(row, K);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    std::size_t n = 0;
    for (; n + 8 <= n_samples; n += 8) {
      __m512d p0, p1, plp0, plp1;
      const unsigned mask = Terms::samples8(tab, job.columns, n, row, p0, p1, plp0, plp1);
      if constexpr (Counted) {
        const __m512d c = _mm512_loadu_pd(job.counts + n);
        p0 = _mm512_mul_pd(c, p0);
        p1 = _mm512_mul_pd(c, p1);
        plp0 = _mm512_mul_pd(c, plp0);
        plp1 = _mm512_mul_pd(c, plp1);
      }
      alignas(64) double v[4][8];
      _mm512_store_pd(v[0], p0);
      _mm512_store_pd(v[1], p1);
      _mm512_store_pd(v[2], plp0);
      _mm512_store_pd(v[3], plp1);
      if (mask != 0) [[unlikely]] redo_lanes<8, Counted>(job, n, design, mask, v);
      add_lanes(v, sum_p, sum_plp);
    }
    result[d] = samples_left<Counted>(job, n, design, sum_p, sum_plp);
  }
}

template <class M, class Terms, bool Counted>
VARNEL_TARGET_LANES8 void score_range_lanes8_of(const ScoreJob<M>& job, std::size_t first, std::size_t last,
                                             double* result) noexcept {
  constexpr std::size_t K = M::kDesignColumns;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m512d zero = _mm512_setzero_pd();
  if constexpr (requires { &Terms::samples8; }) {
    const std::size_t spare = (last - first) % 8;
    if (job.columns.data != nullptr && spare != 0 && spare <= kMaxDesignsOverSamples) {
      score_over_samples8<M, Terms, Counted>(job, last - spare, last, result);
      last -= spare;
    }
  }
  for (std::size_t d = first; d < last; d += 8) {
    const std::size_t count = std::min<std::size_t>(8, last - d);
    alignas(64) double columns[K][8];
    double rows[8][K];
    lane_designs(job, d, count, columns, rows);
    __m512d x[K];
    for (std::size_t k = 0; k < K; ++k) x[k] = _mm512_load_pd(columns[k]);
    __m512d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (std::size_t n = 0; n < job.samples.size(); ++n) {
      const auto& sample = job.samples[n];
      __m512d p0, p1, plp0, plp1;
      unsigned mask;
      if constexpr (K == 1) {
        mask = Terms::terms8(tab, sample, x[0], p0, p1, plp0, plp1);
      } else {
        mask = Terms::terms8(tab, sample, x, p0, p1, plp0, plp1);
      }
      if (mask != 0) [[unlikely]] {
        alignas(64) double v[4][8];
        _mm512_store_pd(v[0], p0);
        _mm512_store_pd(v[1], p1);
        _mm512_store_pd(v[2], plp0);
        _mm512_store_pd(v[3], plp1);
        for (int j = 0; j < 8; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseProbs r = job.model->response_probs(sample, std::span<const double>(rows[j], K));
          v[0][j] = r.p[0];
          v[1][j] = r.p[1];
          v[2][j] = p_log_p(r, 0);
          v[3][j] = p_log_p(r, 1);
        }
        p0 = _mm512_load_pd(v[0]);
        p1 = _mm512_load_pd(v[1]);
        plp0 = _mm512_load_pd(v[2]);
        plp1 = _mm512_load_pd(v[3]);
      }
      if constexpr (Counted) {
        const __m512d c = _mm512_set1_pd(job.counts[n]);
        p0 = _mm512_mul_pd(c, p0);
        p1 = _mm512_mul_pd(c, p1);
        plp0 = _mm512_mul_pd(c, plp0);
        plp1 = _mm512_mul_pd(c, plp1);
      }
      sum_p0 = _mm512_add_pd(sum_p0, p0);
      sum_p1 = _mm512_add_pd(sum_p1, p1);
      sum_plp0 = _mm512_add_pd(sum_plp0, plp0);
      sum_plp1 = _mm512_add_pd(sum_plp1, plp1);
    }
    alignas(64) double s[4][8];
    _mm512_store_pd(s[0], sum_p0);
    _mm512_store_pd(s[1], sum_p1);
    _mm512_store_pd(s[2], sum_plp0);
    _mm512_store_pd(s[3], sum_plp1);
    for (std::size_t j = 0; j < count; ++j) {
      const double sum_p[2] = {s[0][j], s[1][j]};
      const double sum_plp[2] = {s[2][j], s[3][j]};
      result[d + j] = design_score(job.outcomes, job.total, sum_p, sum_plp);
    }
  }
}

// The loops with samples that count once, or with their multiplicities.
template <class M, class Terms>
void score_range_lanes4(const ScoreJob<M>& job, std::size_t first, std::size_t last, double* result) noexcept {
  if (job.counts == nullptr) return score_range_lanes4_of<M, Terms, false>(job, first, last, result);
  score_range_lanes4_of<M, Terms, true>(job, first, last, result);
}

template <class M, class Terms>
void score_range_lanes8(const ScoreJob<M>& job, std::size_t first, std::size_t last, double* result) noexcept {
  if (job.counts == nullptr) return score_range_lanes8_of<M, Terms, false>(job, first, last, result);
  score_range_lanes8_of<M, Terms, true>(job, first, last, result);
}

}  // namespace varnel
#endif
