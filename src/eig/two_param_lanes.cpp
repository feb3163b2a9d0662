// The two-parameter model's lanes: p(y) = exp(log p(y)) from one exponential
// of the logit t = (m − x)·k, as its response_probs computes it.

#include "eig/lane_loop.hpp"
#include "eig/model_lanes.hpp"

namespace varnel {
namespace {

#if defined(VARNEL_HAVE_EXACT_LANES)
// A lane leaves the common path at an exp of a huge logit, a log of 0 or NaN,
// or an exp of a log below -512.
struct TwoParamTerms {
  using Sample = TwoParameterPsychometricModel::EigSample;

  VARNEL_TARGET_LANES static inline __m256d terms4(const exact_exp_log::LibmTables& tab, const Sample& th,
                                                   __m256d x, __m256d& p0, __m256d& p1, __m256d& plp0,
                                                   __m256d& plp1) noexcept {
    using namespace exact_exp_log::lanes;
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d t = _mm256_mul_pd(_mm256_sub_pd(_mm256_set1_pd(th.m), x), _mm256_set1_pd(th.k));
    __m256d bad_h, bad_l0, bad_l1, bad_e0, bad_e1;
    const __m256d h = exp4(tab, t, bad_h);
    const __m256d h1 = _mm256_add_pd(h, one);
    const __m256d lp1 = log4(tab, _mm256_div_pd(one, h1), bad_l1);
    const __m256d lp0 = log4(tab, _mm256_div_pd(h, h1), bad_l0);
    p1 = exp4(tab, lp1, bad_e1);
    p0 = exp4(tab, lp0, bad_e0);
    plp1 = _mm256_andnot_pd(_mm256_cmp_pd(p1, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp1, p1));
    plp0 = _mm256_andnot_pd(_mm256_cmp_pd(p0, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp0, p0));
    return _mm256_or_pd(_mm256_or_pd(bad_h, _mm256_or_pd(bad_l0, bad_l1)), _mm256_or_pd(bad_e0, bad_e1));
  }

  VARNEL_TARGET_LANES8 static inline unsigned terms8(const exact_exp_log::LibmTables& tab, const Sample& th,
                                                     __m512d x, __m512d& p0, __m512d& p1, __m512d& plp0,
                                                     __m512d& plp1) noexcept {
    using namespace exact_exp_log::lanes;
    const __m512d one = _mm512_set1_pd(1.0);
    const __m512d zero = _mm512_setzero_pd();
    const __m512d t = _mm512_mul_pd(_mm512_sub_pd(_mm512_set1_pd(th.m), x), _mm512_set1_pd(th.k));
    __mmask8 bad_h, bad_l0, bad_l1, bad_e0, bad_e1;
    const __m512d h = exp8(tab, t, bad_h);
    const __m512d h1 = _mm512_add_pd(h, one);
    const __m512d lp1 = log8(tab, _mm512_div_pd(one, h1), bad_l1);
    const __m512d lp0 = log8(tab, _mm512_div_pd(h, h1), bad_l0);
    p1 = exp8(tab, lp1, bad_e1);
    p0 = exp8(tab, lp0, bad_e0);
    plp1 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p1, zero, _CMP_NEQ_UQ), lp1, p1);
    plp0 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p0, zero, _CMP_NEQ_UQ), lp0, p0);
    return bad_h | bad_l0 | bad_l1 | bad_e0 | bad_e1;
  }
};
#endif

}  // namespace

const exact_exp_log::LibmTables* EigLanes<TwoParameterPsychometricModel>::tables(
    const TwoParameterPsychometricModel&, bool eight) noexcept {
  return eight ? exact_exp_log::lanes8_tables() : exact_exp_log::lanes_tables();
}

void EigLanes<TwoParameterPsychometricModel>::score_range(const ScoreJob<TwoParameterPsychometricModel>& job,
                                                          std::size_t first, std::size_t last,
                                                          double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (job.eight) return score_range_lanes8<TwoParameterPsychometricModel, TwoParamTerms>(job, first, last, result);
  return score_range_lanes4<TwoParameterPsychometricModel, TwoParamTerms>(job, first, last, result);
#else
  score_range_scalar(job, first, last, result);
#endif
}

}  // namespace varnel
