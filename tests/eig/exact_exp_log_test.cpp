#include "eig/exact_exp_log.hpp"

#include <gnu/libc-version.h>
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "eig/exact_erfc_lanes.hpp"
#include "eig/exact_expm1_lanes.hpp"
#include "eig/exact_exp_log_lanes.hpp"
#include "sampler/math.hpp"

namespace varnel::exact_exp_log {
namespace {

using Bits = std::uint64_t;

double from_bits(Bits b) { return std::bit_cast<double>(b); }
Bits bits(double x) { return std::bit_cast<Bits>(x); }

// Runs the inputs through the lanes (whether or not the self-check let them
// in; through the public arrays where the tables are not found) and through
// the library, and reports the first few inputs whose bits differ.
void expect_library_bits(bool is_exp, const std::vector<double>& in, bool eight) {
  std::vector<double> got(in.size());
  if (const LibmTables* t = unchecked_located_tables()) {
    (is_exp ? unchecked_lanes_exp : unchecked_lanes_log)(*t, in.data(), got.data(), in.size(), eight);
  } else if (is_exp) {
    exp_array(in, got);
  } else {
    log_array(in, got);
  }
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    const double want = is_exp ? std::exp(in[i]) : std::log(in[i]);
    if (bits(want) != bits(got[i])) {
      if (++wrong <= 5) {
        ADD_FAILURE() << (is_exp ? "exp(" : "log(") << std::hexfloat << in[i] << ") = " << want << ", lanes "
                      << got[i];
      }
    }
  }
  EXPECT_EQ(wrong, 0u) << "of " << in.size() << " inputs";
}

// Both widths where the processor has them.
void expect_library_bits(bool is_exp, const std::vector<double>& in) {
  for (bool eight : {false, true}) {
    if (eight && !cpu_has_avx512_lanes()) continue;
    SCOPED_TRACE(eight ? "eight lanes" : "four lanes");
    expect_library_bits(is_exp, in, eight);
  }
}

// count consecutive doubles from `first` upwards in bit pattern (through the
// sign for negative starts, which walks towards -inf).
void add_run(std::vector<double>& v, double first, std::size_t count) {
  const Bits b = bits(first);
  for (std::size_t i = 0; i < count; ++i) v.push_back(from_bits(b + i));
}

// Every double within `radius` bit patterns of x, of both signs.
void add_neighbours(std::vector<double>& v, double x, int radius) {
  for (int s : {1, -1}) {
    const Bits b = bits(s * x);
    for (int d = -radius; d <= radius; ++d) v.push_back(from_bits(b + static_cast<Bits>(d)));
  }
}

// Every double within `radius` bit patterns of x.
void add_near(std::vector<double>& v, double x, int radius) {
  for (int d = -radius; d <= radius; ++d) v.push_back(from_bits(bits(x) + static_cast<Bits>(d)));
}

std::vector<double> special_inputs() {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> v = {0.0,
                           -0.0,
                           inf,
                           -inf,
                           std::numeric_limits<double>::quiet_NaN(),
                           -std::numeric_limits<double>::quiet_NaN(),
                           from_bits(0x7ff8000000000123u),
                           from_bits(0x7ff0000000000001u),  // signalling NaN
                           DBL_MAX,
                           -DBL_MAX,
                           DBL_MIN,
                           DBL_TRUE_MIN,
                           1.0,
                           -1.0};
  add_neighbours(v, DBL_MIN, 64);
  add_neighbours(v, DBL_TRUE_MIN, 64);
  add_neighbours(v, DBL_MAX, 64);
  std::mt19937_64 g(11);
  for (int i = 0; i < 4096; ++i) {
    const Bits subnormal = g() & 0x000fffffffffffffu;
    v.push_back(from_bits(subnormal));
    v.push_back(-from_bits(subnormal));
  }
  return v;
}

std::vector<double> exp_inputs() {
  std::vector<double> v = special_inputs();
  // Every multiple j of ln2/128 the reduction can meet (|x| < 512, and past
  // it to 1024 where the library scales specially), with neighbours, and the
  // midpoints between multiples where the rounding of x*128/ln2 changes:
  // every table index with every exponent of the scale.
  const double step = 0x1.62e42fefa39efp-1 / 128;
  for (int j = -189200; j <= 189200; ++j) {
    add_near(v, j * step, 2);
    add_near(v, (j + 0.5) * step, 2);
  }
  // Every binade the table path accepts and those around it, with mantissas
  // spread over the binade.
  std::mt19937_64 g(5);
  for (int e = -64; e <= 11; ++e) {
    for (int m = 0; m < 2048; ++m) {
      const Bits mant = (static_cast<Bits>(m) << 41) | (g() & ((Bits{1} << 41) - 1));
      const double x = std::ldexp(from_bits(0x3ff0000000000000u | mant), e);
      v.push_back(x);
      v.push_back(-x);
    }
  }
  // Dense runs across the path boundaries and around 0, where the scorer's
  // logarithms of probabilities near 1 land.
  for (double b : {0x1p-54, 512.0, 1.0, 0x1p-20, 709.0, 745.0}) {
    add_run(v, b, 1 << 16);
    add_run(v, -b, 1 << 16);
    add_run(v, from_bits(bits(b) - (1 << 16)), 1 << 16);
  }
  add_neighbours(v, 512.0, 4096);
  add_neighbours(v, 0x1p-54, 4096);
  add_neighbours(v, 0x1.62e42fefa39efp9, 1024);  // overflow threshold
  add_neighbours(v, 0x1.74910d52d3051p9, 1024);  // underflow to zero
  return v;
}

std::vector<double> log_inputs() {
  std::vector<double> v = special_inputs();
  // Every exponent with every table index: the top 19 bits of x - 0x1.6p-1
  // choose both, the low 45 bits are spread and random.
  constexpr Bits kOff = 0x3fe6000000000000u;
  std::mt19937_64 g(9);
  for (std::int64_t k = -1024; k <= 1024; ++k) {
    for (Bits i = 0; i < 128; ++i) {
      const Bits high = (static_cast<Bits>(k) << 52) | (i << 45);
      for (Bits low : {Bits{0}, (Bits{1} << 45) - 1, Bits{1} << 44, g() & ((Bits{1} << 45) - 1),
                       g() & ((Bits{1} << 45) - 1)}) {
        v.push_back(from_bits(high + low + kOff));
      }
    }
  }
  // The path near 1: dense on both sides of 1, around both of its ends, and
  // random inside it.
  add_run(v, 1.0, 1 << 18);
  add_run(v, from_bits(bits(1.0) - (1 << 18)), 1 << 18);
  add_neighbours(v, 1.0 - 0x1p-4, 1 << 14);
  add_neighbours(v, 1.0 + 0x1.09p-4, 1 << 14);
  std::uniform_real_distribution<double> near(1.0 - 0x1p-4, 1.0 + 0x1.09p-4);
  for (int i = 0; i < (1 << 18); ++i) v.push_back(near(g));
  // Probabilities as the scorer forms them, 1/(h+1) and h/(h+1) over a wide
  // range of h.
  std::uniform_real_distribution<double> t(-40.0, 40.0);
  for (int i = 0; i < (1 << 17); ++i) {
    const double h = std::exp(t(g));
    v.push_back(1.0 / (h + 1.0));
    v.push_back(h / (h + 1.0));
  }
  return v;
}

TEST(ExactExpLog, LanesAreInUseWhereWrittenFor) {
  // The tables and the arithmetic follow this C library version on x86-64
  // with AVX2 and FMA; there the self-check must pass.
  if (!math::cpu_has_avx2_fma() || std::string_view(gnu_get_libc_version()) != "2.36") {
    GTEST_SKIP() << "lanes are only promised for glibc 2.36 with AVX2 and FMA; here "
                 << gnu_get_libc_version();
  }
  EXPECT_NE(unchecked_located_tables(), nullptr);
  EXPECT_TRUE(lanes_ready());
  if (cpu_has_avx512_lanes()) {
    EXPECT_NE(lanes8_tables(), nullptr);
  }
}

TEST(ExactExpLog, ExpMatchesLibraryOverItsWholeTablePath) { expect_library_bits(true, exp_inputs()); }

TEST(ExactExpLog, LogMatchesLibraryForEveryExponentAndTableIndex) { expect_library_bits(false, log_inputs()); }

TEST(ExactExpLog, ArraysOfEveryLengthAndForcedLibraryCalls) {
  // Lengths that leave a partial block, and the forced scalar route.
  const std::vector<double> in = {0.5, -3.0, 700.0, 1e-300, 0.0, 2.0, -1e3};
  for (std::size_t n = 0; n <= in.size(); ++n) {
    SCOPED_TRACE(n);
    const std::vector<double> part(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    for (bool use_lanes : {true, false}) {
      std::vector<double> e(n + 1, -7.0), l(n + 1, -7.0);
      exp_array(part, e, use_lanes);
      log_array(part, l, use_lanes);
      for (std::size_t i = 0; i < n; ++i) {
        EXPECT_EQ(bits(e[i]), bits(std::exp(part[i])));
        EXPECT_EQ(bits(l[i]), bits(std::log(part[i])));
      }
      EXPECT_EQ(e[n], -7.0);  // nothing written past the inputs
      EXPECT_EQ(l[n], -7.0);
    }
  }
}

// The long sweep, run on demand (see bench/README.md): VARNEL_EXACT_SWEEP
// million (default 64) random inputs per function over the lanes' domains,
// plus as many consecutive doubles below 1 (the scorer's probabilities).
TEST(ExactExpLog, DISABLED_LongSweep) {
  const char* env = std::getenv("VARNEL_EXACT_SWEEP");
  const long millions = env != nullptr ? std::strtol(env, nullptr, 10) : 64;
  ASSERT_GT(millions, 0) << "VARNEL_EXACT_SWEEP must be a positive count of millions";
  std::mt19937_64 g(millions);
  std::uniform_real_distribution<double> e_in(-1030.0, 1030.0);
  constexpr std::size_t kBatch = 1 << 20;
  std::vector<double> v(kBatch);
  for (long b = 0; b < millions; ++b) {
    for (auto& x : v) x = e_in(g);
    expect_library_bits(true, v);
    for (auto& x : v) x = from_bits(g() & 0x7fffffffffffffffu);
    expect_library_bits(false, v);
    for (std::size_t i = 0; i < kBatch; ++i) v[i] = from_bits(bits(1.0) - 1 - b * kBatch - i);
    expect_library_bits(false, v);
    if (::testing::Test::HasFailure()) return;
  }
}

}  // namespace
}  // namespace varnel::exact_exp_log

