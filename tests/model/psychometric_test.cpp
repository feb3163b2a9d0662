#include "model/psychometric.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "eig/scorer.hpp"
#include "sampler/xoshiro.hpp"

namespace varnel {
namespace {

struct Data {
  std::vector<double> x;
  std::vector<std::uint8_t> y;
  MatrixView design() const { return {x.data(), x.size(), 1, 1, 1}; }
  BoolVectorView observations() const { return {y.data(), y.size(), 1}; }
};

Data some_data() {
  return {{-2.0, -1.0, -0.5, 0.0, 0.25, 0.5, 1.0, 1.5, 3.0, 0.1},
          {0, 0, 1, 0, 1, 1, 1, 0, 1, 1}};
}

struct Config {
  const char* label;
  Link link;
  Rate guess;
  Rate lapse;
};

const std::vector<Config>& configs() {
  static const std::vector<Config> all = {
      {"logistic 2p", Link::Logistic, Rate::fixed(0.0), Rate::fixed(0.0)},
      {"logistic 2afc", Link::Logistic, Rate::fixed(0.5), Rate::beta(1.0, 19.0)},
      {"logistic 4p", Link::Logistic, Rate::beta(2.0, 10.0), Rate::beta(1.5, 20.0)},
      {"normal 4p", Link::Normal, Rate::beta(2.0, 10.0), Rate::beta(1.5, 20.0)},
      {"normal fixed", Link::Normal, Rate::fixed(0.1), Rate::fixed(0.05)},
      {"gumbel 3p", Link::Gumbel, Rate::beta(2.0, 8.0), Rate::fixed(0.0)},
      {"gumbel 4p", Link::Gumbel, Rate::beta(2.0, 8.0), Rate::beta(1.0, 30.0)},
      {"logistic guess, fixed lapse", Link::Logistic, Rate::beta(2.0, 8.0), Rate::fixed(0.02)},
  };
  return all;
}

PsychometricModel make(const Config& c) {
  auto m = PsychometricModel::try_new(c.link, 0.3, 0.8, 0.2, 1.2, c.guess, c.lapse);
  EXPECT_TRUE(m.has_value()) << c.label;
  return *m;
}

double logp(const PsychometricModel& model, const std::vector<double>& u, const Data& data,
            std::vector<double>* grad = nullptr) {
  std::vector<double> g(model.dim(), 0.0);
  const double v = model.log_posterior_with_grad_vec(u, g, data.design(), data.observations());
  if (grad != nullptr) *grad = g;
  return v;
}

// Unconstrained points of the model's dimension, moderate to far in the tails.
std::vector<std::vector<double>> points(std::size_t dim) {
  const std::vector<std::vector<double>> base = {
      {0.0, 0.0, -2.0, -3.0}, {1.5, 0.7, -1.0, -4.0}, {-1.0, -1.3, -3.0, -2.0},
      {2.5, 2.0, -0.5, -5.0}, {3.5, -2.5, -6.0, -8.0}, {-2.0, 4.0, -2.5, -1.5}};
  std::vector<std::vector<double>> out;
  for (const auto& p : base) out.emplace_back(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(dim));
  return out;
}

TEST(PsychometricModel, GradientMatchesCentralDifferences) {
  const Data data = some_data();
  for (const Config& c : configs()) {
    const PsychometricModel model = make(c);
    for (const auto& u : points(model.dim())) {
      SCOPED_TRACE(std::string(c.label) + " at log s = " + std::to_string(u[0]));
      std::vector<double> grad;
      const double v = logp(model, u, data, &grad);
      ASSERT_TRUE(std::isfinite(v));
      // Far enough out (a Gumbel "no" at z = 100 has log p = −e^100) the
      // differences drown in rounding; the tail test covers those points.
      if (std::abs(v) > 1e6) continue;
      for (std::size_t i = 0; i < u.size(); ++i) {
        const double h = 1e-6 * std::max(1.0, std::abs(u[i]));
        auto up = u, down = u;
        up[i] += h;
        down[i] -= h;
        const double fd = (logp(model, up, data) - logp(model, down, data)) / (2.0 * h);
        EXPECT_NEAR(grad[i], fd, 1e-5 * std::max(1.0, std::abs(fd))) << "coordinate " << i;
      }
    }
  }
}

// The unconstrained density is the natural one times the Jacobian of
// s = exp(u0), γ = room·σ(u_g) and λ = (1 − γ)·σ(u_l):
// log s + log γ(1 − σ(u_g)) + log λ(1 − σ(u_l)).
TEST(PsychometricModel, UnconstrainedDensityCarriesTheJacobian) {
  const Data data = some_data();
  for (const Config& c : configs()) {
    SCOPED_TRACE(c.label);
    const PsychometricModel model = make(c);
    for (const auto& u : points(model.dim())) {
      std::vector<double> natural(model.dim());
      model.to_natural(u, natural);
      double log_jacobian = u[0];
      for (std::size_t i = 2; i < u.size(); ++i) {
        log_jacobian += std::log(natural[i] * (1.0 - 1.0 / (1.0 + std::exp(-u[i]))));
      }
      const double lhs = logp(model, u, data);
      const double rhs = model.log_posterior_natural(natural, data.design(), data.observations()) + log_jacobian;
      ASSERT_TRUE(std::isfinite(rhs));  // every unconstrained point is inside the support
      EXPECT_NEAR(lhs, rhs, 1e-9 * std::max(1.0, std::abs(rhs)));
    }
  }
}

TEST(PsychometricModel, ResponseProbabilitiesSumToOneAndRespectTheRates) {
  for (const Link link : {Link::Logistic, Link::Normal, Link::Gumbel}) {
    auto model = *PsychometricModel::try_new(link, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.25), Rate::fixed(0.1));
    const RateLogs rates = PsychometricModel::rate_logs(0.25, 0.1);
    for (double x = -60.0; x <= 60.0; x += 0.37) {
      SCOPED_TRACE(std::string(link_name(link)) + " x=" + std::to_string(x));
      const ResponseProbs r = model.response_probs(1.7, 0.4, rates, x);
      EXPECT_NEAR(r.p[0] + r.p[1], 1.0, 1e-14);
      EXPECT_GE(r.p[1], 0.25 * (1 - 1e-15));
      EXPECT_LE(r.p[1], 0.9 * (1 + 1e-15));
      EXPECT_NEAR(std::exp(r.lp[1]), r.p[1], 1e-15);
    }
  }
}

TEST(PsychometricModel, LinksAtKnownPoints) {
  struct Row {
    Link link;
    double z;
    double p_yes;
  };
  const Row rows[] = {
      {Link::Logistic, 1.0, 1.0 / (1.0 + std::exp(-1.0))},
      {Link::Normal, 1.0, 0.8413447460685429},
      {Link::Normal, -3.0, 0.0013498980316300946},
      {Link::Gumbel, 0.0, 1.0 - std::exp(-1.0)},
      {Link::Gumbel, -2.0, 1.0 - std::exp(-std::exp(-2.0))},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(link_name(row.link)) + " z=" + std::to_string(row.z));
    auto model = *PsychometricModel::try_new(row.link, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0));
    // s = 1, m = 0: z is the stimulus.
    const ResponseProbs r = model.response_probs(1.0, 0.0, PsychometricModel::rate_logs(0.0, 0.0), row.z);
    EXPECT_NEAR(r.p[1], row.p_yes, 1e-15);
  }
}

