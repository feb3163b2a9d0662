// Kernel and generator timings. Figures are ratios against a baseline timed
// in the same run: each AVX2/FMA variant and the dispatched entry against the
// portable variant, the ziggurat against std::normal_distribution.
// Build and run with bench/kernels_bench.sh.

#include <chrono>
#include <cstdio>
#include <random>
#include <span>
#include <vector>

#include "sampler/chacha.hpp"
#include "sampler/distributions.hpp"
#include "sampler/math.hpp"
#include "sampler/xoshiro.hpp"

namespace {

volatile double sink = 0.0;

// The best of several rounds: the machine is shared, and the fastest round is
// the one least disturbed by other work.
template <class F>
double ns_per_call(F&& f, long calls) {
  constexpr int kRounds = 7;
  const long per_round = calls / kRounds + 1;
  for (long i = 0; i < per_round; ++i) f();  // warm up
  double best = 1e300;
  for (int r = 0; r < kRounds; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < per_round; ++i) f();
    const auto stop = std::chrono::steady_clock::now();
    const double ns = std::chrono::duration<double, std::nano>(stop - start).count();
    if (ns < best) best = ns;
  }
  return best / static_cast<double>(per_round);
}

}  // namespace

int main() {
  using namespace varnel;
  std::mt19937_64 gen(1);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const bool avx2 = math::cpu_has_avx2_fma();
  std::printf("AVX2/FMA variant available: %s\n", avx2 ? "yes" : "no");
  std::printf("%-14s %6s %12s %10s %10s\n", "kernel", "n", "portable ns", "avx2 x", "dispatch x");
  for (std::size_t n : {2u, 8u, 64u, 1024u}) {
    std::vector<double> a(n), b(n), c(n), d(n), out(n);
    for (auto* v : {&a, &b, &c, &d}) for (auto& x : *v) x = u(gen);
    const long calls = static_cast<long>(20'000'000 / (n + 8));
    struct Row {
      const char* name;
      double portable, fast, dispatched;
    };
    std::vector<Row> rows;
    auto add = [&](const char* name, auto portable, auto fast, auto dispatched) {
      const double p = ns_per_call(portable, calls);
      const double f = avx2 ? ns_per_call(fast, calls) : p;
      const double q = ns_per_call(dispatched, calls);
      rows.push_back({name, p, f, q});
    };
    add("multiply", [&] { math::portable::multiply(a.data(), b.data(), out.data(), n); sink = out[0]; },
        [&] {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
          math::avx2::multiply(a.data(), b.data(), out.data(), n);
#endif
          sink = out[0];
        },
        [&] { multiply(a, b, out); sink = out[0]; });
    add("vector_dot", [&] { sink = math::portable::vector_dot(a.data(), b.data(), n); },
        [&] {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
          sink = math::avx2::vector_dot(a.data(), b.data(), n);
#endif
        },
        [&] { sink = vector_dot(a, b); });
    add("scalar_prods3",
        [&] { sink = math::portable::scalar_prods3(a.data(), b.data(), c.data(), d.data(), a.data(), n).first; },
        [&] {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
          sink = math::avx2::scalar_prods3(a.data(), b.data(), c.data(), d.data(), a.data(), n).first;
#endif
        },
        [&] { sink = scalar_prods3(a, b, c, d, a).first; });
    add("axpy_out", [&] { math::portable::axpy_out(a.data(), b.data(), 0.5, out.data(), n); sink = out[0]; },
        [&] {
#if defined(VARNEL_HAVE_AVX2_KERNELS)
          math::avx2::axpy_out(a.data(), b.data(), 0.5, out.data(), n);
#endif
          sink = out[0];
        },
        [&] { axpy_out(a, b, 0.5, out); sink = out[0]; });
    for (const Row& r : rows) {
      std::printf("%-14s %6zu %12.2f %10.2f %10.2f\n", r.name, n, r.portable, r.portable / r.fast,
                  r.portable / r.dispatched);
    }
  }

  constexpr long kDraws = 5'000'000;
  std::normal_distribution<double> normal;
  std::mt19937_64 baseline_gen(3);
  const double baseline = ns_per_call([&] { sink = normal(baseline_gen); }, kDraws);
  Xoshiro256pp x = Xoshiro256pp::seed_from_u64(3);
  const double zig = ns_per_call([&] { sink = standard_normal(x); }, kDraws);
  ChaCha8Rng c8 = ChaCha8Rng::seed_from_u64(3);
  const double chacha = ns_per_call([&] { sink = static_cast<double>(c8.next_u64()); }, kDraws);
  std::printf("std::normal_distribution(mt19937_64): %.2f ns/draw (baseline)\n", baseline);
  std::printf("ziggurat(xoshiro256++): %.2f ns/draw, %.2fx faster than baseline\n", zig, baseline / zig);
  std::printf("ChaCha8 next_u64: %.2f ns\n", chacha);
  return 0;
}
