#include "eig/curve_lanes.hpp"
#include "eig/rows.hpp"
#include "eig/scorer.hpp"
#include "model/threads.hpp"
#include "sampler/xoshiro.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

namespace varnel {
namespace {

// One (k, m) sample of the two-parameter model.
struct Theta {
  double k = 0.0;
  double m = 0.0;
};

const TwoParameterPsychometricModel kModel{};

std::vector<double> flat(const std::vector<Theta>& theta) {
  std::vector<double> rows;
  for (const Theta& th : theta) rows.insert(rows.end(), {th.k, th.m});
  return rows;
}

std::vector<double> score_designs_using(ScoreKernel kernel, std::span<const std::uint8_t> outcomes,
                                        const std::vector<Theta>& theta, std::uint64_t n_samples,
                                        const MatrixView& designs, unsigned threads = 0) {
  return varnel::score_designs(kModel, kernel, outcomes, flat(theta), n_samples, designs, threads);
}

std::vector<double> score_designs(std::span<const std::uint8_t> outcomes, const std::vector<Theta>& theta,
                                  std::uint64_t n_samples, const MatrixView& designs, unsigned threads = 0) {
  return score_designs_using(ScoreKernel::Fastest, outcomes, theta, n_samples, designs, threads);
}

// The estimator evaluated triple by triple with the literal likelihood,
// storing every p and p*log p before averaging: the reference the fast path
// must reproduce bit for bit wherever the literal values are finite.
std::vector<double> literal_scores(const std::vector<std::uint8_t>& outcomes, const std::vector<Theta>& theta,
                                   const std::vector<double>& xs) {
  std::vector<double> result(xs.size(), 0.0);
  const double n = static_cast<double>(theta.size());
  for (std::size_t d = 0; d < xs.size(); ++d) {
    double total = 0.0;
    for (const auto outcome : outcomes) {
      const double y = outcome ? 1.0 : 0.0;
      std::vector<double> p(theta.size()), plp(theta.size());
      for (std::size_t i = 0; i < theta.size(); ++i) {
        const double h = std::exp((theta[i].m - xs[d]) * theta[i].k);
        const double a = std::pow(h / (h + 1.0), 1.0 - y);
        const double b = std::pow(1.0 / (h + 1.0), y);
        const double lp = std::log(b * a);
        p[i] = std::exp(lp);
        plp[i] = lp * p[i];
      }
      double sp = 0.0, splp = 0.0;
      for (std::size_t i = 0; i < theta.size(); ++i) {
        sp += p[i];
        splp += plp[i];
      }
      const double p_hat = sp / n;
      total += splp / n - std::log(p_hat) * p_hat;
    }
    result[d] = total;
  }
  return result;
}

MatrixView column(const std::vector<double>& xs) { return {xs.data(), xs.size(), 1, 1, 1}; }

std::vector<Theta> random_theta(std::size_t n, unsigned seed) {
  std::mt19937_64 g(seed);
  std::normal_distribution<double> k(2.0, 0.5), m(0.0, 1.0);
  std::vector<Theta> theta;
  for (std::size_t i = 0; i < n; ++i) theta.push_back({k(g), m(g)});
  return theta;
}

void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << "design " << i << ": " << a[i] << " vs " << b[i];
  }
}

TEST(ScoreDesigns, MatchesLiteralEstimatorBitForBit) {
  const std::vector<double> xs = {-3.0, -0.5, 0.0, 0.25, 1.0, 4.0};
  const auto theta = random_theta(257, 7);
  for (const std::vector<std::uint8_t>& outcomes :
       {std::vector<std::uint8_t>{0, 1}, {1}, {0}, {1, 1, 0}}) {
    SCOPED_TRACE(outcomes.size());
    expect_same_bits(score_designs(outcomes, theta, theta.size(), column(xs)),
                     literal_scores(outcomes, theta, xs));
  }
}

TEST(ScoreDesigns, SameBitsWhateverTheThreadCount) {
  std::vector<double> xs;
  for (int i = 0; i < 301; ++i) xs.push_back(-3.0 + 0.02 * i);
  const auto theta = random_theta(700, 3);
  const std::vector<std::uint8_t> outcomes = {0, 1};
  const auto one = score_designs(outcomes, theta, theta.size(), column(xs), 1);
  for (unsigned threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    expect_same_bits(score_designs(outcomes, theta, theta.size(), column(xs), threads), one);
  }
}

