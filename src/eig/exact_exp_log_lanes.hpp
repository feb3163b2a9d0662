#pragma once
// The AVX2/FMA lanes behind exact_exp_log.hpp, inline for the kernels that
// call them in their own loops (the EIG scorer). Every function here carries
// the target attribute; callers must too, and may call them only when
// lanes_tables() is not null.

#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
// GCC 12 reports the deliberately undefined pass-through operands inside its
// own AVX-512 intrinsics as uninitialised, at the header's lines.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#define VARNEL_HAVE_EXACT_LANES 1
#define VARNEL_TARGET_LANES __attribute__((target("avx,avx2,fma")))
#define VARNEL_TARGET_LANES8 __attribute__((target("avx,avx2,fma,avx512f,avx512dq")))
#endif

namespace varnel::exact_exp_log {

// The library's constants and tables, copied out of the loaded library.
struct LibmTables {
  // exp: x = k ln2/128 + r, exp(x) = 2^(k/128) exp(r).
  double inv_ln2_n, neg_ln2_hi_n, neg_ln2_lo_n, shift;
  double c2, c3, c4, c5;
  alignas(64) std::uint64_t exp_tab[256];  // per index: tail bits, then scale bits minus index << 45
  // log: x = 2^k z, log x = k ln2 + log c + log1p(z/c - 1).
  double ln2_hi, ln2_lo;
  double a[5];   // log1p(r) - r polynomial, main path
  double b[11];  // log(1 + r) polynomial near 1, b[0] == -0.5
  alignas(64) double log_tab[256];  // per index: 1/c, then log c
};

// The tables when the lanes are usable (see lanes_ready()), else null.
const LibmTables* lanes_tables() noexcept;

// The tables when the eight-lane AVX-512 variant is usable too (the
// processor has AVX-512 F and DQ with the OS saving its registers, and the
// variant passed its own self-check), else null.
const LibmTables* lanes8_tables() noexcept;

// The tables as found in the library on a processor with AVX2 and FMA, before
// the self-check, else null; for tests that check the lanes themselves.
const LibmTables* unchecked_located_tables() noexcept;

// Whether the processor can run the eight-lane variant.
bool cpu_has_avx512_lanes() noexcept;

// exp and log over arrays through the four lanes (`eight` false) or the
// eight lanes with the given tables, library calls for the special lanes.
// Preconditions: the tables came from one of the functions above, and
// cpu_has_avx512_lanes() for `eight`.
void unchecked_lanes_exp(const LibmTables& t, const double* x, double* out, std::size_t n, bool eight) noexcept;
void unchecked_lanes_log(const LibmTables& t, const double* x, double* out, std::size_t n, bool eight) noexcept;

#if defined(VARNEL_HAVE_EXACT_LANES)
namespace lanes {

// Input classes of exp: the table path for 2^-54 <= |x| < 512, 1 + x below.
constexpr std::int64_t kExpTinyTop = 0x3c9;  // top 12 bits of 2^-54
constexpr std::int64_t kExpHugeTop = 0x408;  // top 12 bits of 512
// log's path near 1: 1 - 2^-4 <= x < 1 + 0x1.09p-4, as a bit-pattern window.
constexpr std::uint64_t kLogNearOneLo = 0x3fee000000000000u;
constexpr std::uint64_t kLogNearOneSpan = 0x3090000000000u;
// log's table path: positive, normal and finite, as the top 16 bits.
constexpr std::int64_t kLogMinTop = 0x0010;
constexpr std::int64_t kLogEndTop = 0x7ff0;
constexpr std::uint64_t kLogOff = 0x3fe6000000000000u;

// first[j] = tab[2 i_j] and second[j] = tab[2 i_j + 1] for the lanes'
// indices i_j, each pair through one 16-byte load (cheaper than gathers here).
VARNEL_TARGET_LANES inline void load_pairs(const double* tab, __m256i idx, __m256d& first,
                                           __m256d& second) noexcept {
  alignas(32) std::int64_t i[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(i), idx);
  const __m128d p0 = _mm_load_pd(tab + 2 * i[0]);
  const __m128d p1 = _mm_load_pd(tab + 2 * i[1]);
  const __m128d p2 = _mm_load_pd(tab + 2 * i[2]);
  const __m128d p3 = _mm_load_pd(tab + 2 * i[3]);
  const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(p0), p2, 1);
  const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(p1), p3, 1);
  first = _mm256_unpacklo_pd(a, b);
  second = _mm256_unpackhi_pd(a, b);
}

