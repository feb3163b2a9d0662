// The psychometric model's lanes, per link: F and 1 − F of z = s·(x − m)
// with the lanes of the library functions the scalar link calls, then
// p(no) = λ + w·(1 − F), p(yes) = γ + w·F and their logs.

#include "eig/curve_lanes.hpp"
#include "eig/exact_erfc_lanes.hpp"
#include "eig/exact_expm1_lanes.hpp"
#include "eig/link_lanes.hpp"
#include "eig/lane_loop.hpp"
#include "eig/model_lanes.hpp"

#include <cmath>
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace varnel {
namespace {

// The rows (of `dim` values, s and m first) reordered cell by cell of a grid
// over their (m, s): m in ⌈√(n/8)⌉ bands of its range (at most 64), s in six
// times as many bands of its range on a log scale (the bits of a positive
// double grow with its logarithm), each cell's rows in the order they came.
// Neighbours then have nearly the same z = s·(x − m) at every x.
std::vector<double> rows_by_cell(std::span<const double> rows, std::size_t dim) {
  const std::size_t n = rows.size() / dim;
  const auto m_bands = std::clamp<std::size_t>(static_cast<std::size_t>(std::ceil(std::sqrt(n / 8.0))), 1, 64);
  const std::size_t s_bands = 6 * m_bands;
  const auto s_key = [&](std::size_t i) {
    std::int64_t bits = 0;
    std::memcpy(&bits, &rows[i * dim], sizeof bits);
    return static_cast<double>(bits);
  };
  double m_lo = HUGE_VAL, m_hi = -HUGE_VAL, s_lo = HUGE_VAL, s_hi = -HUGE_VAL;
  for (std::size_t i = 0; i < n; ++i) {
    m_lo = std::min(m_lo, rows[i * dim + 1]);
    m_hi = std::max(m_hi, rows[i * dim + 1]);
    s_lo = std::min(s_lo, s_key(i));
    s_hi = std::max(s_hi, s_key(i));
  }
  // The band of v in [lo, hi]; a NaN, and every v of an empty or infinite
  // range, in the first.
  const auto band = [](double v, double lo, double scale, std::size_t bands) -> std::size_t {
    const double t = (v - lo) * scale;
    if (t >= static_cast<double>(bands)) return bands - 1;
    return t >= 1.0 ? static_cast<std::size_t>(t) : 0;
  };
  const double m_scale = static_cast<double>(m_bands) / (m_hi - m_lo);
  const double s_scale = static_cast<double>(s_bands) / (s_hi - s_lo);
  std::vector<std::uint32_t> cell(n);
  std::vector<std::size_t> start(m_bands * s_bands + 1);
  for (std::size_t i = 0; i < n; ++i) {
    cell[i] = static_cast<std::uint32_t>(band(rows[i * dim + 1], m_lo, m_scale, m_bands) * s_bands +
                                         band(s_key(i), s_lo, s_scale, s_bands));
    ++start[cell[i] + 1];
  }
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<double> ordered(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    std::memcpy(ordered.data() + start[cell[i]]++ * dim, rows.data() + i * dim, dim * sizeof(double));
  }
  return ordered;
}

#if defined(VARNEL_HAVE_EXACT_LANES)
// Where the scalar path takes a probability to log space instead of its log.
constexpr double kTinyProbability = 1e-280;

// A lane leaves the common path at a special input of exp, log or erfc, a
// probability the scalar path takes to log space, or a non-finite z.
template <Link L>
struct PsychometricTerms {
  using Sample = PsychometricModel::EigSample;

  VARNEL_TARGET_LANES static inline __m256d terms4(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                   __m256d x, __m256d& p0, __m256d& p1, __m256d& plp0,
                                                   __m256d& plp1) noexcept {
    const __m256d z = _mm256_mul_pd(_mm256_set1_pd(t.s), _mm256_sub_pd(x, _mm256_set1_pd(t.m)));
    return terms_of_z4(tab, t.rates, z, p0, p1, plp0, plp1);
  }

  // One design against four samples n .. n + 3 of the sample columns.
  VARNEL_TARGET_LANES static inline __m256d samples4(const exact_exp_log::LibmTables& tab, const SampleColumns& c,
                                                     std::size_t n, const double* design, __m256d& p0, __m256d& p1,
                                                     __m256d& plp0, __m256d& plp1) noexcept {
    const __m256d z = _mm256_mul_pd(c.load4<offsetof(Sample, s)>(n),
                                    _mm256_sub_pd(_mm256_set1_pd(design[0]), c.load4<offsetof(Sample, m)>(n)));
    return terms_of_z4(tab, c.load4<offsetof(Sample, rates) + offsetof(RateLogs, g)>(n),
                       c.load4<offsetof(Sample, rates) + offsetof(RateLogs, l)>(n),
                       c.load4<offsetof(Sample, rates) + offsetof(RateLogs, w)>(n), z, p0, p1, plp0, plp1);
  }

  // The terms from z = s·(x − m) on: the link, the rates and the logs.
  VARNEL_TARGET_LANES static inline __m256d terms_of_z4(const exact_exp_log::LibmTables& tab, const RateLogs& rates,
                                                        __m256d z, __m256d& p0, __m256d& p1, __m256d& plp0,
                                                        __m256d& plp1) noexcept {
    return terms_of_z4(tab, _mm256_set1_pd(rates.g), _mm256_set1_pd(rates.l), _mm256_set1_pd(rates.w), z, p0, p1, plp0,
                       plp1);
  }

  // The same with rates of their own in every lane.
  VARNEL_TARGET_LANES static inline __m256d terms_of_z4(const exact_exp_log::LibmTables& tab, __m256d g, __m256d l,
                                                        __m256d w, __m256d z, __m256d& p0, __m256d& p1,
                                                        __m256d& plp0, __m256d& plp1) noexcept {
    using namespace exact_exp_log::lanes;
    const __m256d zero = _mm256_setzero_pd();
    const __m256d tiny = _mm256_set1_pd(kTinyProbability);
    const __m256d inf = _mm256_set1_pd(__builtin_inf());
    __m256d F, G, bad_link;
    link_lanes<L>(tab, z, F, G, bad_link);
    p0 = _mm256_add_pd(l, _mm256_mul_pd(w, G));
    p1 = _mm256_add_pd(g, _mm256_mul_pd(w, F));
    __m256d bad_l0, bad_l1;
    const __m256d lp0 = log4(tab, p0, bad_l0);
    const __m256d lp1 = log4(tab, p1, bad_l1);
    plp0 = _mm256_andnot_pd(_mm256_cmp_pd(p0, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp0, p0));
    plp1 = _mm256_andnot_pd(_mm256_cmp_pd(p1, zero, _CMP_EQ_OQ), _mm256_mul_pd(lp1, p1));
    const __m256d off_path = _mm256_or_pd(
        _mm256_or_pd(_mm256_cmp_pd(p0, tiny, _CMP_NGT_UQ), _mm256_cmp_pd(p1, tiny, _CMP_NGT_UQ)),
        _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), z), inf, _CMP_NLT_UQ));
    return _mm256_or_pd(_mm256_or_pd(bad_link, off_path), _mm256_or_pd(bad_l0, bad_l1));
  }

  VARNEL_TARGET_LANES8 static inline unsigned terms8(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                     __m512d x, __m512d& p0, __m512d& p1, __m512d& plp0,
                                                     __m512d& plp1) noexcept {
    const __m512d z = _mm512_mul_pd(_mm512_set1_pd(t.s), _mm512_sub_pd(x, _mm512_set1_pd(t.m)));
    return terms_of_z8(tab, t.rates, z, p0, p1, plp0, plp1);
  }

  // One design against eight samples n .. n + 7 of the sample columns.
  VARNEL_TARGET_LANES8 static inline unsigned samples8(const exact_exp_log::LibmTables& tab, const SampleColumns& c,
                                                       std::size_t n, const double* design, __m512d& p0, __m512d& p1,
                                                       __m512d& plp0, __m512d& plp1) noexcept {
    const __m512d z = _mm512_mul_pd(c.load8<offsetof(Sample, s)>(n),
                                    _mm512_sub_pd(_mm512_set1_pd(design[0]), c.load8<offsetof(Sample, m)>(n)));
    return terms_of_z8(tab, c.load8<offsetof(Sample, rates) + offsetof(RateLogs, g)>(n),
                       c.load8<offsetof(Sample, rates) + offsetof(RateLogs, l)>(n),
                       c.load8<offsetof(Sample, rates) + offsetof(RateLogs, w)>(n), z, p0, p1, plp0, plp1);
  }

  VARNEL_TARGET_LANES8 static inline unsigned terms_of_z8(const exact_exp_log::LibmTables& tab, const RateLogs& rates,
                                                          __m512d z, __m512d& p0, __m512d& p1, __m512d& plp0,
                                                          __m512d& plp1) noexcept {
    return terms_of_z8(tab, _mm512_set1_pd(rates.g), _mm512_set1_pd(rates.l), _mm512_set1_pd(rates.w), z, p0, p1, plp0,
                       plp1);
  }

  // The same with rates of their own in every lane.
  VARNEL_TARGET_LANES8 static inline unsigned terms_of_z8(const exact_exp_log::LibmTables& tab, __m512d g, __m512d l,
                                                          __m512d w, __m512d z, __m512d& p0, __m512d& p1,
                                                          __m512d& plp0, __m512d& plp1) noexcept {
    using namespace exact_exp_log::lanes;
    const __m512d zero = _mm512_setzero_pd();
    const __m512d tiny = _mm512_set1_pd(kTinyProbability);
    const __m512d inf = _mm512_set1_pd(__builtin_inf());
    __m512d F, G;
    __mmask8 bad_link;
    link_lanes8<L>(tab, z, F, G, bad_link);
    p0 = _mm512_add_pd(l, _mm512_mul_pd(w, G));
    p1 = _mm512_add_pd(g, _mm512_mul_pd(w, F));
    __mmask8 bad_l0, bad_l1;
    const __m512d lp0 = log8(tab, p0, bad_l0);
    const __m512d lp1 = log8(tab, p1, bad_l1);
    plp0 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p0, zero, _CMP_NEQ_UQ), lp0, p0);
    plp1 = _mm512_maskz_mul_pd(_mm512_cmp_pd_mask(p1, zero, _CMP_NEQ_UQ), lp1, p1);
    const __mmask8 off_path = static_cast<__mmask8>(
        _mm512_cmp_pd_mask(p0, tiny, _CMP_NGT_UQ) | _mm512_cmp_pd_mask(p1, tiny, _CMP_NGT_UQ) |
        _mm512_cmp_pd_mask(_mm512_andnot_pd(_mm512_set1_pd(-0.0), z), inf, _CMP_NLT_UQ));
    return bad_link | off_path | bad_l0 | bad_l1;
  }
};