// The band's threads take rows and stimuli as they come free; the normal
// link's rows are reordered. Neither may show in the result.
TEST(PsychometricBand, SameBitsWhateverTheThreadCountAndTheScalarPercentiles) {
  const auto model = *PsychometricModel::try_new(Link::Normal, 0.0, 1.5, 0.0, 2.0, Rate::beta(2.0, 8.0),
                                                 Rate::beta(1.0, 19.0));
  auto rng = Xoshiro256pp::seed_from_u64(11);
  std::vector<double> rows;
  for (int i = 0; i < 1203; ++i) {
    const auto row = model.sample_prior(rng);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  std::vector<double> xs;
  for (int j = 0; j < 300; ++j) xs.push_back(-40.0 + 80.0 * j / 299.0);
  const std::vector<double> percents = {0.0, 2.5, 50.0, 97.5, 100.0};
  const ResponseBand one = psychometric_band(model, rows, xs, percents, 1);
  for (unsigned threads : {2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    const ResponseBand band = psychometric_band(model, rows, xs, percents, threads);
    expect_same_bits(band.mean, one.mean);
    expect_same_bits(band.quantiles, one.quantiles);
  }
  const ResponseBand scalar = response_band(model, rows, xs, percents, 2);
  expect_same_bits(one.quantiles, scalar.quantiles);
  for (std::size_t j = 0; j < xs.size(); ++j) EXPECT_NEAR(one.mean[j], scalar.mean[j], 1e-14);
}

// A failure while the rows are prepared reaches the caller; no thread waits
// for the rows that failed.
TEST(PsychometricBand, AFailingPreparationIsRaisedOnTheCaller) {
  const std::size_t n = 5000;
  const std::vector<double> xs(64, 0.0), percents = {50.0};
  const auto column = [](double, std::span<double> out) { std::fill(out.begin(), out.end(), 0.5); };
  const auto prepare = [](std::size_t first, std::size_t) {
    if (first == 0) throw std::runtime_error("rows");
  };
  for (unsigned threads : {1u, 3u}) {
    EXPECT_THROW(band_of_columns(n, xs, percents, threads, column, {}, prepare), std::runtime_error);
  }
}

TEST(ScoreDesigns, ExtremeSamplesGiveFiniteNonNegativeScores) {
  const std::vector<Theta> theta = {{1e6, 0.0}, {-1e6, 3.0}, {50.0, -40.0}, {1.0, 0.0}, {0.0, 1e300}};
  const std::vector<double> xs = {-1e3, -1.0, 0.0, 1.0, 1e3};
  const auto scores = score_designs(std::vector<std::uint8_t>{0, 1}, theta, theta.size(), column(xs));
  for (double s : scores) {
    EXPECT_TRUE(std::isfinite(s));
    EXPECT_GE(s, -1e-12);
  }
}

TEST(ScoreDesigns, EmptyOutcomesGiveZerosAndEmptyDesignsNothing) {
  const auto theta = random_theta(4, 1);
  const std::vector<double> xs = {0.0, 1.0};
  EXPECT_EQ(score_designs({}, theta, theta.size(), column(xs)), std::vector<double>(2, 0.0));
  EXPECT_TRUE(score_designs(std::vector<std::uint8_t>{1}, theta, theta.size(), column({})).empty());
}

TEST(ScoreDesigns, RepeatedOutcomeCountsTwice) {
  const auto theta = random_theta(50, 2);
  const std::vector<double> xs = {0.3};
  const double once = score_designs(std::vector<std::uint8_t>{1}, theta, 50, column(xs))[0];
  const double twice = score_designs(std::vector<std::uint8_t>{1, 1}, theta, 50, column(xs))[0];
  EXPECT_EQ(twice, once + once);
}

TEST(ScoreDesigns, NoSamplesOrNoColumnFail) {
  const std::vector<double> xs = {0.0};
  try {
    (void)score_designs(std::vector<std::uint8_t>{1}, {}, 0, column(xs));
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "called `Option::unwrap()` on a `None` value");
  }
  const auto theta = random_theta(1, 1);
  try {
    (void)score_designs(std::vector<std::uint8_t>{1}, theta, 1, MatrixView{xs.data(), 1, 0, 0, 1});
    FAIL();
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "index out of bounds: the len is 0 but the index is 0");
  }
}

// Designs on a wide grid, read through a row stride, in counts that leave a
// partial block of lanes.
struct KernelCase {
  const char* label;
  std::vector<Theta> theta;
  std::vector<double> xs;
};

