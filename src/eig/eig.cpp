#include "eig/eig.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "eig/design_blocks.hpp"
#include "sampler/distributions.hpp"
#include "model/bernoulli_logit.hpp"
#include "eig/exact_exp_log_lanes.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {
namespace {

// Below this many (design, sample) pairs a worker thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 16384;

// p(y | k, m, x) and p*log p for both responses, from one exponential. A p
// that underflows to 0 contributes 0*log 0 = 0.
struct ResponseTerms {
  double p[2];
  double plp[2];
};

inline void add_term(ResponseTerms& out, int y, double lp) noexcept {
  const double p = std::exp(lp);
  out.p[y] = p;
  out.plp[y] = p == 0.0 ? 0.0 : lp * p;
}

inline ResponseTerms response_terms(double k, double m, double x, bool need_false, bool need_true) noexcept {
  ResponseTerms out{};
  const double t = (m - x) * k;
  const double h = std::exp(t);
  if (need_true) add_term(out, 1, bernoulli_logit_log_prob_from_h(h, t, true));
  if (need_false) add_term(out, 0, bernoulli_logit_log_prob_from_h(h, t, false));
  return out;
}

struct ScoreJob {
  std::span<const std::uint8_t> outcomes;
  std::span<const Theta> theta;
  const MatrixView* designs;
  bool need_false;
  bool need_true;
  // The exp and log lanes' tables, or null for the scalar loop; eight lanes
  // (AVX-512) or four (AVX2).
  const exact_exp_log::LibmTables* lanes;
  bool eight;
};

// The score of one design from its sums over the samples, outcomes in order.
double design_score(const ScoreJob& job, const double sum_p[2], const double sum_plp[2]) noexcept {
  const double n = static_cast<double>(job.theta.size());
  double total = 0.0;
  for (const std::uint8_t outcome : job.outcomes) {
    const int y = outcome != 0 ? 1 : 0;
    const double p_hat = sum_p[y] / n;
    double m_term = sum_plp[y] / n;
    if (p_hat != 0.0) m_term = m_term - std::log(p_hat) * p_hat;
    total += m_term;
  }
  return total;
}

void score_range_scalar(const ScoreJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  for (std::size_t d = first; d < last; ++d) {
    const double x = job.designs->unchecked_at(d, 0);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    for (const Theta& th : job.theta) {
      const ResponseTerms terms = response_terms(th.k, th.m, x, job.need_false, job.need_true);
      for (int y = 0; y < 2; ++y) {
        sum_p[y] += terms.p[y];
        sum_plp[y] += terms.plp[y];
      }
    }
    result[d] = design_score(job, sum_p, sum_plp);
  }
}

#if defined(VARNEL_HAVE_EXACT_LANES)
// Four designs at a time, one per lane, so that each lane's sums run over the
// samples in order exactly as in the scalar loop. The lanes compute both
// responses; a lane that leaves the lanes' common path anywhere (exp of a huge
// logit, log of 0 or NaN, exp of a log below -512) is redone by the scalar
// formula.
VARNEL_TARGET_LANES void score_range_lanes(const ScoreJob& job, std::size_t first, std::size_t last,
                                           double* result) noexcept {
  using namespace exact_exp_log::lanes;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d zero = _mm256_setzero_pd();
  for (std::size_t d = first; d < last; d += 4) {
    const std::size_t count = std::min<std::size_t>(4, last - d);
    alignas(32) double xs[4];
    // Spare lanes repeat the last design; their results are dropped.
    for (std::size_t j = 0; j < 4; ++j) xs[j] = job.designs->unchecked_at(d + std::min(j, count - 1), 0);
    const __m256d x = _mm256_load_pd(xs);
    __m256d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (const Theta& th : job.theta) {
      const __m256d t = _mm256_mul_pd(_mm256_sub_pd(_mm256_set1_pd(th.m), x), _mm256_set1_pd(th.k));
      __m256d bad_h, bad_l0, bad_l1, bad_e0, bad_e1;
      const __m256d h = exp4(tab, t, bad_h);
      const __m256d h1 = _mm256_add_pd(h, one);
      const __m256d lp1 = log4(tab, _mm256_div_pd(one, h1), bad_l1);
      const __m256d lp0 = log4(tab, _mm256_div_pd(h, h1), bad_l0);
      __m256d p1 = exp4(tab, lp1, bad_e1);
      __m256d p0 = exp4(tab, lp0, bad_e0);
      __m256d plp1 = _mm256_andnot_pd(_mm256_cmp_pd(p1, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp1, p1));
      __m256d plp0 = _mm256_andnot_pd(_mm256_cmp_pd(p0, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp0, p0));
      const __m256d bad = _mm256_or_pd(_mm256_or_pd(bad_h, _mm256_or_pd(bad_l0, bad_l1)),
                                       _mm256_or_pd(bad_e0, bad_e1));
      if (const int mask = _mm256_movemask_pd(bad); mask != 0) [[unlikely]] {
        alignas(32) double v[4][4];
        _mm256_store_pd(v[0], p0);
        _mm256_store_pd(v[1], p1);
        _mm256_store_pd(v[2], plp0);
        _mm256_store_pd(v[3], plp1);
        for (int j = 0; j < 4; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseTerms terms = response_terms(th.k, th.m, xs[j], true, true);
          v[0][j] = terms.p[0];
          v[1][j] = terms.p[1];
          v[2][j] = terms.plp[0];
          v[3][j] = terms.plp[1];
        }
        p0 = _mm256_load_pd(v[0]);
        p1 = _mm256_load_pd(v[1]);
        plp0 = _mm256_load_pd(v[2]);
        plp1 = _mm256_load_pd(v[3]);
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
      result[d + j] = design_score(job, sum_p, sum_plp);
    }
  }
}

// score_range_lanes with eight designs per vector.
VARNEL_TARGET_LANES8 void score_range_lanes8(const ScoreJob& job, std::size_t first, std::size_t last,
                                             double* result) noexcept {
  using namespace exact_exp_log::lanes;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d zero = _mm512_setzero_pd();
  for (std::size_t d = first; d < last; d += 8) {
    const std::size_t count = std::min<std::size_t>(8, last - d);
    alignas(64) double xs[8];
    for (std::size_t j = 0; j < 8; ++j) xs[j] = job.designs->unchecked_at(d + std::min(j, count - 1), 0);
    const __m512d x = _mm512_load_pd(xs);
    __m512d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (const Theta& th : job.theta) {
      const __m512d t = _mm512_mul_pd(_mm512_sub_pd(_mm512_set1_pd(th.m), x), _mm512_set1_pd(th.k));
      __mmask8 bad_h, bad_l0, bad_l1, bad_e0, bad_e1;
      const __m512d h = exp8(tab, t, bad_h);
      const __m512d h1 = _mm512_add_pd(h, one);
      const __m512d lp1 = log8(tab, _mm512_div_pd(one, h1), bad_l1);
      const __m512d lp0 = log8(tab, _mm512_div_pd(h, h1), bad_l0);
      __m512d p1 = exp8(tab, lp1, bad_e1);
      __m512d p0 = exp8(tab, lp0, bad_e0);
      __m512d plp1 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p1, zero, _CMP_NEQ_UQ), lp1, p1);
      __m512d plp0 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p0, zero, _CMP_NEQ_UQ), lp0, p0);
      if (const unsigned mask = bad_h | bad_l0 | bad_l1 | bad_e0 | bad_e1; mask != 0) [[unlikely]] {
        alignas(64) double v[4][8];
        _mm512_store_pd(v[0], p0);
        _mm512_store_pd(v[1], p1);
        _mm512_store_pd(v[2], plp0);
        _mm512_store_pd(v[3], plp1);
        for (int j = 0; j < 8; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseTerms terms = response_terms(th.k, th.m, xs[j], true, true);
          v[0][j] = terms.p[0];
          v[1][j] = terms.p[1];
          v[2][j] = terms.plp[0];
          v[3][j] = terms.plp[1];
        }
        p0 = _mm512_load_pd(v[0]);
        p1 = _mm512_load_pd(v[1]);
        plp0 = _mm512_load_pd(v[2]);
        plp1 = _mm512_load_pd(v[3]);
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
      result[d + j] = design_score(job, sum_p, sum_plp);
    }
  }
}
#endif