// p(yes | θ_i, x) = γ_i + w_i·F(s_i·(x − m_i)) over rows held as columns,
// four at a time; lanes off the common path (and the tail) are the scalar
// p_yes.
struct CurveRows {
  std::vector<double> s, m, g, w;

  std::size_t size() const noexcept { return s.size(); }
  // Row i as the sample the scalar p_yes reads.
  PsychometricModel::EigSample sample(std::size_t i) const noexcept {
    PsychometricModel::EigSample t{s[i], m[i], {}};
    t.rates.g = g[i];
    t.rates.w = w[i];
    return t;
  }
};

// The column kernels are flattened: with the library functions' lanes
// inlined, a loop keeps its vectors in registers across them (a call loses
// every vector register).
template <Link L>
[[gnu::flatten]] VARNEL_TARGET_LANES void p_yes_column4(const exact_exp_log::LibmTables& tab,
                                                        const PsychometricModel& model, const CurveRows& rows,
                                                        double x, std::span<double> out) noexcept {
  const std::size_t n = rows.size();
  const __m256d xv = _mm256_set1_pd(x);
  const __m256d inf = _mm256_set1_pd(__builtin_inf());
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d z =
        _mm256_mul_pd(_mm256_loadu_pd(rows.s.data() + i), _mm256_sub_pd(xv, _mm256_loadu_pd(rows.m.data() + i)));
    __m256d F, G, special;
    link_lanes<L>(tab, z, F, G, special);
    const __m256d p =
        _mm256_add_pd(_mm256_loadu_pd(rows.g.data() + i), _mm256_mul_pd(_mm256_loadu_pd(rows.w.data() + i), F));
    _mm256_storeu_pd(out.data() + i, p);
    const __m256d off = _mm256_or_pd(special, _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), z), inf,
                                                            _CMP_NLT_UQ));
    if (const int redo = _mm256_movemask_pd(off)) {
      for (int k = 0; k < 4; ++k) {
        if (redo & (1 << k)) out[i + k] = model.p_yes(rows.sample(i + k), x);
      }
    }
  }
  for (; i < n; ++i) out[i] = model.p_yes(rows.sample(i), x);
}

