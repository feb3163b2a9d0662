#include "distributions.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "seeded_rng.hpp"

namespace varnel {
namespace {

using testing::ScriptedRng;

TEST(Ziggurat, TablesMatchKnownAnswers) {
  const ZigguratTables& t = ziggurat_tables();
  EXPECT_EQ(t.x[0], 3.91075795953709);
  EXPECT_EQ(t.x[1], 3.654152885361009);
  EXPECT_EQ(t.x[2], 3.4492782985609645);
  EXPECT_EQ(t.x[255], 0.2152418959132738);
  EXPECT_EQ(t.x[256], 0.0);
  EXPECT_EQ(t.f[0], 0.0004774677645866553);
  EXPECT_EQ(t.f[1], 0.001260285930498598);
  EXPECT_EQ(t.f[255], 0.9771017012827313);
  EXPECT_EQ(t.f[256], 1.0);
  for (std::size_t i = 0; i < 256; ++i) ASSERT_GT(t.x[i], t.x[i + 1]) << i;
}

TEST(Distributions, ChainDrawsMatchKnownAnswers) {
  auto normals = testing::chain_rng(1, 0);
  const double expected_normals[] = {1.3081204525209695,   -1.1715895141004358,
                                     1.5729574034407139,   -0.9846756292650414,
                                     -0.48961370609963534, -0.34677320679714446};
  for (double z : expected_normals) EXPECT_EQ(standard_normal(normals), z);

  auto uniforms = testing::chain_rng(42, 3);
  const double expected_uniforms[] = {0.3716020225836467, 0.7876335909392586, 0.21700623099478733,
                                      0.6489562527617475};
  for (double u : expected_uniforms) EXPECT_EQ(uniform01(uniforms), u);
}

TEST(Distributions, UniformConversionsAtTheEnds) {
  struct Row {
    const char* label;
    std::uint64_t bits;
    double closed_open;
    double open_open;
  };
  const Row rows[] = {
      {"zero", 0, 0.0, 0x1p-53},
      {"all ones", ~std::uint64_t{0}, 1.0 - 0x1p-53, 1.0 - 0x1p-53},
      {"lowest bit used by [0,1)", std::uint64_t{1} << 11, 0x1p-53, 0x1p-53},
      {"lowest bit used by (0,1)", std::uint64_t{1} << 12, 0x1p-52, 0x1p-53 + 0x1p-52},
      {"top bit", std::uint64_t{1} << 63, 0.5, 0.5 + 0x1p-53},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    ScriptedRng a{row.bits};
    EXPECT_EQ(uniform01(a), row.closed_open);
    ScriptedRng b{row.bits};
    const double u = uniform_open01(b);
    EXPECT_EQ(u, row.open_open);
    EXPECT_GT(u, 0.0);
    EXPECT_LT(u, 1.0);
  }
}

// Layer 0 beyond R goes to the tail on the side of u, with two uniforms per
// attempt; a rejected attempt draws two more.
TEST(Ziggurat, TailSideAndDrawCount) {
  const double r = ZigguratTables::kTailStart;
  const std::uint64_t all = ~std::uint64_t{0};
  {
    SCOPED_TRACE("positive, accepted at once");
    ScriptedRng rng{0xfffffffffffff000u, all, all};
    const double z = standard_normal(rng);
    EXPECT_GE(z, r);
    EXPECT_LT(z, r + 1e-12);
    EXPECT_EQ(rng.calls(), 3u);
  }
  {
    SCOPED_TRACE("negative, one rejected attempt");
    // u1 = 2^-53 makes a^2 larger than any -2 log(u2) can be.
    ScriptedRng rng{0x0000000000000000u, 0, all, all, all};
    const double z = standard_normal(rng);
    EXPECT_LE(z, -r);
    EXPECT_GT(z, -r - 1e-12);
    EXPECT_EQ(rng.calls(), 5u);
  }
  {
    SCOPED_TRACE("inner layer, inside the rectangle");
    ScriptedRng rng{0x8000000000000005u};  // u = 0 in layer 5
    EXPECT_EQ(standard_normal(rng), 0.0);
    EXPECT_EQ(rng.calls(), 1u);
  }
}

// Moments and the tail mass of 10^6 draws, each within five Monte Carlo
// standard errors of the exact value.
TEST(Ziggurat, MomentsAndTailFrequency) {
  constexpr int kDraws = 1'000'000;
  auto rng = testing::chain_rng(2024, 7);
  const double r = ZigguratTables::kTailStart;
  double sum = 0.0, sum2 = 0.0, sum4 = 0.0;
  int beyond_r = 0, beyond_one = 0;
  for (int i = 0; i < kDraws; ++i) {
    const double z = standard_normal(rng);
    sum += z;
    sum2 += z * z;
    sum4 += z * z * z * z;
    beyond_r += std::abs(z) > r;
    beyond_one += std::abs(z) > 1.0;
  }
  const double n = kDraws;
  EXPECT_NEAR(sum / n, 0.0, 5.0 * std::sqrt(1.0 / n));
  EXPECT_NEAR(sum2 / n, 1.0, 5.0 * std::sqrt(2.0 / n));
  EXPECT_NEAR(sum4 / n, 3.0, 5.0 * std::sqrt(96.0 / n));
  const double p_r = std::erfc(r / std::sqrt(2.0));
  EXPECT_NEAR(beyond_r, n * p_r, 5.0 * std::sqrt(n * p_r * (1.0 - p_r)));
  const double p_one = std::erfc(1.0 / std::sqrt(2.0));
  EXPECT_NEAR(beyond_one, n * p_one, 5.0 * std::sqrt(n * p_one * (1.0 - p_one)));
}

}  // namespace
}  // namespace varnel
