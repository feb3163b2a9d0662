#include "eig/eig_general.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "eig/design_blocks.hpp"
#include "eig/exact_erfc_lanes.hpp"
#include "eig/exact_expm1_lanes.hpp"
#include "sampler/panic.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {
namespace {

// Below this many (design, sample) pairs a worker thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 8192;

// What a sample contributes at every design, computed once per call.
struct SampleTerms {
  double s;
  double m;
  RateLogs rates;
};

struct GeneralJob {
  const PsychometricModel* model;
  std::span<const std::uint8_t> outcomes;
  std::span<const SampleTerms> samples;
  const MatrixView* designs;
  // The exp and log lanes' tables (with the link's erfc or expm1 lanes
  // checked), or null for the scalar loop; eight lanes (AVX-512) or four.
  const exact_exp_log::LibmTables* lanes;
  bool eight;
};

// The score of one design from its sums over the samples, outcomes in order.
double design_score(const GeneralJob& job, const double sum_p[2], const double sum_plp[2]) noexcept {
  const double n = static_cast<double>(job.samples.size());
  double total = 0.0;
  for (const std::uint8_t outcome : job.outcomes) {
    const int y = outcome != 0 ? 1 : 0;
    const double p_hat = sum_p[y] / n;
    double term = sum_plp[y] / n;
    if (p_hat != 0.0) term -= std::log(p_hat) * p_hat;
    total += term;
  }
  return total;
}

void score_range_scalar(const GeneralJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  for (std::size_t d = first; d < last; ++d) {
    const double x = job.designs->unchecked_at(d, 0);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    for (const SampleTerms& t : job.samples) {
      const ResponseProbs r = job.model->response_probs(t.s, t.m, t.rates, x);
      for (int y = 0; y < 2; ++y) {
        sum_p[y] += r.p[y];
        sum_plp[y] += r.p[y] == 0.0 ? 0.0 : r.lp[y] * r.p[y];
      }
    }
    result[d] = design_score(job, sum_p, sum_plp);
  }
}

#if defined(VARNEL_HAVE_EXACT_LANES)
// Where the scalar path takes a probability to log space instead of its log.
constexpr double kTinyProbability = 1e-280;
constexpr double kSqrtHalf = 0.70710678118654752440;

// The link's F and 1 − F in four lanes, as the scalar link computes them
// (each link with the lanes of the library functions it calls);
// `special` marks lanes to redo.
template <Link L>
VARNEL_TARGET_LANES inline void link_lanes(const exact_exp_log::LibmTables& tab, __m256d z, __m256d& F,
                                           __m256d& G, __m256d& special) noexcept {
  using namespace exact_exp_log::lanes;
  const __m256d one = _mm256_set1_pd(1.0);
  if constexpr (L == Link::Logistic) {
    const __m256d neg_abs = _mm256_or_pd(z, _mm256_set1_pd(-0.0));
    const __m256d e = exp4(tab, neg_abs, special);
    const __m256d e1 = _mm256_add_pd(one, e);
    const __m256d small = _mm256_div_pd(e, e1);
    const __m256d large = _mm256_div_pd(one, e1);
    const __m256d negative = _mm256_cmp_pd(z, _mm256_setzero_pd(), _CMP_LT_OQ);
    F = _mm256_blendv_pd(large, small, negative);
    G = _mm256_blendv_pd(small, large, negative);
  } else if constexpr (L == Link::Gumbel) {
    // F = −expm1(−e), 1 − F = exp(−e) with e = exp(z).
    const __m256d sign = _mm256_set1_pd(-0.0);
    __m256d bad_e, bad_g, bad_f;
    const __m256d neg_e = _mm256_xor_pd(exp4(tab, z, bad_e), sign);
    G = exp4(tab, neg_e, bad_g);
    F = _mm256_xor_pd(expm1_nonpositive4(neg_e, bad_f), sign);
    special = _mm256_or_pd(bad_e, _mm256_or_pd(bad_g, bad_f));
  } else {
    static_assert(L == Link::Normal);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d k = _mm256_set1_pd(kSqrtHalf);
    // erfc(−z·k) is erfc(−(z·k)): (−z)·k and −(z·k) are the same double.
    __m256d erfc_a, erfc_neg_a;
    erfc_pair4(tab, _mm256_mul_pd(z, k), erfc_a, erfc_neg_a, special);
    F = _mm256_mul_pd(half, erfc_neg_a);
    G = _mm256_mul_pd(half, erfc_a);
  }
}

// Four designs at a time, one per lane, each lane's sums over the samples in
// order as in the scalar loop. A lane that leaves the lanes' common path (a
// special input of exp, log or erfc, a probability the scalar path takes to
// log space, a non-finite link argument) is redone by the scalar formula.
template <Link L>
VARNEL_TARGET_LANES void score_range_lanes(const GeneralJob& job, std::size_t first, std::size_t last,
                                           double* result) noexcept {
  using namespace exact_exp_log::lanes;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m256d zero = _mm256_setzero_pd();
  const __m256d tiny = _mm256_set1_pd(kTinyProbability);
  const __m256d inf = _mm256_set1_pd(__builtin_inf());
  for (std::size_t d = first; d < last; d += 4) {
    const std::size_t count = std::min<std::size_t>(4, last - d);
    alignas(32) double xs[4];
    // Spare lanes repeat the last design; their results are dropped.
    for (std::size_t j = 0; j < 4; ++j) xs[j] = job.designs->unchecked_at(d + std::min(j, count - 1), 0);
    const __m256d x = _mm256_load_pd(xs);
    __m256d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (const SampleTerms& t : job.samples) {
      const __m256d z = _mm256_mul_pd(_mm256_set1_pd(t.s), _mm256_sub_pd(x, _mm256_set1_pd(t.m)));
      __m256d F, G, bad_link;
      link_lanes<L>(tab, z, F, G, bad_link);
      __m256d p0 = _mm256_add_pd(_mm256_set1_pd(t.rates.l), _mm256_mul_pd(_mm256_set1_pd(t.rates.w), G));
      __m256d p1 = _mm256_add_pd(_mm256_set1_pd(t.rates.g), _mm256_mul_pd(_mm256_set1_pd(t.rates.w), F));
      __m256d bad_l0, bad_l1;
      const __m256d lp0 = log4(tab, p0, bad_l0);
      const __m256d lp1 = log4(tab, p1, bad_l1);
      __m256d plp0 = _mm256_andnot_pd(_mm256_cmp_pd(p0, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp0, p0));
      __m256d plp1 = _mm256_andnot_pd(_mm256_cmp_pd(p1, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp1, p1));
      const __m256d off_path = _mm256_or_pd(
          _mm256_or_pd(_mm256_cmp_pd(p0, tiny, _CMP_NGT_UQ), _mm256_cmp_pd(p1, tiny, _CMP_NGT_UQ)),
          _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), z), inf, _CMP_NLT_UQ));
      const __m256d bad = _mm256_or_pd(_mm256_or_pd(bad_link, off_path), _mm256_or_pd(bad_l0, bad_l1));
      if (const int mask = _mm256_movemask_pd(bad); mask != 0) [[unlikely]] {
        alignas(32) double v[4][4];
        _mm256_store_pd(v[0], p0);
        _mm256_store_pd(v[1], p1);
        _mm256_store_pd(v[2], plp0);
        _mm256_store_pd(v[3], plp1);
        for (int j = 0; j < 4; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseProbs r = job.model->response_probs(t.s, t.m, t.rates, xs[j]);
          v[0][j] = r.p[0];
          v[1][j] = r.p[1];
          v[2][j] = r.p[0] == 0.0 ? 0.0 : r.lp[0] * r.p[0];
          v[3][j] = r.p[1] == 0.0 ? 0.0 : r.lp[1] * r.p[1];
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
// link_lanes in eight lanes.
template <Link L>
VARNEL_TARGET_LANES8 inline void link_lanes8(const exact_exp_log::LibmTables& tab, __m512d z, __m512d& F,
                                             __m512d& G, __mmask8& special) noexcept {
  using namespace exact_exp_log::lanes;
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d sign = _mm512_set1_pd(-0.0);
  if constexpr (L == Link::Logistic) {
    const __m512d e = exp8(tab, _mm512_or_pd(z, sign), special);
    const __m512d e1 = _mm512_add_pd(one, e);
    const __m512d small = _mm512_div_pd(e, e1);
    const __m512d large = _mm512_div_pd(one, e1);
    const __mmask8 negative = _mm512_cmp_pd_mask(z, _mm512_setzero_pd(), _CMP_LT_OQ);
    F = _mm512_mask_blend_pd(negative, large, small);
    G = _mm512_mask_blend_pd(negative, small, large);
  } else if constexpr (L == Link::Gumbel) {
    __mmask8 bad_e, bad_g, bad_f;
    const __m512d neg_e = _mm512_xor_pd(exp8(tab, z, bad_e), sign);
    G = exp8(tab, neg_e, bad_g);
    F = _mm512_xor_pd(expm1_nonpositive8(neg_e, bad_f), sign);
    special = static_cast<__mmask8>(bad_e | bad_g | bad_f);
  } else {
    static_assert(L == Link::Normal);
    __m512d erfc_a, erfc_neg_a;
    erfc_pair8(tab, _mm512_mul_pd(z, _mm512_set1_pd(kSqrtHalf)), erfc_a, erfc_neg_a, special);
    F = _mm512_mul_pd(_mm512_set1_pd(0.5), erfc_neg_a);
    G = _mm512_mul_pd(_mm512_set1_pd(0.5), erfc_a);
  }
}

// score_range_lanes with eight designs per vector.
template <Link L>
VARNEL_TARGET_LANES8 void score_range_lanes8(const GeneralJob& job, std::size_t first, std::size_t last,
                                             double* result) noexcept {
  using namespace exact_exp_log::lanes;
  const exact_exp_log::LibmTables& tab = *job.lanes;
  const __m512d zero = _mm512_setzero_pd();
  const __m512d tiny = _mm512_set1_pd(kTinyProbability);
  const __m512d inf = _mm512_set1_pd(__builtin_inf());
  for (std::size_t d = first; d < last; d += 8) {
    const std::size_t count = std::min<std::size_t>(8, last - d);
    alignas(64) double xs[8];
    for (std::size_t j = 0; j < 8; ++j) xs[j] = job.designs->unchecked_at(d + std::min(j, count - 1), 0);
    const __m512d x = _mm512_load_pd(xs);
    __m512d sum_p0 = zero, sum_p1 = zero, sum_plp0 = zero, sum_plp1 = zero;
    for (const SampleTerms& t : job.samples) {
      const __m512d z = _mm512_mul_pd(_mm512_set1_pd(t.s), _mm512_sub_pd(x, _mm512_set1_pd(t.m)));
      __m512d F, G;
      __mmask8 bad_link;
      link_lanes8<L>(tab, z, F, G, bad_link);
      __m512d p0 = _mm512_add_pd(_mm512_set1_pd(t.rates.l), _mm512_mul_pd(_mm512_set1_pd(t.rates.w), G));
      __m512d p1 = _mm512_add_pd(_mm512_set1_pd(t.rates.g), _mm512_mul_pd(_mm512_set1_pd(t.rates.w), F));
      __mmask8 bad_l0, bad_l1;
      const __m512d lp0 = log8(tab, p0, bad_l0);
      const __m512d lp1 = log8(tab, p1, bad_l1);
      __m512d plp0 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p0, zero, _CMP_NEQ_UQ), lp0, p0);
      __m512d plp1 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p1, zero, _CMP_NEQ_UQ), lp1, p1);
      const __mmask8 off_path = static_cast<__mmask8>(
          _mm512_cmp_pd_mask(p0, tiny, _CMP_NGT_UQ) | _mm512_cmp_pd_mask(p1, tiny, _CMP_NGT_UQ) |
          _mm512_cmp_pd_mask(_mm512_andnot_pd(_mm512_set1_pd(-0.0), z), inf, _CMP_NLT_UQ));
      if (const unsigned mask = bad_link | off_path | bad_l0 | bad_l1; mask != 0) [[unlikely]] {
        alignas(64) double v[4][8];
        _mm512_store_pd(v[0], p0);
        _mm512_store_pd(v[1], p1);
        _mm512_store_pd(v[2], plp0);
        _mm512_store_pd(v[3], plp1);
        for (int j = 0; j < 8; ++j) {
          if (((mask >> j) & 1) == 0) continue;
          const ResponseProbs r = job.model->response_probs(t.s, t.m, t.rates, xs[j]);
          v[0][j] = r.p[0];
          v[1][j] = r.p[1];
          v[2][j] = r.p[0] == 0.0 ? 0.0 : r.lp[0] * r.p[0];
          v[3][j] = r.p[1] == 0.0 ? 0.0 : r.lp[1] * r.p[1];
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

template <Link L>
void score_range_for(const GeneralJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  if (job.eight) {
    score_range_lanes8<L>(job, first, last, result);
  } else {
    score_range_lanes<L>(job, first, last, result);
  }
}
#endif

// The lanes' tables for the model's link (the eight-lane variant's when
// `eight`), or null where only the scalar loop reproduces the library.
const exact_exp_log::LibmTables* lanes_for(Link link, bool eight) noexcept {
  switch (link) {
    case Link::Logistic:
      return eight ? exact_exp_log::lanes8_tables() : exact_exp_log::lanes_tables();
    case Link::Normal:
      return eight ? exact_exp_log::erfc_lanes8_tables() : exact_exp_log::erfc_lanes_tables();
    case Link::Gumbel:
      return eight ? exact_exp_log::expm1_lanes8_tables() : exact_exp_log::expm1_lanes_tables();
  }
  return nullptr;
}

void score_range(const GeneralJob& job, std::size_t first, std::size_t last, double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (job.lanes != nullptr) {
    switch (job.model->link) {
      case Link::Logistic:
        return score_range_for<Link::Logistic>(job, first, last, result);
      case Link::Normal:
        return score_range_for<Link::Normal>(job, first, last, result);
      case Link::Gumbel:
        return score_range_for<Link::Gumbel>(job, first, last, result);
    }
  }
#endif
  score_range_scalar(job, first, last, result);
}

}  // namespace

bool is_in_support(const PsychometricModel& model, std::span<const double> row) noexcept {
  const auto [s, m, g, l] = model.full_natural(row);
  return s > 0.0 && std::isfinite(s) && std::isfinite(m) && PsychometricModel::rate_logs(g, l).valid;
}

std::vector<double> allocate_general_rows(std::uint64_t n_samples, std::size_t dim) {
  std::vector<double> theta;
  if (n_samples > theta.max_size() / dim) throw std::bad_alloc();
  theta.resize(static_cast<std::size_t>(n_samples) * dim);
  return theta;
}

std::vector<double> draw_general_prior_samples(std::uint64_t n_samples, const PsychometricModel& model) {
  const std::size_t dim = model.dim();
  std::vector<double> theta = allocate_general_rows(n_samples, dim);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const std::vector<double> draw = model.sample_prior(rng);
    std::copy(draw.begin(), draw.end(), theta.begin() + static_cast<std::ptrdiff_t>(n * dim));
  }
  return theta;
}

std::vector<double> score_designs_general(const PsychometricModel& model, std::span<const std::uint8_t> outcomes,
                                          std::span<const double> theta, std::uint64_t n_samples,
                                          const MatrixView& designs, unsigned threads) {
  return score_designs_general_using(ScoreKernel::Fastest, model, outcomes, theta, n_samples, designs, threads);
}

std::vector<double> score_designs_general_using(ScoreKernel kernel, const PsychometricModel& model,
                                                std::span<const std::uint8_t> outcomes,
                                                std::span<const double> theta, std::uint64_t n_samples,
                                                const MatrixView& designs, unsigned threads) {
  const std::size_t n_designs = designs.rows;
  std::vector<double> result(n_designs, 0.0);
  if (outcomes.empty() || n_designs == 0) return result;
  if (n_samples == 0) panic_unwrap_none();
  check_index(0, designs.cols);
  const std::size_t dim = model.dim();
  check(theta.size() / dim == n_samples && theta.size() % dim == 0, "theta.len() == n_samples * dim");

  std::vector<SampleTerms> samples;
  samples.reserve(static_cast<std::size_t>(n_samples));
  for (std::size_t n = 0; n < n_samples; ++n) {
    const auto [s, m, g, l] = model.full_natural(theta.subspan(n * dim, dim));
    check(is_in_support(model, theta.subspan(n * dim, dim)), "parameter row inside the model's support");
    SampleTerms t{s, m, PsychometricModel::rate_logs(g, l)};
    samples.push_back(t);
  }

  GeneralJob job{&model, outcomes, samples, &designs, nullptr, false};
  if (kernel == ScoreKernel::Fastest && lanes_for(model.link, true) != nullptr) {
    job.lanes = lanes_for(model.link, true);
    job.eight = true;
  } else if (kernel != ScoreKernel::Scalar) {
    job.lanes = lanes_for(model.link, false);
  }
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