// The normal link's column. The erfc lanes have a function per range of the
// argument a = z/√2, and a vector runs each range one of its lanes is in:
// over rows in the order they came, nearly every vector would run every
// range (two exp calls and three divisions in the tail). The band hands this
// rows ordered so that neighbours are alike (rows_by_cell), and then most
// vectors lie in one range. a ≥ 6 gives F = 1, a ≤ −28 F = 0, and so does
// a ≤ −6 where γ ≥ 1/4: there w·F < 2⁻⁵⁶ is below half a unit in the last
// place of γ, so γ + w·F is γ whatever F's bits. The other lanes take the
// same operations as p_yes_column8, so the same bits as the scalar p_yes.
[[gnu::flatten]] VARNEL_TARGET_LANES8 double p_yes_column8_normal(const exact_exp_log::LibmTables& tab,
                                                                  const PsychometricModel& model, const CurveRows& rows,
                                                                  double x, std::span<double> out) noexcept {
  namespace c = exact_exp_log::lanes::erfc_coefficients;
  using namespace exact_exp_log::lanes;
  const std::size_t n = rows.size();
  const std::size_t full = n / 8 * 8;
  const double* const s = rows.s.data();
  const double* const m = rows.m.data();
  const double* const g = rows.g.data();
  const double* const w = rows.w.data();
  const __m512d xv = _mm512_set1_pd(x);
  const __m512d sign = _mm512_set1_pd(-0.0);
  const __m512d inf = _mm512_set1_pd(__builtin_inf());
  const __m512d nan = _mm512_set1_pd(__builtin_nan(""));
  const __m512d half = _mm512_set1_pd(0.5);
  __m512d sums = _mm512_setzero_pd();  // sum_in_eight's, as the rows are written
  for (std::size_t i = 0; i < full; i += 8) {
    const __m512d z = _mm512_mul_pd(_mm512_loadu_pd(s + i), _mm512_sub_pd(xv, _mm512_loadu_pd(m + i)));
    const __m512d a = _mm512_mul_pd(z, _mm512_set1_pd(kLanesSqrtHalf));
    const __m512d ax = _mm512_andnot_pd(sign, a);
    const __mmask8 finite = _mm512_cmp_pd_mask(ax, inf, _CMP_LT_OQ);
    const __mmask8 small = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kSmallArg), _CMP_LT_OQ);
    const __mmask8 below_mid = _mm512_cmp_pd_mask(ax, _mm512_set1_pd(c::kMidArg), _CMP_LT_OQ);
    const __mmask8 one = finite & _mm512_cmp_pd_mask(a, _mm512_set1_pd(c::kNegativeSaturation), _CMP_GE_OQ);
    const __m512d gv = _mm512_loadu_pd(g + i);
    const __mmask8 zero = finite & (_mm512_cmp_pd_mask(a, _mm512_set1_pd(-c::kLargeArg), _CMP_LE_OQ) |
                                    (_mm512_cmp_pd_mask(a, _mm512_set1_pd(-c::kNegativeSaturation), _CMP_LE_OQ) &
                                     _mm512_cmp_pd_mask(gv, _mm512_set1_pd(0.25), _CMP_GE_OQ)));
    const auto mid = static_cast<__mmask8>(~small & below_mid);
    const auto tail = static_cast<__mmask8>(finite & ~below_mid & ~one & ~zero);
    __m512d F = _mm512_mask_mov_pd(_mm512_mask_mov_pd(nan, one, _mm512_set1_pd(1.0)), zero, _mm512_setzero_pd());
    __m512d erfc_a, erfc_neg_a;
    if (small != 0) {
      erfc_small8(a, ax, erfc_a, erfc_neg_a);
      F = _mm512_mask_mul_pd(F, small, half, erfc_neg_a);
    }
    if (mid != 0) {
      erfc_mid8(a, ax, erfc_a, erfc_neg_a);
      F = _mm512_mask_mul_pd(F, mid, half, erfc_neg_a);
    }
    if (tail != 0) {
      __mmask8 bad = 0;
      erfc_tail8(tab, a, ax, tail, erfc_a, erfc_neg_a, bad);
      F = _mm512_mask_mov_pd(F, tail, _mm512_mask_blend_pd(bad, _mm512_mul_pd(half, erfc_neg_a), nan));
    }
    __m512d p = _mm512_add_pd(gv, _mm512_mul_pd(_mm512_loadu_pd(w + i), F));
    _mm512_storeu_pd(out.data() + i, p);
    if (unsigned redo = _mm512_cmp_pd_mask(F, F, _CMP_UNORD_Q); redo != 0) {
      for (; redo != 0; redo &= redo - 1) {
        const std::size_t row = i + static_cast<std::size_t>(__builtin_ctz(redo));
        out[row] = model.p_yes(rows.sample(row), x);
      }
      p = _mm512_loadu_pd(out.data() + i);
    }
    sums = _mm512_add_pd(sums, p);
  }
  for (std::size_t i = full; i < n; ++i) out[i] = model.p_yes(rows.sample(i), x);
  alignas(64) double lanes[8];
  _mm512_store_pd(lanes, sums);
  return sum_in_eight_rest(lanes, out.subspan(full));
}

