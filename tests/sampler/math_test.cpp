#include "math.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "panic.hpp"

namespace varnel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Vec = std::vector<double>;

// The kernels as one table of function pointers, so every test runs over the
// forced portable variant, the forced AVX2/FMA variant and the dispatched entry.
struct Variant {
  std::string name;
  std::function<void(const double*, const double*, double*, std::size_t)> multiply;
  std::function<std::pair<double, double>(const double*, const double*, const double*,
                                          const double*, std::size_t)>
      prods2;
  std::function<std::pair<double, double>(const double*, const double*, const double*,
                                          const double*, const double*, std::size_t)>
      prods3;
  std::function<double(const double*, const double*, std::size_t)> dot;
  std::function<void(const double*, double*, double, std::size_t)> axpy;
  std::function<void(const double*, const double*, double, double*, std::size_t)> axpy_out;
  std::function<bool(const double*, std::size_t)> finite_nonzero;
};

template <class T>
std::span<const T> cspan(const T* p, std::size_t n) {
  return {p, n};
}

std::vector<Variant> variants() {
  std::vector<Variant> v;
  v.push_back({"portable", math::portable::multiply, math::portable::scalar_prods2,
               math::portable::scalar_prods3, math::portable::vector_dot, math::portable::axpy,
               math::portable::axpy_out, math::portable::all_finite_nonzero});
#if defined(VARNEL_HAVE_AVX2_KERNELS)
  if (math::cpu_has_avx2_fma()) {
    v.push_back({"avx2", math::avx2::multiply, math::avx2::scalar_prods2,
                 math::avx2::scalar_prods3, math::avx2::vector_dot, math::avx2::axpy,
                 math::avx2::axpy_out, math::avx2::all_finite_nonzero});
  }
#endif
  v.push_back({"dispatched",
               [](const double* x, const double* y, double* out, std::size_t n) {
                 multiply(cspan(x, n), cspan(y, n), std::span<double>(out, n));
               },
               [](const double* p1, const double* p2, const double* x, const double* y,
                  std::size_t n) {
                 return scalar_prods2(cspan(p1, n), cspan(p2, n), cspan(x, n), cspan(y, n));
               },
               [](const double* p1, const double* n1, const double* p2, const double* x,
                  const double* y, std::size_t n) {
                 return scalar_prods3(cspan(p1, n), cspan(n1, n), cspan(p2, n), cspan(x, n),
                                      cspan(y, n));
               },
               [](const double* a, const double* b, std::size_t n) {
                 return vector_dot(cspan(a, n), cspan(b, n));
               },
               [](const double* x, double* y, double a, std::size_t n) {
                 axpy(cspan(x, n), std::span<double>(y, n), a);
               },
               [](const double* x, const double* y, double a, double* out, std::size_t n) {
                 axpy_out(cspan(x, n), cspan(y, n), a, std::span<double>(out, n));
               },
               [](const double* v, std::size_t n) { return all_finite_nonzero(cspan(v, n), 1); }});
  return v;
}

// Values of mixed sign and magnitude, so that any change in the order of the
// additions, or a fused multiply-add where there should be none, shows up.
Vec random_vector(std::mt19937_64& gen, std::size_t n) {
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-20, 20);
  Vec v(n);
  for (auto& x : v) x = std::ldexp(mantissa(gen), exponent(gen));
  return v;
}

std::uint64_t bits(double x) { return std::bit_cast<std::uint64_t>(x); }

