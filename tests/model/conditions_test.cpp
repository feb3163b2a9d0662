#include "model/conditions.hpp"

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

// Two columns, (stimulus, condition), cycling through the conditions.
struct Data {
  std::vector<double> rows;
  std::vector<std::uint8_t> y;
  MatrixView design() const { return {rows.data(), y.size(), 2, 2, 1}; }
  BoolVectorView observations() const { return {y.data(), y.size(), 1}; }
};

Data some_data(std::size_t conditions) {
  const std::vector<double> x = {-2.0, -1.0, -0.5, 0.0, 0.25, 0.5, 1.0, 1.5, 3.0, 0.1, -0.3, 2.0};
  const std::vector<std::uint8_t> y = {0, 0, 1, 0, 1, 1, 1, 0, 1, 1, 0, 1};
  Data d;
  for (std::size_t i = 0; i < x.size(); ++i) {
    d.rows.push_back(x[i]);
    d.rows.push_back(static_cast<double>(i % conditions));
  }
  d.y = y;
  return d;
}

struct Config {
  const char* label;
  Link link;
  Rate guess;
  Rate lapse;
  bool per_slope, per_guess, per_lapse;
};

const std::vector<Config>& configs() {
  static const std::vector<Config> all = {
      {"shared 2afc", Link::Logistic, Rate::fixed(0.5), Rate::beta(1.0, 19.0), false, false, false},
      {"per-slope normal", Link::Normal, Rate::fixed(0.5), Rate::beta(1.0, 19.0), true, false, false},
      {"per-rates 4p", Link::Logistic, Rate::beta(2.0, 10.0), Rate::beta(1.5, 20.0), false, true, true},
      {"all per condition gumbel", Link::Gumbel, Rate::beta(2.0, 8.0), Rate::beta(1.0, 30.0), true, true, true},
      {"shared 4p normal", Link::Normal, Rate::beta(2.0, 10.0), Rate::beta(1.5, 20.0), false, false, false},
      {"per guess only", Link::Logistic, Rate::beta(2.0, 8.0), Rate::fixed(0.02), false, true, false},
  };
  return all;
}

ConditionsPsychometricModel make(const Config& c, std::int64_t conditions) {
  auto base = PsychometricModel::try_new(c.link, 0.3, 0.8, 0.2, 1.2, c.guess, c.lapse);
  EXPECT_TRUE(base.has_value());
  auto m = ConditionsPsychometricModel::try_new(*base, conditions, c.per_slope, c.per_guess, c.per_lapse);
  EXPECT_TRUE(m.has_value()) << c.label;
  return *m;
}

template <class M>
double logp(const M& model, const std::vector<double>& u, const MatrixView& design, const BoolVectorView& y,
            std::vector<double>* grad = nullptr) {
  std::vector<double> g(model.dim(), 0.0);
  const double v = model.log_posterior_with_grad_vec(u, g, design, y);
  if (grad != nullptr) *grad = g;
  return v;
}

TEST(ConditionsModel, GradientMatchesCentralDifferencesIntoTheTails) {
  const Data data = some_data(3);
  std::mt19937_64 rng(7);
  for (const Config& c : configs()) {
    const ConditionsPsychometricModel model = make(c, 3);
    for (int trial = 0; trial < 40; ++trial) {
      // Moderate points first, then ever further out.
      const double spread = 0.5 + 0.2 * trial;
      std::uniform_real_distribution<double> coordinate(-spread, spread);
      std::vector<double> u(model.dim());
      for (double& v : u) v = coordinate(rng);
      SCOPED_TRACE(std::string(c.label) + " spread " + std::to_string(spread));
      std::vector<double> grad;
      const double v = logp(model, u, data.design(), data.observations(), &grad);
      ASSERT_FALSE(std::isnan(v));
      for (const double g : grad) ASSERT_FALSE(std::isnan(g));
      if (!std::isfinite(v) || std::abs(v) > 1e6) continue;  // differences drown in rounding there
      for (std::size_t i = 0; i < u.size(); ++i) {
        const double h = 1e-6 * std::max(1.0, std::abs(u[i]));
        auto up = u, down = u;
        up[i] += h;
        down[i] -= h;
        const double fd =
            (logp(model, up, data.design(), data.observations()) - logp(model, down, data.design(), data.observations())) /
            (2.0 * h);
        EXPECT_NEAR(grad[i], fd, 1e-5 * std::max(1.0, std::abs(fd))) << "coordinate " << i;
      }
    }
  }
}

TEST(ConditionsModel, OneConditionIsThePsychometricModelBitForBit) {
  const Data data = some_data(1);
  const MatrixView stimuli{data.rows.data(), data.y.size(), 1, 2, 1};
  for (const Config& c : configs()) {
    const ConditionsPsychometricModel model = make(c, 1);
    ASSERT_EQ(model.dim(), model.base.dim());
    std::vector<double> u(model.dim());
    for (std::size_t i = 0; i < u.size(); ++i) u[i] = 0.3 * static_cast<double>(i) - 0.7;
    std::vector<double> g1, g2;
    EXPECT_EQ(logp(model, u, data.design(), data.observations(), &g1),
              logp(model.base, u, stimuli, data.observations(), &g2));
    EXPECT_EQ(g1, g2);
  }
}