// bracket_pass in eight lanes.
VARNEL_TARGET_LANES8 void bracket_pass8(std::span<const double> values, double lower, double upper, double* inside,
                                        std::size_t& count, std::size_t& below) noexcept {
  const __m512d lo = _mm512_set1_pd(lower);
  const __m512d hi = _mm512_set1_pd(upper);
  std::size_t in = 0, under = 0, i = 0;
  for (; i + 8 <= values.size(); i += 8) {
    const __m512d v = _mm512_loadu_pd(values.data() + i);
    const __mmask8 take = _mm512_cmp_pd_mask(v, lo, _CMP_GE_OQ) & _mm512_cmp_pd_mask(v, hi, _CMP_LE_OQ);
    _mm512_storeu_pd(inside + in, _mm512_maskz_compress_pd(take, v));
    in += static_cast<std::size_t>(__builtin_popcount(take));
    under += static_cast<std::size_t>(__builtin_popcount(_mm512_cmp_pd_mask(v, lo, _CMP_LT_OQ)));
  }
  for (; i < values.size(); ++i) {
    const double v = values[i];
    inside[in] = v;
    in += static_cast<std::size_t>(v >= lower) & static_cast<std::size_t>(v <= upper);
    under += static_cast<std::size_t>(v < lower);
  }
  count = in;
  below = under;
}

// select_pair in eight lanes: partitions around a pivot (the median of the
// first, middle and last value) into the values below and above it, counting
// the equal ones, and goes on in the side that holds the pair, until few are
// left for the plain selection.
VARNEL_TARGET_LANES8 std::pair<double, double> select_pair8(std::span<double> values, std::size_t lo,
                                                            double* scratch) noexcept {
  constexpr std::size_t kFew = 32;
  // Three buffers in turn: the values being partitioned (first the caller's),
  // and the two sides of the partition.
  double* buffers[3] = {values.data(), scratch, scratch + values.size() + 8};
  int data = 0;
  std::size_t n = values.size();
  while (n > kFew) {
    const double* d = buffers[data];
    double* below = buffers[(data + 1) % 3];
    double* above = buffers[(data + 2) % 3];
    const double first = d[0], middle = d[n / 2], last = d[n - 1];
    const double pivot = std::max(std::min(first, middle), std::min(std::max(first, middle), last));
    const __m512d p = _mm512_set1_pd(pivot);
    std::size_t under = 0, over = 0, i = 0;
    for (; i + 8 <= n; i += 8) {
      const __m512d v = _mm512_loadu_pd(d + i);
      const __mmask8 lt = _mm512_cmp_pd_mask(v, p, _CMP_LT_OQ);
      const __mmask8 gt = _mm512_cmp_pd_mask(v, p, _CMP_GT_OQ);
      _mm512_storeu_pd(below + under, _mm512_maskz_compress_pd(lt, v));
      _mm512_storeu_pd(above + over, _mm512_maskz_compress_pd(gt, v));
      under += static_cast<std::size_t>(__builtin_popcount(lt));
      over += static_cast<std::size_t>(__builtin_popcount(gt));
    }
    for (; i < n; ++i) {
      const double v = d[i];
      below[under] = v;
      under += static_cast<std::size_t>(v < pivot);
      above[over] = v;
      over += static_cast<std::size_t>(v > pivot);
    }
    const std::size_t equal = n - under - over;
    const auto least_above = [&] { return *std::min_element(above, above + over); };
    if (lo + 1 < under) {  // both below the pivot
      data = (data + 1) % 3;
      n = under;
    } else if (lo + 1 == under) {
      return {*std::max_element(below, below + under), equal > 0 ? pivot : least_above()};
    } else if (lo < under + equal) {
      return {pivot, lo + 1 < under + equal || lo + 1 == n ? pivot : least_above()};
    } else {
      lo -= under + equal;
      data = (data + 2) % 3;
      n = over;
    }
  }
  return order_pair_by_selection(std::span<double>(buffers[data], n), lo);
}

