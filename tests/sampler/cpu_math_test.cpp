#include "cpu_math.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "seeded_rng.hpp"

namespace varnel {
namespace {

// Independent normal density with means `mu` and standard deviations `sd`.
struct GaussianDensity {
  std::vector<double> mu, sd;
  int evaluations = 0;

  std::size_t dim() const { return mu.size(); }
  Result<double> logp(std::span<const double> position, std::span<double> gradient) {
    ++evaluations;
    double lp = 0.0;
    for (std::size_t i = 0; i < mu.size(); ++i) {
      const double z = (position[i] - mu[i]) / sd[i];
      lp -= 0.5 * z * z;
      gradient[i] += -z / sd[i];
    }
    return lp;
  }
};
static_assert(Density<GaussianDensity>);

struct FailingDensity {
  std::size_t dim() const { return 2; }
  Result<double> logp(std::span<const double>, std::span<double>) {
    return std::unexpected(Error("Logp function returned error").context("outer"));
  }
};
static_assert(Density<FailingDensity>);

Vector vec(std::initializer_list<double> v) { return Vector(std::span<const double>(v.begin(), v.size())); }
std::vector<double> values(const Vector& v) { return {v.begin(), v.end()}; }

TEST(CpuMath, LogpZeroFillsTheGradientAndCountsOnce) {
  CpuMath math(GaussianDensity{{1.0, -2.0}, {2.0, 0.5}}, detected_simd_level());
  EXPECT_EQ(math.dim(), 2u);
  Vector position = vec({3.0, -2.5});
  Vector gradient = vec({100.0, -100.0});  // stale values from an earlier step
  Result<double> lp = math.logp(position, gradient);
  ASSERT_TRUE(lp.has_value());
  EXPECT_EQ(*lp, -0.5 - 0.5);
  EXPECT_EQ(values(gradient), (std::vector<double>{-0.5, 2.0}));
  EXPECT_EQ(math.density().evaluations, 1);
}

TEST(CpuMath, DensityErrorsPassThroughUnchanged) {
  CpuMath math(FailingDensity{}, 0);
  Vector position = math.zero_vector(), gradient = math.zero_vector();
  Result<double> lp = math.logp(position, gradient);
  ASSERT_FALSE(lp.has_value());
  EXPECT_EQ(lp.error().debug_text(), "outer: Logp function returned error");
}

TEST(CpuMath, PositionCopiesCheckLengths) {
  CpuMath math(GaussianDensity{{0.0, 0.0}, {1.0, 1.0}}, 0);
  Vector v = math.zero_vector();
  const std::vector<double> three = {1.0, 2.0, 3.0};
  try {
    math.read_position(three, v);
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "source slice length (3) does not match destination slice length (2)");
  }
  EXPECT_EQ(values(v), (std::vector<double>{0.0, 0.0}));

  math.read_position(std::span<const double>(three).first(2), v);
  std::vector<double> out(2, 0.0);
  math.write_position(v, out);
  EXPECT_EQ(out, (std::vector<double>{1.0, 2.0}));
  std::vector<double> wrong(1, -1.0);
  EXPECT_THROW(math.write_position(v, wrong), Panic);
  EXPECT_EQ(wrong[0], -1.0);

  Vector copy = math.copy_vector(v);
  copy[0] = 9.0;
  EXPECT_EQ(v[0], 1.0);
}

// Exactly n normals in index order, each times its own scale.
TEST(CpuMath, FillScaledNormalDrawsNInOrder) {
  CpuMath math(GaussianDensity{{0.0, 0.0, 0.0}, {1.0, 1.0, 1.0}}, 0);
  auto rng = testing::chain_rng(1, 0);
  auto reference = rng;
  Vector dest = math.zero_vector();
  math.fill_scaled_normal(rng, dest, vec({1.0, 2.0, -0.5}));
  EXPECT_EQ(dest[0], standard_normal(reference) * 1.0);
  EXPECT_EQ(dest[1], standard_normal(reference) * 2.0);
  EXPECT_EQ(dest[2], standard_normal(reference) * -0.5);
  EXPECT_EQ(rng.state(), reference.state());
  EXPECT_EQ(dest[0], 1.3081204525209695);

  Vector short_scales = vec({1.0, 1.0});
  try {
    math.fill_scaled_normal(rng, dest, short_scales);
    FAIL() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: scales.len() == n");
  }
  EXPECT_EQ(rng.state(), reference.state());  // nothing drawn
}

// The forwarding adds nothing of its own; one operation per shape suffices,
// plus the simd level reaching all_finite_nonzero.
TEST(CpuMath, VectorOperationsForwardToTheKernels) {
  for (std::uint8_t level : {std::uint8_t{0}, detected_simd_level()}) {
    SCOPED_TRACE(static_cast<int>(level));
    CpuMath math(GaussianDensity{{0.0, 0.0}, {1.0, 1.0}}, level);
    EXPECT_EQ(math.simd_level(), level);
    Vector x = vec({1.0, 2.0}), y = vec({3.0, 4.0}), out = math.zero_vector();
    math.axpy_out(x, y, 0.5, out);
    EXPECT_EQ(values(out), (std::vector<double>{3.5, 5.0}));
    // weights x - y + x = (-1, 0)
    EXPECT_EQ(math.scalar_prods3(x, y, x, x, y), std::make_pair(-1.0, -3.0));
    EXPECT_FALSE(math.all_finite_nonzero(math.zero_vector()));
    Vector wrong(3);
    EXPECT_THROW(math.multiply(x, wrong, out), Panic);
  }
}

}  // namespace
}  // namespace varnel
