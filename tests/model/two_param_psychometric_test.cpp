#include "model/two_param_psychometric.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "model/bernoulli_logit.hpp"
#include "sampler/panic.hpp"

namespace varnel {
namespace {

// A row-major design of one column and its observations, owned by the test.
struct Data {
  std::vector<double> x;
  std::vector<std::uint8_t> y;
  MatrixView design() const { return {x.data(), x.size(), 1, 1, 1}; }
  BoolVectorView observations() const { return {y.data(), y.size(), 1}; }
};

TwoParameterPsychometricModel model(double mu_k, double sigma_k, double mu_m, double sigma_m) {
  return *TwoParameterPsychometricModel::try_new(mu_k, sigma_k, mu_m, sigma_m);
}

// The per-observation log-likelihood exactly as the arithmetic is fixed.
double literal_ll(double k, double m, double x, bool y) {
  const double yv = y ? 1.0 : 0.0;
  const double h = std::exp((m - x) * k);
  return std::log(std::pow(1.0 / (h + 1.0), yv) * std::pow(h / (h + 1.0), 1.0 - yv));
}

// log P(y) and its derivatives in extended precision, for the overflow cases.
struct Reference {
  long double ll, dk, dm;
};
Reference reference(double k, double m, double x, bool y) {
  const long double l = static_cast<long double>(k) * (static_cast<long double>(x) - m);
  const long double sig = 1.0L / (1.0L + std::exp(-l));
  const long double yv = y ? 1.0L : 0.0L;
  const long double ll = y ? -std::log1p(std::exp(-l)) : -std::log1p(std::exp(l));
  return {ll, (yv - sig) * (static_cast<long double>(x) - m), -k * (yv - sig)};
}

std::string panic_text(auto&& body) {
  try {
    body();
  } catch (const Panic& p) {
    return p.message();
  }
  return "no failure";
}

TEST(Normal, RefusesOnlyNonFiniteStdDev) {
  const double inf = std::numeric_limits<double>::infinity();
  for (double s : {inf, -inf, std::nan("")}) {
    SCOPED_TRACE(s);
    const auto n = Normal::try_new(0.0, s);
    ASSERT_FALSE(n.has_value());
    EXPECT_EQ(debug_text(n.error()), "BadVariance");
  }
  for (double s : {0.0, -1.0, 1e-300}) {
    SCOPED_TRACE(s);
    EXPECT_TRUE(Normal::try_new(0.0, s).has_value());
  }
  EXPECT_FALSE(TwoParameterPsychometricModel::try_new(0, 1, 0, inf).has_value());
}

TEST(LogLikelihood, LiteralArithmeticWhereFinite) {
  const auto m = model(0, 1, 0, 1);
  const double ks[] = {-3.7, -0.2, 0.0, 1.0, 2.5, 31.0};
  const double ms[] = {-1.3, 0.0, 0.75};
  const double xs[] = {-2.0, -0.1, 0.0, 0.4, 3.3};
  for (double k : ks) {
    for (double mm : ms) {
      for (double x : xs) {
        for (bool y : {false, true}) {
          SCOPED_TRACE(testing::Message() << "k=" << k << " m=" << mm << " x=" << x << " y=" << y);
          Data d{{x}, {static_cast<std::uint8_t>(y)}};
          const std::array<double, 2> params{k, mm};
          EXPECT_EQ(m.log_likelihood_vec(params, d.design(), d.observations()),
                    literal_ll(k, mm, x, y));
        }
      }
    }
  }
}

TEST(LogLikelihood, KOneAtTheLocationIsLogHalf) {
  const auto m = model(0, 1, 0, 1);
  const std::array<double, 2> params{1.0, 0.0};
  for (std::uint8_t y : {0, 1}) {
    Data d{{0.0}, {y}};
    EXPECT_EQ(m.log_likelihood_vec(params, d.design(), d.observations()), std::log(0.5));
  }
}

TEST(LogLikelihood, FiniteWhereTheLiteralFormOverflows) {
  // (k, m, x, y) where exp((m - x)·k) overflows or underflows.
  const std::array<double, 4> cases[] = {
      {1000, 0, 1, 0}, {1000, 0, -1, 1}, {1, 0, 800, 0}, {1, 0, -800, 1},
      {-50, 20, 0, 1}, {3, -300, 0, 0},  {0.5, 0, 2000, 1}, {0.5, 0, -2000, 0},
  };
  const auto m = model(0, 1, 0, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "k=" << c[0] << " m=" << c[1] << " x=" << c[2] << " y=" << c[3]);
    Data d{{c[2]}, {static_cast<std::uint8_t>(c[3])}};
    const std::array<double, 2> params{c[0], c[1]};
    const double ll = m.log_likelihood_vec(params, d.design(), d.observations());
    ASSERT_TRUE(std::isfinite(ll));
    const long double want = reference(c[0], c[1], c[2], c[3] != 0).ll;
    EXPECT_NEAR(ll, static_cast<double>(want), 1e-12 * std::fabs(static_cast<double>(want)) + 1e-300);
  }
}

TEST(LogLikelihood, PairsUpToTheShorterLengthAndReadsParamsOnlyForPairs) {
  const auto m = model(0, 1, 0, 1);
  Data five{{0.1, -0.4, 0.9, 7.0, 8.0}, {1, 0, 1}};
  Data three{{0.1, -0.4, 0.9}, {1, 0, 1}};
  const std::array<double, 2> params{1.7, 0.2};
  EXPECT_EQ(m.log_likelihood_vec(params, five.design(), five.observations()),
            m.log_likelihood_vec(params, three.design(), three.observations()));
  Data empty{{}, {}};
  EXPECT_EQ(m.log_likelihood_vec({}, empty.design(), empty.observations()), 0.0);
  EXPECT_EQ(panic_text([&] { m.log_likelihood_vec(std::array{1.0}, three.design(), three.observations()); }),
            "index out of bounds: the len is 1 but the index is 1");
}

TEST(Design, EveryLayoutReadsColumnZero) {
  const auto m = model(0, 1, 0, 1);
  // Logical 3x2 design [[0.5, 9], [-1, 9], [2, 9]] in several memory layouts.
  const std::vector<double> row_major{0.5, 9, -1, 9, 2, 9};
  const std::vector<double> col_major{0.5, -1, 2, 9, 9, 9};
  const std::vector<double> reversed{2, 9, -1, 9, 0.5, 9};  // read with a negative row stride
  const std::vector<double> padded{0.5, 0, 9, 0, -1, 0, 9, 0, 2, 0, 9, 0};
  const std::vector<double> columns_swapped{9, 0.5, 9, -1, 9, 2};
  const std::vector<std::uint8_t> y{1, 0, 1};
  const BoolVectorView obs{y.data(), 3, 1};
  const MatrixView layouts[] = {
      {row_major.data(), 3, 2, 2, 1},
      {col_major.data(), 3, 2, 1, 3},
      {reversed.data() + 4, 3, 2, -2, 1},
      {padded.data(), 3, 2, 4, 2},
      {columns_swapped.data() + 1, 3, 2, 2, -1},  // a[:, ::-1] of a row-major array
  };
  const std::array<double, 2> params{1.3, 0.4};
  const double want = m.log_likelihood_vec(params, layouts[0], obs);
  std::array<double, 2> want_grad{0, 0};
  const double want_lp = m.log_posterior_with_grad_vec(params, want_grad, layouts[0], obs);
  for (std::size_t i = 0; i < std::size(layouts); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(m.log_likelihood_vec(params, layouts[i], obs), want);
    std::array<double, 2> grad{0, 0};
    EXPECT_EQ(m.log_posterior_with_grad_vec(params, grad, layouts[i], obs), want_lp);
    EXPECT_EQ(grad, want_grad);
  }
}

TEST(Design, NoColumnsIsAnIndexFailureOnlyWhenAPairExists) {
  const auto m = model(0, 1, 0, 1);
  const std::vector<std::uint8_t> y{1};
  const std::array<double, 2> params{1, 0};
  const MatrixView no_columns{nullptr, 3, 0, 0, 1};
  EXPECT_EQ(m.log_likelihood_vec(params, no_columns, {y.data(), 0, 1}), 0.0);
  EXPECT_EQ(panic_text([&] { m.log_likelihood_vec(params, no_columns, {y.data(), 1, 1}); }),
            "index out of bounds: the len is 0 but the index is 0");
  std::array<double, 2> grad{0, 0};
  EXPECT_EQ(panic_text([&] { m.log_posterior_with_grad_vec(params, grad, no_columns, {y.data(), 1, 1}); }),
            "index out of bounds: the len is 0 but the index is 0");
}

TEST(LogPosteriorWithGrad, PriorMeansWithoutDataGiveZeroGradient) {
  const auto m = model(0.3, 2.0, -1.5, 0.5);
  Data empty{{}, {}};
  std::array<double, 2> grad{0, 0};
  const double lp = m.log_posterior_with_grad_vec(std::array{0.3, -1.5}, grad, empty.design(),
                                                  empty.observations());
  EXPECT_EQ(grad[0], 0.0);
  EXPECT_EQ(grad[1], 0.0);
  EXPECT_DOUBLE_EQ(lp, -1.8378770664093453 - std::log(2.0) - std::log(0.5));
}

TEST(LogPosteriorWithGrad, IndexChecksInOrder) {
  const auto m = model(0, 1, 0, 1);
  Data empty{{}, {}};
  struct Case {
    std::size_t params, grad;
    const char* text;
  };
  const Case cases[] = {
      {0, 2, "index out of bounds: the len is 0 but the index is 0"},
      {1, 0, "index out of bounds: the len is 0 but the index is 0"},  // grad[0] before params[1]
      {1, 1, "index out of bounds: the len is 1 but the index is 1"},
      {2, 1, "index out of bounds: the len is 1 but the index is 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.params << " params, " << c.grad << " grad");
    std::vector<double> params(c.params, 0.5);
    std::vector<double> grad(c.grad, 0.0);
    EXPECT_EQ(panic_text([&] {
                m.log_posterior_with_grad_vec(params, grad, empty.design(), empty.observations());
              }),
              c.text);
  }
}

TEST(LogPosteriorWithGrad, AddsIntoTheCallersGradientAndMatchesFiniteDifferences) {
  const auto m = model(0.5, 1.5, -0.2, 0.8);
  Data d{{-1.0, 0.3, 0.7, 2.2}, {0, 1, 0, 1}};
  const std::array<double, 2> p{1.1, 0.25};
  std::array<double, 2> grad{10.0, -10.0};
  const double lp = m.log_posterior_with_grad_vec(p, grad, d.design(), d.observations());
  EXPECT_DOUBLE_EQ(lp, m.log_posterior_vec(p, d.design(), d.observations()));
  constexpr double kStep = 1e-6;
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    auto up = p;
    auto down = p;
    up[i] += kStep;
    down[i] -= kStep;
    const double fd = (m.log_posterior_vec(up, d.design(), d.observations()) -
                       m.log_posterior_vec(down, d.design(), d.observations())) /
                      (2 * kStep);
    EXPECT_NEAR(grad[i] - (i == 0 ? 10.0 : -10.0), fd, 1e-6);
  }
}

TEST(LogPosteriorWithGrad, FiniteGradientWhereTheSeparateExponentialsOverflow) {
  // (k, m, x, y): exp(k·x), exp(k·m) or exp(k·(m − x)) overflow.
  const std::array<double, 4> cases[] = {
      {1000, 0, 1, 1}, {1000, 0, 1, 0}, {2, 400, 0, 1},   {2, 400, 0, 0},
      {2, 400, 401, 1}, {-3, 0, 300, 0}, {50, 20, 20.5, 1}, {1, 0, -800, 1},
  };
  const auto m = model(0, 1, 0, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "k=" << c[0] << " m=" << c[1] << " x=" << c[2] << " y=" << c[3]);
    Data d{{c[2]}, {static_cast<std::uint8_t>(c[3])}};
    std::array<double, 2> grad{0, 0};
    const std::array<double, 2> params{c[0], c[1]};
    const double lp = m.log_posterior_with_grad_vec(params, grad, d.design(), d.observations());
    ASSERT_TRUE(std::isfinite(lp));
    ASSERT_TRUE(std::isfinite(grad[0]));
    ASSERT_TRUE(std::isfinite(grad[1]));
    const Reference want = reference(c[0], c[1], c[2], c[3] != 0);
    // Subtract the prior's share (means 0, sd 1): -k and -m.
    const double dk = grad[0] + c[0];
    const double dm = grad[1] + c[1];
    EXPECT_NEAR(dk, static_cast<double>(want.dk), 1e-9 * (1 + std::fabs(static_cast<double>(want.dk))));
    EXPECT_NEAR(dm, static_cast<double>(want.dm), 1e-9 * (1 + std::fabs(static_cast<double>(want.dm))));
  }
}

