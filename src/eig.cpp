#include "eig.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <thread>

#include "distributions.hpp"
#include "dists/bernoulli_logit.hpp"
#include "thread_rng.hpp"

namespace varnel {
namespace {

// Below this many (design, sample) pairs a worker thread costs more than it saves.
constexpr std::uint64_t kMinPairsPerThread = 16384;

// p(y | k, m, x) and p*log p for both responses, from one exponential. A p
// that underflows to 0 contributes 0*log 0 = 0.
struct ResponseTerms {
  double p[2];
  double plp[2];
};

inline void add_term(ResponseTerms& out, int y, double lp) noexcept {
  const double p = std::exp(lp);
  out.p[y] = p;
  out.plp[y] = p == 0.0 ? 0.0 : lp * p;
}

inline ResponseTerms response_terms(double k, double m, double x, bool need_false, bool need_true) noexcept {
  ResponseTerms out{};
  const double t = (m - x) * k;
  const double h = std::exp(t);
  if (need_true) add_term(out, 1, bernoulli_logit_log_prob_from_h(h, t, true));
  if (need_false) add_term(out, 0, bernoulli_logit_log_prob_from_h(h, t, false));
  return out;
}

struct ScoreJob {
  std::span<const std::uint8_t> outcomes;
  std::span<const Theta> theta;
  const MatrixView* designs;
  bool need_false;
  bool need_true;
};

void score_range(const ScoreJob& job, std::size_t first, std::size_t last, double* result) noexcept {
  const double n = static_cast<double>(job.theta.size());
  for (std::size_t d = first; d < last; ++d) {
    const double x = job.designs->unchecked_at(d, 0);
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

std::vector<Theta> draw_prior_samples(std::uint64_t n_samples, const TwoParameterPsychometricModel& model) {
  std::vector<Theta> theta = allocate_samples(n_samples);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    const auto km = model.prior_from_normals(z1, z2);
    theta.push_back({km[0], km[1]});
  }
  return theta;
}

std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, std::span<const Theta> theta,
                                  std::uint64_t n_samples, const MatrixView& designs, unsigned threads) {
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