// exp(x) in every lane; `special` gets all ones in the lanes whose input
// needs the library call (|x| >= 512, inf, NaN), whose result is then garbage.
VARNEL_TARGET_LANES inline __m256d exp4(const LibmTables& t, __m256d x, __m256d& special) noexcept {
  const __m256i ix = _mm256_castpd_si256(x);
  const __m256i abstop = _mm256_and_si256(_mm256_srli_epi64(ix, 52), _mm256_set1_epi64x(0x7ff));
  const __m256i tiny = _mm256_cmpgt_epi64(_mm256_set1_epi64x(kExpTinyTop), abstop);
  const __m256i huge = _mm256_cmpgt_epi64(abstop, _mm256_set1_epi64x(kExpHugeTop - 1));
  special = _mm256_castsi256_pd(huge);

  const __m256d shift = _mm256_set1_pd(t.shift);
  const __m256d kd0 = _mm256_fmadd_pd(x, _mm256_set1_pd(t.inv_ln2_n), shift);
  const __m256i ki = _mm256_castpd_si256(kd0);
  const __m256d kd = _mm256_sub_pd(kd0, shift);
  __m256d r = _mm256_fmadd_pd(kd, _mm256_set1_pd(t.neg_ln2_hi_n), x);
  r = _mm256_fmadd_pd(kd, _mm256_set1_pd(t.neg_ln2_lo_n), r);
  const __m256i idx = _mm256_and_si256(ki, _mm256_set1_epi64x(127));
  __m256d tail, scale_base;
  load_pairs(reinterpret_cast<const double*>(t.exp_tab), idx, tail, scale_base);
  const __m256i sbits = _mm256_add_epi64(_mm256_castpd_si256(scale_base), _mm256_slli_epi64(ki, 45));
  const __m256d p23 = _mm256_fmadd_pd(r, _mm256_set1_pd(t.c3), _mm256_set1_pd(t.c2));
  const __m256d tr = _mm256_add_pd(tail, r);
  const __m256d r2 = _mm256_mul_pd(r, r);
  const __m256d p45 = _mm256_fmadd_pd(r, _mm256_set1_pd(t.c5), _mm256_set1_pd(t.c4));
  const __m256d u = _mm256_fmadd_pd(p23, r2, tr);
  const __m256d r4 = _mm256_mul_pd(r2, r2);
  const __m256d tmp = _mm256_fmadd_pd(r4, p45, u);
  const __m256d scale = _mm256_castsi256_pd(sbits);
  const __m256d y = _mm256_fmadd_pd(scale, tmp, scale);
  return _mm256_blendv_pd(y, _mm256_add_pd(_mm256_set1_pd(1.0), x), _mm256_castsi256_pd(tiny));
}