std::vector<KernelCase> kernel_cases() {
  const double inf = std::numeric_limits<double>::infinity();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  std::vector<double> grid;
  for (int i = 0; i < 37; ++i) grid.push_back(-12.0 + 0.66 * i);
  std::vector<Theta> steep = random_theta(300, 21);
  for (auto& th : steep) th.k *= 40.0;  // logits far past the lanes' exp range
  std::vector<double> wide;
  for (int i = 0; i < 13; ++i) wide.push_back(std::ldexp(i % 2 ? 1.0 : -1.0, 3 * i - 18));
  return {
      {"typical", random_theta(500, 4), grid},
      {"steep", steep, grid},
      {"extreme", {{1e6, 0.0}, {-1e6, 3.0}, {50.0, -40.0}, {1.0, 0.0}, {0.0, 1e300}, {1e-300, 2.0},
                   {700.0, 1.0}, {-30.0, 25.0}},
       {-1e3, -1.0, 0.0, 1.0, 1e3, 37.0, -745.0}},
      {"non-finite", {{2.0, 0.5}, {inf, 0.0}, {2.0, nan}, {-inf, 1.0}, {1.5, -0.5}}, {-2.0, 0.0, 0.5, 3.0, inf}},
      {"one design", random_theta(64, 8), {0.4}},
      {"wide designs", random_theta(200, 9), wide},
  };
}

// Same bits, except that two NaNs count as equal: which of two NaN operands
// an addition passes on (and so the sign of the NaN) is the compiler's
// choice of operand order in either loop.
void expect_same_bits_or_both_nan(const std::vector<double>& a, const std::vector<double>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(double)), 0) << "design " << i << ": " << a[i] << " vs " << b[i];
  }
}

TEST(ScoreDesigns, LanesAndScalarLoopGiveTheSameBits) {
  for (const KernelCase& c : kernel_cases()) {
    SCOPED_TRACE(c.label);
    // Column 1 of a two-column matrix, so that the designs are read through strides.
    std::vector<double> matrix;
    for (double x : c.xs) matrix.insert(matrix.end(), {-99.0, x});
    const MatrixView designs{matrix.data() + 1, c.xs.size(), 1, 2, 1};
    for (const std::vector<std::uint8_t>& outcomes :
         {std::vector<std::uint8_t>{0, 1}, {1}, {0}, {1, 1, 0}}) {
      SCOPED_TRACE(outcomes.size());
      const auto scalar = score_designs_using(ScoreKernel::Scalar, outcomes, c.theta, c.theta.size(), designs, 1);
      for (ScoreKernel kernel : {ScoreKernel::Fastest, ScoreKernel::FourLanes}) {
        for (unsigned threads : {1u, 3u}) {
          SCOPED_TRACE(threads);
          expect_same_bits_or_both_nan(
              score_designs_using(kernel, outcomes, c.theta, c.theta.size(), designs, threads), scalar);
        }
      }
    }
  }
}

TEST(SelectParameterRows, EvenlySpacedAndRepeating) {
  std::vector<std::size_t> used;
  auto row_at = [&](std::size_t r, std::span<double> out) {
    used.push_back(r);
    out[0] = static_cast<double>(r);
  };
  (void)select_rows(kModel, 4, 10, row_at);
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 2, 5, 7}));
  used.clear();
  (void)select_rows(kModel, 5, 2, row_at);
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 0, 0, 1, 1}));
  used.clear();
  (void)select_rows(kModel, 3, ~std::size_t{0}, row_at);  // no overflow in n * rows
  EXPECT_EQ(used, (std::vector<std::size_t>{0, 6148914691236517205u, 12297829382473034410u}));
}

TEST(SelectParameterRows, ImpossibleSampleCountIsAnAllocationFailure) {
  EXPECT_THROW((void)allocate_rows(~std::uint64_t{0}, 2), std::bad_alloc);
}

// Rounds split between the caller and a partner thread: both parts of every
// round run (part 1 elsewhere when there is a partner), and a failure of
// either comes back after both ended, leaving the rounds usable.
TEST(TwoPartRounds, RunsBothPartsAndRethrowsAfterBothEnded) {
  for (const bool with_partner : {false, true}) {
    SCOPED_TRACE(with_partner);
    TwoPartRounds rounds(with_partner);
    EXPECT_EQ(rounds.has_partner(), with_partner);
    std::size_t counts[2] = {0, 0};
    std::thread::id where[2];
    for (int r = 0; r < 500; ++r) {
      rounds.run([&](std::size_t part) {
        ++counts[part];
        where[part] = std::this_thread::get_id();
      });
    }
    EXPECT_EQ(counts[0], 500u);
    EXPECT_EQ(counts[1], 500u);
    EXPECT_EQ(where[0], std::this_thread::get_id());
    EXPECT_EQ(where[1] != where[0], with_partner);
    for (const std::size_t failing : {0u, 1u}) {
      bool other_ended = false;
      EXPECT_THROW(rounds.run([&](std::size_t part) {
                     if (part == failing) throw std::runtime_error("part failed");
                     std::this_thread::sleep_for(std::chrono::milliseconds(2));
                     other_ended = true;
                   }),
                   std::runtime_error);
      EXPECT_TRUE(other_ended);
    }
    rounds.run([&](std::size_t part) { ++counts[part]; });
    EXPECT_EQ(counts[1], 501u);
  }
}

}  // namespace
}  // namespace varnel