// p_yes_column4 in eight lanes. The Gumbel link's F runs in link_exp8's two
// stages (out holds the column's exp calls until F and p(yes) take their
// place); the logistic link's, one division after its exp, is faster in one.
template <Link L>
[[gnu::flatten]] VARNEL_TARGET_LANES8 void p_yes_column8(const exact_exp_log::LibmTables& tab,
                                                         const PsychometricModel& model, const CurveRows& rows,
                                                         double x, std::span<double> out) noexcept {
  const std::size_t n = rows.size();
  const std::size_t full = n / 8 * 8;
  const double* const s = rows.s.data();
  const double* const m = rows.m.data();
  const double* const g = rows.g.data();
  const double* const w = rows.w.data();
  const __m512d xv = _mm512_set1_pd(x);
  const __m512d inf = _mm512_set1_pd(__builtin_inf());
  constexpr bool kStaged = L == Link::Gumbel;
  for (std::size_t i = 0; kStaged && i < full; i += 8) {
    const __m512d z = _mm512_mul_pd(_mm512_loadu_pd(s + i), _mm512_sub_pd(xv, _mm512_loadu_pd(m + i)));
    _mm512_storeu_pd(out.data() + i, link_exp8<L>(tab, z));
  }
  for (std::size_t i = 0; i < full; i += 8) {
    const __m512d z = _mm512_mul_pd(_mm512_loadu_pd(s + i), _mm512_sub_pd(xv, _mm512_loadu_pd(m + i)));
    const __m512d e = kStaged ? _mm512_loadu_pd(out.data() + i) : link_exp8<L>(tab, z);
    __mmask8 special;
    const __m512d F = link_F8_of_exp<L>(e, z, special);
    const __m512d p = _mm512_add_pd(_mm512_loadu_pd(g + i), _mm512_mul_pd(_mm512_loadu_pd(w + i), F));
    _mm512_storeu_pd(out.data() + i, p);
    const __mmask8 off = static_cast<__mmask8>(
        special | _mm512_cmp_pd_mask(_mm512_andnot_pd(_mm512_set1_pd(-0.0), z), inf, _CMP_NLT_UQ));
    for (unsigned redo = off; redo != 0; redo &= redo - 1) {
      const std::size_t row = i + static_cast<std::size_t>(__builtin_ctz(redo));
      out[row] = model.p_yes(rows.sample(row), x);
    }
  }
  for (std::size_t i = full; i < n; ++i) out[i] = model.p_yes(rows.sample(i), x);
}

// The CSF's terms: log10 S(L) of each lane's frequency as the scalar
// log_sensitivity forms it, m = −log10 S, then the psychometric terms.
template <Link L>
struct ContrastSensitivityTerms {
  using Sample = ContrastSensitivityModel::EigSample;

  VARNEL_TARGET_LANES static inline __m256d terms4(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                   const __m256d* x, __m256d& p0, __m256d& p1, __m256d& plp0,
                                                   __m256d& plp1) noexcept {
    const __m256d floor = _mm256_set1_pd(t.log_peak - t.truncation);
    return terms_of4(tab, _mm256_set1_pd(t.log_peak), _mm256_set1_pd(t.log_peak_frequency), _mm256_set1_pd(t.width),
                     floor, _mm256_set1_pd(t.slope), _mm256_set1_pd(t.rates.g), _mm256_set1_pd(t.rates.l),
                     _mm256_set1_pd(t.rates.w), x[0], x[1], p0, p1, plp0, plp1);
  }