// Reference arithmetic: index order, separate multiply and add for sums, one
// rounding for axpy. Compiled without FMA and without contraction.
TEST(Kernels, EveryVariantGivesTheReferenceBits) {
  std::mt19937_64 gen(20240611);
  for (const Variant& variant : variants()) {
    for (std::size_t n = 0; n <= 67; ++n) {
      SCOPED_TRACE(variant.name + " n=" + std::to_string(n));
      const Vec p1 = random_vector(gen, n), n1 = random_vector(gen, n), p2 = random_vector(gen, n);
      const Vec x = random_vector(gen, n), y = random_vector(gen, n);
      const double a = std::ldexp(std::uniform_real_distribution<double>(-1, 1)(gen), 3);

      Vec out(n, kNaN);
      variant.multiply(x.data(), y.data(), out.data(), n);
      for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(out[i]), bits(x[i] * y[i])) << i;

      double s2x = 0.0, s2y = 0.0, s3x = 0.0, s3y = 0.0, dot = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double w2 = p1[i] + p2[i];
        s2x += w2 * x[i];
        s2y += w2 * y[i];
        const double w3 = p1[i] - n1[i] + p2[i];
        s3x += w3 * x[i];
        s3y += w3 * y[i];
        dot += x[i] * y[i];
      }
      const auto [g2x, g2y] = variant.prods2(p1.data(), p2.data(), x.data(), y.data(), n);
      EXPECT_EQ(bits(g2x), bits(s2x));
      EXPECT_EQ(bits(g2y), bits(s2y));
      const auto [g3x, g3y] =
          variant.prods3(p1.data(), n1.data(), p2.data(), x.data(), y.data(), n);
      EXPECT_EQ(bits(g3x), bits(s3x));
      EXPECT_EQ(bits(g3y), bits(s3y));
      EXPECT_EQ(bits(variant.dot(x.data(), y.data(), n)), bits(dot));

      Vec out2(n, kNaN);
      variant.axpy_out(x.data(), y.data(), a, out2.data(), n);
      Vec y2 = y;
      variant.axpy(x.data(), y2.data(), a, n);
      for (std::size_t i = 0; i < n; ++i) {
        const double fused = std::fma(a, x[i], y[i]);
        ASSERT_EQ(bits(out2[i]), bits(fused)) << i;
        ASSERT_EQ(bits(y2[i]), bits(fused)) << i;
      }
    }
  }
}

TEST(Kernels, EmptyInputs) {
  for (const Variant& variant : variants()) {
    SCOPED_TRACE(variant.name);
    const Vec empty;
    EXPECT_EQ(variant.prods2(nullptr, nullptr, nullptr, nullptr, 0), std::make_pair(0.0, 0.0));
    EXPECT_EQ(variant.prods3(nullptr, nullptr, nullptr, nullptr, nullptr, 0),
              std::make_pair(0.0, 0.0));
    EXPECT_EQ(variant.dot(nullptr, nullptr, 0), 0.0);
    EXPECT_TRUE(std::signbit(variant.dot(nullptr, nullptr, 0)) == false);
    EXPECT_TRUE(variant.finite_nonzero(nullptr, 0));
    variant.multiply(nullptr, nullptr, nullptr, 0);
    variant.axpy(nullptr, nullptr, 2.0, 0);
    variant.axpy_out(nullptr, nullptr, 2.0, nullptr, 0);
  }
}

TEST(Kernels, AxpyExample) {
  Vec x = {1.0, 2.0}, y = {3.0, 4.0};
  axpy(x, y, 0.5);
  EXPECT_EQ(y, (Vec{3.5, 5.0}));
}

// Length checks come first, in a fixed order, and nothing is written.
TEST(Kernels, LengthChecksInOrder) {
  const Vec two(2, 1.0), one(1, 1.0);
  struct Row {
    const char* label;
    std::function<void(std::span<double> out)> call;
    const char* message;
  };
  const Row rows[] = {
      {"multiply short y", [&](std::span<double> out) { multiply(two, one, out); },
       "assertion failed: y.len() == n"},
      {"multiply short out",
       [&](std::span<double> out) { multiply(two, two, out.first(1)); },
       "assertion failed: out.len() == n"},
      {"prods2 short positive2 and x", [&](std::span<double>) { (void)scalar_prods2(two, one, one, two); },
       "assertion failed: positive2.len() == n"},
      {"prods2 short x", [&](std::span<double>) { (void)scalar_prods2(two, two, one, one); },
       "assertion failed: x.len() == n"},
      {"prods2 short y", [&](std::span<double>) { (void)scalar_prods2(two, two, two, one); },
       "assertion failed: y.len() == n"},
      {"prods3 short negative1",
       [&](std::span<double>) { (void)scalar_prods3(two, one, two, two, two); },
       "assertion failed: negative1.len() == n"},
      {"prods3 short negative1 and positive2",
       [&](std::span<double>) { (void)scalar_prods3(two, one, one, two, two); },
       "assertion failed: positive2.len() == n"},
      {"prods3 short x and y",
       [&](std::span<double>) { (void)scalar_prods3(two, two, two, one, one); },
       "assertion failed: x.len() == n"},
      {"prods3 short y", [&](std::span<double>) { (void)scalar_prods3(two, two, two, two, one); },
       "assertion failed: y.len() == n"},
      {"dot", [&](std::span<double>) { (void)vector_dot(one, two); },
       "assertion failed: a.len() == b.len()"},
      {"axpy short y", [&](std::span<double> out) { axpy(two, out.first(1), 2.0); },
       "assertion failed: y.len() == n"},
      {"axpy long y", [&](std::span<double> out) { axpy(one, out, 2.0); },
       "assertion failed: y.len() == n"},
      {"axpy_out short y and out",
       [&](std::span<double> out) { axpy_out(two, one, 2.0, out.first(1)); },
       "assertion failed: y.len() == n"},
      {"axpy_out short out",
       [&](std::span<double> out) { axpy_out(two, two, 2.0, out.first(1)); },
       "assertion failed: out.len() == n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Vec out = {-7.0, -7.0};
    try {
      row.call(out);
      ADD_FAILURE() << "no failure";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), row.message);
    }
    EXPECT_EQ(out, (Vec{-7.0, -7.0}));
  }
}

