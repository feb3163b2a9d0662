#include "estimation/particles.hpp"
#include "eig/response_lanes.hpp"
#include "model/psychometric.hpp"
#include "model/two_param_psychometric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <random>
#include <vector>

#include "sampler/panic.hpp"

namespace varnel {
namespace {

// Draws of the two-parameter model's prior, N(1, 2) × N(0, 1.5): with no
// trials the posterior is the prior, so moved draws must keep its moments.
std::vector<double> prior_draws(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> k(1.0, 2.0), m(0.0, 1.5);
  std::vector<double> points;
  for (std::size_t i = 0; i < n; ++i) {
    points.push_back(k(g));
    points.push_back(m(g));
  }
  return points;
}

TwoParameterPsychometricModel two_param() { return *TwoParameterPsychometricModel::try_new(1.0, 2.0, 0.0, 1.5); }

TEST(MovePoints, SameBitsWhateverTheThreadCount) {
  auto model = *PsychometricModel::try_new(Link::Normal, 0.7, 0.7, 0.0, 1.5, Rate::fixed(0.5), Rate::beta(2.0, 50.0));
  const std::vector<double> xs = {-1.0, 0.5, 0.2, 1.5, -0.3, 0.0, 2.0, 0.8};
  const std::vector<std::uint8_t> ys = {0, 1, 0, 1, 0, 1, 1, 1};
  const MatrixView design{xs.data(), xs.size(), 1, 1, 1};
  const BoolVectorView observations{ys.data(), ys.size(), 1};
  std::vector<double> points;
  std::mt19937_64 g(7);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (int i = 0; i < 301; ++i) points.insert(points.end(), {0.5 + 3.0 * u(g), u(g) - 0.5, 0.1 * u(g)});
  MoveSettings settings;
  settings.num_steps = 3;
  settings.step_size = 0.7;
  settings.seed = 42;
  const MoveResult one = move_points(model, design, observations, points, settings, 1);
  for (const unsigned threads : {2u, 5u}) {
    const MoveResult many = move_points(model, design, observations, points, settings, threads);
    ASSERT_EQ(std::memcmp(one.points.data(), many.points.data(), one.points.size() * sizeof(double)), 0) << threads;
    EXPECT_EQ(one.step_size, many.step_size);
    EXPECT_EQ(one.mean_accept, many.mean_accept);
  }
  EXPECT_NE(one.points, points);
  for (std::size_t i = 0; i < one.points.size(); i += 3) {
    ASSERT_TRUE(model.in_support(std::span<const double>(one.points.data() + i, 3)));
  }
  settings.seed = 43;
  EXPECT_NE(move_points(model, design, observations, points, settings, 1).points, one.points);
}

TEST(MovePoints, KeepTheDistributionTheyStartFrom) {
  const std::size_t n = 4000;
  const std::vector<double> points = prior_draws(n, 3);
  MoveSettings settings;
  settings.num_steps = 2;
  settings.step_size = 3.0;  // far off: the rounds must bring it back towards the target acceptance
  const MatrixView design{nullptr, 0, 1, 1, 1};
  const BoolVectorView observations{nullptr, 0, 1};
  const MoveResult moved = move_points(two_param(), design, observations, points, settings);
  EXPECT_LT(moved.step_size, settings.step_size);
  EXPECT_GT(moved.mean_accept, 0.3);
  const double means[2] = {1.0, 0.0};
  const double sds[2] = {2.0, 1.5};
  for (int j = 0; j < 2; ++j) {
    double sum = 0.0, sum2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      sum += moved.points[2 * i + j];
      sum2 += moved.points[2 * i + j] * moved.points[2 * i + j];
    }
    const double mean = sum / n;
    const double var = sum2 / n - mean * mean;
    // 4 standard errors of the mean and of the variance of n normal draws.
    EXPECT_NEAR(mean, means[j], 4.0 * sds[j] / std::sqrt(n)) << j;
    EXPECT_NEAR(var, sds[j] * sds[j], 4.0 * sds[j] * sds[j] * std::sqrt(2.0 / n)) << j;
  }
}

TEST(MovePoints, PassedDeadlineIsATimeout) {
  MoveSettings settings;
  settings.deadline = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  const std::vector<double> points = prior_draws(10, 1);
  const MatrixView design{nullptr, 0, 1, 1, 1};
  const BoolVectorView observations{nullptr, 0, 1};
  try {
    (void)move_points(two_param(), design, observations, points, settings);
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "Timeout");
  }
}

