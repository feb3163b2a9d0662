#include "math.hpp"

#include <atomic>
#include <bit>
#include <cmath>
#include <string>

#include "panic.hpp"

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace varnel {
namespace {

// The bit test of all_finite_nonzero: subtracting one moves +0.0 and -0.0 to
// the top of their half, clearing the sign folds both halves together, and
// then every finite non-zero magnitude lies below the pattern of +inf minus one.
constexpr std::uint64_t kMagnitudeMask = 0x7fffffffffffffffu;
constexpr std::uint64_t kFiniteNonzeroLimit = 0x7fefffffffffffffu;

inline bool is_finite_nonzero(double x) noexcept {
  return ((std::bit_cast<std::uint64_t>(x) - 1) & kMagnitudeMask) < kFiniteNonzeroLimit;
}

CpuFeatures read_cpu_features() noexcept {
  CpuFeatures f;
#if defined(__x86_64__)
  unsigned a = 0, b = 0, c = 0, d = 0;
  bool os_saves_avx = false;
  if (__get_cpuid(1, &a, &b, &c, &d) != 0) {
    f.sse3 = (c & (1u << 0)) != 0;
    f.ssse3 = (c & (1u << 9)) != 0;
    f.fma = (c & (1u << 12)) != 0;
    f.sse4_1 = (c & (1u << 19)) != 0;
    f.sse4_2 = (c & (1u << 20)) != 0;
    f.popcnt = (c & (1u << 23)) != 0;
    f.avx = (c & (1u << 28)) != 0;
    const bool osxsave = (c & (1u << 27)) != 0;
    if (osxsave) {
      // XCR0 bits 1 and 2: the OS saves the SSE and AVX register state.
      unsigned xcr0_low = 0, xcr0_high = 0;
      __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
      os_saves_avx = (xcr0_low & 0x6u) == 0x6u;
    }
  }
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) != 0) {
    f.bmi1 = (b & (1u << 3)) != 0;
    f.avx2 = (b & (1u << 5)) != 0;
    f.bmi2 = (b & (1u << 8)) != 0;
  }
  if (__get_cpuid(0x80000001u, &a, &b, &c, &d) != 0) {
    f.lzcnt = (c & (1u << 5)) != 0;
  }
  if (!os_saves_avx) {
    // Without the OS saving the upper halves, AVX instructions fault.
    f.avx = f.avx2 = f.fma = false;
  }
#endif
  return f;
}

// ---- AVX2/FMA bodies, internal: the dispatch slots point at them directly,
// and the plain wrappers in math::avx2 expose them to tests, so that no
// declaration without the target attribute names a function with it.
#if defined(VARNEL_HAVE_AVX2_KERNELS)
#define VARNEL_TARGET_AVX2 __attribute__((target("avx,avx2,fma")))

VARNEL_TARGET_AVX2 void avx2_multiply(const double* x, const double* y, double* out,
                                      std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256d p0 = _mm256_mul_pd(_mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i));
    const __m256d p1 = _mm256_mul_pd(_mm256_loadu_pd(x + i + 4), _mm256_loadu_pd(y + i + 4));
    const __m256d p2 = _mm256_mul_pd(_mm256_loadu_pd(x + i + 8), _mm256_loadu_pd(y + i + 8));
    const __m256d p3 = _mm256_mul_pd(_mm256_loadu_pd(x + i + 12), _mm256_loadu_pd(y + i + 12));
    _mm256_storeu_pd(out + i, p0);
    _mm256_storeu_pd(out + i + 4, p1);
    _mm256_storeu_pd(out + i + 8, p2);
    _mm256_storeu_pd(out + i + 12, p3);
  }
  for (; i < n; ++i) out[i] = x[i] * y[i];
}