  // One design against four samples n .. n + 3 of the sample columns.
  VARNEL_TARGET_LANES static inline __m256d samples4(const exact_exp_log::LibmTables& tab, const SampleColumns& c,
                                                     std::size_t n, const double* design, __m256d& p0, __m256d& p1,
                                                     __m256d& plp0, __m256d& plp1) noexcept {
    const __m256d log_peak = c.load4<offsetof(Sample, log_peak)>(n);
    const __m256d floor = _mm256_sub_pd(log_peak, c.load4<offsetof(Sample, truncation)>(n));
    return terms_of4(tab, log_peak, c.load4<offsetof(Sample, log_peak_frequency)>(n),
                     c.load4<offsetof(Sample, width)>(n), floor, c.load4<offsetof(Sample, slope)>(n),
                     c.load4<offsetof(Sample, rates) + offsetof(RateLogs, g)>(n),
                     c.load4<offsetof(Sample, rates) + offsetof(RateLogs, l)>(n),
                     c.load4<offsetof(Sample, rates) + offsetof(RateLogs, w)>(n), _mm256_set1_pd(design[0]),
                     _mm256_set1_pd(design[1]), p0, p1, plp0, plp1);
  }

  // The terms with every input in lanes (see terms_of8).
  VARNEL_TARGET_LANES static inline __m256d terms_of4(const exact_exp_log::LibmTables& tab, __m256d log_peak,
                                                      __m256d peak_frequency, __m256d width, __m256d floor,
                                                      __m256d slope, __m256d g, __m256d l, __m256d w,
                                                      __m256d frequency, __m256d contrast, __m256d& p0, __m256d& p1,
                                                      __m256d& plp0, __m256d& plp1) noexcept {
    constexpr double kLog10Two = 0.30102999566398119521;
    const __m256d q = _mm256_div_pd(_mm256_mul_pd(_mm256_set1_pd(2.0), _mm256_sub_pd(frequency, peak_frequency)), width);
    const __m256d parabola = _mm256_sub_pd(log_peak, _mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(kLog10Two), q), q));
    // Below the peak, std::max(parabola, floor): the floor where parabola < floor.
    const __m256d below = _mm256_cmp_pd(frequency, peak_frequency, _CMP_LT_OQ);
    const __m256d raised = _mm256_and_pd(below, _mm256_cmp_pd(parabola, floor, _CMP_LT_OQ));
    const __m256d log_s = _mm256_blendv_pd(parabola, floor, raised);
    const __m256d m = _mm256_xor_pd(log_s, _mm256_set1_pd(-0.0));
    const __m256d z = _mm256_mul_pd(slope, _mm256_sub_pd(contrast, m));
    return PsychometricTerms<L>::terms_of_z4(tab, g, l, w, z, p0, p1, plp0, plp1);
  }

  // terms4 in eight lanes.
  VARNEL_TARGET_LANES8 static inline unsigned terms8(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                     const __m512d* x, __m512d& p0, __m512d& p1, __m512d& plp0,
                                                     __m512d& plp1) noexcept {
    const __m512d floor = _mm512_set1_pd(t.log_peak - t.truncation);
    return terms_of8(tab, _mm512_set1_pd(t.log_peak), _mm512_set1_pd(t.log_peak_frequency), _mm512_set1_pd(t.width),
                     floor, _mm512_set1_pd(t.slope), _mm512_set1_pd(t.rates.g), _mm512_set1_pd(t.rates.l),
                     _mm512_set1_pd(t.rates.w), x[0], x[1], p0, p1, plp0, plp1);
  }

  // One design against eight samples n .. n + 7 of the sample columns.
  VARNEL_TARGET_LANES8 static inline unsigned samples8(const exact_exp_log::LibmTables& tab, const SampleColumns& c,
                                                       std::size_t n, const double* design, __m512d& p0, __m512d& p1,
                                                       __m512d& plp0, __m512d& plp1) noexcept {
    const __m512d log_peak = c.load8<offsetof(Sample, log_peak)>(n);
    const __m512d floor = _mm512_sub_pd(log_peak, c.load8<offsetof(Sample, truncation)>(n));
    return terms_of8(tab, log_peak, c.load8<offsetof(Sample, log_peak_frequency)>(n),
                     c.load8<offsetof(Sample, width)>(n), floor, c.load8<offsetof(Sample, slope)>(n),
                     c.load8<offsetof(Sample, rates) + offsetof(RateLogs, g)>(n),
                     c.load8<offsetof(Sample, rates) + offsetof(RateLogs, l)>(n),
                     c.load8<offsetof(Sample, rates) + offsetof(RateLogs, w)>(n), _mm512_set1_pd(design[0]),
                     _mm512_set1_pd(design[1]), p0, p1, plp0, plp1);
  }

  // The terms with every input in lanes: whether the samples or the designs
  // vary across them, the operations are the same.
  VARNEL_TARGET_LANES8 static inline unsigned terms_of8(const exact_exp_log::LibmTables& tab, __m512d log_peak,
                                                        __m512d peak_frequency, __m512d width, __m512d floor,
                                                        __m512d slope, __m512d g, __m512d l, __m512d w,
                                                        __m512d frequency, __m512d contrast, __m512d& p0, __m512d& p1,
                                                        __m512d& plp0, __m512d& plp1) noexcept {
    constexpr double kLog10Two = 0.30102999566398119521;
    const __m512d q = _mm512_div_pd(_mm512_mul_pd(_mm512_set1_pd(2.0), _mm512_sub_pd(frequency, peak_frequency)), width);
    const __m512d parabola = _mm512_sub_pd(log_peak, _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(kLog10Two), q), q));
    const __mmask8 raised = _mm512_cmp_pd_mask(frequency, peak_frequency, _CMP_LT_OQ) &
                            _mm512_cmp_pd_mask(parabola, floor, _CMP_LT_OQ);
    const __m512d log_s = _mm512_mask_blend_pd(raised, parabola, floor);
    const __m512d m = _mm512_xor_pd(log_s, _mm512_set1_pd(-0.0));
    const __m512d z = _mm512_mul_pd(slope, _mm512_sub_pd(contrast, m));
    return PsychometricTerms<L>::terms_of_z8(tab, g, l, w, z, p0, p1, plp0, plp1);
  }
};

