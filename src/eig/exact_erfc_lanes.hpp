#pragma once
// erfc four lanes at a time with exactly the C library's results, for the
// kernels that evaluate the normal link in their own loops.
//
// The C library's erfc is the classic rational approximation over four
// ranges of |x| (below 0.84375, below 1.25, below 28 in two pieces, beyond),
// evaluated in plain double arithmetic with its polynomials split into pairs
// of terms, and two calls of its exp in the tail ranges. The lanes repeat that
// arithmetic operation by operation in the same order (no fused operations:
// the library's erfc has none), with the exact exp lanes for the exp calls.
// The coefficients are the published ones of that approximation (freely
// redistributable, from the 1993 Sun Microsystems implementation).
//
// Whether the lanes may be used is decided once per process by a self-check
// against the library on spread inputs (erfc_lanes_tables() below); lanes
// whose input needs the library call (NaN, infinities, an exp argument off
// the exp lanes' common path) are flagged for the caller to redo.

#include "eig/exact_exp_log_lanes.hpp"

namespace varnel::exact_exp_log {

// The exp and log tables when the erfc lanes (and so the exp and log lanes)
// are usable: the processor has AVX2 and FMA, the tables were found, and
// erfc_pair4 agreed bit for bit with the library (both results) on every input of its
// self-check; else null.
const LibmTables* erfc_lanes_tables() noexcept;

// The same for the eight-lane variant erfc_pair8: also the processor has
// AVX-512 F and DQ, and the eight-lane exp and log passed their own check.
const LibmTables* erfc_lanes8_tables() noexcept;

#if defined(VARNEL_HAVE_EXACT_LANES)
namespace lanes {

namespace erfc_coefficients {
inline constexpr double kErx = 8.45062911510467529297e-01;
inline constexpr double kPp[5] = {1.28379167095512558561e-01, -3.25042107247001499370e-01,
                                  -2.84817495755985104766e-02, -5.77027029648944159157e-03,
                                  -2.37630166566501626084e-05};
inline constexpr double kQq[6] = {0.0, 3.97917223959155352819e-01, 6.50222499887672944485e-02,
                                  5.08130628187576562776e-03, 1.32494738004321644526e-04,
                                  -3.96022827877536812320e-06};
inline constexpr double kPa[7] = {-2.36211856075265944077e-03, 4.14856118683748331666e-01,
                                  -3.72207876035701323847e-01, 3.18346619901161753674e-01,
                                  -1.10894694282396677476e-01, 3.54783043256182359371e-02,
                                  -2.16637559486879084300e-03};
inline constexpr double kQa[7] = {0.0, 1.06420880400844228286e-01, 5.40397917702171048937e-01,
                                  7.18286544141962662868e-02, 1.26171219808761642112e-01,
                                  1.36370839120290507362e-02, 1.19844998467991074170e-02};
inline constexpr double kRa[8] = {-9.86494403484714822705e-03, -6.93858572707181764372e-01,
                                  -1.05586262253232909814e+01, -6.23753324503260060396e+01,
                                  -1.62396669462573470355e+02, -1.84605092906711035994e+02,
                                  -8.12874355063065934246e+01, -9.81432934416914548592e+00};
inline constexpr double kSa[9] = {0.0, 1.96512716674392571292e+01, 1.37657754143519042600e+02,
                                  4.34565877475229228821e+02, 6.45387271733267880336e+02,
                                  4.29008140027567833386e+02, 1.08635005541779435134e+02,
                                  6.57024977031928170135e+00, -6.04244152148580987438e-02};
inline constexpr double kRb[7] = {-9.86494292470009928597e-03, -7.99283237680523006574e-01,
                                  -1.77579549177547519889e+01, -1.60636384855821916062e+02,
                                  -6.37566443368389627722e+02, -1.02509513161107724954e+03,
                                  -4.83519191608651397019e+02};
inline constexpr double kSb[8] = {0.0, 3.03380607434824582924e+01, 3.25792512996573918826e+02,
                                  1.53672958608443695994e+03, 3.19985821950859553908e+03,
                                  2.55305040643316442583e+03, 4.74528541206955367215e+02,
                                  -2.24409524465858183362e+01};
// The range boundaries: |x| below 2^-56, 0.84375, 1.25, the double whose high
// word is 0x4006DB6D (about 1/0.35), 6 and 28.
inline constexpr double kTinyArg = 0x1p-56;
inline constexpr double kSmallArg = 0.84375;
inline constexpr double kMidArg = 1.25;
inline constexpr double kTailSplit = 0x1.6db6dp+1;
inline constexpr double kNegativeSaturation = 6.0;
inline constexpr double kLargeArg = 28.0;
}  // namespace erfc_coefficients

VARNEL_TARGET_LANES inline __m256d set4(double v) noexcept { return _mm256_set1_pd(v); }
// a + b·c without fusing.
VARNEL_TARGET_LANES inline __m256d add_mul4(double a, __m256d b, double c) noexcept {
  return _mm256_add_pd(set4(a), _mm256_mul_pd(b, set4(c)));
}

// The end of erfc's range below 0.84375 for the argument v, given the
// rational part y (a function of v² alone) and the lanes where |v| < 2^-56.
VARNEL_TARGET_LANES inline __m256d erfc_small_range(__m256d v, __m256d y, __m256d tiny) noexcept {
  const __m256d one = set4(1.0);
  const __m256d half = set4(0.5);
  const __m256d vy = _mm256_mul_pd(v, y);
  const __m256d below_quarter = _mm256_sub_pd(one, _mm256_add_pd(v, vy));
  const __m256d above_quarter = _mm256_sub_pd(half, _mm256_add_pd(vy, _mm256_sub_pd(v, half)));
  const __m256d e = _mm256_blendv_pd(above_quarter, below_quarter, _mm256_cmp_pd(v, set4(0.25), _CMP_LT_OQ));
  return _mm256_blendv_pd(e, _mm256_sub_pd(one, v), tiny);
}

// erfc(x) and erfc(-x) in every lane, from one evaluation of the parts the
// two share (the library's erfc takes the sign into account only at the end
// of each range); `special` gets all ones in the lanes whose results are
// garbage and need the library call.
VARNEL_TARGET_LANES inline void erfc_pair4(const LibmTables& t, __m256d x, __m256d& erfc_x, __m256d& erfc_neg_x,
                                           __m256d& special) noexcept {
  namespace c = erfc_coefficients;
  const __m256d one = set4(1.0);
  const __m256d two = set4(2.0);
  const __m256d sign = set4(-0.0);
  const __m256d nx = _mm256_xor_pd(x, sign);
  const __m256d ax = _mm256_andnot_pd(sign, x);
  // NaN (unordered) and infinities.
  special = _mm256_cmp_pd(ax, set4(__builtin_inf()), _CMP_NLT_UQ);
  const __m256d in_small = _mm256_cmp_pd(ax, set4(c::kSmallArg), _CMP_LT_OQ);
  const __m256d below_mid = _mm256_cmp_pd(ax, set4(c::kMidArg), _CMP_LT_OQ);
  const __m256d in_mid = _mm256_andnot_pd(in_small, below_mid);
  const __m256d below_large = _mm256_cmp_pd(ax, set4(c::kLargeArg), _CMP_LT_OQ);
  const __m256d in_tail = _mm256_andnot_pd(below_mid, below_large);
  const __m256d positive = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GT_OQ);
  const __m256d negative = _mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_LT_OQ);
  // |x| >= 28: 0 above, 2 below (2 - 1e-300 rounds to 2).
  __m256d rx = _mm256_blendv_pd(two, _mm256_setzero_pd(), positive);
  __m256d rn = _mm256_blendv_pd(two, _mm256_setzero_pd(), negative);

