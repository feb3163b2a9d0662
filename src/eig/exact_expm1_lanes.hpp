#pragma once
// expm1 of non-positive arguments four lanes at a time with exactly the C
// library's results, for the Gumbel link's 1 − exp(−e^z) = −expm1(−e^z).
//
// The C library's expm1 on a processor with FMA is its FMA build of the
// classic algorithm: x = k·ln2 + r with r in [−ln2/2, ln2/2], a rational
// correction of r·(e^r − 1) in terms of r²/2, and the result rebuilt from k.
// The lanes repeat the operations of that build for x <= 0, fusing exactly
// where it fuses (read off its code), in the same order; the constants are
// the published ones of that algorithm (freely redistributable, from the
// 1993 Sun Microsystems implementation).
//
// Whether the lanes may be used is decided once per process by a self-check
// against the library (expm1_lanes_tables() below); NaN lanes are flagged for
// the caller to redo.

#include "eig/exact_exp_log_lanes.hpp"

namespace varnel::exact_exp_log {

// The exp and log tables when the expm1 lanes (and so the exp and log lanes)
// are usable: the processor has AVX2 and FMA, the tables were found, and
// expm1_nonpositive4 agreed bit for bit with the library on every input of
// its self-check; else null.
const LibmTables* expm1_lanes_tables() noexcept;

// The same for the eight-lane variant expm1_nonpositive8 (AVX-512 F and DQ).
const LibmTables* expm1_lanes8_tables() noexcept;

#if defined(VARNEL_HAVE_EXACT_LANES)
namespace lanes {

namespace expm1_coefficients {
inline constexpr double kLn2Hi = 6.93147180369123816490e-01;
inline constexpr double kLn2Lo = 1.90821492927058770002e-10;
inline constexpr double kInvLn2 = 1.44269504088896338700e+00;
inline constexpr double kQ[6] = {1.0, -3.33333333333331316428e-02, 1.58730158725481460165e-03,
                                 -7.93650757867487942473e-05, 4.00821782732936239552e-06,
                                 -2.01099218183624371326e-07};
// |x| from which the result is −1 (56·ln2), above which the argument is
// reduced (ln2/2), from which k is computed (1.5·ln2), below which x is its
// own result (2^-54): each the double whose high word the library compares.
inline constexpr double kSaturation = 0x1.3687ap+5;
inline constexpr double kReduce = 0x1.62e43p-2;
inline constexpr double kGeneralK = 0x1.0a2b2p+0;
inline constexpr double kTiny = 0x1p-54;
}  // namespace expm1_coefficients

// expm1(x) for x <= 0 (or −0) in every lane; `special` gets all ones in the
// lanes whose result is garbage (NaN inputs). Precondition: no lane holds a
// positive number.
VARNEL_TARGET_LANES inline __m256d expm1_nonpositive4(__m256d x, __m256d& special) noexcept {
  namespace c = expm1_coefficients;
  const __m256d one = _mm256_set1_pd(1.0);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m256d ax = _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
  special = _mm256_cmp_pd(x, x, _CMP_UNORD_Q);
  const __m256d saturated = _mm256_cmp_pd(ax, _mm256_set1_pd(c::kSaturation), _CMP_GE_OQ);
  const __m256d reduced = _mm256_cmp_pd(ax, _mm256_set1_pd(c::kReduce), _CMP_GE_OQ);
  const __m256d general_k = _mm256_cmp_pd(ax, _mm256_set1_pd(c::kGeneralK), _CMP_GE_OQ);
  const __m256d tiny = _mm256_cmp_pd(ax, _mm256_set1_pd(c::kTiny), _CMP_LT_OQ);

  // Argument reduction: k = −1 below 1.5·ln2, else trunc(x/ln2 − 0.5).
  const __m256d tk = _mm256_round_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(c::kInvLn2), x), _mm256_set1_pd(-0.5)),
                                     _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m256d hi_general = _mm256_fnmadd_pd(tk, _mm256_set1_pd(c::kLn2Hi), x);
  const __m256d lo_general = _mm256_mul_pd(tk, _mm256_set1_pd(c::kLn2Lo));
  const __m256d hi = _mm256_blendv_pd(_mm256_add_pd(x, _mm256_set1_pd(c::kLn2Hi)), hi_general, general_k);
  const __m256d lo = _mm256_blendv_pd(_mm256_set1_pd(-c::kLn2Lo), lo_general, general_k);
  const __m256d k = _mm256_and_pd(reduced, _mm256_blendv_pd(_mm256_set1_pd(-1.0), tk, general_k));
  const __m256d xr_reduced = _mm256_sub_pd(hi, lo);
  const __m256d cr = _mm256_and_pd(reduced, _mm256_sub_pd(_mm256_sub_pd(hi, xr_reduced), lo));
  const __m256d xr = _mm256_blendv_pd(x, xr_reduced, reduced);