// Far tails, where a literal evaluation underflows or overflows: the log
// probabilities keep their asymptotic values, and nothing turns NaN.
TEST(PsychometricModel, TailsAreFiniteAndAsymptotic) {
  const RateLogs none = PsychometricModel::rate_logs(0.0, 0.0);
  auto logistic = *PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0));
  auto normal = *PsychometricModel::try_new(Link::Normal, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0));
  auto gumbel = *PsychometricModel::try_new(Link::Gumbel, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0));
  EXPECT_NEAR(logistic.response_probs(1.0, 0.0, none, -800.0).lp[1], -800.0, 1e-12);
  EXPECT_NEAR(logistic.response_probs(1.0, 0.0, none, 800.0).lp[0], -800.0, 1e-12);
  // log Φ(z) ≈ −z²/2 − log(−z) − log √(2π) for z → −∞.
  const double z = -60.0;
  EXPECT_NEAR(normal.response_probs(1.0, 0.0, none, z).lp[1],
              -0.5 * z * z - std::log(-z) - 0.9189385332046727 + std::log1p(-1.0 / (z * z)), 1e-6);
  EXPECT_NEAR(gumbel.response_probs(1.0, 0.0, none, -800.0).lp[1], -800.0, 1e-12);
  EXPECT_EQ(gumbel.response_probs(1.0, 0.0, none, 5.0).lp[0], -std::exp(5.0));

  const double big = 1e300;
  const Data data{{-big, -1.0, 0.0, 1.0, big}, {1, 0, 1, 0, 1}};
  for (const Config& c : configs()) {
    const PsychometricModel model = make(c);
    for (const double a : {-800.0, -40.0, 0.0, 40.0, 800.0}) {
      for (const double m : {-big, 0.0, big}) {
        std::vector<double> u(model.dim(), a);
        u[1] = m;
        SCOPED_TRACE(std::string(c.label) + " a=" + std::to_string(a) + " m=" + std::to_string(m));
        std::vector<double> grad;
        const double v = logp(model, u, data, &grad);
        EXPECT_FALSE(std::isnan(v));
        for (const double g : grad) EXPECT_FALSE(std::isnan(g));
      }
    }
  }
}