  if (_mm256_movemask_pd(in_small) != 0) {
    const __m256d z = _mm256_mul_pd(x, x);
    const __m256d r1 = add_mul4(c::kPp[0], z, c::kPp[1]);
    const __m256d z2 = _mm256_mul_pd(z, z);
    const __m256d r2 = add_mul4(c::kPp[2], z, c::kPp[3]);
    const __m256d z4 = _mm256_mul_pd(z2, z2);
    const __m256d s1 = add_mul4(1.0, z, c::kQq[1]);
    const __m256d s2 = add_mul4(c::kQq[2], z, c::kQq[3]);
    const __m256d s3 = add_mul4(c::kQq[4], z, c::kQq[5]);
    const __m256d r = _mm256_add_pd(_mm256_add_pd(r1, _mm256_mul_pd(z2, r2)), _mm256_mul_pd(z4, set4(c::kPp[4])));
    const __m256d s = _mm256_add_pd(_mm256_add_pd(s1, _mm256_mul_pd(z2, s2)), _mm256_mul_pd(z4, s3));
    const __m256d y = _mm256_div_pd(r, s);
    const __m256d tiny = _mm256_cmp_pd(ax, set4(c::kTinyArg), _CMP_LT_OQ);
    rx = _mm256_blendv_pd(rx, erfc_small_range(x, y, tiny), in_small);
    rn = _mm256_blendv_pd(rn, erfc_small_range(nx, y, tiny), in_small);
  }
  if (_mm256_movemask_pd(in_mid) != 0) {
    const __m256d s = _mm256_sub_pd(ax, one);
    const __m256d p1 = add_mul4(c::kPa[0], s, c::kPa[1]);
    const __m256d s2 = _mm256_mul_pd(s, s);
    const __m256d q1 = add_mul4(1.0, s, c::kQa[1]);
    const __m256d s4 = _mm256_mul_pd(s2, s2);
    const __m256d p2 = add_mul4(c::kPa[2], s, c::kPa[3]);
    const __m256d s6 = _mm256_mul_pd(s4, s2);
    const __m256d q2 = add_mul4(c::kQa[2], s, c::kQa[3]);
    const __m256d p3 = add_mul4(c::kPa[4], s, c::kPa[5]);
    const __m256d q3 = add_mul4(c::kQa[4], s, c::kQa[5]);
    const __m256d p = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(p1, _mm256_mul_pd(s2, p2)), _mm256_mul_pd(s4, p3)),
        _mm256_mul_pd(s6, set4(c::kPa[6])));
    const __m256d q = _mm256_add_pd(
        _mm256_add_pd(_mm256_add_pd(q1, _mm256_mul_pd(s2, q2)), _mm256_mul_pd(s4, q3)),
        _mm256_mul_pd(s6, set4(c::kQa[6])));
    const __m256d ratio = _mm256_div_pd(p, q);
    const __m256d above = _mm256_sub_pd(_mm256_sub_pd(one, set4(c::kErx)), ratio);
    const __m256d below = _mm256_add_pd(one, _mm256_add_pd(set4(c::kErx), ratio));
    rx = _mm256_blendv_pd(rx, _mm256_blendv_pd(below, above, positive), in_mid);
    rn = _mm256_blendv_pd(rn, _mm256_blendv_pd(above, below, positive), in_mid);
  }
  if (_mm256_movemask_pd(in_tail) != 0) {
    const __m256d s = _mm256_div_pd(one, _mm256_mul_pd(ax, ax));
    const __m256d near = _mm256_cmp_pd(ax, set4(c::kTailSplit), _CMP_LT_OQ);
    const int near_mask = _mm256_movemask_pd(_mm256_and_pd(near, in_tail));
    const int far_mask = _mm256_movemask_pd(_mm256_andnot_pd(near, in_tail));
    const __m256d s2 = _mm256_mul_pd(s, s);
    const __m256d s4 = _mm256_mul_pd(s2, s2);
    const __m256d s6 = _mm256_mul_pd(s4, s2);
    __m256d big_r = one;
    __m256d big_s = one;
    if (near_mask != 0) {
      const __m256d s8 = _mm256_mul_pd(s4, s4);
      const __m256d r1 = add_mul4(c::kRa[0], s, c::kRa[1]);
      const __m256d t1 = add_mul4(1.0, s, c::kSa[1]);
      const __m256d r2 = add_mul4(c::kRa[2], s, c::kRa[3]);
      const __m256d t2 = add_mul4(c::kSa[2], s, c::kSa[3]);
      const __m256d r3 = add_mul4(c::kRa[4], s, c::kRa[5]);
      const __m256d t3 = add_mul4(c::kSa[4], s, c::kSa[5]);
      const __m256d r4 = add_mul4(c::kRa[6], s, c::kRa[7]);
      const __m256d t4 = add_mul4(c::kSa[6], s, c::kSa[7]);
      big_r = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(r1, _mm256_mul_pd(s2, r2)), _mm256_mul_pd(s4, r3)), _mm256_mul_pd(s6, r4));
      big_s = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(t1, _mm256_mul_pd(s2, t2)), _mm256_mul_pd(s4, t3)),
                        _mm256_mul_pd(s6, t4)),
          _mm256_mul_pd(s8, set4(c::kSa[8])));
    }
    if (far_mask != 0) {
      const __m256d r1 = add_mul4(c::kRb[0], s, c::kRb[1]);
      const __m256d t1 = add_mul4(1.0, s, c::kSb[1]);
      const __m256d r2 = add_mul4(c::kRb[2], s, c::kRb[3]);
      const __m256d t2 = add_mul4(c::kSb[2], s, c::kSb[3]);
      const __m256d r3 = add_mul4(c::kRb[4], s, c::kRb[5]);
      const __m256d t3 = add_mul4(c::kSb[4], s, c::kSb[5]);
      const __m256d t4 = add_mul4(c::kSb[6], s, c::kSb[7]);
      const __m256d far_r = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(r1, _mm256_mul_pd(s2, r2)), _mm256_mul_pd(s4, r3)),
          _mm256_mul_pd(s6, set4(c::kRb[6])));
      const __m256d far_s = _mm256_add_pd(
          _mm256_add_pd(_mm256_add_pd(t1, _mm256_mul_pd(s2, t2)), _mm256_mul_pd(s4, t3)), _mm256_mul_pd(s6, t4));
      big_r = _mm256_blendv_pd(far_r, big_r, near);
      big_s = _mm256_blendv_pd(far_s, big_s, near);
    }
    // z: |x| with the low 32 bits of its representation cleared.
    const __m256d z = _mm256_and_pd(ax, _mm256_castsi256_pd(_mm256_set1_epi64x(static_cast<long long>(0xffffffff00000000u))));
    __m256d bad1, bad2;
    const __m256d e1 = exp4(t, _mm256_sub_pd(_mm256_mul_pd(_mm256_xor_pd(z, sign), z), set4(0.5625)), bad1);
    const __m256d e2 = exp4(t, _mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(z, ax), _mm256_add_pd(z, ax)),
                                             _mm256_div_pd(big_r, big_s)), bad2);
    const __m256d r_over_x = _mm256_div_pd(_mm256_mul_pd(e1, e2), ax);
    const __m256d two_minus = _mm256_sub_pd(two, r_over_x);
    // Below -6 the far range returns 2 before any exp.
    const __m256d far_out = _mm256_andnot_pd(near, _mm256_cmp_pd(ax, set4(c::kNegativeSaturation), _CMP_GE_OQ));
    const __m256d vx = _mm256_blendv_pd(_mm256_blendv_pd(two_minus, two, far_out), r_over_x, positive);
    const __m256d vn = _mm256_blendv_pd(_mm256_blendv_pd(two_minus, two, far_out), r_over_x, negative);
    rx = _mm256_blendv_pd(rx, vx, in_tail);
    rn = _mm256_blendv_pd(rn, vn, in_tail);
    special = _mm256_or_pd(special, _mm256_and_pd(in_tail, _mm256_or_pd(bad1, bad2)));
  }
  erfc_x = rx;
  erfc_neg_x = rn;
}