VARNEL_TARGET_AVX2 std::pair<double, double> avx2_scalar_prods2(const double* p1, const double* p2,
                                                                const double* x, const double* y,
                                                                std::size_t n) noexcept {
  double sx = 0.0;
  double sy = 0.0;
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const double w0 = p1[i] + p2[i];
    sx += w0 * x[i];
    sy += w0 * y[i];
    const double w1 = p1[i + 1] + p2[i + 1];
    sx += w1 * x[i + 1];
    sy += w1 * y[i + 1];
  }
  if (i < n) {
    const double w = p1[i] + p2[i];
    sx += w * x[i];
    sy += w * y[i];
  }
  return {sx, sy};
}

VARNEL_TARGET_AVX2 std::pair<double, double> avx2_scalar_prods3(const double* p1, const double* n1,
                                                                const double* p2, const double* x,
                                                                const double* y,
                                                                std::size_t n) noexcept {
  double sx = 0.0;
  double sy = 0.0;
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const double w0 = p1[i] - n1[i] + p2[i];
    sx += w0 * x[i];
    sy += w0 * y[i];
    const double w1 = p1[i + 1] - n1[i + 1] + p2[i + 1];
    sx += w1 * x[i + 1];
    sy += w1 * y[i + 1];
  }
  if (i < n) {
    const double w = p1[i] - n1[i] + p2[i];
    sx += w * x[i];
    sy += w * y[i];
  }
  return {sx, sy};
}

VARNEL_TARGET_AVX2 double avx2_vector_dot(const double* a, const double* b, std::size_t n) noexcept {
  double sum = 0.0;
  std::size_t i = 0;
  alignas(32) double p[4];
  for (; i + 4 <= n; i += 4) {
    _mm256_store_pd(p, _mm256_mul_pd(_mm256_loadu_pd(a + i), _mm256_loadu_pd(b + i)));
    sum += p[0];
    sum += p[1];
    sum += p[2];
    sum += p[3];
  }
  for (; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

VARNEL_TARGET_AVX2 void avx2_axpy_out(const double* x, const double* y, double a, double* out,
                                      std::size_t n) noexcept {
  const __m256d av = _mm256_set1_pd(a);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m256d r0 = _mm256_fmadd_pd(av, _mm256_loadu_pd(x + i), _mm256_loadu_pd(y + i));
    const __m256d r1 = _mm256_fmadd_pd(av, _mm256_loadu_pd(x + i + 4), _mm256_loadu_pd(y + i + 4));
    const __m256d r2 = _mm256_fmadd_pd(av, _mm256_loadu_pd(x + i + 8), _mm256_loadu_pd(y + i + 8));
    const __m256d r3 =
        _mm256_fmadd_pd(av, _mm256_loadu_pd(x + i + 12), _mm256_loadu_pd(y + i + 12));
    _mm256_storeu_pd(out + i, r0);
    _mm256_storeu_pd(out + i + 4, r1);
    _mm256_storeu_pd(out + i + 8, r2);
    _mm256_storeu_pd(out + i + 12, r3);
  }
  for (; i < n; ++i) out[i] = std::fma(a, x[i], y[i]);
}

VARNEL_TARGET_AVX2 void avx2_axpy(const double* x, double* y, double a, std::size_t n) noexcept {
  avx2_axpy_out(x, y, a, y, n);
}

VARNEL_TARGET_AVX2 bool avx2_all_finite_nonzero(const double* values, std::size_t n) noexcept {
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i mask = _mm256_set1_epi64x(static_cast<long long>(kMagnitudeMask));
  const __m256i limit = _mm256_set1_epi64x(static_cast<long long>(kFiniteNonzeroLimit));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i));
    const __m256i folded = _mm256_and_si256(_mm256_sub_epi64(bits, one), mask);
    // With the sign cleared the signed comparison is the unsigned one.
    const __m256i ok = _mm256_cmpgt_epi64(limit, folded);
    if (_mm256_movemask_pd(_mm256_castsi256_pd(ok)) != 0xf) return false;
  }
  for (; i < n; ++i) {
    if (!is_finite_nonzero(values[i])) return false;
  }
  return true;
}

#undef VARNEL_TARGET_AVX2
#endif  // VARNEL_HAVE_AVX2_KERNELS