TEST(PsychometricModel, LogisticWithoutRatesIsTheTwoParameterLikelihood) {
  const Data data = some_data();
  auto model = *PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0));
  auto two = *TwoParameterPsychometricModel::try_new(0.0, 1.0, 0.0, 1.0);
  for (const auto& [s, m] : std::vector<std::array<double, 2>>{{0.5, 0.0}, {2.0, 0.3}, {7.0, -1.0}}) {
    const std::vector<double> natural{s, m};
    EXPECT_NEAR(model.log_likelihood_natural(natural, data.design(), data.observations()),
                two.log_likelihood_vec(natural, data.design(), data.observations()), 1e-12);
  }
}

TEST(PsychometricModel, OnlyNaturalVectorsCanLeaveTheSupport) {
  const Data data = some_data();
  auto model = *PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, Rate::beta(2.0, 5.0),
                                           Rate::beta(2.0, 5.0));
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // On the unconstrained scale even large shares of both rates stay inside.
  for (const double share : {1.0, 5.0, 30.0}) {
    std::vector<double> grad;
    EXPECT_TRUE(std::isfinite(logp(model, {0.0, 0.0, share, share}, data, &grad)));
    for (const double g : grad) EXPECT_TRUE(std::isfinite(g));
    std::vector<double> natural(4);
    model.to_natural(std::vector<double>{0.0, 0.0, share, share}, natural);
    EXPECT_LE(natural[2] + natural[3], 1.0);  // 1 only by rounding, for a share far out
    if (share < 10.0) {
      EXPECT_LT(natural[2] + natural[3], 1.0);
    }
  }
  for (const std::vector<double>& natural : std::vector<std::vector<double>>{
           {-1.0, 0.0, 0.1, 0.1}, {1.0, 0.0, 0.6, 0.5}, {1.0, 0.0, -0.1, 0.1}, {1.0, 0.0, 0.1, 1.0},
           {1.0, 0.0, 0.5, 0.5000001}}) {
    EXPECT_EQ(model.log_posterior_natural(natural, data.design(), data.observations()), -kInf);
  }
}