// erfc(x) in every lane; `special` as for erfc_pair4.
VARNEL_TARGET_LANES inline __m256d erfc4(const LibmTables& t, __m256d x, __m256d& special) noexcept {
  __m256d erfc_x, erfc_neg_x;
  erfc_pair4(t, x, erfc_x, erfc_neg_x, special);
  return erfc_x;
}

VARNEL_TARGET_LANES8 inline __m512d set8(double v) noexcept { return _mm512_set1_pd(v); }
// a + b·c without fusing.
VARNEL_TARGET_LANES8 inline __m512d add_mul8(double a, __m512d b, double c) noexcept {
  return _mm512_add_pd(set8(a), _mm512_mul_pd(b, set8(c)));
}

// erfc_small_range in eight lanes.
VARNEL_TARGET_LANES8 inline __m512d erfc_small_range8(__m512d v, __m512d y, __mmask8 tiny) noexcept {
  const __m512d one = set8(1.0);
  const __m512d half = set8(0.5);
  const __m512d vy = _mm512_mul_pd(v, y);
  const __m512d below_quarter = _mm512_sub_pd(one, _mm512_add_pd(v, vy));
  const __m512d above_quarter = _mm512_sub_pd(half, _mm512_add_pd(vy, _mm512_sub_pd(v, half)));
  const __m512d e =
      _mm512_mask_blend_pd(_mm512_cmp_pd_mask(v, set8(0.25), _CMP_LT_OQ), above_quarter, below_quarter);
  return _mm512_mask_blend_pd(tiny, e, _mm512_sub_pd(one, v));
}

