// The sampler's own cost per leapfrog step. A chain (built by new_chain, with
// its warm-up) is timed over its sampling draws; the same density is timed
// alone for the same number of evaluations at the chain's draws, in the same
// run. The difference is the sampler's bookkeeping (integrator arithmetic,
// states, tree, U-turn checks, momentum draws, statistics, adaptation calls).
// Figures are reported as shares of the chain's time and as ratios to one
// density evaluation. Build and run with bench/nuts_bench.sh.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

#include "sampler/chain_builder.hpp"
#include "sampler/cpu_math.hpp"
#include "model/two_param_psychometric.hpp"
#include "sampler/xoshiro.hpp"
#include "sampler/distributions.hpp"

namespace {

using namespace varnel;

volatile double sink = 0.0;

// The standard normal in two dimensions: the cheapest density there is.
struct Gaussian2 {
  std::uint64_t evals = 0;
  std::size_t dim() const { return 2; }
  Result<double> logp(std::span<const double> q, std::span<double> g) {
    ++evals;
    g[0] += -q[0];
    g[1] += -q[1];
    return -0.5 * (q[0] * q[0] + q[1] * q[1]);
  }
};

// The psychometric model's posterior for 100 simulated trials.
struct Psychometric100 {
  TwoParameterPsychometricModel model;
  std::vector<double> stimuli;
  std::vector<std::uint8_t> responses;
  std::uint64_t evals = 0;

  static Psychometric100 simulate() {
    Psychometric100 d{*TwoParameterPsychometricModel::try_new(1.0, 2.0, 0.0, 2.0), {}, {}, 0};
    auto rng = Xoshiro256pp::seed_from_u64(99);
    for (int i = 0; i < 100; ++i) {
      const double x = -3.0 + 6.0 * uniform01(rng);
      const double p = 1.0 / (1.0 + std::exp(-2.0 * (x - 0.5)));
      d.stimuli.push_back(x);
      d.responses.push_back(uniform01(rng) < p ? 1 : 0);
    }
    return d;
  }
  std::size_t dim() const { return 2; }
  Result<double> logp(std::span<const double> q, std::span<double> g) {
    ++evals;
    const MatrixView design{stimuli.data(), stimuli.size(), 1, 1, 1};
    const BoolVectorView obs{responses.data(), responses.size(), 1};
    return model.log_posterior_with_grad_vec(q, g, design, obs);
  }
};

template <class D>
void run(const char* name, D density, std::uint64_t draws, double target_accept_rate = 0.8) {
  NutsSettings settings;
  settings.num_tune = 400;
  settings.adapt.step_size.target_accept_rate = target_accept_rate;
  auto seeding = ChaCha8Rng::seed_from_u64(5);
  auto chain = new_chain(settings, 0, CpuMath<D>(density, detected_simd_level()), seeding);
  if (!chain.set_position(std::vector<double>{0.0001, 0.0001})) return;
  for (std::uint64_t i = 0; i < settings.num_tune; ++i) (void)chain.draw();

  // Rounds of chain draws and of density evaluations alternate; the fastest
  // round of each counts, as the least disturbed on a shared machine.
  constexpr int kRounds = 5;
  const std::uint64_t per_round = draws / kRounds;
  CpuMath<D> math(density, detected_simd_level());
  Vector q(2), g(2);
  std::vector<double> positions(2 * per_round);
  double per_step = 1e300, per_eval = 1e300;
  std::uint64_t steps = 0;
  for (int round = 0; round < kRounds; ++round) {
    const std::uint64_t evals_before = chain.math().density().evals;
    const auto t0 = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < per_round; ++i) {
      auto r = chain.draw();
      positions[2 * i] = r->first[0];
      positions[2 * i + 1] = r->first[1];
    }
    const auto t1 = std::chrono::steady_clock::now();
    const std::uint64_t round_steps = chain.math().density().evals - evals_before;
    steps += round_steps;

    // The density alone, as many times, at this round's draws.
    const auto t2 = std::chrono::steady_clock::now();
    for (std::uint64_t i = 0; i < round_steps; ++i) {
      const std::size_t k = 2 * (i % per_round);
      q[0] = positions[k];
      q[1] = positions[k + 1];
      g.fill_zero();
      sink = sink + *math.logp(q, g) + g[0];
    }
    const auto t3 = std::chrono::steady_clock::now();
    const double n = static_cast<double>(round_steps);
    per_step = std::min(per_step, std::chrono::duration<double, std::nano>(t1 - t0).count() / n);
    per_eval = std::min(per_eval, std::chrono::duration<double, std::nano>(t3 - t2).count() / n);
  }

  const double overhead = per_step - per_eval;
  std::printf("%-16s %8llu draws %9llu steps (%.1f per draw)\n", name,
              static_cast<unsigned long long>(draws), static_cast<unsigned long long>(steps),
              static_cast<double>(steps) / static_cast<double>(draws));
  std::printf("  chain %.1f ns/step, density alone %.1f ns/eval, sampler's own work %.1f ns/step\n",
              per_step, per_eval, overhead);
  std::printf("  sampler's own work: %.1f%% of the chain's time, %.2fx one density evaluation\n",
              100.0 * overhead / per_step, overhead / per_eval);
}

}  // namespace

int main() {
  run("gaussian-2d", Gaussian2{}, 200000);
  // Small steps and long trajectories: the cost per step without the per-draw work.
  run("gaussian-2d long", Gaussian2{}, 5000, 0.9999);
  run("psychometric-100", Psychometric100::simulate(), 50000);
  return 0;
}