// log(x) in every lane; `special` as for exp4 (x zero, subnormal, negative,
// inf or NaN).
VARNEL_TARGET_LANES inline __m256d log4(const LibmTables& t, __m256d x, __m256d& special) noexcept {
  const __m256i ix = _mm256_castpd_si256(x);
  const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000u));
  // Unsigned ix - lo < span, through the signed compare with both sides flipped.
  const __m256i from_lo = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(kLogNearOneLo)));
  const __m256i near_one = _mm256_cmpgt_epi64(
      _mm256_set1_epi64x(static_cast<long long>(kLogNearOneSpan ^ 0x8000000000000000u)),
      _mm256_xor_si256(from_lo, sign));
  const __m256i top = _mm256_srli_epi64(ix, 48);
  const __m256i table_ok = _mm256_and_si256(_mm256_cmpgt_epi64(top, _mm256_set1_epi64x(kLogMinTop - 1)),
                                            _mm256_cmpgt_epi64(_mm256_set1_epi64x(kLogEndTop), top));
  special = _mm256_castsi256_pd(_mm256_andnot_si256(table_ok, _mm256_set1_epi64x(-1)));

  // Table path.
  const __m256i tmp = _mm256_sub_epi64(ix, _mm256_set1_epi64x(static_cast<long long>(kLogOff)));
  const __m256i i = _mm256_and_si256(_mm256_srli_epi64(tmp, 45), _mm256_set1_epi64x(127));
  // k = tmp >> 52 (arithmetic): the high dword of each lane shifted by 20.
  const __m256i k_hi = _mm256_srai_epi32(tmp, 20);
  const __m128i k32 = _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(k_hi, _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7)));
  const __m256d kd = _mm256_cvtepi32_pd(k32);
  const __m256i iz = _mm256_sub_epi64(
      ix, _mm256_and_si256(tmp, _mm256_set1_epi64x(static_cast<long long>(0xfff0000000000000u))));
  __m256d invc, logc;
  load_pairs(t.log_tab, i, invc, logc);
  const __m256d z = _mm256_castsi256_pd(iz);
  const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
  const __m256d w = _mm256_fmadd_pd(kd, _mm256_set1_pd(t.ln2_hi), logc);
  const __m256d a12 = _mm256_fmadd_pd(r, _mm256_set1_pd(t.a[2]), _mm256_set1_pd(t.a[1]));
  const __m256d hi = _mm256_add_pd(r, w);
  const __m256d r2 = _mm256_mul_pd(r, r);
  __m256d lo = _mm256_add_pd(_mm256_sub_pd(w, hi), r);
  lo = _mm256_fmadd_pd(kd, _mm256_set1_pd(t.ln2_lo), lo);
  const __m256d r3 = _mm256_mul_pd(r, r2);
  const __m256d a34 = _mm256_fmadd_pd(r, _mm256_set1_pd(t.a[4]), _mm256_set1_pd(t.a[3]));
  const __m256d lo2 = _mm256_fmadd_pd(r2, _mm256_set1_pd(t.a[0]), lo);
  const __m256d q = _mm256_fmadd_pd(a34, r2, a12);
  const __m256d y_table = _mm256_add_pd(_mm256_fmadd_pd(r3, q, lo2), hi);

  // Near 1.
  const __m256d b0 = _mm256_set1_pd(t.b[0]);
  const __m256d s = _mm256_sub_pd(x, _mm256_set1_pd(1.0));
  const __m256d b12 = _mm256_fmadd_pd(s, _mm256_set1_pd(t.b[2]), _mm256_set1_pd(t.b[1]));
  const __m256d b45 = _mm256_fmadd_pd(s, _mm256_set1_pd(t.b[5]), _mm256_set1_pd(t.b[4]));
  const __m256d s2 = _mm256_mul_pd(s, s);
  const __m256d b78 = _mm256_fmadd_pd(s, _mm256_set1_pd(t.b[8]), _mm256_set1_pd(t.b[7]));
  const __m256d b123 = _mm256_fmadd_pd(s2, _mm256_set1_pd(t.b[3]), b12);
  const __m256d b456 = _mm256_fmadd_pd(s2, _mm256_set1_pd(t.b[6]), b45);
  const __m256d s3 = _mm256_mul_pd(s, s2);
  __m256d poly = _mm256_fmadd_pd(s2, _mm256_set1_pd(t.b[9]), b78);
  poly = _mm256_fmadd_pd(s3, _mm256_set1_pd(t.b[10]), poly);
  poly = _mm256_fmadd_pd(poly, s3, b456);
  poly = _mm256_fmadd_pd(poly, s3, b123);
  const __m256d split = _mm256_set1_pd(0x1p27);
  const __m256d rhi = _mm256_fnmadd_pd(split, s, _mm256_fmadd_pd(s, split, s));
  const __m256d rr = _mm256_mul_pd(rhi, rhi);
  const __m256d rlo = _mm256_sub_pd(s, rhi);
  const __m256d hi1 = _mm256_fmadd_pd(rr, b0, s);
  __m256d lo1 = _mm256_fmadd_pd(rr, b0, _mm256_sub_pd(s, hi1));
  lo1 = _mm256_fmadd_pd(_mm256_mul_pd(b0, rlo), _mm256_add_pd(s, rhi), lo1);
  __m256d y_near = _mm256_add_pd(hi1, _mm256_fmadd_pd(poly, s3, lo1));
  // log(1) is +0 exactly.
  const __m256d one = _mm256_cmp_pd(x, _mm256_set1_pd(1.0), _CMP_EQ_OQ);
  y_near = _mm256_andnot_pd(one, y_near);

  return _mm256_blendv_pd(y_table, y_near, _mm256_castsi256_pd(near_one));
}