// The ranges of erfc_pair8, each for lanes inside it (other lanes get
// values of no use): erfc(x) in rx and erfc(−x) in rn. |x| below 0.84375:
VARNEL_TARGET_LANES8 inline void erfc_small8(__m512d x, __m512d ax, __m512d& rx, __m512d& rn) noexcept {
  namespace c = erfc_coefficients;
  const __m512d z = _mm512_mul_pd(x, x);
  const __m512d r1 = add_mul8(c::kPp[0], z, c::kPp[1]);
  const __m512d z2 = _mm512_mul_pd(z, z);
  const __m512d r2 = add_mul8(c::kPp[2], z, c::kPp[3]);
  const __m512d z4 = _mm512_mul_pd(z2, z2);
  const __m512d s1 = add_mul8(1.0, z, c::kQq[1]);
  const __m512d s2 = add_mul8(c::kQq[2], z, c::kQq[3]);
  const __m512d s3 = add_mul8(c::kQq[4], z, c::kQq[5]);
  const __m512d r = _mm512_add_pd(_mm512_add_pd(r1, _mm512_mul_pd(z2, r2)), _mm512_mul_pd(z4, set8(c::kPp[4])));
  const __m512d s = _mm512_add_pd(_mm512_add_pd(s1, _mm512_mul_pd(z2, s2)), _mm512_mul_pd(z4, s3));
  const __m512d y = _mm512_div_pd(r, s);
  const __mmask8 tiny = _mm512_cmp_pd_mask(ax, set8(c::kTinyArg), _CMP_LT_OQ);
  rx = erfc_small_range8(x, y, tiny);
  rn = erfc_small_range8(_mm512_xor_pd(x, set8(-0.0)), y, tiny);
}

