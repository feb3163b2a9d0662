// The multi-chain runtime's own cost. The same chains (same settings, seeds,
// model and data) are run twice in one process: once by the runtime (pool,
// channels, locks, progress, Arrow storage and statistics, collection) and
// once one after the other on this thread with the same storage and
// statistics appends but no runtime at all. Reported: CPU time of both, the
// runtime's extra CPU time per draw, and wall times. Build and run with
// bench/runtime_bench.sh after the C++ build (it links its libraries).

#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <variant>
#include <vector>

#include "sampler/chacha.hpp"
#include "model/model_with_data.hpp"
#include "sampler/nuts_run.hpp"
#include "sampler/sampler.hpp"
#include "model/two_param_psychometric.hpp"
#include "sampler/xoshiro.hpp"
#include "sampler/distributions.hpp"

namespace {

using namespace varnel;
using BoundModel = PsychometricModelWithData<TwoParameterPsychometricModel>;

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Data {
  std::vector<double> stimuli;
  std::vector<std::uint8_t> responses;
};

Data simulate(int trials) {
  Data d;
  auto rng = Xoshiro256pp::seed_from_u64(99);
  for (int i = 0; i < trials; ++i) {
    const double x = -3.0 + 6.0 * uniform01(rng);
    const double p = 1.0 / (1.0 + std::exp(-2.0 * (x - 0.5)));
    d.stimuli.push_back(x);
    d.responses.push_back(uniform01(rng) < p ? 1 : 0);
  }
  return d;
}

BoundModel bind(const Data& d) {
  const MatrixView design{d.stimuli.data(), d.stimuli.size(), 1, 1, 1};
  const BoolVectorView observations{d.responses.data(), d.responses.size(), 1};
  return BoundModel(*TwoParameterPsychometricModel::try_new(1.0, 2.0, 0.0, 2.0), design, observations);
}

// The chain task's work without the runtime: build, place, draw, store.
std::uint64_t run_sequential(const BoundModel& model, const NutsSettings& settings) {
  std::uint64_t stored = 0;
  const NutsRun run{settings};
  for (std::uint64_t c = 0; c < settings.num_chains; ++c) {
    auto rng = ChaCha8Rng::seed_from_u64(settings.seed);
    rng.set_stream(c);
    auto math = model.math();
    const std::size_t dim = math->dim();
    auto chain = run.new_chain(c, std::move(*math), rng);
    auto draws = model.new_trace();
    auto stats = run.new_stats_builder(dim);
    std::vector<double> position(dim);
    (void)model.init_position(rng, position);
    if (!chain.set_position(position)) return 0;
    for (std::uint64_t i = 0; i < settings.num_tune + settings.num_draws; ++i) {
      auto drawn = chain.draw();
      if (!drawn) return 0;
      (void)draws.append_value(drawn->first);
      stats.append_value(std::move(drawn->second));
    }
    auto finished = std::move(draws).finalize();
    stored += static_cast<std::uint64_t>((*finished)->length());
    (void)std::move(stats).finalize();
  }
  return stored;
}

std::uint64_t run_runtime(const BoundModel& model, const NutsSettings& settings) {
  auto sampler = Sampler::create(model, NutsRun{settings}, 4, std::nullopt);
  SamplerWaitResult result = std::move(*sampler).wait_timeout(std::chrono::seconds(600));
  std::uint64_t stored = 0;
  for (const ChainOutput& chain : std::get<Trace>(result).chains) {
    stored += static_cast<std::uint64_t>(chain.draws->length());
  }
  return stored;
}

}  // namespace

int main() {
  constexpr int kRepeats = 5;
  std::printf("%8s %14s %14s %16s %12s %12s\n", "trials", "seq cpu s", "runtime cpu s",
              "extra cpu/draw", "seq wall s", "rt wall s");
  for (int trials : {20, 100, 1000}) {
    const Data data = simulate(trials);
    const BoundModel model = bind(data);
    NutsSettings settings;  // defaults: 6 chains of 400 + 1000 draws
    settings.seed = 5;
    double seq_cpu = 0, rt_cpu = 0, seq_wall = 0, rt_wall = 0;
    std::uint64_t draws = 0;
    for (int r = 0; r < kRepeats; ++r) {
      double c0 = cpu_seconds(), w0 = wall_seconds();
      draws = run_sequential(model, settings);
      seq_cpu += cpu_seconds() - c0;
      seq_wall += wall_seconds() - w0;
      c0 = cpu_seconds();
      w0 = wall_seconds();
      const std::uint64_t rt_draws = run_runtime(model, settings);
      rt_cpu += cpu_seconds() - c0;
      rt_wall += wall_seconds() - w0;
      if (rt_draws != draws) std::printf("draw counts differ: %llu vs %llu\n",
                                         static_cast<unsigned long long>(rt_draws),
                                         static_cast<unsigned long long>(draws));
    }
    const double per_draw_us = 1e6 * (rt_cpu - seq_cpu) / (kRepeats * static_cast<double>(draws));
    std::printf("%8d %14.4f %14.4f %13.3f us %12.4f %12.4f   (cpu ratio %.3f, wall ratio %.3f)\n",
                trials, seq_cpu / kRepeats, rt_cpu / kRepeats, per_draw_us, seq_wall / kRepeats,
                rt_wall / kRepeats, rt_cpu / seq_cpu, rt_wall / seq_wall);
  }
  return 0;
}