TEST(PsychometricModel, SettingsAreChecked) {
  const double nan = std::nan("");
  struct Row {
    const char* label;
    double mu_log_s, sigma_log_s, mu_m, sigma_m;
    Rate guess, lapse;
    const char* needle;
  };
  const Row rows[] = {
      {"sigma_log_s zero", 0.0, 0.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(0.0), "'sigma_log_s'"},
      {"mu_m nan", 0.0, 1.0, nan, 1.0, Rate::fixed(0.0), Rate::fixed(0.0), "'mu_m'"},
      {"sigma_m negative", 0.0, 1.0, 0.0, -1.0, Rate::fixed(0.0), Rate::fixed(0.0), "'sigma_m'"},
      {"guess 1", 0.0, 1.0, 0.0, 1.0, Rate::fixed(1.0), Rate::fixed(0.0), "'guess_rate'"},
      {"lapse negative", 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::fixed(-0.01), "'lapse_rate'"},
      {"beta a zero", 0.0, 1.0, 0.0, 1.0, Rate::beta(0.0, 1.0), Rate::fixed(0.0), "'guess_rate'"},
      {"beta b inf", 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.0), Rate::beta(1.0, INFINITY), "'lapse_rate'"},
      {"sum 1", 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.5), Rate::fixed(0.5), "sum to less than 1"},
      {"means sum 1", 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.5), Rate::beta(10.0, 1.0), "sum to less than 1"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.label);
    auto m = PsychometricModel::try_new(Link::Logistic, r.mu_log_s, r.sigma_log_s, r.mu_m, r.sigma_m, r.guess, r.lapse);
    ASSERT_FALSE(m.has_value());
    EXPECT_NE(m.error().find(r.needle), std::string::npos) << m.error();
  }
}

TEST(PsychometricModel, BetaDrawsHaveTheRightMoments) {
  auto rng = Xoshiro256pp::seed_from_u64(11);
  for (const auto& [a, b] : std::vector<std::array<double, 2>>{{2.0, 5.0}, {0.5, 0.5}, {1.0, 19.0}}) {
    SCOPED_TRACE(std::to_string(a) + ", " + std::to_string(b));
    constexpr int kDraws = 40000;
    double sum = 0.0, sum2 = 0.0;
    for (int i = 0; i < kDraws; ++i) {
      const double v = beta_variate(rng, a, b);
      ASSERT_TRUE(v >= 0.0 && v <= 1.0);
      sum += v;
      sum2 += v * v;
    }
    const double mean = a / (a + b);
    const double var = a * b / ((a + b) * (a + b) * (a + b + 1.0));
    EXPECT_NEAR(sum / kDraws, mean, 5.0 * std::sqrt(var / kDraws));
    EXPECT_NEAR(sum2 / kDraws - (sum / kDraws) * (sum / kDraws), var, 0.05 * var);
  }
}

TEST(PsychometricModel, PriorDrawsStayInTheSupport) {
  auto model = *PsychometricModel::try_new(Link::Normal, 0.0, 1.0, 0.0, 1.0, Rate::beta(2.0, 3.0), Rate::beta(2.0, 3.0));
  auto rng = Xoshiro256pp::seed_from_u64(5);
  for (int i = 0; i < 2000; ++i) {
    const auto draw = model.sample_prior(rng);
    ASSERT_EQ(draw.size(), 4u);
    ASSERT_TRUE(model.in_support(draw));
  }
}