// 0.84375 <= |x| < 1.25:
VARNEL_TARGET_LANES8 inline void erfc_mid8(__m512d x, __m512d ax, __m512d& rx, __m512d& rn) noexcept {
  namespace c = erfc_coefficients;
  const __m512d one = set8(1.0);
  const __mmask8 positive = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ);
  const __m512d s = _mm512_sub_pd(ax, one);
  const __m512d p1 = add_mul8(c::kPa[0], s, c::kPa[1]);
  const __m512d s2 = _mm512_mul_pd(s, s);
  const __m512d q1 = add_mul8(1.0, s, c::kQa[1]);
  const __m512d s4 = _mm512_mul_pd(s2, s2);
  const __m512d p2 = add_mul8(c::kPa[2], s, c::kPa[3]);
  const __m512d s6 = _mm512_mul_pd(s4, s2);
  const __m512d q2 = add_mul8(c::kQa[2], s, c::kQa[3]);
  const __m512d p3 = add_mul8(c::kPa[4], s, c::kPa[5]);
  const __m512d q3 = add_mul8(c::kQa[4], s, c::kQa[5]);
  const __m512d p = _mm512_add_pd(
      _mm512_add_pd(_mm512_add_pd(p1, _mm512_mul_pd(s2, p2)), _mm512_mul_pd(s4, p3)),
      _mm512_mul_pd(s6, set8(c::kPa[6])));
  const __m512d q = _mm512_add_pd(
      _mm512_add_pd(_mm512_add_pd(q1, _mm512_mul_pd(s2, q2)), _mm512_mul_pd(s4, q3)),
      _mm512_mul_pd(s6, set8(c::kQa[6])));
  const __m512d ratio = _mm512_div_pd(p, q);
  const __m512d above = _mm512_sub_pd(_mm512_sub_pd(one, set8(c::kErx)), ratio);
  const __m512d below = _mm512_add_pd(one, _mm512_add_pd(set8(c::kErx), ratio));
  rx = _mm512_mask_blend_pd(positive, below, above);
  rn = _mm512_mask_blend_pd(positive, above, below);
}