// Interleaved conditions: each lane's design names its condition, whose
// slope, location and rates the lane gathers; a lane whose condition is not
// an index is redone by the scalar path (NaN).
template <Link L>
struct ConditionsTerms {
  using Sample = ConditionsPsychometricModel::EigSample;

  // Each lane's condition's slope, location and rates, and whether its
  // condition is an index (invalid: all ones in the sign bit, else 0).
  template <std::size_t W>
  static inline void gather(const Sample& t, const double* conditions, double* s, double* m, double* g, double* l,
                            double* w, double* invalid) noexcept {
    const auto count = static_cast<double>(t.conditions.size());
    for (std::size_t j = 0; j < W; ++j) {
      const double c = conditions[j];
      const bool valid = c >= 0.0 && c < count && c == std::floor(c);
      const auto& part = t.conditions[valid ? static_cast<std::size_t>(c) : 0];
      s[j] = part.s;
      m[j] = part.m;
      g[j] = part.rates.g;
      l[j] = part.rates.l;
      w[j] = part.rates.w;
      invalid[j] = valid ? 0.0 : -1.0;
    }
  }

  VARNEL_TARGET_LANES static inline __m256d terms4(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                   const __m256d* x, __m256d& p0, __m256d& p1, __m256d& plp0,
                                                   __m256d& plp1) noexcept {
    alignas(32) double conditions[4], s[4], m[4], g[4], l[4], w[4], invalid[4];
    _mm256_store_pd(conditions, x[1]);
    gather<4>(t, conditions, s, m, g, l, w, invalid);
    const __m256d z = _mm256_mul_pd(_mm256_load_pd(s), _mm256_sub_pd(x[0], _mm256_load_pd(m)));
    const __m256d bad = PsychometricTerms<L>::terms_of_z4(tab, _mm256_load_pd(g), _mm256_load_pd(l),
                                                          _mm256_load_pd(w), z, p0, p1, plp0, plp1);
    return _mm256_or_pd(bad, _mm256_cmp_pd(_mm256_load_pd(invalid), _mm256_setzero_pd(), _CMP_LT_OQ));
  }

  // terms4 in eight lanes.
  VARNEL_TARGET_LANES8 static inline unsigned terms8(const exact_exp_log::LibmTables& tab, const Sample& t,
                                                     const __m512d* x, __m512d& p0, __m512d& p1, __m512d& plp0,
                                                     __m512d& plp1) noexcept {
    alignas(64) double conditions[8], s[8], m[8], g[8], l[8], w[8], invalid[8];
    _mm512_store_pd(conditions, x[1]);
    gather<8>(t, conditions, s, m, g, l, w, invalid);
    const __m512d z = _mm512_mul_pd(_mm512_load_pd(s), _mm512_sub_pd(x[0], _mm512_load_pd(m)));
    const unsigned bad = PsychometricTerms<L>::terms_of_z8(tab, _mm512_load_pd(g), _mm512_load_pd(l),
                                                           _mm512_load_pd(w), z, p0, p1, plp0, plp1);
    return bad | _mm512_cmp_pd_mask(_mm512_load_pd(invalid), _mm512_setzero_pd(), _CMP_LT_OQ);
  }
};

template <class M, class Terms>
void score_range_for(const ScoreJob<M>& job, std::size_t first, std::size_t last, double* result) noexcept {
  if (job.eight) return score_range_lanes8<M, Terms>(job, first, last, result);
  score_range_lanes4<M, Terms>(job, first, last, result);
}
#endif

}  // namespace

const exact_exp_log::LibmTables* EigLanes<PsychometricModel>::tables(const PsychometricModel& model,
                                                                     bool eight) noexcept {
  switch (model.link) {
    case Link::Logistic:
      return eight ? exact_exp_log::lanes8_tables() : exact_exp_log::lanes_tables();
    case Link::Normal:
      return eight ? exact_exp_log::erfc_lanes8_tables() : exact_exp_log::erfc_lanes_tables();
    case Link::Gumbel:
      return eight ? exact_exp_log::expm1_lanes8_tables() : exact_exp_log::expm1_lanes_tables();
  }
  return nullptr;
}

void EigLanes<PsychometricModel>::score_range(const ScoreJob<PsychometricModel>& job, std::size_t first,
                                              std::size_t last, double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  switch (job.model->link) {
    case Link::Logistic:
      return score_range_for<PsychometricModel, PsychometricTerms<Link::Logistic>>(job, first, last, result);
    case Link::Normal:
      return score_range_for<PsychometricModel, PsychometricTerms<Link::Normal>>(job, first, last, result);
    case Link::Gumbel:
      return score_range_for<PsychometricModel, PsychometricTerms<Link::Gumbel>>(job, first, last, result);
  }
#endif
  score_range_scalar(job, first, last, result);
}