namespace varnel::exact_exp_log {
namespace {

#if defined(VARNEL_HAVE_EXACT_LANES)
// erfc(x) and erfc(-x) through the lanes against the library on a random
// sweep of every range (where the processor and the library allow the lanes at all).
VARNEL_TARGET_LANES void expect_erfc_library_bits(const std::vector<double>& in) {
  const LibmTables* t = erfc_lanes_tables();
  ASSERT_NE(t, nullptr) << "the erfc lanes did not pass their self-check";
  std::size_t wrong = 0;
  for (std::size_t i = 0; i + 4 <= in.size(); i += 4) {
    __m256d special, erfc_x, erfc_neg_x;
    alignas(32) double out[2][4];
    alignas(32) double bad[4];
    lanes::erfc_pair4(*t, _mm256_loadu_pd(in.data() + i), erfc_x, erfc_neg_x, special);
    _mm256_store_pd(out[0], erfc_x);
    _mm256_store_pd(out[1], erfc_neg_x);
    _mm256_store_pd(bad, special);
    for (int j = 0; j < 4; ++j) {
      if (std::bit_cast<std::uint64_t>(bad[j]) != 0) continue;
      for (int k = 0; k < 2; ++k) {
        const double arg = k == 0 ? in[i + j] : -in[i + j];
        const double want = std::erfc(arg);
        if (std::bit_cast<std::uint64_t>(out[k][j]) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) {
          ADD_FAILURE() << "erfc(" << arg << "): lanes " << out[k][j] << ", library " << want;
        }
      }
    }
  }
}

// The eight-lane variant on the same inputs, where the processor has it.
bool eight_lanes_usable() { return cpu_has_avx512_lanes() && lanes8_tables() != nullptr; }

// Call only where eight_lanes_usable(): under AddressSanitizer even the
// prologue of an AVX-512 function uses its registers.
VARNEL_TARGET_LANES8 void expect_erfc_library_bits8(const std::vector<double>& in) {
  const LibmTables* t = erfc_lanes8_tables();
  ASSERT_NE(t, nullptr) << "the eight erfc lanes did not pass their self-check";
  std::size_t wrong = 0;
  for (std::size_t i = 0; i + 8 <= in.size(); i += 8) {
    __mmask8 special;
    __m512d erfc_x, erfc_neg_x;
    alignas(64) double out[2][8];
    lanes::erfc_pair8(*t, _mm512_loadu_pd(in.data() + i), erfc_x, erfc_neg_x, special);
    _mm512_store_pd(out[0], erfc_x);
    _mm512_store_pd(out[1], erfc_neg_x);
    for (int j = 0; j < 8; ++j) {
      if (((special >> j) & 1) != 0) continue;
      for (int k = 0; k < 2; ++k) {
        const double arg = k == 0 ? in[i + j] : -in[i + j];
        const double want = std::erfc(arg);
        if (std::bit_cast<std::uint64_t>(out[k][j]) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) {
          ADD_FAILURE() << "erfc(" << arg << "), eight lanes: " << out[k][j] << ", library " << want;
        }
      }
    }
  }
}

TEST(ExactErfc, LanesGiveTheLibraryBits) {
  if (unchecked_located_tables() == nullptr) GTEST_SKIP() << "no AVX2/FMA or another C library";
  std::mt19937_64 g(2024);
  std::uniform_real_distribution<double> wide(-35.0, 35.0), narrow(-1.5, 1.5);
  std::vector<double> in;
  for (int i = 0; i < 400000; ++i) in.push_back(i % 2 ? wide(g) : narrow(g));
  for (const double x : {0.0, -0.0, 1e-310, -1e-310, 0x1p-57, 27.99, 28.0, -28.0, 6.0, -6.0, -5.9999, 1.25, -1.25,
                         0.84375, -0.84375, std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()}) {
    in.push_back(x);
  }
  while (in.size() % 8 != 0) in.push_back(0.5);
  expect_erfc_library_bits(in);
  if (eight_lanes_usable()) expect_erfc_library_bits8(in);
}

// expm1 of non-positive arguments (all the Gumbel link needs) against the library.
VARNEL_TARGET_LANES void expect_expm1_library_bits(const std::vector<double>& in) {
  ASSERT_NE(expm1_lanes_tables(), nullptr) << "the expm1 lanes did not pass their self-check";
  std::size_t wrong = 0;
  for (std::size_t i = 0; i + 4 <= in.size(); i += 4) {
    __m256d special;
    alignas(32) double out[4];
    alignas(32) double bad[4];
    _mm256_store_pd(out, lanes::expm1_nonpositive4(_mm256_loadu_pd(in.data() + i), special));
    _mm256_store_pd(bad, special);
    for (int j = 0; j < 4; ++j) {
      if (std::bit_cast<std::uint64_t>(bad[j]) != 0) continue;
      const double want = std::expm1(in[i + j]);
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) {
        ADD_FAILURE() << "expm1(" << in[i + j] << "): lanes " << out[j] << ", library " << want;
      }
    }
  }
}

VARNEL_TARGET_LANES8 void expect_expm1_library_bits8(const std::vector<double>& in) {
  ASSERT_NE(expm1_lanes8_tables(), nullptr) << "the eight expm1 lanes did not pass their self-check";
  std::size_t wrong = 0;
  for (std::size_t i = 0; i + 8 <= in.size(); i += 8) {
    __mmask8 special;
    alignas(64) double out[8];
    _mm512_store_pd(out, lanes::expm1_nonpositive8(_mm512_loadu_pd(in.data() + i), special));
    for (int j = 0; j < 8; ++j) {
      if (((special >> j) & 1) != 0) continue;
      const double want = std::expm1(in[i + j]);
      if (std::bit_cast<std::uint64_t>(out[j]) != std::bit_cast<std::uint64_t>(want) && ++wrong <= 5) {
        ADD_FAILURE() << "expm1(" << in[i + j] << "), eight lanes: " << out[j] << ", library " << want;
      }
    }
  }
}

TEST(ExactExpm1, LanesGiveTheLibraryBitsBelowZero) {
  if (unchecked_located_tables() == nullptr) GTEST_SKIP() << "no AVX2/FMA or another C library";
  std::mt19937_64 g(2025);
  std::uniform_real_distribution<double> deep(-60.0, 0.0), near(-1.2, 0.0);
  std::vector<double> in;
  for (int i = 0; i < 400000; ++i) in.push_back(i % 2 ? deep(g) : near(g));
  for (int e = -80; e < 7; ++e) in.push_back(-std::ldexp(1.0, e));
  in.insert(in.end(), {-0.0, -1e-310, -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN()});
  while (in.size() % 8 != 0) in.push_back(-0.5);
  expect_expm1_library_bits(in);
  if (eight_lanes_usable()) expect_expm1_library_bits8(in);
}
#endif

}  // namespace
}  // namespace varnel::exact_exp_log
