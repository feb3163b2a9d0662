#include "eig_general.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "design_blocks.hpp"
#include "panic.hpp"
#include "thread_rng.hpp"

namespace varnel {
namespace {

// Below this many (design, sample) pairs a worker thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 8192;

// What a sample contributes at every design, computed once per call.
struct SampleTerms {
  double s;
  double m;
  RateLogs rates;
};

struct GeneralJob {
  const PsychometricModel* model;
  std::span<const std::uint8_t> outcomes;
  std::span<const SampleTerms> samples;
  const MatrixView* designs;
};

void score_range(const GeneralJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  const double n = static_cast<double>(job.samples.size());
  for (std::size_t d = first; d < last; ++d) {
    const double x = job.designs->unchecked_at(d, 0);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    for (const SampleTerms& t : job.samples) {
      const ResponseProbs r = job.model->response_probs(t.s, t.m, t.rates, x);
      for (int y = 0; y < 2; ++y) {
        sum_p[y] += r.p[y];
        sum_plp[y] += r.p[y] == 0.0 ? 0.0 : r.lp[y] * r.p[y];
      }
    }
    double total = 0.0;
    for (const std::uint8_t outcome : job.outcomes) {
      const int y = outcome != 0 ? 1 : 0;
      const double p_hat = sum_p[y] / n;
      double term = sum_plp[y] / n;
      if (p_hat != 0.0) term -= std::log(p_hat) * p_hat;
      total += term;
    }
    result[d] = total;
  }
}

}  // namespace

bool is_in_support(const PsychometricModel& model, std::span<const double> row) noexcept {
  const auto [s, m, g, l] = model.full_natural(row);
  return s > 0.0 && std::isfinite(s) && std::isfinite(m) && PsychometricModel::rate_logs(g, l).valid;
}

std::vector<double> allocate_general_rows(std::uint64_t n_samples, std::size_t dim) {
  std::vector<double> theta;
  if (n_samples > theta.max_size() / dim) throw std::bad_alloc();
  theta.resize(static_cast<std::size_t>(n_samples) * dim);
  return theta;
}

std::vector<double> draw_general_prior_samples(std::uint64_t n_samples, const PsychometricModel& model) {
  const std::size_t dim = model.dim();
  std::vector<double> theta = allocate_general_rows(n_samples, dim);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const std::vector<double> draw = model.sample_prior(rng);
    std::copy(draw.begin(), draw.end(), theta.begin() + static_cast<std::ptrdiff_t>(n * dim));
  }
  return theta;
}

std::vector<double> score_designs_general(const PsychometricModel& model, std::span<const std::uint8_t> outcomes,
                                          std::span<const double> theta, std::uint64_t n_samples,
                                          const MatrixView& designs, unsigned threads) {
  const std::size_t n_designs = designs.rows;
  std::vector<double> result(n_designs, 0.0);
  if (outcomes.empty() || n_designs == 0) return result;
  if (n_samples == 0) panic_unwrap_none();
  check_index(0, designs.cols);
  const std::size_t dim = model.dim();
  check(theta.size() / dim == n_samples && theta.size() % dim == 0, "theta.len() == n_samples * dim");

  std::vector<SampleTerms> samples;
  samples.reserve(static_cast<std::size_t>(n_samples));
  for (std::size_t n = 0; n < n_samples; ++n) {
    const auto [s, m, g, l] = model.full_natural(theta.subspan(n * dim, dim));
    check(is_in_support(model, theta.subspan(n * dim, dim)), "parameter row inside the model's support");
    SampleTerms t{s, m, PsychometricModel::rate_logs(g, l)};
    samples.push_back(t);
  }

  GeneralJob job{&model, outcomes, samples, &designs};
  const std::size_t n_workers = useful_workers(
      threads, static_cast<std::uint64_t>(n_designs) * n_samples, kMinPairsPerThread, n_designs);
  score_in_blocks(n_designs, (n_designs + n_workers - 1) / n_workers, [&](std::size_t first, std::size_t last) {
    score_range(job, first, last, result.data());
  });
  return result;
}

}  // namespace varnel
