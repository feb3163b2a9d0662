#include "eig.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

namespace varnel {
namespace {

// The estimator evaluated triple by triple with the literal likelihood,
// storing every p and p*log p before averaging: the reference the fast path
// must reproduce bit for bit wherever the literal values are finite.
std::vector<double> literal_scores(const std::vector<std::uint8_t>& outcomes, const std::vector<Theta>& theta,
                                   const std::vector<double>& xs) {
  std::vector<double> result(xs.size(), 0.0);
  const double n = static_cast<double>(theta.size());
  for (std::size_t d = 0; d < xs.size(); ++d) {
    double total = 0.0;
    for (const auto outcome : outcomes) {
      const double y = outcome ? 1.0 : 0.0;
      std::vector<double> p(theta.size()), plp(theta.size());
      for (std::size_t i = 0; i < theta.size(); ++i) {
        const double h = std::exp((theta[i].m - xs[d]) * theta[i].k);
        const double a = std::pow(h / (h + 1.0), 1.0 - y);
        const double b = std::pow(1.0 / (h + 1.0), y);
        const double lp = std::log(b * a);
        p[i] = std::exp(lp);
        plp[i] = lp * p[i];
      }
      double sp = 0.0, splp = 0.0;
      for (std::size_t i = 0; i < theta.size(); ++i) {
        sp += p[i];
        splp += plp[i];
      }
      const double p_hat = sp / n;
      total += splp / n - std::log(p_hat) * p_hat;
    }
    result[d] = total;
  }
  return result;
}

MatrixView column(const std::vector<double>& xs) { return {xs.data(), xs.size(), 1, 1, 1}; }

std::vector<Theta> random_theta(std::size_t n, unsigned seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> k(2.0, 0.5), m(0.0, 1.0);
  std::vector<Theta> theta;
  for (std::size_t i = 0; i < n; ++i) theta.push_back({k(g), m(g)});
  return theta;
}

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << "design " << i << ": " << a[i] << " vs " << b[i];
  }
}

TEST(ScoreDesigns, MatchesLiteralEstimatorBitForBit) {
  const std::vector<double> xs = {-3.0, -0.5, 0.0, 0.25, 1.0, 4.0};
  const auto theta = random_theta(257, 7);
  for (const std::vector<std::uint8_t>& outcomes :
       {std::vector<std::uint8_t>{0, 1}, {1}, {0}, {1, 1, 0}}) {
    SCOPED_TRACE(outcomes.size());
    expect_same_bits(score_designs(outcomes, theta, theta.size(), column(xs)),
                     literal_scores(outcomes, theta, xs));
  }
}

TEST(ScoreDesigns, SameBitsWhateverTheThreadCount) {
  std::vector<double> xs;
  for (int i = 0; i < 301; ++i) xs.push_back(-3.0 + 0.02 * i);
  const auto theta = random_theta(700, 3);
  const std::vector<std::uint8_t> outcomes = {0, 1};
  const auto one = score_designs(outcomes, theta, theta.size(), column(xs), 1);
  for (unsigned threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    expect_same_bits(score_designs(outcomes, theta, theta.size(), column(xs), threads), one);
  }
}

TEST(ScoreDesigns, ExtremeSamplesGiveFiniteNonNegativeScores) {
  const std::vector<Theta> theta = {{1e6, 0.0}, {-1e6, 3.0}, {50.0, -40.0}, {1.0, 0.0}, {0.0, 1e300}};
  const std::vector<double> xs = {-1e3, -1.0, 0.0, 1.0, 1e3};
  const auto scores = score_designs(std::vector<std::uint8_t>{0, 1}, theta, theta.size(), column(xs));
  for (double s : scores) {
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_GE(s, -1e-12);
  }
}

TEST(ScoreDesigns, EmptyOutcomesGiveZerosAndEmptyDesignsNothing) {
  const auto theta = random_theta(4, 1);
  const std::vector<double> xs = {0.0, 1.0};
  EXPECT_EQ(score_designs({}, theta, theta.size(), column(xs)), std::vector<double>(2, 0.0));
  EXPECT_TRUE(score_designs(std::vector<std::uint8_t>{1}, theta, theta.size(), column({})).empty());
}

TEST(ScoreDesigns, RepeatedOutcomeCountsTwice) {
  const auto theta = random_theta(50, 2);
  const std::vector<double> xs = {0.3};
  const double once = score_designs(std::vector<std::uint8_t>{1}, theta, 50, column(xs))[0];
  const double twice = score_designs(std::vector<std::uint8_t>{1, 1}, theta, 50, column(xs))[0];
  EXPECT_EQ(twice, once + once);
}

TEST(ScoreDesigns, NoSamplesOrNoColumnFail) {
  const std::vector<double> xs = {0.0};
  try {
    (void)score_designs(std::vector<std::uint8_t>{1}, {}, 0, column(xs));
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "called `Option::unwrap()` on a `None` value");
  }
  const auto theta = random_theta(1, 1);
  try {
    (void)score_designs(std::vector<std::uint8_t>{1}, theta, 1, MatrixView{xs.data(), 1, 0, 0, 1});
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "index out of bounds: the len is 0 but the index is 0");
  }
}

TEST(SelectParameterRows, EvenlySpacedAndRepeating) {
  std::vector<std::size_t> used;
  auto row_at = [&](std::size_t r) {
    used.push_back(r);
    return std::array<double, 2>{static_cast<double>(r), 0.0};
  };
  (void)select_parameter_rows(4, 10, row_at);
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 2, 5, 7}));
  used.clear();
  (void)select_parameter_rows(5, 2, row_at);
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 0, 0, 1, 1}));
  used.clear();
  (void)select_parameter_rows(3, ~std::size_t{0}, row_at);  // no overflow in n * rows
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 6148914691236517205u, 12297829382473034410u}));
}

TEST(SelectParameterRows, ImpossibleSampleCountIsAnAllocationFailure) {
  EXPECT_THROW((void)allocate_samples(~std::uint64_t{0}), std::bad_alloc);
}

}  // namespace
}  // namespace varnel