// 1.25 <= |x| < 28 (the lanes of `in_tail`); `bad` gets the lanes whose exp
// calls need the library.
VARNEL_TARGET_LANES8 inline void erfc_tail8(const LibmTables& t, __m512d x, __m512d ax, __mmask8 in_tail, __m512d& rx,
                                            __m512d& rn, __mmask8& bad) noexcept {
  namespace c = erfc_coefficients;
  const __m512d one = set8(1.0);
  const __m512d two = set8(2.0);
  const __m512d sign = set8(-0.0);
  const __mmask8 positive = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_GT_OQ);
  const __mmask8 negative = _mm512_cmp_pd_mask(x, _mm512_setzero_pd(), _CMP_LT_OQ);
  const __m512d s = _mm512_div_pd(one, _mm512_mul_pd(ax, ax));
  const __mmask8 near = _mm512_cmp_pd_mask(ax, set8(c::kTailSplit), _CMP_LT_OQ);
  const __m512d s2 = _mm512_mul_pd(s, s);
  const __m512d s4 = _mm512_mul_pd(s2, s2);
  const __m512d s6 = _mm512_mul_pd(s4, s2);
  __m512d big_r = one;
  __m512d big_s = one;
  if ((near & in_tail) != 0) {
    const __m512d s8 = _mm512_mul_pd(s4, s4);
    const __m512d r1 = add_mul8(c::kRa[0], s, c::kRa[1]);
    const __m512d t1 = add_mul8(1.0, s, c::kSa[1]);
    const __m512d r2 = add_mul8(c::kRa[2], s, c::kRa[3]);
    const __m512d t2 = add_mul8(c::kSa[2], s, c::kSa[3]);
    const __m512d r3 = add_mul8(c::kRa[4], s, c::kRa[5]);
    const __m512d t3 = add_mul8(c::kSa[4], s, c::kSa[5]);
    const __m512d r4 = add_mul8(c::kRa[6], s, c::kRa[7]);
    const __m512d t4 = add_mul8(c::kSa[6], s, c::kSa[7]);
    big_r = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(r1, _mm512_mul_pd(s2, r2)), _mm512_mul_pd(s4, r3)), _mm512_mul_pd(s6, r4));
    big_s = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(t1, _mm512_mul_pd(s2, t2)), _mm512_mul_pd(s4, t3)),
                      _mm512_mul_pd(s6, t4)),
        _mm512_mul_pd(s8, set8(c::kSa[8])));
  }
  if ((static_cast<__mmask8>(~near) & in_tail) != 0) {
    const __m512d r1 = add_mul8(c::kRb[0], s, c::kRb[1]);
    const __m512d t1 = add_mul8(1.0, s, c::kSb[1]);
    const __m512d r2 = add_mul8(c::kRb[2], s, c::kRb[3]);
    const __m512d t2 = add_mul8(c::kSb[2], s, c::kSb[3]);
    const __m512d r3 = add_mul8(c::kRb[4], s, c::kRb[5]);
    const __m512d t3 = add_mul8(c::kSb[4], s, c::kSb[5]);
    const __m512d t4 = add_mul8(c::kSb[6], s, c::kSb[7]);
    const __m512d far_r = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(r1, _mm512_mul_pd(s2, r2)), _mm512_mul_pd(s4, r3)),
        _mm512_mul_pd(s6, set8(c::kRb[6])));
    const __m512d far_s = _mm512_add_pd(
        _mm512_add_pd(_mm512_add_pd(t1, _mm512_mul_pd(s2, t2)), _mm512_mul_pd(s4, t3)), _mm512_mul_pd(s6, t4));
    big_r = _mm512_mask_blend_pd(near, far_r, big_r);
    big_s = _mm512_mask_blend_pd(near, far_s, big_s);
  }
  const __m512d z =
      _mm512_and_pd(ax, _mm512_castsi512_pd(_mm512_set1_epi64(static_cast<long long>(0xffffffff00000000u))));
  __mmask8 bad1, bad2;
  const __m512d e1 = exp8(t, _mm512_sub_pd(_mm512_mul_pd(_mm512_xor_pd(z, sign), z), set8(0.5625)), bad1);
  const __m512d e2 = exp8(t, _mm512_add_pd(_mm512_mul_pd(_mm512_sub_pd(z, ax), _mm512_add_pd(z, ax)),
                                           _mm512_div_pd(big_r, big_s)), bad2);
  const __m512d r_over_x = _mm512_div_pd(_mm512_mul_pd(e1, e2), ax);
  const __m512d two_minus = _mm512_sub_pd(two, r_over_x);
  const __mmask8 far_out =
      static_cast<__mmask8>(~near & _mm512_cmp_pd_mask(ax, set8(c::kNegativeSaturation), _CMP_GE_OQ));
  const __m512d neg_side = _mm512_mask_blend_pd(far_out, two_minus, two);
  rx = _mm512_mask_blend_pd(positive, neg_side, r_over_x);
  rn = _mm512_mask_blend_pd(negative, neg_side, r_over_x);
  bad = static_cast<__mmask8>(bad1 | bad2);
}

