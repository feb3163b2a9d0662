// A model that exists only here, p(yes | x) = σ(x − m) with m ~ Normal(0, 1):
// it runs through the posterior run and the information-gain scorer with no
// code of its own outside this file.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "eig/rows.hpp"
#include "eig/scorer.hpp"
#include "estimation/run.hpp"
#include "model/model.hpp"
#include "sampler/distributions.hpp"

namespace varnel {
namespace {

double log_sigmoid(double t) { return t < 0.0 ? t - std::log1p(std::exp(t)) : -std::log1p(std::exp(-t)); }

struct LocationModel {
  static constexpr std::string_view kClassName = "LocationModel";
  static constexpr std::size_t kDesignColumns = 1;
  static constexpr bool kEigRowsChecked = true;
  static constexpr std::string_view kSupportText = "m finite";
  struct EigSample {
    double m = 0.0;
  };

  std::size_t dim() const noexcept { return 1; }
  std::vector<std::string> param_names() const { return {"m"}; }

  double log_likelihood_vec(std::span<const double> u, const MatrixView& design,
                            const BoolVectorView& observations) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < std::min(design.rows, observations.len); ++i) {
      const double t = design.at(i, 0) - u[0];
      sum += log_sigmoid(observations.unchecked_at(i) ? t : -t);
    }
    return sum;
  }
  double log_posterior_with_grad_vec(std::span<const double> u, std::span<double> grad, const MatrixView& design,
                                     const BoolVectorView& observations) const {
    grad[0] += -u[0];
    for (std::size_t i = 0; i < std::min(design.rows, observations.len); ++i) {
      const double p = 1.0 / (1.0 + std::exp(u[0] - design.at(i, 0)));
      grad[0] -= (observations.unchecked_at(i) ? 1.0 : 0.0) - p;
    }
    return log_likelihood_vec(u, design, observations) - 0.5 * u[0] * u[0];
  }

  void to_natural(std::span<const double> u, std::span<double> natural) const noexcept { natural[0] = u[0]; }
  void to_sampling(std::span<const double> natural, std::span<double> u) const noexcept { u[0] = natural[0]; }
  bool in_support(std::span<const double> natural) const noexcept { return std::isfinite(natural[0]); }
  template <RandomGenerator G>
  void draw_prior(G& rng, std::span<double> natural) const {
    natural[0] = standard_normal(rng);
  }
  double log_likelihood_natural(std::span<const double> natural, const MatrixView& design,
                                const BoolVectorView& observations) const {
    return log_likelihood_vec(natural, design, observations);
  }
  EigSample eig_sample(std::span<const double> natural) const noexcept { return {natural[0]}; }
  ResponseProbs response_probs(const EigSample& sample, std::span<const double> row) const noexcept {
    const double t = row[0] - sample.m;
    ResponseProbs r{};
    r.lp[1] = log_sigmoid(t);
    r.lp[0] = log_sigmoid(-t);
    r.p[1] = std::exp(r.lp[1]);
    r.p[0] = std::exp(r.lp[0]);
    return r;
  }
  ModelSettings settings() const { return {}; }
};
static_assert(ResponseModel<LocationModel>);

const std::vector<double> kStimuli = {-1.0, -0.5, 0.0, 0.3, 0.8, 1.2, 2.0, -2.0};
const std::vector<std::uint8_t> kResponses = {0, 0, 1, 0, 1, 1, 1, 0};

TEST(LocationModel, PosteriorRunMatchesQuadrature) {
  const MatrixView design{kStimuli.data(), kStimuli.size(), 1, 1, 1};
  const BoolVectorView observations{kResponses.data(), kResponses.size(), 1};
  NUTSEstimator estimator;
  estimator.settings.num_chains = 4;
  estimator.settings.seed = 11;
  const Trace trace = finished_trace(run_posterior(estimator, LocationModel{}, design, observations, [] { return true; }));
  double sum = 0.0;
  std::size_t count = 0;
  for (const ChainOutput& chain : trace.chains) {
    const ChainDraws draws = natural_draws(LocationModel{}, chain);
    ASSERT_EQ(draws.dim, 1u);
    for (std::size_t i = estimator.settings.num_tune; i < draws.rows; ++i, ++count) sum += draws.values[i];
  }
  ASSERT_EQ(count, 4u * estimator.settings.num_draws);

  double mass = 0.0, first = 0.0;
  for (double m = -8.0; m <= 8.0; m += 1e-3) {
    const double w = std::exp(LocationModel{}.log_likelihood_vec(std::span<const double>(&m, 1), design, observations) -
                              0.5 * m * m);
    mass += w;
    first += w * m;
  }
  EXPECT_NEAR(sum / static_cast<double>(count), first / mass, 0.05);
}

TEST(LocationModel, ScorerUsesItsResponseProbabilities) {
  const LocationModel model;
  const std::vector<double> rows = draw_prior_rows(model, 64);
  const std::vector<double> xs = {-1.0, 0.0, 0.5, 3.0, -2.5};
  const std::vector<std::uint8_t> outcomes = {0, 1};
  const auto scores = score_designs(model, ScoreKernel::Fastest, outcomes, rows, 64, {xs.data(), xs.size(), 1, 1, 1});
  for (std::size_t d = 0; d < xs.size(); ++d) {
    // Mutual information of y and m under the sample: H(mean p) − mean H(p).
    double p_hat = 0.0, entropy = 0.0;
    for (double m : rows) {
      const double p = 1.0 / (1.0 + std::exp(m - xs[d]));
      p_hat += p / 64.0;
      entropy -= (p * std::log(p) + (1 - p) * std::log1p(-p)) / 64.0;
    }
    const double expected = -(p_hat * std::log(p_hat) + (1 - p_hat) * std::log1p(-p_hat)) - entropy;
    EXPECT_NEAR(scores[d], expected, 1e-12) << xs[d];
  }
  EXPECT_THROW(check_row_support(model, 0, std::vector<double>{NAN}, "params"), ArgumentError);
}

}  // namespace
}  // namespace varnel