TEST(BernoulliLogit, RefusesOnlyANaNLogit) {
  const auto bad = BernoulliLogit::try_new(std::nan(""));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(debug_text(bad.error()), "InvalidProbability");
  const double inf = std::numeric_limits<double>::infinity();
  for (double l : {-inf, -800.0, 0.0, 40.0, 800.0, inf}) {
    SCOPED_TRACE(l);
    EXPECT_TRUE(BernoulliLogit::try_new(l).has_value());
  }
}

TEST(BernoulliLogit, SamplesTrueWhereTheProbabilityRoundsToOne) {
  const double almost_one = 1.0 - 0x1p-53;
  // From l ≈ 36.74 on q rounds to 1 and the literal chain turns NaN.
  for (double l : {37.0, 40.0, 709.0, 710.0, 1e308, std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(l);
    EXPECT_TRUE(BernoulliLogit::try_new(l)->sample_with(almost_one));
  }
  for (double l : {-40.0, -800.0, -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(l);
    EXPECT_FALSE(BernoulliLogit::try_new(l)->sample_with(1e-10));
  }
}

TEST(BernoulliLogit, ThresholdIsTheLiteralProbability) {
  for (double l : {-2.0, -0.3, 0.0, 0.8, 3.0}) {
    SCOPED_TRACE(l);
    const double q = std::exp(l) / (std::exp(l) + 1.0);
    const double r = std::log(q) - std::log1p(-q);
    const double s = std::exp(r) / (1.0 + std::exp(r));
    const auto b = *BernoulliLogit::try_new(l);
    EXPECT_TRUE(b.sample_with(std::nextafter(s, 0.0)));
    EXPECT_FALSE(b.sample_with(s));
  }
}

TEST(Prior, DrawsFromNormalsInOrderAndLogDensityIsLiteral) {
  const auto m = model(1.0, 2.0, -3.0, 0.5);
  const auto km = m.prior_from_normals(0.25, -2.0);
  EXPECT_EQ(km[0], 1.5);
  EXPECT_EQ(km[1], -4.0);
  const double z = (0.7 - 1.0) / 2.0;
  EXPECT_EQ(m.k_prior.log_density(0.7), z * z * -0.5 - 0.9189385332046727 - std::log(2.0));
}

}  // namespace
}  // namespace varnel
