#include "eig.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <thread>

#include "distributions.hpp"
#include "thread_rng.hpp"

namespace varnel {
namespace {

// Below this many (design, sample) pairs a worker thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 16384;

// log(sigmoid(z)) without overflow, for the terms whose literal form is not finite.
double log_sigmoid(double z) noexcept {
  return z < 0.0 ? z - std::log1p(std::exp(z)) : -std::log1p(std::exp(-z));
}

// p(y | k, m, x) and p*log p for both responses. The literal per-observation
// log-likelihood is log(pow(1/(h+1), y) * pow(h/(h+1), 1-y)) with
// h = exp((m-x)*k); pow(a, 0) is exactly 1 and pow(a, 1) exactly a, so for
// each y one factor drops out without changing a bit. Where the literal value
// is not finite (h overflows or underflows), the same quantity is taken in an
// overflow-safe form. p = 0 contributes 0*log 0 = 0.
struct ResponseTerms {
  double p[2];
  double plp[2];
};

inline ResponseTerms response_terms(double k, double m, double x, bool need_false, bool need_true) noexcept {
  ResponseTerms out{};
  const double t = (m - x) * k;
  const double h = std::exp(t);
  if (need_true) {
    double lp = std::log(1.0 / (h + 1.0));
    if (!std::isfinite(lp)) lp = log_sigmoid(-t);
    const double p = std::exp(lp);
    out.p[1] = p;
    out.plp[1] = p == 0.0 ? 0.0 : lp * p;
  }
  if (need_false) {
    double lp = std::log(h / (h + 1.0));
    if (!std::isfinite(lp)) lp = log_sigmoid(t);
    const double p = std::exp(lp);
    out.p[0] = p;
    out.plp[0] = p == 0.0 ? 0.0 : lp * p;
  }
  return out;
}

struct ScoreJob {
  std::span<const std::uint8_t> outcomes;
  std::span<const Theta> theta;
  const StimulusColumn* designs;
  bool need_false;
  bool need_true;
};

void score_range(const ScoreJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  const double n = static_cast<double>(job.theta.size());
  for (std::size_t d = first; d < last; ++d) {
    const double x = job.designs->at(d);
    double sum_p[2] = {0.0, 0.0};
    double sum_plp[2] = {0.0, 0.0};
    for (const Theta& th : job.theta) {
      const ResponseTerms terms = response_terms(th.k, th.m, x, job.need_false, job.need_true);
      for (int y = 0; y < 2; ++y) {
        sum_p[y] += terms.p[y];
        sum_plp[y] += terms.plp[y];
      }
    }
    double total = 0.0;
    for (const std::uint8_t outcome : job.outcomes) {
      const int y = outcome != 0 ? 1 : 0;
      const double p_hat = sum_p[y] / n;
      double m_term = sum_plp[y] / n;
      if (p_hat != 0.0) m_term = m_term - std::log(p_hat) * p_hat;
      total += m_term;
    }
    result[d] = total;
  }
}

}  // namespace

std::vector<Theta> allocate_samples(std::uint64_t n_samples) {
  std::vector<Theta> theta;
  if (n_samples > theta.max_size()) throw std::bad_alloc();
  theta.reserve(static_cast<std::size_t>(n_samples));
  return theta;
}

std::vector<Theta> draw_prior_samples(std::uint64_t n_samples, double mu_k, double sigma_k, double mu_m,
                                      double sigma_m) {
  std::vector<Theta> theta = allocate_samples(n_samples);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    theta.push_back({z1 * sigma_k + mu_k, z2 * sigma_m + mu_m});
  }
  return theta;
}

std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, std::span<const Theta> theta,
                                  std::uint64_t n_samples, const StimulusColumn& designs, unsigned threads) {
  const std::size_t n_designs = designs.rows;
  std::vector<double> result(n_designs, 0.0);
  if (outcomes.empty() || n_designs == 0) return result;
  // The mean of no samples does not exist.
  if (n_samples == 0) panic_unwrap_none();
  check_index(0, designs.cols);
  check(theta.size() == n_samples, "theta.len() == n_samples");

  ScoreJob job{outcomes, theta, &designs, false, false};
  for (const std::uint8_t o : outcomes) (o != 0 ? job.need_true : job.need_false) = true;

  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::uint64_t pairs = static_cast<std::uint64_t>(n_designs) * n_samples;
  const std::uint64_t useful = std::max<std::uint64_t>(1, pairs / kMinPairsPerThread);
  const std::size_t n_workers = static_cast<std::size_t>(
      std::min<std::uint64_t>({threads, useful, n_designs}));

  // Contiguous blocks of designs; the calling thread takes the first one.
  const std::size_t block = (n_designs + n_workers - 1) / n_workers;
  std::vector<std::thread> workers;
  std::size_t next = block;
  try {
    for (; next < n_designs; next += block) {
      const std::size_t last = std::min(n_designs, next + block);
      workers.emplace_back(score_range, std::cref(job), next, last, result.data());
    }
  } catch (const std::exception&) {
    // Could not start a thread: the calling thread scores what is left.
  }
  score_range(job, 0, std::min(block, n_designs), result.data());
  for (auto& w : workers) w.join();
  if (next < n_designs) score_range(job, next, n_designs, result.data());
  return result;
}

}  // namespace varnel
