#include "model/contrast_sensitivity.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <cstring>
#include <limits>

#include "eig/scorer.hpp"
#include "sampler/xoshiro.hpp"

namespace varnel {
namespace {

struct Data {
  std::vector<double> rows;
  std::vector<std::uint8_t> y;
  MatrixView design() const { return {rows.data(), y.size(), 2, 2, 1}; }
  BoolVectorView observations() const { return {y.data(), y.size(), 1}; }
};

// (log10 frequency, log10 contrast) across the range, below and above the peak.
Data some_data() {
  Data d;
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> f(-0.7, 1.8), c(-3.5, 0.0);
  for (int i = 0; i < 30; ++i) {
    d.rows.push_back(f(rng));
    d.rows.push_back(c(rng));
    d.y.push_back(static_cast<std::uint8_t>(i % 3 != 0));
  }
  return d;
}

ContrastSensitivityModel make(Rate guess, Rate lapse) {
  auto base = PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, guess, lapse);
  EXPECT_TRUE(base.has_value());
  auto m = ContrastSensitivityModel::try_new(*base, ContrastSensitivityModel{}.priors, 3.0);
  EXPECT_TRUE(m.has_value());
  return *m;
}

double logp(const ContrastSensitivityModel& model, const std::vector<double>& u, const Data& data,
            std::vector<double>* grad = nullptr) {
  std::vector<double> g(model.dim(), 0.0);
  const double v = model.log_posterior_with_grad_vec(u, g, data.design(), data.observations());
  if (grad != nullptr) *grad = g;
  return v;
}

TEST(ContrastSensitivityModel, GradientMatchesCentralDifferencesIntoTheTails) {
  const Data data = some_data();
  std::mt19937_64 rng(11);
  for (const auto& [guess, lapse] : {std::pair{Rate::fixed(0.5), Rate::fixed(0.02)},
                                     std::pair{Rate::fixed(0.5), Rate::beta(1.0, 19.0)},
                                     std::pair{Rate::beta(2.0, 10.0), Rate::beta(1.5, 20.0)}}) {
    const ContrastSensitivityModel model = make(guess, lapse);
    for (int trial = 0; trial < 60; ++trial) {
      const double spread = 0.3 + 0.1 * trial;  // the log10 parameters from near the prior to far out
      std::uniform_real_distribution<double> offset(-spread, spread);
      std::vector<double> u(model.dim());
      model.prior_center(u);
      for (double& v : u) v += offset(rng);
      std::vector<double> grad;
      const double v = logp(model, u, data, &grad);
      ASSERT_FALSE(std::isnan(v)) << "spread " << spread;
      for (const double g : grad) ASSERT_FALSE(std::isnan(g));
      if (!std::isfinite(v) || std::abs(v) > 1e6) continue;
      for (std::size_t i = 0; i < u.size(); ++i) {
        const double h = 1e-6 * std::max(1.0, std::abs(u[i]));
        auto up = u, down = u;
        up[i] += h;
        down[i] -= h;
        const double fd = (logp(model, up, data) - logp(model, down, data)) / (2.0 * h);
        // A row at the truncation's kink has one-sided derivatives; differences straddle it.
        if (std::abs(grad[i] - fd) > 1e-4 * std::max(1.0, std::abs(fd))) {
          const double left = (v - logp(model, down, data)) / h, right = (logp(model, up, data) - v) / h;
          EXPECT_TRUE(std::abs(grad[i] - left) < 1e-3 * std::max(1.0, std::abs(left)) ||
                      std::abs(grad[i] - right) < 1e-3 * std::max(1.0, std::abs(right)))
              << "coordinate " << i << " spread " << spread;
        }
      }
    }
  }
}

TEST(ContrastSensitivityModel, SensitivityIsTheTruncatedLogParabola) {
  const ContrastSensitivityModel model = make(Rate::fixed(0.5), Rate::fixed(0.0));
  // γ_max = 100, f_max = 4 cpd, β = 2 octaves, δ = 0.5.
  const std::vector<double> natural = {100.0, 4.0, 2.0, 0.5};
  const auto sample = model.eig_sample(natural);
  const double peak = std::log10(4.0);
  EXPECT_NEAR(ContrastSensitivityModel::log_sensitivity(sample, peak), 2.0, 1e-12);
  // One octave above the peak (half the bandwidth) the sensitivity has halved.
  EXPECT_NEAR(ContrastSensitivityModel::log_sensitivity(sample, peak + std::log10(2.0)), 2.0 - std::log10(2.0), 1e-12);
  // Far below the peak it stays at the truncation.
  EXPECT_NEAR(ContrastSensitivityModel::log_sensitivity(sample, peak - 2.0), 1.5, 1e-12);
  // At threshold contrast 1/S, p(yes) is halfway between the guess rate and 1.
  const double row[2] = {peak, -2.0};
  EXPECT_NEAR(model.response_probs(sample, row).p[1], 0.75, 1e-12);
  std::vector<double> u(model.dim()), back(model.dim());
  model.to_sampling(natural, u);
  model.to_natural(u, back);
  for (std::size_t i = 0; i < natural.size(); ++i) EXPECT_NEAR(back[i], natural[i], 1e-12 * natural[i]);
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// The CSF's lanes against its scalar loop: frequencies on both sides of the
// peak and at the truncation, contrasts far into both tails, infinities.
TEST(ContrastSensitivityModel, LanesAndScalarLoopGiveTheSameBits) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> rows;
  for (double f = -1.0; f <= 2.0; f += 0.25) {
    for (const double c : {-6.0, -3.0, -2.1, -1.7, -1.0, 0.0, 3.0, inf, -inf}) {
      rows.push_back(f);
      rows.push_back(c);
    }
  }
  rows.insert(rows.end(), {inf, -1.0, -inf, -1.0});
  const MatrixView designs{rows.data(), rows.size() / 2, 2, 2, 1};
  for (const Link link : {Link::Logistic, Link::Normal, Link::Gumbel}) {
    auto base = *PsychometricModel::try_new(link, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.5), Rate::beta(1.0, 30.0));
    const auto model = *ContrastSensitivityModel::try_new(base, ContrastSensitivityModel{}.priors, 3.0);
    auto rng = Xoshiro256pp::seed_from_u64(static_cast<std::uint64_t>(link) + 1);
    const std::size_t n = 300;
    std::vector<double> theta(n * model.dim());
    for (std::size_t i = 0; i < n; ++i) model.draw_prior(rng, std::span<double>(theta).subspan(i * model.dim(), model.dim()));
    for (const std::vector<std::uint8_t>& outcomes : {std::vector<std::uint8_t>{0, 1}, {1}}) {
      const auto scalar = score_designs(model, ScoreKernel::Scalar, outcomes, theta, n, designs, 1);
      for (const auto& [kernel, threads] : {std::pair{ScoreKernel::Fastest, 1u}, std::pair{ScoreKernel::Fastest, 3u},
                                            std::pair{ScoreKernel::FourLanes, 3u}}) {
        const auto lanes = score_designs(model, kernel, outcomes, theta, n, designs, threads);
        for (std::size_t d = 0; d < designs.rows; ++d) {
          if (std::isnan(lanes[d]) && std::isnan(scalar[d])) continue;
          EXPECT_EQ(std::memcmp(&lanes[d], &scalar[d], sizeof(double)), 0)
              << "design (" << rows[2 * d] << ", " << rows[2 * d + 1] << "): " << lanes[d] << " vs " << scalar[d];
        }
      }
      // A design on its own is scored over the samples' lanes.
      for (const ScoreKernel kernel : {ScoreKernel::Fastest, ScoreKernel::FourLanes}) {
        for (std::size_t d = 0; d < designs.rows; ++d) {
          const MatrixView one{&rows[2 * d], 1, 2, 2, 1};
          const double alone = score_designs(model, kernel, outcomes, theta, n, one, 1)[0];
          if (std::isnan(alone) && std::isnan(scalar[d])) continue;
          EXPECT_EQ(std::memcmp(&alone, &scalar[d], sizeof(double)), 0)
              << "design (" << rows[2 * d] << ", " << rows[2 * d + 1] << ") alone";
        }
      }
    }
  }
}

}  // namespace
}  // namespace varnel
