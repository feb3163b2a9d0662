// Sampler overhead per gradient evaluation: one NUTS chain at a time over the
// psychometric density (the same chain type the estimator runs), against the
// density alone evaluated as often at the positions the chain visited, both
// timed in this run. Input: data files of "x y" lines (bench/run_all.py writes
// them); for each, the default settings (400 warm-up + 1000 draws) and
// kChains chains one after another, in kRounds rounds with seeds 1, 2, ...;
// one line per round, the round's post-warm-up draws written to
// FILE.draws.ROUND.f64 (native byte order).
// Build and run with bench/sampler_bench.sh FILE... (not part of the test suite).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "sampler/chacha.hpp"
#include "sampler/chain_builder.hpp"
#include "sampler/cpu_math.hpp"
#include "sampler/math.hpp"
#include "model/model_with_data.hpp"
#include "sampler/settings.hpp"
#include "model/two_param_psychometric.hpp"

namespace {

using varnel::PsychometricDensity;
using varnel::TwoParameterPsychometricModel;
using Inner = PsychometricDensity<TwoParameterPsychometricModel>;

// The density with a count of its evaluations, so that the overhead is per
// evaluation actually made rather than per reported leapfrog step.
struct CountingDensity {
  Inner inner;
  std::uint64_t* evaluations;
  std::size_t dim() const { return inner.dim(); }
  varnel::Result<double> logp(std::span<const double> position, std::span<double> gradient) {
    ++*evaluations;
    return inner.logp(position, gradient);
  }
};

volatile double sink = 0.0;

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  constexpr std::uint64_t kChains = 6;
  constexpr std::uint64_t kFirstSeed = 1;
  constexpr std::uint64_t kRounds = 5;
  const auto model = TwoParameterPsychometricModel::try_new(1.0, 2.0, 0.0, 1.5).value();
  std::printf("%8s %6s %12s %14s %14s %14s %12s\n", "N", "round", "evaluations", "sampler ns/ev", "density ns/ev",
              "overhead ns/ev", "sampler CPU s");  // per call of 6 chains
  for (int a = 1; a < argc; ++a) {
    std::ifstream in(argv[a]);
    std::vector<double> x;
    std::vector<std::uint8_t> y;
    double xi = 0.0, yi = 0.0;
    while (in >> xi >> yi) {
      x.push_back(xi);
      y.push_back(yi != 0.0 ? 1 : 0);
    }
    const varnel::MatrixView design{x.data(), x.size(), 1, 1, 0};
    const varnel::BoolVectorView observations{y.data(), y.size(), 1};
    const Inner inner(model, design, observations);

    // One seed per round; each round times the chains and then the density
    // alone for as many evaluations, so the two see the same machine load.
    const varnel::NutsSettings settings;
    const std::uint64_t per_chain = settings.num_tune + settings.num_draws;
    for (std::uint64_t round = 0; round < kRounds; ++round) {
      std::uint64_t evaluations = 0;
      std::vector<std::array<double, 2>> visited;
      visited.reserve(kChains * per_chain);
      const double c0 = cpu_seconds();
      const auto t0 = std::chrono::steady_clock::now();
      for (std::uint64_t c = 0; c < kChains; ++c) {
        varnel::ChaCha8Rng seeding = varnel::ChaCha8Rng::seed_from_u64(kFirstSeed + round);
        seeding.set_stream(c);
        varnel::CpuMath<CountingDensity> math(CountingDensity{inner, &evaluations},
                                              varnel::detected_simd_level());
        auto chain = varnel::new_chain(settings, c, std::move(math), seeding);
        const std::array<double, 2> start{varnel::kInitialPosition, varnel::kInitialPosition};
        if (!chain.set_position(start)) return 1;
        for (std::uint64_t d = 0; d < per_chain; ++d) {
          auto draw = chain.draw();
          if (!draw) return 1;
          visited.push_back({draw->first[0], draw->first[1]});
        }
      }
      const double sampler_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const double sampler_cpu = cpu_seconds() - c0;

      // The density alone, as often, cycling over the visited positions.
      Inner alone = inner;
      std::array<double, 2> gradient{};
      const auto t1 = std::chrono::steady_clock::now();
      for (std::uint64_t i = 0; i < evaluations; ++i) {
        gradient = {0.0, 0.0};
        sink = sink + alone.logp(visited[i % visited.size()], gradient).value() + gradient[0];
      }
      const double density_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t1).count();

      // The post-warm-up draws, chains x draws x (k, m) in float64, for the ESS.
      std::ofstream out(std::string(argv[a]) + ".draws." + std::to_string(round) + ".f64", std::ios::binary);
      for (std::size_t i = 0; i < visited.size(); ++i) {
        if (i % per_chain < settings.num_tune) continue;
        out.write(reinterpret_cast<const char*>(visited[i].data()), sizeof(double) * 2);
      }
      const double ev = static_cast<double>(evaluations);
      std::printf("%8zu %6llu %12llu %14.1f %14.1f %14.1f %12.4f\n", x.size(),
                  static_cast<unsigned long long>(round), static_cast<unsigned long long>(evaluations),
                  1e9 * sampler_s / ev, 1e9 * density_s / ev, 1e9 * (sampler_s - density_s) / ev, sampler_cpu);
    }
  }
  return 0;
}