TEST(PsychometricModel, UnconstrainedScaleIsTheInverseOfTheNaturalOne) {
  auto model = *PsychometricModel::try_new(Link::Gumbel, 0.0, 1.0, 0.0, 1.0, Rate::beta(2.0, 8.0), Rate::beta(1.5, 40.0));
  const std::vector<double> u = {0.3, -1.2, -2.0, -3.5};
  std::vector<double> natural(4), back(4);
  model.to_natural(u, natural);
  model.to_unconstrained(natural, back);
  for (int j = 0; j < 4; ++j) EXPECT_NEAR(back[j], u[j], 1e-12) << j;
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// The moves' density through the lane evaluator against the scalar loop: the
// log density and every gradient entry, bit for bit, for each link, with
// trials far out in both tails, steep slopes and rates near their edges.
TEST(ExactResponses, DensityHasTheScalarBits) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> xs;
  std::vector<std::uint8_t> ys;
  for (int i = 0; i < 61; ++i) {
    xs.push_back(-6.0 + 0.2 * i);
    ys.push_back(static_cast<std::uint8_t>((i * 7) % 3 == 0));
  }
  // With s = 1 and m = 0 the rows at ±36.2 and ±667 give probabilities near
  // 1e-290, which the lanes must hand back to the scalar path.
  xs.insert(xs.end(), {40.0, -40.0, 1e300, -1e300, inf, -inf, 0.0, -36.2, 36.2, -667.0, 667.0});
  ys.insert(ys.end(), {0, 1, 0, 1, 1, 0, 1, 1, 0, 1, 0});
  const MatrixView design{xs.data(), xs.size(), 1, 1, 1};
  const BoolVectorView observations{ys.data(), ys.size(), 1};
  std::mt19937_64 g(5);
  std::normal_distribution<double> spread(0.0, 3.0);
  for (const Link link : {Link::Logistic, Link::Normal, Link::Gumbel}) {
    for (const auto& [guess, lapse] : {std::pair{Rate::fixed(0.5), Rate::beta(2.0, 50.0)},
                                       std::pair{Rate::beta(2.0, 8.0), Rate::beta(1.5, 40.0)},
                                       std::pair{Rate::fixed(0.0), Rate::fixed(0.0)}}) {
      const auto model = *PsychometricModel::try_new(link, 0.7, 1.0, 0.0, 2.0, guess, lapse);
      const PsychometricModel lanes = with_exact_responses(model);
      if (lanes.response_rows == nullptr) GTEST_SKIP() << "no exact lanes on this processor";
      for (int k = 0; k < 300; ++k) {
        std::vector<double> u(model.dim());
        for (double& v : u) v = spread(g);
        if (k % 10 == 0) u[0] = 12.0;  // a slope that saturates every trial
        if (k % 10 == 5) u[0] = u[1] = 0.0;
        std::vector<double> scalar_grad(u.size(), 0.0), lane_grad(u.size(), 0.0);
        const double scalar = model.log_posterior_with_grad_vec(u, scalar_grad, design, observations);
        const double lane = lanes.log_posterior_with_grad_vec(u, lane_grad, design, observations);
        ASSERT_EQ(std::memcmp(&scalar, &lane, sizeof(double)), 0) << lane << " vs " << scalar;
        ASSERT_EQ(std::memcmp(scalar_grad.data(), lane_grad.data(), u.size() * sizeof(double)), 0);
      }
    }
  }
}

}  // namespace
}  // namespace varnel