void score_range(const ScoreJob& job, std::size_t first, std::size_t last, double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (job.lanes != nullptr && job.eight) {
    score_range_lanes8(job, first, last, result);
    return;
  }
  if (job.lanes != nullptr) {
    score_range_lanes(job, first, last, result);
    return;
  }
#endif
  score_range_scalar(job, first, last, result);
}

}  // namespace

std::vector<Theta> allocate_samples(std::uint64_t n_samples) {
  std::vector<Theta> theta;
  if (n_samples > theta.max_size()) throw std::bad_alloc();
  theta.reserve(static_cast<std::size_t>(n_samples));
  return theta;
}

std::vector<Theta> draw_prior_samples(std::uint64_t n_samples, const TwoParameterPsychometricModel& model) {
  std::vector<Theta> theta = allocate_samples(n_samples);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    const auto km = model.prior_from_normals(z1, z2);
    theta.push_back({km[0], km[1]});
  }
  return theta;
}

std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, std::span<const Theta> theta,
                                  std::uint64_t n_samples, const MatrixView& designs, unsigned threads) {
  return score_designs_using(ScoreKernel::Fastest, outcomes, theta, n_samples, designs, threads);
}

std::vector<double> score_designs_using(ScoreKernel kernel, std::span<const std::uint8_t> outcomes,
                                        std::span<const Theta> theta, std::uint64_t n_samples,
                                        const MatrixView& designs, unsigned threads) {
  const std::size_t n_designs = designs.rows;
  std::vector<double> result(n_designs, 0.0);
  if (outcomes.empty() || n_designs == 0) return result;
  // The mean of no samples does not exist.
  if (n_samples == 0) panic_unwrap_none();
  check_index(0, designs.cols);
  check(theta.size() == n_samples, "theta.len() == n_samples");

  ScoreJob job{outcomes, theta, &designs, false, false, nullptr, false};
  if (kernel == ScoreKernel::Fastest && exact_exp_log::lanes8_tables() != nullptr) {
    job.lanes = exact_exp_log::lanes8_tables();
    job.eight = true;
  } else if (kernel != ScoreKernel::Scalar) {
    job.lanes = exact_exp_log::lanes_tables();
  }
  for (const std::uint8_t o : outcomes) (o != 0 ? job.need_true : job.need_false) = true;

  const std::size_t n_workers = useful_workers(
      threads, static_cast<std::uint64_t>(n_designs) * n_samples, kMinPairsPerThread, n_designs);

  // Contiguous blocks of designs, whole vectors of them where the lanes run.
  const std::size_t per_vector = job.lanes == nullptr ? 1 : job.eight ? 8 : 4;
  const std::size_t vectors = (n_designs + per_vector - 1) / per_vector;
  const std::size_t block = (vectors + n_workers - 1) / n_workers * per_vector;
  score_in_blocks(n_designs, block, [&](std::size_t first, std::size_t last) {
    score_range(job, first, last, result.data());
  });
  return result;
}

}  // namespace varnel