TEST(Kernels, LogAddExp) {
  struct Row {
    const char* label;
    double a, b, expected;
  };
  const Row rows[] = {
      {"both -inf", -kInf, -kInf, -kInf},
      {"both +inf", kInf, kInf, kInf},
      {"equal zeros", 0.0, 0.0, 0.6931471805599453},
      {"+inf and -inf", kInf, -kInf, kInf},
      {"-inf and +inf", -kInf, kInf, kInf},
      {"-inf and finite", -kInf, 2.5, 2.5},
      {"large difference", 1000.0, 0.0, 1000.0},
      {"large difference swapped", 0.0, 1000.0, 1000.0},
      {"ordinary", 1.0, 2.0, 2.0 + std::log1p(std::exp(-1.0))},
      {"ordinary swapped", 2.0, 1.0, 2.0 + std::log1p(std::exp(-1.0))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    EXPECT_EQ(logaddexp(row.a, row.b), row.expected);
  }
  EXPECT_TRUE(std::isnan(logaddexp(kNaN, 1.0)));
  EXPECT_TRUE(std::isnan(logaddexp(1.0, kNaN)));
  EXPECT_TRUE(std::isnan(logaddexp(kNaN, kNaN)));
}

TEST(Kernels, AllFiniteNonzero) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double big = std::numeric_limits<double>::max();
  struct Row {
    double value;
    bool passes;
  };
  const Row rows[] = {{1.0, true},     {tiny, true},   {-tiny, true}, {big, true},
                      {-big, true},    {0.0, false},   {-0.0, false}, {kInf, false},
                      {-kInf, false},  {kNaN, false},  {-kNaN, false}};
  for (std::uint8_t level : {std::uint8_t{0}, std::uint8_t{1}}) {
    for (const Row& row : rows) {
      // The value at every position of vectors long enough for the vector
      // body and its tail.
      for (std::size_t n = 1; n <= 11; ++n) {
        for (std::size_t at = 0; at < n; ++at) {
          SCOPED_TRACE("level " + std::to_string(level) + " value " + std::to_string(row.value) +
                       " n " + std::to_string(n) + " at " + std::to_string(at));
          Vec v(n, 1.0);
          v[at] = row.value;
          ASSERT_EQ(all_finite_nonzero(v, level), row.passes);
        }
      }
    }
  }
  EXPECT_FALSE(all_finite_nonzero(Vec{1.0, 0.0}, 1));
  EXPECT_TRUE(all_finite_nonzero(Vec{1.0, 5e-324}, 1));
  EXPECT_FALSE(all_finite_nonzero(Vec{1.0, -0.0}, 0));
}

TEST(Kernels, SimdLevelFollowsTheFeatureCache) {
  const CpuFeatures& f = cpu_features();
  const bool v3 = f.sse3 && f.ssse3 && f.sse4_1 && f.sse4_2 && f.popcnt && f.avx && f.avx2 &&
                  f.bmi1 && f.bmi2 && f.fma && f.lzcnt;
  EXPECT_EQ(detected_simd_level(), v3 ? 1 : 0);
  EXPECT_EQ(detected_simd_level(), detected_simd_level());
  EXPECT_EQ(&cpu_features(), &f);
  if (v3) {
    EXPECT_TRUE(math::cpu_has_avx2_fma());
  }
}

}  // namespace
}  // namespace varnel