// The general scorer against a direct evaluation of the estimator's formula.
TEST(ScoreDesignsGeneral, MatchesTheFormulaAndIgnoresTheThreadCount) {
  auto model = *PsychometricModel::try_new(Link::Logistic, 0.5, 0.5, 0.0, 1.0, Rate::fixed(0.5), Rate::beta(1.0, 19.0));
  std::mt19937_64 g(3);
  std::normal_distribution<double> ls(0.7, 0.3), loc(0.0, 0.8);
  std::uniform_real_distribution<double> lapse(0.0, 0.1);
  std::vector<double> theta;
  const std::size_t n = 500;
  for (std::size_t i = 0; i < n; ++i) {
    theta.push_back(std::exp(ls(g)));
    theta.push_back(loc(g));
    theta.push_back(lapse(g));
  }
  std::vector<double> xs;
  for (int i = 0; i < 97; ++i) xs.push_back(-3.0 + 0.0625 * i);
  const MatrixView designs{xs.data(), xs.size(), 1, 1, 1};
  const std::vector<std::uint8_t> outcomes = {0, 1};
  const auto one = score_designs(model, ScoreKernel::Fastest, outcomes, theta, n, designs, 1);
  for (const unsigned threads : {2u, 5u}) {
    const auto many = score_designs(model, ScoreKernel::Fastest, outcomes, theta, n, designs, threads);
    ASSERT_EQ(std::memcmp(one.data(), many.data(), one.size() * sizeof(double)), 0) << threads;
  }
  for (std::size_t d = 0; d < xs.size(); ++d) {
    double expected = 0.0;
    for (const bool y : {false, true}) {
      double sp = 0.0, splp = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double s = theta[3 * i], m = theta[3 * i + 1], l = theta[3 * i + 2];
        const double F = 1.0 / (1.0 + std::exp(-s * (xs[d] - m)));
        const double p_yes = 0.5 + (0.5 - l) * F;
        const double p = y ? p_yes : 1.0 - p_yes;
        sp += p;
        splp += p * std::log(p);
      }
      expected += splp / n - (sp / n) * std::log(sp / n);
    }
    EXPECT_NEAR(one[d], expected, 1e-12) << "design " << d;
    EXPECT_GE(one[d], -1e-15);
  }
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// The general scorer's lanes against its scalar loop, for each link, with
// rates that send probabilities to the log-space path and designs far out.
TEST(ScoreDesignsGeneral, LanesAndScalarLoopGiveTheSameBits) {
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* label;
    Link link;
    Rate guess, lapse;
  };
  const Case cases[] = {
      {"logistic, lapse", Link::Logistic, Rate::fixed(0.5), Rate::beta(2.0, 50.0)},
      {"normal, lapse", Link::Normal, Rate::fixed(0.5), Rate::beta(2.0, 50.0)},
      {"normal, no rates", Link::Normal, Rate::fixed(0.0), Rate::fixed(0.0)},
      {"normal, both", Link::Normal, Rate::beta(2.0, 8.0), Rate::beta(1.5, 40.0)},
      {"logistic, no rates", Link::Logistic, Rate::fixed(0.0), Rate::fixed(0.0)},
      {"gumbel, both", Link::Gumbel, Rate::beta(2.0, 8.0), Rate::beta(1.5, 40.0)},
  };
  std::mt19937_64 g(11);
  std::normal_distribution<double> log_s(0.7, 1.5), loc(0.0, 2.0);
  std::uniform_real_distribution<double> rate(0.0, 0.3);
  std::vector<double> xs;
  for (int i = 0; i < 37; ++i) xs.push_back(-9.0 + 0.5 * i);
  xs.insert(xs.end(), {1e3, -1e3, inf, -inf, 0.0});
  const MatrixView designs{xs.data(), xs.size(), 1, 1, 1};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    auto model = *PsychometricModel::try_new(c.link, 0.7, 1.5, 0.0, 2.0, c.guess, c.lapse);
    std::vector<double> theta;
    const std::size_t n = 403;  // not whole vectors of samples
    for (std::size_t i = 0; i < n; ++i) {
      theta.push_back(std::exp(log_s(g)) * (i % 7 == 0 ? 50.0 : 1.0));  // some steep enough to saturate
      theta.push_back(loc(g));
      if (c.guess.estimated) theta.push_back(i % 11 == 0 ? 1e-300 : rate(g));
      if (c.lapse.estimated) theta.push_back(i % 13 == 0 ? 0.0 : rate(g));
    }
    for (const std::vector<std::uint8_t>& outcomes : {std::vector<std::uint8_t>{0, 1}, {1}, {1, 0, 1}}) {
      const auto scalar = score_designs(model, ScoreKernel::Scalar, outcomes, theta, n, designs, 1);
      for (const auto& [kernel, threads] : {std::pair{ScoreKernel::Fastest, 1u}, std::pair{ScoreKernel::Fastest, 3u},
                                            std::pair{ScoreKernel::FourLanes, 1u}, std::pair{ScoreKernel::FourLanes, 3u}}) {
        const auto lanes = score_designs(model, kernel, outcomes, theta, n, designs, threads);
        for (std::size_t d = 0; d < xs.size(); ++d) {
          if (std::isnan(lanes[d]) && std::isnan(scalar[d])) continue;
          EXPECT_EQ(std::memcmp(&lanes[d], &scalar[d], sizeof(double)), 0)
              << "design " << xs[d] << ": " << lanes[d] << " vs " << scalar[d];
        }
      }
      // A design on its own is scored over the samples' lanes.
      for (const ScoreKernel kernel : {ScoreKernel::Fastest, ScoreKernel::FourLanes}) {
        for (std::size_t d = 0; d < xs.size(); ++d) {
          const MatrixView one{&xs[d], 1, 1, 1, 1};
          const double alone = score_designs(model, kernel, outcomes, theta, n, one, 1)[0];
          if (std::isnan(alone) && std::isnan(scalar[d])) continue;
          EXPECT_EQ(std::memcmp(&alone, &scalar[d], sizeof(double)), 0) << "design " << xs[d] << " alone";
        }
      }
    }
  }
}