// erfc_pair4 in eight lanes: the same operations in the same order, with
// mask registers for the ranges; `special` is the mask of lanes that need the
// library call.
VARNEL_TARGET_LANES8 inline void erfc_pair8(const LibmTables& t, __m512d x, __m512d& erfc_x, __m512d& erfc_neg_x,
                                            __mmask8& special) noexcept {
  namespace c = erfc_coefficients;
  const __m512d two = set8(2.0);
  const __m512d zero = _mm512_setzero_pd();
  const __m512d sign = set8(-0.0);
  const __m512d ax = _mm512_andnot_pd(sign, x);
  special = _mm512_cmp_pd_mask(ax, set8(__builtin_inf()), _CMP_NLT_UQ);
  const __mmask8 in_small = _mm512_cmp_pd_mask(ax, set8(c::kSmallArg), _CMP_LT_OQ);
  const __mmask8 below_mid = _mm512_cmp_pd_mask(ax, set8(c::kMidArg), _CMP_LT_OQ);
  const __mmask8 in_mid = static_cast<__mmask8>(~in_small & below_mid);
  const __mmask8 below_large = _mm512_cmp_pd_mask(ax, set8(c::kLargeArg), _CMP_LT_OQ);
  const __mmask8 in_tail = static_cast<__mmask8>(~below_mid & below_large);
  const __mmask8 positive = _mm512_cmp_pd_mask(x, zero, _CMP_GT_OQ);
  const __mmask8 negative = _mm512_cmp_pd_mask(x, zero, _CMP_LT_OQ);
  __m512d rx = _mm512_mask_blend_pd(positive, two, zero);
  __m512d rn = _mm512_mask_blend_pd(negative, two, zero);
  __m512d range_x, range_neg_x;
  if (in_small != 0) {
    erfc_small8(x, ax, range_x, range_neg_x);
    rx = _mm512_mask_blend_pd(in_small, rx, range_x);
    rn = _mm512_mask_blend_pd(in_small, rn, range_neg_x);
  }
  if (in_mid != 0) {
    erfc_mid8(x, ax, range_x, range_neg_x);
    rx = _mm512_mask_blend_pd(in_mid, rx, range_x);
    rn = _mm512_mask_blend_pd(in_mid, rn, range_neg_x);
  }
  if (in_tail != 0) {
    __mmask8 bad;
    erfc_tail8(t, x, ax, in_tail, range_x, range_neg_x, bad);
    rx = _mm512_mask_blend_pd(in_tail, rx, range_x);
    rn = _mm512_mask_blend_pd(in_tail, rn, range_neg_x);
    special = static_cast<__mmask8>(special | (in_tail & bad));
  }
  erfc_x = rx;
  erfc_neg_x = rn;
}

}  // namespace lanes
#endif

}  // namespace varnel::exact_exp_log