// ---- dispatch slots: each starts at its resolver, which stores the chosen
// variant and calls it. Relaxed atomics: a racing first call stores the same.

using MultiplyFn = void (*)(const double*, const double*, double*, std::size_t) noexcept;
using Prods2Fn = std::pair<double, double> (*)(const double*, const double*, const double*,
                                               const double*, std::size_t) noexcept;
using Prods3Fn = std::pair<double, double> (*)(const double*, const double*, const double*,
                                               const double*, const double*, std::size_t) noexcept;
using DotFn = double (*)(const double*, const double*, std::size_t) noexcept;
using AxpyFn = void (*)(const double*, double*, double, std::size_t) noexcept;
using AxpyOutFn = void (*)(const double*, const double*, double, double*, std::size_t) noexcept;

template <class Fn>
Fn choose(Fn portable_variant, [[maybe_unused]] Fn avx2_variant) noexcept {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
  if (math::cpu_has_avx2_fma()) return avx2_variant;
#endif
  return portable_variant;
}

#if defined(VARNEL_HAVE_AVX2_KERNELS)
#define VARNEL_AVX2_OR_PORTABLE(name) avx2_##name
#else
#define VARNEL_AVX2_OR_PORTABLE(name) math::portable::name
#endif

void resolve_multiply(const double*, const double*, double*, std::size_t) noexcept;
std::pair<double, double> resolve_prods2(const double*, const double*, const double*,
                                         const double*, std::size_t) noexcept;
std::pair<double, double> resolve_prods3(const double*, const double*, const double*,
                                         const double*, const double*, std::size_t) noexcept;
double resolve_dot(const double*, const double*, std::size_t) noexcept;
void resolve_axpy(const double*, double*, double, std::size_t) noexcept;
void resolve_axpy_out(const double*, const double*, double, double*, std::size_t) noexcept;

std::atomic<MultiplyFn> multiply_slot{&resolve_multiply};
std::atomic<Prods2Fn> prods2_slot{&resolve_prods2};
std::atomic<Prods3Fn> prods3_slot{&resolve_prods3};
std::atomic<DotFn> dot_slot{&resolve_dot};
std::atomic<AxpyFn> axpy_slot{&resolve_axpy};
std::atomic<AxpyOutFn> axpy_out_slot{&resolve_axpy_out};

void resolve_multiply(const double* x, const double* y, double* out, std::size_t n) noexcept {
  const MultiplyFn f = choose<MultiplyFn>(&math::portable::multiply, &VARNEL_AVX2_OR_PORTABLE(multiply));
  multiply_slot.store(f, std::memory_order_relaxed);
  f(x, y, out, n);
}
std::pair<double, double> resolve_prods2(const double* p1, const double* p2, const double* x,
                                         const double* y, std::size_t n) noexcept {
  const Prods2Fn f = choose<Prods2Fn>(&math::portable::scalar_prods2,
                                      &VARNEL_AVX2_OR_PORTABLE(scalar_prods2));
  prods2_slot.store(f, std::memory_order_relaxed);
  return f(p1, p2, x, y, n);
}
std::pair<double, double> resolve_prods3(const double* p1, const double* n1, const double* p2,
                                         const double* x, const double* y, std::size_t n) noexcept {
  const Prods3Fn f = choose<Prods3Fn>(&math::portable::scalar_prods3,
                                      &VARNEL_AVX2_OR_PORTABLE(scalar_prods3));
  prods3_slot.store(f, std::memory_order_relaxed);
  return f(p1, n1, p2, x, y, n);
}
double resolve_dot(const double* a, const double* b, std::size_t n) noexcept {
  const DotFn f = choose<DotFn>(&math::portable::vector_dot, &VARNEL_AVX2_OR_PORTABLE(vector_dot));
  dot_slot.store(f, std::memory_order_relaxed);
  return f(a, b, n);
}
void resolve_axpy(const double* x, double* y, double a, std::size_t n) noexcept {
  const AxpyFn f = choose<AxpyFn>(&math::portable::axpy, &VARNEL_AVX2_OR_PORTABLE(axpy));
  axpy_slot.store(f, std::memory_order_relaxed);
  f(x, y, a, n);
}
void resolve_axpy_out(const double* x, const double* y, double a, double* out,
                      std::size_t n) noexcept {
  const AxpyOutFn f = choose<AxpyOutFn>(&math::portable::axpy_out, &VARNEL_AVX2_OR_PORTABLE(axpy_out));
  axpy_out_slot.store(f, std::memory_order_relaxed);
  f(x, y, a, out, n);
}

