#include "eig/response_lanes.hpp"

#include "eig/link_lanes.hpp"
#include "eig/model_lanes.hpp"

namespace varnel {
namespace {

#if defined(VARNEL_HAVE_EXACT_LANES)
constexpr double kTinyProbability = 1e-280;
constexpr double kInvSqrtTwoPi = 0.39894228040143267794;

// response_at in four lanes: the link's F, 1 − F and density f, then
// p = γ + w·F (yes) or λ + w·(1 − F) (no), its log and the derivatives, each
// formed as the scalar code forms it. Flags the lanes that leave this path
// (special inputs of the library functions, a probability the scalar code
// takes to log space, a non-finite z).
template <Link L>
VARNEL_TARGET_LANES void response_lanes4(const exact_exp_log::LibmTables& tab, const PsychometricModel& model,
                                         const RateLogs& rates, const double* zs, const std::uint8_t* ys,
                                         ResponseLogProb* out) noexcept {
  using namespace exact_exp_log::lanes;
  const __m256d sign = _mm256_set1_pd(-0.0);
  const __m256d z = _mm256_loadu_pd(zs);
  const __m256d yes = _mm256_castsi256_pd(_mm256_sub_epi64(
      _mm256_setzero_si256(), _mm256_set_epi64x(ys[3], ys[2], ys[1], ys[0])));  // all ones where y = 1
  __m256d F, G, special, e;
  link_lanes<L>(tab, z, F, G, special, &e);
  __m256d f;
  if constexpr (L == Link::Logistic) {
    f = _mm256_mul_pd(F, G);
  } else if constexpr (L == Link::Normal) {
    __m256d bad_f;
    const __m256d density = exp4(tab, _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-0.5), z), z), bad_f);
    f = _mm256_mul_pd(_mm256_set1_pd(kInvSqrtTwoPi), density);
    special = _mm256_or_pd(special, bad_f);
  } else {
    // e·G, or 0 where G underflows (e·G would be ∞·0 once e overflows).
    f = _mm256_andnot_pd(_mm256_cmp_pd(G, _mm256_setzero_pd(), _CMP_EQ_OQ), _mm256_mul_pd(e, G));
  }
  const __m256d g = _mm256_set1_pd(rates.g);
  const __m256d l = _mm256_set1_pd(rates.l);
  const __m256d w = _mm256_set1_pd(rates.w);
  const __m256d p = _mm256_blendv_pd(_mm256_add_pd(l, _mm256_mul_pd(w, G)), _mm256_add_pd(g, _mm256_mul_pd(w, F)), yes);
  __m256d bad_log;
  const __m256d lp = log4(tab, p, bad_log);
  // sign·w·f/p with sign = ±1: ±w exactly.
  const __m256d signed_w = _mm256_blendv_pd(_mm256_xor_pd(w, sign), w, yes);
  const __m256d d_z = _mm256_div_pd(_mm256_mul_pd(signed_w, f), p);
  const __m256d d_g = _mm256_div_pd(_mm256_mul_pd(G, g), p);
  const __m256d d_l = _mm256_div_pd(_mm256_mul_pd(F, l), p);
  const __m256d minus_d_g = _mm256_xor_pd(d_g, sign);
  const __m256d minus_d_l = _mm256_xor_pd(d_l, sign);
  const __m256d d_log_g = _mm256_mul_pd(_mm256_blendv_pd(minus_d_g, d_g, yes), _mm256_set1_pd(rates.scale_g));
  const __m256d l_term = _mm256_blendv_pd(d_l, minus_d_l, yes);
  const __m256d d_log_l = _mm256_mul_pd(l_term, _mm256_set1_pd(rates.scale_l));
  const __m256d d_cross = _mm256_mul_pd(l_term, _mm256_set1_pd(rates.scale_cross));
  const __m256d off_path = _mm256_or_pd(
      _mm256_cmp_pd(p, _mm256_set1_pd(kTinyProbability), _CMP_NGT_UQ),
      _mm256_cmp_pd(_mm256_andnot_pd(sign, z), _mm256_set1_pd(__builtin_inf()), _CMP_NLT_UQ));
  alignas(32) double v[5][4];
  _mm256_store_pd(v[0], lp);
  _mm256_store_pd(v[1], d_z);
  _mm256_store_pd(v[2], d_log_g);
  _mm256_store_pd(v[3], d_log_l);
  _mm256_store_pd(v[4], d_cross);
  const int redo = _mm256_movemask_pd(_mm256_or_pd(_mm256_or_pd(special, bad_log), off_path));
  for (int k = 0; k < 4; ++k) {
    out[k] = (redo & (1 << k)) ? model.response_at(rates, zs[k], ys[k] != 0)
                               : ResponseLogProb{v[0][k], v[1][k], v[2][k], v[3][k], v[4][k]};
  }
}

template <Link L>
void response_rows_lanes(const PsychometricModel& model, const RateLogs& rates, const double* z,
                         const std::uint8_t* y, std::size_t n, ResponseLogProb* out) {
  // The link's tables, looked up once per process rather than per block of rows.
  static const exact_exp_log::LibmTables* const tab = EigLanes<PsychometricModel>::tables(model, false);
  std::size_t i = 0;
  if (tab != nullptr) {
    for (; i + 4 <= n; i += 4) response_lanes4<L>(*tab, model, rates, z + i, y + i, out + i);
  }
  for (; i < n; ++i) out[i] = model.response_at(rates, z[i], y[i] != 0);
}
#endif

}  // namespace

ResponseRowsFn exact_response_rows(Link link) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  PsychometricModel probe;
  probe.link = link;
  if (EigLanes<PsychometricModel>::tables(probe, false) == nullptr) return nullptr;
  switch (link) {
    case Link::Logistic:
      return &response_rows_lanes<Link::Logistic>;
    case Link::Normal:
      return &response_rows_lanes<Link::Normal>;
    case Link::Gumbel:
      return &response_rows_lanes<Link::Gumbel>;
  }
#endif
  (void)link;
  return nullptr;
}

}  // namespace varnel