TEST(ConditionsModel, LikelihoodIsTheSumOverConditionsOfEachOnesOwn) {
  const Data data = some_data(3);
  for (const Config& c : configs()) {
    const ConditionsPsychometricModel model = make(c, 3);
    auto rng = Xoshiro256pp::seed_from_u64(3);
    std::vector<double> natural(model.dim());
    model.draw_prior(rng, natural);
    ASSERT_TRUE(model.in_support(natural));
    double sum = 0.0;
    for (std::size_t k = 0; k < 3; ++k) {
      std::vector<double> part(model.base.dim());
      model.condition_vector(natural, k, part);
      std::vector<double> x;
      std::vector<std::uint8_t> y;
      for (std::size_t i = k; i < data.y.size(); i += 3) {
        x.push_back(data.rows[2 * i]);
        y.push_back(data.y[i]);
      }
      sum += model.base.log_likelihood_natural(part, {x.data(), x.size(), 1, 1, 1}, {y.data(), y.size(), 1});
    }
    EXPECT_NEAR(model.log_likelihood_natural(natural, data.design(), data.observations()), sum, 1e-12) << c.label;
    // The sampling scale round-trips.
    std::vector<double> u(model.dim()), back(model.dim());
    model.to_sampling(natural, u);
    model.to_natural(u, back);
    for (std::size_t i = 0; i < natural.size(); ++i) EXPECT_NEAR(back[i], natural[i], 1e-12 * std::abs(natural[i]));
  }
}

TEST(ConditionsModel, SettingsAndConditionIndicesAreChecked) {
  const auto base = *PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, Rate::beta(2, 8), Rate::beta(1, 19));
  EXPECT_FALSE(ConditionsPsychometricModel::try_new(base, 0, false, false, false));
  EXPECT_FALSE(ConditionsPsychometricModel::try_new(base, 2, false, true, false));  // estimated rates shared alike
  const auto fixed = *PsychometricModel::try_new(Link::Logistic, 0.0, 1.0, 0.0, 1.0, Rate::fixed(0.5), Rate::fixed(0));
  EXPECT_FALSE(ConditionsPsychometricModel::try_new(fixed, 2, false, true, false));  // a fixed rate has no copies
  const auto model = *ConditionsPsychometricModel::try_new(base, 3, true, true, true);
  EXPECT_EQ(model.param_names(), (std::vector<std::string>{"s_0", "s_1", "s_2", "m_0", "m_1", "m_2", "guess_rate_0",
                                                           "guess_rate_1", "guess_rate_2", "lapse_rate_0",
                                                           "lapse_rate_1", "lapse_rate_2"}));
  for (const double bad : {-1.0, 3.0, 0.5, std::nan("")}) {
    const std::vector<double> rows = {0.0, 1.0, 0.2, bad};
    EXPECT_THROW(model.check_design_values({rows.data(), 2, 2, 2, 1}, 2, "design"), ArgumentError) << bad;
  }
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// Each lane gathers its own condition's parameters: against the scalar loop,
// bit for bit, with conditions interleaved across the lanes.
TEST(ConditionsModel, LanesAndScalarLoopGiveTheSameBits) {
  const double inf = std::numeric_limits<double>::infinity();
  std::vector<double> rows;
  for (int i = 0; i < 45; ++i) {
    rows.push_back(-6.0 + 0.3 * i);
    rows.push_back(static_cast<double>((i * 7) % 3));
  }
  rows.insert(rows.end(), {inf, 1.0, -inf, 2.0, 1e3, 0.0});
  const MatrixView designs{rows.data(), rows.size() / 2, 2, 2, 1};
  for (const Config& c : configs()) {
    SCOPED_TRACE(c.label);
    const ConditionsPsychometricModel model = make(c, 3);
    auto rng = Xoshiro256pp::seed_from_u64(9);
    const std::size_t n = 200;
    std::vector<double> theta(n * model.dim());
    for (std::size_t i = 0; i < n; ++i) model.draw_prior(rng, std::span<double>(theta).subspan(i * model.dim(), model.dim()));
    const std::vector<std::uint8_t> outcomes{0, 1};
    const auto scalar = score_designs(model, ScoreKernel::Scalar, outcomes, theta, n, designs, 1);
    for (const auto& [kernel, threads] : {std::pair{ScoreKernel::Fastest, 1u}, std::pair{ScoreKernel::Fastest, 3u},
                                          std::pair{ScoreKernel::FourLanes, 3u}}) {
      const auto lanes = score_designs(model, kernel, outcomes, theta, n, designs, threads);
      for (std::size_t d = 0; d < designs.rows; ++d) {
        if (std::isnan(lanes[d]) && std::isnan(scalar[d])) continue;
        EXPECT_EQ(std::memcmp(&lanes[d], &scalar[d], sizeof(double)), 0) << "design " << d;
      }
    }
  }
}

}  // namespace
}  // namespace varnel