// Runs of equal rows (as resampled particles come) scored once with their
// length: the lanes give the scalar loop's bits, the estimate is the
// unmerged one up to rounding, and without runs it is the unmerged one.
TEST(ScoreDesignsGeneral, MergedRepeatsKeepTheEstimate) {
  auto model = *PsychometricModel::try_new(Link::Normal, 0.7, 1.5, 0.0, 2.0, Rate::beta(2.0, 8.0),
                                           Rate::beta(1.5, 40.0));
  std::mt19937_64 g(5);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::vector<double> distinct, runs;
  std::size_t n_runs = 0;
  for (int i = 0; i < 300; ++i) {
    const double row[4] = {std::exp(2.0 * u(g)), 4.0 * u(g) - 2.0, 0.3 * u(g), 0.1 * u(g)};
    distinct.insert(distinct.end(), row, row + 4);
    for (int r = 1 + static_cast<int>(g() % 4); r > 0; --r, ++n_runs) runs.insert(runs.end(), row, row + 4);
  }
  std::vector<double> xs;
  for (int i = 0; i < 37; ++i) xs.push_back(-6.0 + (1.0 / 3.0) * i);
  const MatrixView designs{xs.data(), xs.size(), 1, 1, 1};
  const std::vector<std::uint8_t> outcomes{0, 1};
  const auto exact = score_designs(model, ScoreKernel::Scalar, outcomes, runs, n_runs, designs, 1);
  const auto merged_scalar = score_designs(model, ScoreKernel::Scalar, outcomes, runs, n_runs, designs, 1, true);
  for (ScoreKernel kernel : {ScoreKernel::Fastest, ScoreKernel::FourLanes}) {
    const auto merged = score_designs(model, kernel, outcomes, runs, n_runs, designs, 2, true);
    EXPECT_EQ(std::memcmp(merged.data(), merged_scalar.data(), xs.size() * sizeof(double)), 0);
    const auto plain = score_designs(model, kernel, outcomes, distinct, 300, designs, 2);
    const auto plain_merged = score_designs(model, kernel, outcomes, distinct, 300, designs, 2, true);
    EXPECT_EQ(std::memcmp(plain.data(), plain_merged.data(), xs.size() * sizeof(double)), 0);
  }
  for (std::size_t d = 0; d < xs.size(); ++d) {
    EXPECT_NEAR(merged_scalar[d], exact[d], 1e-13) << "design " << xs[d];
    EXPECT_GT(exact[d], 1e-4);  // an estimate worth comparing
  }
}

}  // namespace
}  // namespace varnel
