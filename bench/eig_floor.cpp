// The C library floor of the EIG scoring: exactly the exp and log calls the
// estimator's scalar formula makes (exp of the logit, log of both response
// probabilities, exp of both logs) for every design and sample, with only the
// arithmetic that forms their arguments, split over threads in contiguous
// blocks of designs like the estimator. Run by eig_bench.py.
// Usage: eig_floor INPUT THREADS REPEATS, INPUT holding the counts D and N
// (two little-endian uint64) then N (k, m) pairs and D designs as doubles.
// Prints the best wall time of REPEATS runs in seconds.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

namespace {

void floor_range(const std::vector<double>& km, const std::vector<double>& xs, std::size_t first,
                 std::size_t last, double* out) {
  const std::size_t n = km.size() / 2;
  for (std::size_t d = first; d < last; ++d) {
    const double x = xs[d];
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      const double h = std::exp((km[2 * i + 1] - x) * km[2 * i]);
      const double lp1 = std::log(1.0 / (h + 1.0));
      const double lp0 = std::log(h / (h + 1.0));
      sum += std::exp(lp1) + std::exp(lp0);
    }
    out[d] = sum;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: eig_floor INPUT THREADS REPEATS\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::uint64_t counts[2] = {0, 0};
  in.read(reinterpret_cast<char*>(counts), sizeof counts);
  std::vector<double> km(2 * counts[1]), xs(counts[0]);
  in.read(reinterpret_cast<char*>(km.data()), static_cast<std::streamsize>(km.size() * sizeof(double)));
  in.read(reinterpret_cast<char*>(xs.data()), static_cast<std::streamsize>(xs.size() * sizeof(double)));
  if (!in || xs.empty() || km.empty()) {
    std::fprintf(stderr, "eig_floor: cannot read %s\n", argv[1]);
    return 2;
  }
  const std::size_t threads = std::max(1, std::atoi(argv[2]));
  const int repeats = std::max(1, std::atoi(argv[3]));
  std::vector<double> out(xs.size());
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const auto t0 = std::chrono::steady_clock::now();
    const std::size_t block = (xs.size() + threads - 1) / threads;
    std::vector<std::thread> workers;
    for (std::size_t first = block; first < xs.size(); first += block) {
      workers.emplace_back(floor_range, std::cref(km), std::cref(xs), first, std::min(xs.size(), first + block),
                           out.data());
    }
    floor_range(km, xs, 0, std::min(block, xs.size()), out.data());
    for (auto& w : workers) w.join();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
  double check = 0.0;
  for (double v : out) check += v;
  std::printf("%.9f %.17g\n", best, check);
  return 0;
}
