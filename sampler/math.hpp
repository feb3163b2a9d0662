#pragma once
// The vector kernels under all of the sampler's arithmetic. Each kernel has a
// portable variant and one for processors with AVX2 and FMA; the variant is
// chosen once per kernel at its first call and both give the same bits: sums
// run in index order into one accumulator with a separate multiply and add,
// axpy and axpy_out always round once through a fused multiply-add.
//
// Length checks come before any element is touched; n is the first argument's
// length and a mismatch is a Panic "assertion failed: <which>.len() == n".
//
// Shared state: the processor-feature cache and the per-kernel dispatch slots
// are process-wide, written once; every writer writes the same value.

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace varnel {

// Processor features, read once per process from CPUID leaves 1, 7 and
// 0x80000001 (AVX, AVX2 and FMA also need the OS to save the AVX registers).
struct CpuFeatures {
  bool sse3 = false, ssse3 = false, sse4_1 = false, sse4_2 = false, popcnt = false;
  bool avx = false, avx2 = false, bmi1 = false, bmi2 = false, fma = false, lzcnt = false;
};
const CpuFeatures& cpu_features() noexcept;

// 1 when the processor has the whole x86-64-v3 set (SSE3, SSSE3, SSE4.1,
// SSE4.2, POPCNT, AVX, AVX2, BMI1, BMI2, FMA, LZCNT), else 0. Computed at the
// first call and cached for the process.
std::uint8_t detected_simd_level() noexcept;

// out[i] = x[i] * y[i].
void multiply(std::span<const double> x, std::span<const double> y, std::span<double> out);

// (sum (positive1[i] + positive2[i]) * x[i], same with y[i]) in one pass.
std::pair<double, double> scalar_prods2(std::span<const double> positive1,
                                        std::span<const double> positive2,
                                        std::span<const double> x, std::span<const double> y);

// (sum (positive1[i] - negative1[i] + positive2[i]) * x[i], same with y[i]).
// Checks positive2, negative1, x, y in that order.
std::pair<double, double> scalar_prods3(std::span<const double> positive1,
                                        std::span<const double> negative1,
                                        std::span<const double> positive2,
                                        std::span<const double> x, std::span<const double> y);

// sum a[i] * b[i]; "assertion failed: a.len() == b.len()" on a mismatch.
double vector_dot(std::span<const double> a, std::span<const double> b);

// y[i] = fma(a, x[i], y[i]).
void axpy(std::span<const double> x, std::span<double> y, double a);

// out[i] = fma(a, x[i], y[i]).
void axpy_out(std::span<const double> x, std::span<const double> y, double a,
              std::span<double> out);

// log(exp(a) + exp(b)) without overflow; NaN if either is NaN.
double logaddexp(double a, double b) noexcept;

// True when every element is finite and non-zero (subnormals pass, -0.0
// fails); stops at the first failure. simd_level 1 uses the vectorised body
// when the processor has it.
bool all_finite_nonzero(std::span<const double> values, std::uint8_t simd_level) noexcept;

// The variants themselves, unchecked (pointers and a count), for tests and
// benchmarks that force one. The avx2 functions need cpu_has_avx2_fma().
namespace math {

// The resolvers' test: AVX, AVX2, FMA, SSE3, SSE4.1 and SSSE3 all present.
bool cpu_has_avx2_fma() noexcept;

namespace portable {
void multiply(const double* x, const double* y, double* out, std::size_t n) noexcept;
std::pair<double, double> scalar_prods2(const double* positive1, const double* positive2,
                                        const double* x, const double* y, std::size_t n) noexcept;
std::pair<double, double> scalar_prods3(const double* positive1, const double* negative1,
                                        const double* positive2, const double* x,
                                        const double* y, std::size_t n) noexcept;
double vector_dot(const double* a, const double* b, std::size_t n) noexcept;
void axpy(const double* x, double* y, double a, std::size_t n) noexcept;
void axpy_out(const double* x, const double* y, double a, double* out, std::size_t n) noexcept;
bool all_finite_nonzero(const double* values, std::size_t n) noexcept;
}  // namespace portable

#if defined(__x86_64__)
#define VARNEL_HAVE_AVX2_KERNELS 1
namespace avx2 {
void multiply(const double* x, const double* y, double* out, std::size_t n) noexcept;
std::pair<double, double> scalar_prods2(const double* positive1, const double* positive2,
                                        const double* x, const double* y, std::size_t n) noexcept;
std::pair<double, double> scalar_prods3(const double* positive1, const double* negative1,
                                        const double* positive2, const double* x,
                                        const double* y, std::size_t n) noexcept;
double vector_dot(const double* a, const double* b, std::size_t n) noexcept;
void axpy(const double* x, double* y, double a, std::size_t n) noexcept;
void axpy_out(const double* x, const double* y, double a, double* out, std::size_t n) noexcept;
bool all_finite_nonzero(const double* values, std::size_t n) noexcept;
}  // namespace avx2
#endif

}  // namespace math
}  // namespace varnel