  // The primary range.
  const __m256d hfx = _mm256_mul_pd(xr, half);
  const __m256d hxs = _mm256_mul_pd(xr, hfx);
  const __m256d r2 = _mm256_fmadd_pd(hxs, _mm256_set1_pd(c::kQ[3]), _mm256_set1_pd(c::kQ[2]));
  const __m256d r3 = _mm256_fmadd_pd(hxs, _mm256_set1_pd(c::kQ[5]), _mm256_set1_pd(c::kQ[4]));
  const __m256d h2 = _mm256_mul_pd(hxs, hxs);
  const __m256d r1 = _mm256_fmadd_pd(hxs, _mm256_set1_pd(c::kQ[1]), one);
  const __m256d h4 = _mm256_mul_pd(h2, h2);
  const __m256d rr = _mm256_fmadd_pd(h4, r3, _mm256_fmadd_pd(h2, r2, r1));
  const __m256d t = _mm256_fnmadd_pd(rr, hfx, _mm256_set1_pd(3.0));
  const __m256d e0 = _mm256_mul_pd(_mm256_div_pd(_mm256_sub_pd(rr, t), _mm256_fnmadd_pd(xr, t, _mm256_set1_pd(6.0))), hxs);

  // k = 0: x − (x·e − hxs).
  const __m256d k_zero = _mm256_sub_pd(xr, _mm256_fmsub_pd(e0, xr, hxs));
  // Otherwise e = (x(e − c) − c) − hxs, then k = −1: 0.5(x − e) − 0.5, and
  // k <= −2: 2^k (1 − (e − x)) − 1 with k added to the exponent's bits.
  const __m256d e = _mm256_sub_pd(_mm256_fmsub_pd(_mm256_sub_pd(e0, cr), xr, cr), hxs);
  const __m256d k_minus_one = _mm256_fmadd_pd(half, _mm256_sub_pd(xr, e), _mm256_set1_pd(-0.5));
  const __m256d y = _mm256_sub_pd(one, _mm256_sub_pd(e, xr));
  // k as a 64-bit integer: the low bits of k + 1.5·2^52 (exact for |k| < 2^51).
  const __m256d magic = _mm256_set1_pd(0x1.8p52);
  const __m256i ki = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(k, magic)), _mm256_castpd_si256(magic));
  const __m256d scaled = _mm256_castsi256_pd(_mm256_add_epi64(_mm256_castpd_si256(y), _mm256_slli_epi64(ki, 52)));
  const __m256d k_below = _mm256_sub_pd(scaled, one);

  const __m256d is_zero_k = _mm256_cmp_pd(k, _mm256_setzero_pd(), _CMP_EQ_OQ);
  const __m256d is_minus_one = _mm256_cmp_pd(k, _mm256_set1_pd(-1.0), _CMP_EQ_OQ);
  __m256d result = _mm256_blendv_pd(_mm256_blendv_pd(k_below, k_minus_one, is_minus_one), k_zero, is_zero_k);
  result = _mm256_blendv_pd(result, x, tiny);
  // 1e-300 − 1 is −1.
  return _mm256_blendv_pd(result, _mm256_set1_pd(-1.0), saturated);
}