#undef VARNEL_AVX2_OR_PORTABLE


}  // namespace

const CpuFeatures& cpu_features() noexcept {
  static const CpuFeatures features = read_cpu_features();
  return features;
}

std::uint8_t detected_simd_level() noexcept {
  static std::atomic<std::uint8_t> level{255};
  std::uint8_t v = level.load(std::memory_order_relaxed);
  if (v == 255) {
    const CpuFeatures& f = cpu_features();
    const bool v3 = f.sse3 && f.ssse3 && f.sse4_1 && f.sse4_2 && f.popcnt && f.avx && f.avx2 &&
                    f.bmi1 && f.bmi2 && f.fma && f.lzcnt;
    v = v3 ? 1 : 0;
    level.store(v, std::memory_order_relaxed);
  }
  return v;
}

namespace math {

bool cpu_has_avx2_fma() noexcept {
  const CpuFeatures& f = cpu_features();
  return f.avx && f.avx2 && f.fma && f.sse3 && f.sse4_1 && f.ssse3;
}

namespace portable {

void multiply(const double* x, const double* y, double* out, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    out[i] = x[i] * y[i];
    out[i + 1] = x[i + 1] * y[i + 1];
    out[i + 2] = x[i + 2] * y[i + 2];
    out[i + 3] = x[i + 3] * y[i + 3];
  }
  for (; i < n; ++i) out[i] = x[i] * y[i];
}

std::pair<double, double> scalar_prods2(const double* p1, const double* p2, const double* x,
                                        const double* y, std::size_t n) noexcept {
  double sx = 0.0;
  double sy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = p1[i] + p2[i];
    sx += w * x[i];
    sy += w * y[i];
  }
  return {sx, sy};
}

std::pair<double, double> scalar_prods3(const double* p1, const double* n1, const double* p2,
                                        const double* x, const double* y, std::size_t n) noexcept {
  double sx = 0.0;
  double sy = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = p1[i] - n1[i] + p2[i];
    sx += w * x[i];
    sy += w * y[i];
  }
  return {sx, sy};
}

double vector_dot(const double* a, const double* b, std::size_t n) noexcept {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

void axpy(const double* x, double* y, double a, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) y[i] = std::fma(a, x[i], y[i]);
}

void axpy_out(const double* x, const double* y, double a, double* out, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) out[i] = std::fma(a, x[i], y[i]);
}

bool all_finite_nonzero(const double* values, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    if (!is_finite_nonzero(values[i])) return false;
  }
  return true;
}

}  // namespace portable

#if defined(VARNEL_HAVE_AVX2_KERNELS)
namespace avx2 {

void multiply(const double* x, const double* y, double* out, std::size_t n) noexcept {
  avx2_multiply(x, y, out, n);
}
std::pair<double, double> scalar_prods2(const double* p1, const double* p2, const double* x,
                                        const double* y, std::size_t n) noexcept {
  return avx2_scalar_prods2(p1, p2, x, y, n);
}
std::pair<double, double> scalar_prods3(const double* p1, const double* n1, const double* p2,
                                        const double* x, const double* y, std::size_t n) noexcept {
  return avx2_scalar_prods3(p1, n1, p2, x, y, n);
}
double vector_dot(const double* a, const double* b, std::size_t n) noexcept {
  return avx2_vector_dot(a, b, n);
}
void axpy(const double* x, double* y, double a, std::size_t n) noexcept {
  avx2_axpy(x, y, a, n);
}
void axpy_out(const double* x, const double* y, double a, double* out, std::size_t n) noexcept {
  avx2_axpy_out(x, y, a, out, n);
}
bool all_finite_nonzero(const double* values, std::size_t n) noexcept {
  return avx2_all_finite_nonzero(values, n);
}

}  // namespace avx2
#endif

}  // namespace math