// The eight-lane forms of exp4 and log4: the same operations in the same
// order, with mask registers for the classes of inputs; `special` is the mask
// of lanes that need the library call.
VARNEL_TARGET_LANES8 inline __m512d exp8(const LibmTables& t, __m512d x, __mmask8& special) noexcept {
  const __m512i ix = _mm512_castpd_si512(x);
  const __m512i abstop = _mm512_and_si512(_mm512_srli_epi64(ix, 52), _mm512_set1_epi64(0x7ff));
  const __mmask8 tiny = _mm512_cmplt_epi64_mask(abstop, _mm512_set1_epi64(kExpTinyTop));
  special = _mm512_cmpge_epi64_mask(abstop, _mm512_set1_epi64(kExpHugeTop));

  const __m512d shift = _mm512_set1_pd(t.shift);
  const __m512d kd0 = _mm512_fmadd_pd(x, _mm512_set1_pd(t.inv_ln2_n), shift);
  const __m512i ki = _mm512_castpd_si512(kd0);
  const __m512d kd = _mm512_sub_pd(kd0, shift);
  __m512d r = _mm512_fmadd_pd(kd, _mm512_set1_pd(t.neg_ln2_hi_n), x);
  r = _mm512_fmadd_pd(kd, _mm512_set1_pd(t.neg_ln2_lo_n), r);
  const __m512i idx = _mm512_slli_epi64(_mm512_and_si512(ki, _mm512_set1_epi64(127)), 1);
  const auto* tab = reinterpret_cast<const double*>(t.exp_tab);
  const __m512d tail = _mm512_i64gather_pd(idx, tab, 8);
  const __m512i sbits = _mm512_add_epi64(_mm512_castpd_si512(_mm512_i64gather_pd(idx, tab + 1, 8)),
                                         _mm512_slli_epi64(ki, 45));
  const __m512d p23 = _mm512_fmadd_pd(r, _mm512_set1_pd(t.c3), _mm512_set1_pd(t.c2));
  const __m512d tr = _mm512_add_pd(tail, r);
  const __m512d r2 = _mm512_mul_pd(r, r);
  const __m512d p45 = _mm512_fmadd_pd(r, _mm512_set1_pd(t.c5), _mm512_set1_pd(t.c4));
  const __m512d u = _mm512_fmadd_pd(p23, r2, tr);
  const __m512d r4 = _mm512_mul_pd(r2, r2);
  const __m512d tmp = _mm512_fmadd_pd(r4, p45, u);
  const __m512d scale = _mm512_castsi512_pd(sbits);
  const __m512d y = _mm512_fmadd_pd(scale, tmp, scale);
  return _mm512_mask_add_pd(y, tiny, _mm512_set1_pd(1.0), x);
}

