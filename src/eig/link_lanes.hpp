#pragma once
// The links' F and 1 − F of z in vector lanes, as the scalar link computes
// them: each link with the lanes of the library functions it calls. Callers
// carry the lanes' target attribute and hold tables admitted for the link.

#include "eig/exact_erfc_lanes.hpp"
#include "eig/exact_exp_log_lanes.hpp"
#include "eig/exact_expm1_lanes.hpp"
#include "model/psychometric.hpp"

namespace varnel {

#if defined(VARNEL_HAVE_EXACT_LANES)
inline constexpr double kLanesSqrtHalf = 0.70710678118654752440;

// The link's F and 1 − F in four lanes; `special` marks lanes to redo, and
// the Gumbel link hands out its e = exp(z) on request.
template <Link L>
VARNEL_TARGET_LANES inline void link_lanes(const exact_exp_log::LibmTables& tab, __m256d z, __m256d& F,
                                           __m256d& G, __m256d& special, __m256d* gumbel_e = nullptr) noexcept {
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
    const __m256d e = exp4(tab, z, bad_e);
    if (gumbel_e != nullptr) *gumbel_e = e;
    const __m256d neg_e = _mm256_xor_pd(e, sign);
    G = exp4(tab, neg_e, bad_g);
    F = _mm256_xor_pd(expm1_nonpositive4(neg_e, bad_f), sign);
    special = _mm256_or_pd(bad_e, _mm256_or_pd(bad_g, bad_f));
  } else {
    static_assert(L == Link::Normal);
    const __m256d half = _mm256_set1_pd(0.5);
    const __m256d k = _mm256_set1_pd(kLanesSqrtHalf);
    // erfc(−z·k) is erfc(−(z·k)): (−z)·k and −(z·k) are the same double.
    __m256d erfc_a, erfc_neg_a;
    erfc_pair4(tab, _mm256_mul_pd(z, k), erfc_a, erfc_neg_a, special);
    F = _mm256_mul_pd(half, erfc_neg_a);
    G = _mm256_mul_pd(half, erfc_a);
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
    erfc_pair8(tab, _mm512_mul_pd(z, _mm512_set1_pd(kLanesSqrtHalf)), erfc_a, erfc_neg_a, special);
    F = _mm512_mul_pd(_mm512_set1_pd(0.5), erfc_neg_a);
    G = _mm512_mul_pd(_mm512_set1_pd(0.5), erfc_a);
  }
}

// F alone, for curves: the F of link_lanes8 with the operations of G left
// out (one division for the logistic link, no third exp for the Gumbel
// link), in two stages that a loop over a whole column may run as two
// passes: the exp call of every vector, then F from each. In one loop the
// Gumbel link's exp and expm1 are one long chain per vector, of which the
// processor holds too few at a time. The normal link's curves take their
// own way.
//
// Stage one: the exp of z's link, NaN in the lanes whose call is special.
template <Link L>
VARNEL_TARGET_LANES8 inline __m512d link_exp8(const exact_exp_log::LibmTables& tab, __m512d z) noexcept {
  using namespace exact_exp_log::lanes;
  static_assert(L != Link::Normal, "the normal link's curve runs erfc range by range (p_yes_column8_normal)");
  // The logistic link's exp(−|z|); the Gumbel link's exp(z).
  const __m512d argument = L == Link::Logistic ? _mm512_or_pd(z, _mm512_set1_pd(-0.0)) : z;
  __mmask8 special;
  const __m512d e = exp8(tab, argument, special);
  return _mm512_mask_blend_pd(special, e, _mm512_set1_pd(__builtin_nan("")));
}

// Stage two: F from the same z and its link_exp8; `special` flags the lanes
// whose F needs the scalar path.
template <Link L>
VARNEL_TARGET_LANES8 inline __m512d link_F8_of_exp(__m512d e, __m512d z, __mmask8& special) noexcept {
  using namespace exact_exp_log::lanes;
  const __m512d one = _mm512_set1_pd(1.0);
  special = _mm512_cmp_pd_mask(e, e, _CMP_UNORD_Q);
  if constexpr (L == Link::Logistic) {
    const __mmask8 negative = _mm512_cmp_pd_mask(z, _mm512_setzero_pd(), _CMP_LT_OQ);
    // e/(1 + e) below 0, 1/(1 + e) above: the same division as link_lanes8's in each lane.
    return _mm512_div_pd(_mm512_mask_blend_pd(negative, one, e), _mm512_add_pd(one, e));
  } else {
    static_assert(L == Link::Gumbel, "the normal link's curve runs erfc range by range (p_yes_column8_normal)");
    const __m512d sign = _mm512_set1_pd(-0.0);
    __mmask8 bad_f;
    const __m512d F = _mm512_xor_pd(expm1_nonpositive8(_mm512_xor_pd(e, sign), bad_f), sign);
    special = static_cast<__mmask8>(special | bad_f);
    return F;
  }
}

#endif

}  // namespace varnel