// ---- checked entry points

namespace {
// The failure path kept out of line, so that a kernel's hot path is one
// comparison per length.
[[noreturn, gnu::cold, gnu::noinline]] void fail_length_check(const char* condition) {
  panic(std::string("assertion failed: ") + condition);
}
inline void check_length(bool ok, const char* condition) {
  if (!ok) [[unlikely]] fail_length_check(condition);
}
}  // namespace

void multiply(std::span<const double> x, std::span<const double> y, std::span<double> out) {
  const std::size_t n = x.size();
  check_length(y.size() == n, "y.len() == n");
  check_length(out.size() == n, "out.len() == n");
  multiply_slot.load(std::memory_order_relaxed)(x.data(), y.data(), out.data(), n);
}

std::pair<double, double> scalar_prods2(std::span<const double> positive1,
                                        std::span<const double> positive2,
                                        std::span<const double> x, std::span<const double> y) {
  const std::size_t n = positive1.size();
  check_length(positive2.size() == n, "positive2.len() == n");
  check_length(x.size() == n, "x.len() == n");
  check_length(y.size() == n, "y.len() == n");
  return prods2_slot.load(std::memory_order_relaxed)(positive1.data(), positive2.data(), x.data(),
                                                     y.data(), n);
}

std::pair<double, double> scalar_prods3(std::span<const double> positive1,
                                        std::span<const double> negative1,
                                        std::span<const double> positive2,
                                        std::span<const double> x, std::span<const double> y) {
  const std::size_t n = positive1.size();
  check_length(positive2.size() == n, "positive2.len() == n");
  check_length(negative1.size() == n, "negative1.len() == n");
  check_length(x.size() == n, "x.len() == n");
  check_length(y.size() == n, "y.len() == n");
  return prods3_slot.load(std::memory_order_relaxed)(positive1.data(), negative1.data(),
                                                     positive2.data(), x.data(), y.data(), n);
}

double vector_dot(std::span<const double> a, std::span<const double> b) {
  check_length(a.size() == b.size(), "a.len() == b.len()");
  return dot_slot.load(std::memory_order_relaxed)(a.data(), b.data(), a.size());
}

void axpy(std::span<const double> x, std::span<double> y, double a) {
  const std::size_t n = x.size();
  check_length(y.size() == n, "y.len() == n");
  axpy_slot.load(std::memory_order_relaxed)(x.data(), y.data(), a, n);
}

void axpy_out(std::span<const double> x, std::span<const double> y, double a,
              std::span<double> out) {
  const std::size_t n = x.size();
  check_length(y.size() == n, "y.len() == n");
  check_length(out.size() == n, "out.len() == n");
  axpy_out_slot.load(std::memory_order_relaxed)(x.data(), y.data(), a, out.data(), n);
}

double logaddexp(double a, double b) noexcept {
  constexpr double kLn2 = 0.6931471805599453;
  if (a == b) return a + kLn2;  // also both +inf or both -inf, where a - b is NaN
  const double d = a - b;
  if (d > 0.0) return a + std::log1p(std::exp(-d));
  if (d < 0.0) return b + std::log1p(std::exp(d));
  return d;
}

bool all_finite_nonzero(std::span<const double> values, std::uint8_t simd_level) noexcept {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
  // A level of 1 from a caller on a processor without AVX2 must not fault.
  if (simd_level == 1 && math::cpu_has_avx2_fma()) {
    return math::avx2::all_finite_nonzero(values.data(), values.size());
  }
#else
  (void)simd_level;
#endif
  return math::portable::all_finite_nonzero(values.data(), values.size());
}

}  // namespace varnel