// expm1_nonpositive4 in eight lanes, the same operations in the same order.
VARNEL_TARGET_LANES8 inline __m512d expm1_nonpositive8(__m512d x, __mmask8& special) noexcept {
  namespace c = expm1_coefficients;
  const __m512d one = _mm512_set1_pd(1.0);
  const __m512d half = _mm512_set1_pd(0.5);
  const __m512d ax = _mm512_andnot_pd(_mm512_set1_pd(-0.0), x);
  special = _mm512_cmp_pd_mask(x, x, _CMP_UNORD_Q);
  const __mmask8 saturated = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kSaturation), _CMP_GE_OQ);
  const __mmask8 reduced = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kReduce), _CMP_GE_OQ);
  const __mmask8 general_k = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kGeneralK), _CMP_GE_OQ);
  const __mmask8 tiny = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kTiny), _CMP_LT_OQ);

  const __m512d tk = _mm512_roundscale_pd(
      _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(c::kInvLn2), x), _mm512_set1_pd(-0.5)),
      _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
  const __m512d hi_general = _mm512_fnmadd_pd(tk, _mm512_set1_pd(c::kLn2Hi), x);
  const __m512d lo_general = _mm512_mul_pd(tk, _mm512_set1_pd(c::kLn2Lo));
  const __m512d hi = _mm512_mask_blend_pd(general_k, _mm512_add_pd(x, _mm512_set1_pd(c::kLn2Hi)), hi_general);
  const __m512d lo = _mm512_mask_blend_pd(general_k, _mm512_set1_pd(-c::kLn2Lo), lo_general);
  const __m512d k = _mm512_maskz_mov_pd(reduced, _mm512_mask_blend_pd(general_k, _mm512_set1_pd(-1.0), tk));
  const __m512d xr_reduced = _mm512_sub_pd(hi, lo);
  const __m512d cr = _mm512_maskz_mov_pd(reduced, _mm512_sub_pd(_mm512_sub_pd(hi, xr_reduced), lo));
  const __m512d xr = _mm512_mask_blend_pd(reduced, x, xr_reduced);

  const __m512d hfx = _mm512_mul_pd(xr, half);
  const __m512d hxs = _mm512_mul_pd(xr, hfx);
  const __m512d r2 = _mm512_fmadd_pd(hxs, _mm512_set1_pd(c::kQ[3]), _mm512_set1_pd(c::kQ[2]));
  const __m512d r3 = _mm512_fmadd_pd(hxs, _mm512_set1_pd(c::kQ[5]), _mm512_set1_pd(c::kQ[4]));
  const __m512d h2 = _mm512_mul_pd(hxs, hxs);
  const __m512d r1 = _mm512_fmadd_pd(hxs, _mm512_set1_pd(c::kQ[1]), one);
  const __m512d h4 = _mm512_mul_pd(h2, h2);
  const __m512d rr = _mm512_fmadd_pd(h4, r3, _mm512_fmadd_pd(h2, r2, r1));
  const __m512d t = _mm512_fnmadd_pd(rr, hfx, _mm512_set1_pd(3.0));
  const __m512d e0 =
      _mm512_mul_pd(_mm512_div_pd(_mm512_sub_pd(rr, t), _mm512_fnmadd_pd(xr, t, _mm512_set1_pd(6.0))), hxs);

  const __m512d k_zero = _mm512_sub_pd(xr, _mm512_fmsub_pd(e0, xr, hxs));
  const __m512d e = _mm512_sub_pd(_mm512_fmsub_pd(_mm512_sub_pd(e0, cr), xr, cr), hxs);
  const __m512d k_minus_one = _mm512_fmadd_pd(half, _mm512_sub_pd(xr, e), _mm512_set1_pd(-0.5));
  const __m512d y = _mm512_sub_pd(one, _mm512_sub_pd(e, xr));
  const __m512i ki = _mm512_cvtpd_epi64(k);  // k is a whole number
  const __m512d scaled = _mm512_castsi512_pd(_mm512_add_epi64(_mm512_castpd_si512(y), _mm512_slli_epi64(ki, 52)));
  const __m512d k_below = _mm512_sub_pd(scaled, one);

  const __mmask8 is_zero_k = _mm512_cmp_pd_mask(k, _mm512_setzero_pd(), _CMP_EQ_OQ);
  const __mmask8 is_minus_one = _mm512_cmp_pd_mask(k, _mm512_set1_pd(-1.0), _CMP_EQ_OQ);
  __m512d result = _mm512_mask_blend_pd(is_zero_k, _mm512_mask_blend_pd(is_minus_one, k_below, k_minus_one), k_zero);
  result = _mm512_mask_blend_pd(tiny, result, x);
  return _mm512_mask_blend_pd(saturated, result, _mm512_set1_pd(-1.0));
}

}  // namespace lanes
#endif

}  // namespace varnel::exact_exp_log