VARNEL_TARGET_LANES8 inline __m512d log8(const LibmTables& t, __m512d x, __mmask8& special) noexcept {
  const __m512i ix = _mm512_castpd_si512(x);
  const __m512i from_lo = _mm512_sub_epi64(ix, _mm512_set1_epi64(static_cast<long long>(kLogNearOneLo)));
  const __mmask8 near_one =
      _mm512_cmplt_epu64_mask(from_lo, _mm512_set1_epi64(static_cast<long long>(kLogNearOneSpan)));
  const __m512i top = _mm512_srli_epi64(ix, 48);
  const __mmask8 table_ok = _mm512_cmpge_epi64_mask(top, _mm512_set1_epi64(kLogMinTop)) &
                            _mm512_cmplt_epi64_mask(top, _mm512_set1_epi64(kLogEndTop));
  special = static_cast<__mmask8>(~table_ok);

  const __m512i tmp = _mm512_sub_epi64(ix, _mm512_set1_epi64(static_cast<long long>(kLogOff)));
  const __m512i i2 = _mm512_slli_epi64(_mm512_and_si512(_mm512_srli_epi64(tmp, 45), _mm512_set1_epi64(127)), 1);
  const __m512d kd = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
  const __m512i iz = _mm512_sub_epi64(
      ix, _mm512_and_si512(tmp, _mm512_set1_epi64(static_cast<long long>(0xfff0000000000000u))));
  const __m512d invc = _mm512_i64gather_pd(i2, t.log_tab, 8);
  const __m512d logc = _mm512_i64gather_pd(i2, t.log_tab + 1, 8);
  const __m512d z = _mm512_castsi512_pd(iz);
  const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
  const __m512d w = _mm512_fmadd_pd(kd, _mm512_set1_pd(t.ln2_hi), logc);
  const __m512d a12 = _mm512_fmadd_pd(r, _mm512_set1_pd(t.a[2]), _mm512_set1_pd(t.a[1]));
  const __m512d hi = _mm512_add_pd(r, w);
  const __m512d r2 = _mm512_mul_pd(r, r);
  __m512d lo = _mm512_add_pd(_mm512_sub_pd(w, hi), r);
  lo = _mm512_fmadd_pd(kd, _mm512_set1_pd(t.ln2_lo), lo);
  const __m512d r3 = _mm512_mul_pd(r, r2);
  const __m512d a34 = _mm512_fmadd_pd(r, _mm512_set1_pd(t.a[4]), _mm512_set1_pd(t.a[3]));
  const __m512d lo2 = _mm512_fmadd_pd(r2, _mm512_set1_pd(t.a[0]), lo);
  const __m512d q = _mm512_fmadd_pd(a34, r2, a12);
  const __m512d y_table = _mm512_add_pd(_mm512_fmadd_pd(r3, q, lo2), hi);

  const __m512d b0 = _mm512_set1_pd(t.b[0]);
  const __m512d s = _mm512_sub_pd(x, _mm512_set1_pd(1.0));
  const __m512d b12 = _mm512_fmadd_pd(s, _mm512_set1_pd(t.b[2]), _mm512_set1_pd(t.b[1]));
  const __m512d b45 = _mm512_fmadd_pd(s, _mm512_set1_pd(t.b[5]), _mm512_set1_pd(t.b[4]));
  const __m512d s2 = _mm512_mul_pd(s, s);
  const __m512d b78 = _mm512_fmadd_pd(s, _mm512_set1_pd(t.b[8]), _mm512_set1_pd(t.b[7]));
  const __m512d b123 = _mm512_fmadd_pd(s2, _mm512_set1_pd(t.b[3]), b12);
  const __m512d b456 = _mm512_fmadd_pd(s2, _mm512_set1_pd(t.b[6]), b45);
  const __m512d s3 = _mm512_mul_pd(s, s2);
  __m512d poly = _mm512_fmadd_pd(s2, _mm512_set1_pd(t.b[9]), b78);
  poly = _mm512_fmadd_pd(s3, _mm512_set1_pd(t.b[10]), poly);
  poly = _mm512_fmadd_pd(poly, s3, b456);
  poly = _mm512_fmadd_pd(poly, s3, b123);
  const __m512d split = _mm512_set1_pd(0x1p27);
  const __m512d rhi = _mm512_fnmadd_pd(split, s, _mm512_fmadd_pd(s, split, s));
  const __m512d rr = _mm512_mul_pd(rhi, rhi);
  const __m512d rlo = _mm512_sub_pd(s, rhi);
  const __m512d hi1 = _mm512_fmadd_pd(rr, b0, s);
  __m512d lo1 = _mm512_fmadd_pd(rr, b0, _mm512_sub_pd(s, hi1));
  lo1 = _mm512_fmadd_pd(_mm512_mul_pd(b0, rlo), _mm512_add_pd(s, rhi), lo1);
  const __m512d y_near = _mm512_add_pd(hi1, _mm512_fmadd_pd(poly, s3, lo1));
  const __mmask8 one = _mm512_cmp_pd_mask(x, _mm512_set1_pd(1.0), _CMP_EQ_OQ);

  const __m512d y = _mm512_mask_blend_pd(near_one, y_table, y_near);
  return _mm512_mask_mov_pd(y, one, _mm512_setzero_pd());
}

}  // namespace lanes
#endif

}  // namespace varnel::exact_exp_log