PercentileKernels percentile_kernels() noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  if (exact_exp_log::cpu_has_avx512_lanes()) return PercentileKernels{bracket_pass8, select_pair8};
#endif
  return PercentileKernels{};
}

ResponseBand psychometric_band(const PsychometricModel& model, std::span<const double> given,
                               std::span<const double> xs, std::span<const double> percents, unsigned threads) {
  // The normal link's lanes run faster over rows whose neighbours are alike.
  // The percentiles do not depend on the rows' order, the last bits of the
  // mean do: every path takes the same order.
  std::vector<double> ordered;
  if (model.link == Link::Normal) ordered = rows_by_cell(given, model.dim());
  const std::span<const double> rows = model.link == Link::Normal ? std::span<const double>(ordered) : given;
#if defined(VARNEL_HAVE_EXACT_LANES)
  const exact_exp_log::LibmTables* tab8 = EigLanes<PsychometricModel>::tables(model, true);
  const exact_exp_log::LibmTables* tab = tab8 != nullptr ? tab8 : EigLanes<PsychometricModel>::tables(model, false);
  if (tab != nullptr) {
    const std::size_t dim = model.dim();
    const std::size_t n = rows.size() / dim;
    CurveRows curve;
    for (auto* column : {&curve.s, &curve.m, &curve.g, &curve.w}) column->resize(n);
    // p_yes reads s, m, γ and 1 − γ − λ of a sample: the other logarithms of
    // its rates are left out, and 1 − γ − λ is formed once for fixed rates.
    const auto prepare = [&](std::size_t first, std::size_t last) noexcept {
      double last_g = 0.0, last_l = 0.0, w = 0.0;
      for (std::size_t i = first; i < last; ++i) {
        const auto [s, m, g, l] = model.full_natural(rows.subspan(i * dim, dim));
        if (i == first || g != last_g || l != last_l) w = PsychometricModel::response_scale(g, l);
        last_g = g;
        last_l = l;
        curve.s[i] = s;
        curve.m[i] = m;
        curve.g[i] = g;
        curve.w[i] = w;
      }
    };
    return band_of_columns(n, xs, percents, threads, [&](double x, std::span<double> out) -> double {
      if (tab8 != nullptr) {
        switch (model.link) {
          case Link::Logistic:
            p_yes_column8<Link::Logistic>(*tab, model, curve, x, out);
            break;
          case Link::Normal:
            return p_yes_column8_normal(*tab, model, curve, x, out);  // with the sum
          case Link::Gumbel:
            p_yes_column8<Link::Gumbel>(*tab, model, curve, x, out);
            break;
        }
      } else {
        switch (model.link) {
          case Link::Logistic:
            p_yes_column4<Link::Logistic>(*tab, model, curve, x, out);
            break;
          case Link::Normal:
            p_yes_column4<Link::Normal>(*tab, model, curve, x, out);
            break;
          case Link::Gumbel:
            p_yes_column4<Link::Gumbel>(*tab, model, curve, x, out);
            break;
        }
      }
      return sum_in_eight(out);
    }, percentile_kernels(), prepare);
  }
#endif
  return response_band(model, rows, xs, percents, threads);
}

const exact_exp_log::LibmTables* EigLanes<ContrastSensitivityModel>::tables(const ContrastSensitivityModel& model,
                                                                            bool eight) noexcept {
  return EigLanes<PsychometricModel>::tables(model.base, eight);
}

void EigLanes<ContrastSensitivityModel>::score_range(const ScoreJob<ContrastSensitivityModel>& job, std::size_t first,
                                                     std::size_t last, double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  switch (job.model->base.link) {
    case Link::Logistic:
      return score_range_for<ContrastSensitivityModel, ContrastSensitivityTerms<Link::Logistic>>(job, first, last,
                                                                                                result);
    case Link::Normal:
      return score_range_for<ContrastSensitivityModel, ContrastSensitivityTerms<Link::Normal>>(job, first, last,
                                                                                              result);
    case Link::Gumbel:
      return score_range_for<ContrastSensitivityModel, ContrastSensitivityTerms<Link::Gumbel>>(job, first, last,
                                                                                              result);
  }
#endif
  score_range_scalar(job, first, last, result);
}

const exact_exp_log::LibmTables* EigLanes<ConditionsPsychometricModel>::tables(
    const ConditionsPsychometricModel& model, bool eight) noexcept {
  return EigLanes<PsychometricModel>::tables(model.base, eight);
}

void EigLanes<ConditionsPsychometricModel>::score_range(const ScoreJob<ConditionsPsychometricModel>& job,
                                                        std::size_t first, std::size_t last, double* result) noexcept {
#if defined(VARNEL_HAVE_EXACT_LANES)
  using M = ConditionsPsychometricModel;
  switch (job.model->base.link) {
    case Link::Logistic:
      return score_range_for<M, ConditionsTerms<Link::Logistic>>(job, first, last, result);
    case Link::Normal:
      return score_range_for<M, ConditionsTerms<Link::Normal>>(job, first, last, result);
    case Link::Gumbel:
      return score_range_for<M, ConditionsTerms<Link::Gumbel>>(job, first, last, result);
  }
#endif
  score_range_scalar(job, first, last, result);
}

}  // namespace varnel
