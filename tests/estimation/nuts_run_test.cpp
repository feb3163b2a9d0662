// The multi-chain runtime driving the real NUTS chains on the psychometric
// model: shapes, per-chain reproducibility and the failures a Python caller
// can provoke through its arguments.

#include "sampler/nuts_run.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <variant>
#include <vector>

#include "model/model_with_data.hpp"
#include "sampler/panic.hpp"
#include "sampler/sampler.hpp"
#include "model/two_param_psychometric.hpp"

namespace varnel {
namespace {

using namespace std::chrono_literals;
using Model = PsychometricModelWithData<TwoParameterPsychometricModel>;

struct Data {
  std::vector<double> design;  // one column
  std::vector<std::uint8_t> observations;
};

Data simulated_data() {
  Data data;
  for (int i = 0; i < 20; ++i) {
    const double x = -2.0 + 0.2 * i;
    data.design.push_back(x);
    data.observations.push_back(static_cast<std::uint8_t>((i * 7) % 10 < 2 * x + 5 ? 1 : 0));
  }
  return data;
}

Model bind(const Data& data, double sigma_k = 1.0) {
  auto model = TwoParameterPsychometricModel::try_new(1.0, sigma_k, 0.0, 1.0);
  if (!model) throw std::runtime_error("bad model");
  const MatrixView design{data.design.data(), data.design.size(), 1, 1, 1};
  const BoolVectorView observations{data.observations.data(), data.observations.size(), 1};
  return Model(*model, design, observations);
}

SamplerWaitResult run(const Data& data, NutsSettings settings, double sigma_k = 1.0) {
  auto sampler = Sampler::create(bind(data, sigma_k), NutsRun{settings}, 4, std::nullopt);
  if (!sampler) throw std::runtime_error(sampler.error().debug_text());
  return std::move(*sampler).wait_timeout(60s);
}

std::vector<double> values(const ChainOutput& output) {
  auto lists = std::static_pointer_cast<arrow::FixedSizeListArray>(output.draws);
  auto doubles = std::static_pointer_cast<arrow::DoubleArray>(lists->values());
  return {doubles->raw_values(), doubles->raw_values() + doubles->length()};
}

TEST(NutsRun, EveryChainDrawsWarmUpAndSamplesWithItsStatistics) {
  const Data data = simulated_data();
  NutsSettings settings;
  settings.num_tune = 100;
  settings.num_draws = 50;
  settings.num_chains = 3;
  settings.seed = 1;
  SamplerWaitResult result = run(data, settings);
  ASSERT_TRUE(std::holds_alternative<Trace>(result));
  const Trace& trace = std::get<Trace>(result);
  ASSERT_EQ(trace.chains.size(), 3u);
  for (std::uint64_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const ChainOutput& chain = trace.chains[i];
    EXPECT_EQ(chain.chain, i);
    EXPECT_EQ(chain.draws->length(), 150);
    EXPECT_EQ(chain.stats->length(), 150);
    EXPECT_EQ(chain.stats->num_fields(), 14);
    for (double v : values(chain)) EXPECT_TRUE(std::isfinite(v));
  }
}

TEST(NutsRun, AFixedSeedGivesTheSameDrawsChainByChain) {
  const Data data = simulated_data();
  NutsSettings settings;
  settings.num_tune = 60;
  settings.num_draws = 20;
  settings.num_chains = 2;
  settings.seed = 7;
  SamplerWaitResult first = run(data, settings);
  SamplerWaitResult second = run(data, settings);
  settings.seed = 8;
  SamplerWaitResult other = run(data, settings);
  ASSERT_TRUE(std::holds_alternative<Trace>(first) && std::holds_alternative<Trace>(second) &&
              std::holds_alternative<Trace>(other));
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(values(std::get<Trace>(first).chains[i]), values(std::get<Trace>(second).chains[i]));
    EXPECT_NE(values(std::get<Trace>(first).chains[i]), values(std::get<Trace>(other).chains[i]));
  }
  EXPECT_NE(values(std::get<Trace>(first).chains[0]), values(std::get<Trace>(first).chains[1]));
}

TEST(NutsRun, NoWarmUpFailsEveryChainAtConstruction) {
  const Data data = simulated_data();
  NutsSettings settings;
  settings.num_tune = 0;
  settings.num_draws = 10;
  settings.num_chains = 2;
  try {
    (void)run(data, settings);
    ADD_FAILURE() << "no failure";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "assertion failed: early_end < num_tune");
  }
}

TEST(NutsRun, AZeroPriorWidthFailsEveryStart) {
  const Data data = simulated_data();
  NutsSettings settings;
  settings.num_tune = 20;
  settings.num_draws = 10;
  settings.num_chains = 2;
  SamplerWaitResult result = run(data, settings, /*sigma_k=*/0.0);
  ASSERT_TRUE(std::holds_alternative<SamplerFailed>(result));
  const Error& error = std::get<SamplerFailed>(result).error;
  EXPECT_EQ(error.message(), "All initialization points failed");
  EXPECT_NE(error.cause(), nullptr);
}

}  // namespace
}  // namespace varnel
