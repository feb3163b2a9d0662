#pragma once
// The design of largest information gain over a continuous box of one or two
// stimulus dimensions (and, for a conditions model, over every condition):
// a coarse grid over the box, then a pattern search from the best few coarse
// points that lie apart. Each search evaluates the points around its centre
// at a spacing h (the 2 or 8 points of the stencil {−h, 0, h} per
// dimension, clipped to the box): it moves to the best of them when that is
// better, else halves h, until h is below a tolerance in every dimension.
// Every evaluation scores the same prepared samples, so the result is a
// deterministic function of the samples whatever the thread count: the
// coarse grid is split over the threads, and the searches run in step, each
// round's new points of all of them split over two. Python-free.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "eig/scorer.hpp"
#include "model/argument_error.hpp"

namespace varnel {

struct BoxSearchSettings {
  std::vector<double> lower;        // one bound per continuous dimension (1 or 2)
  std::vector<double> upper;
  std::size_t coarse = 0;           // coarse grid points per dimension (>= 2)
  std::size_t conditions = 0;       // condition indices 0 .. conditions−1 appended as a column; 0 for none
  std::size_t searches = 3;         // coarse points the pattern search starts from
  double tolerance = 1.25e-4;       // the final spacing, as a share of each dimension's width
  std::size_t max_rounds = 200;     // a bound on the rounds, never reached by a smooth score
};

// More coarse designs than this are refused: the grid is meant to be coarse.
inline constexpr double kMaxCoarseDesigns = 1e7;

struct BoxSearchResult {
  std::vector<double> design;  // the point, then the condition index when there are conditions
  double score = 0.0;
  std::size_t evaluations = 0;  // designs scored, coarse grid included
};

namespace box_search_detail {

// NaN scores lose every comparison.
inline bool better(double a, double b) noexcept { return a > b || (!std::isnan(a) && std::isnan(b)); }

// numpy.linspace(lo, hi, n): i·step + lo, the last point exactly hi.
inline std::vector<double> linspace(double lo, double hi, std::size_t n) {
  std::vector<double> out(n);
  const double step = (hi - lo) / static_cast<double>(n - 1);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<double>(i) * step + lo;
  out[n - 1] = hi;
  return out;
}

// Whether coarse points i and j (flat indices over conditions × grid) lie
// within two steps of each other in the same condition.
inline bool neighbours(std::size_t i, std::size_t j, std::size_t per_condition, std::size_t side,
                       std::size_t dims) noexcept {
  if (i / per_condition != j / per_condition) return false;
  const std::size_t a = i % per_condition, b = j % per_condition;
  const auto apart = [](std::size_t u, std::size_t v) { return u > v ? u - v : v - u; };
  if (dims == 1) return apart(a, b) <= 2;
  return apart(a / side, b / side) <= 2 && apart(a % side, b % side) <= 2;
}

}  // namespace box_search_detail

// Checks the settings (ArgumentError naming the argument) and runs the
// search with `scorer`'s samples on `threads` threads (0 = one per core).
template <ResponseModel M>
BoxSearchResult maximise_over_box(const DesignScorer<M>& scorer, const BoxSearchSettings& settings,
                                  unsigned threads = 0) {
  using namespace box_search_detail;
  const std::size_t dims = settings.lower.size();
  if (dims < 1 || dims > 2 || settings.upper.size() != dims) {
    throw ArgumentError("arguments 'lower' and 'upper': expected one or two bounds each, of equal length");
  }
  for (std::size_t k = 0; k < dims; ++k) {
    if (!std::isfinite(settings.lower[k]) || !std::isfinite(settings.upper[k]) ||
        !(settings.lower[k] < settings.upper[k])) {
      throw ArgumentError("arguments 'lower' and 'upper': finite bounds with every lower bound below its upper bound");
    }
  }
  if (settings.coarse < 2) throw ArgumentError("argument 'coarse': at least 2 points per dimension");
  const double coarse_designs = std::pow(static_cast<double>(settings.coarse), static_cast<double>(dims)) *
                                static_cast<double>(std::max<std::size_t>(1, settings.conditions));
  if (coarse_designs > kMaxCoarseDesigns) {
    throw ArgumentError("argument 'coarse': " + std::to_string(settings.coarse) + " points per dimension make more than " +
                        std::to_string(static_cast<long long>(kMaxCoarseDesigns)) + " coarse designs");
  }
  const std::size_t columns = dims + (settings.conditions > 0 ? 1 : 0);
  if (columns != M::kDesignColumns) {
    throw ArgumentError("argument 'lower': the box and the conditions give designs of " + std::to_string(columns) +
                        " columns, " + std::string(M::kClassName) + " reads " +
                        std::to_string(M::kDesignColumns));
  }
  const std::size_t levels = std::max<std::size_t>(1, settings.conditions);

  // The coarse grid, row-major over the dimensions, repeated per condition.
  std::vector<std::vector<double>> axes;
  std::vector<double> step(dims), width(dims);
  for (std::size_t k = 0; k < dims; ++k) {
    axes.push_back(linspace(settings.lower[k], settings.upper[k], settings.coarse));
    width[k] = settings.upper[k] - settings.lower[k];
    step[k] = width[k] / static_cast<double>(settings.coarse - 1);
  }
  const std::size_t per_condition = dims == 1 ? settings.coarse : settings.coarse * settings.coarse;
  std::vector<double> designs;
  designs.reserve(levels * per_condition * columns);
  for (std::size_t c = 0; c < levels; ++c) {
    for (std::size_t i = 0; i < per_condition; ++i) {
      if (dims == 1) {
        designs.push_back(axes[0][i]);
      } else {
        designs.push_back(axes[0][i / settings.coarse]);
        designs.push_back(axes[1][i % settings.coarse]);
      }
      if (settings.conditions > 0) designs.push_back(static_cast<double>(c));
    }
  }
  // The scores of `rows` designs stored row after row from `flat`.
  const auto score = [&](const double* flat, std::size_t rows, unsigned score_threads) {
    const MatrixView view{flat, rows, columns, static_cast<std::ptrdiff_t>(columns), 1};
    return scorer.score(view, score_threads);
  };
  BoxSearchResult out;
  const std::vector<double> coarse = score(designs.data(), designs.size() / columns, threads);
  out.evaluations = coarse.size();

  // The best coarse points that lie apart, best first (the first of equal ones).
  std::vector<std::size_t> order(coarse.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return better(coarse[a], coarse[b]); });
  struct Search {
    std::vector<double> centre;  // the continuous coordinates
    double condition;
    double value;
    std::vector<double> h;
    bool active = true;
    std::size_t rounds = 0;
    // This round's points (each scored once), and for each the index of the
    // same point in the last round or −1; its new points start at `first`
    // in the round's batch of every search.
    std::vector<double> designs, last_designs, last_scores;
    std::vector<std::ptrdiff_t> known;
    std::size_t first = 0;
  };
  std::vector<Search> searches;
  std::vector<std::size_t> chosen;
  for (const std::size_t i : order) {
    if (chosen.size() == settings.searches) break;
    bool near = false;
    for (const std::size_t j : chosen) near = near || neighbours(i, j, per_condition, settings.coarse, dims);
    if (near) continue;
    chosen.push_back(i);
    Search s;
    s.centre.assign(designs.begin() + static_cast<std::ptrdiff_t>(i * columns),
                    designs.begin() + static_cast<std::ptrdiff_t>(i * columns + dims));
    s.condition = static_cast<double>(i / per_condition);
    s.value = coarse[i];
    for (std::size_t k = 0; k < dims; ++k) s.h.push_back(step[k] / 2.0);
    searches.push_back(std::move(s));
  }

  // The stencil's offsets in units of h, the centre left out.
  std::vector<std::vector<double>> offsets;
  for (int a = -1; a <= 1; ++a) {
    if (dims == 1) {
      if (a != 0) offsets.push_back({static_cast<double>(a)});
      continue;
    }
    for (int b = -1; b <= 1; ++b) {
      if (a != 0 || b != 0) offsets.push_back({static_cast<double>(a), static_cast<double>(b)});
    }
  }
  const auto same_point = [&](const double* a, const double* b) { return std::equal(a, a + dims, b); };
  std::vector<double> point(dims);
  // Appends the points of search s's next round that need a score to `batch`.
  const auto prepare = [&](Search& s, std::vector<double>& batch) {
    s.designs.clear();
    s.known.clear();
    s.first = batch.size() / columns;
    for (const auto& offset : offsets) {
      for (std::size_t k = 0; k < dims; ++k) {
        point[k] = std::clamp(s.centre[k] + offset[k] * s.h[k], settings.lower[k], settings.upper[k]);
      }
      // Clipping at an edge can repeat the centre or another point: each is scored once.
      bool repeated = point == s.centre;
      for (std::size_t r = 0; r < s.designs.size() / columns && !repeated; ++r) {
        repeated = same_point(point.data(), s.designs.data() + r * columns);
      }
      if (repeated) continue;
      s.designs.insert(s.designs.end(), point.begin(), point.end());
      if (settings.conditions > 0) s.designs.push_back(s.condition);
      // After a move, some points of the stencil are points of the last
      // round: their scores are known (a score is a function of the design).
      std::ptrdiff_t from = -1;
      for (std::size_t r = 0; r < s.last_scores.size() && from < 0; ++r) {
        if (same_point(point.data(), s.last_designs.data() + r * columns)) from = static_cast<std::ptrdiff_t>(r);
      }
      s.known.push_back(from);
      if (from < 0) batch.insert(batch.end(), s.designs.end() - static_cast<std::ptrdiff_t>(columns), s.designs.end());
    }
  };
  // Moves search s to the best point of its round when that is better, else halves h.
  const auto finish = [&](Search& s, const std::vector<double>& batch_scores) {
    std::vector<double> scores(s.known.size());
    for (std::size_t r = 0, fresh = s.first; r < scores.size(); ++r) {
      scores[r] = s.known[r] >= 0 ? s.last_scores[static_cast<std::size_t>(s.known[r])] : batch_scores[fresh++];
    }
    std::swap(s.last_designs, s.designs);
    s.last_scores = scores;
    s.active = ++s.rounds < settings.max_rounds;
    std::ptrdiff_t best = -1;
    for (std::size_t r = 0; r < scores.size(); ++r) {
      if (best < 0 || better(scores[r], scores[static_cast<std::size_t>(best)])) best = static_cast<std::ptrdiff_t>(r);
    }
    if (best >= 0 && better(scores[static_cast<std::size_t>(best)], s.value)) {
      const auto r = static_cast<std::size_t>(best);
      s.value = scores[r];
      std::copy_n(s.last_designs.begin() + static_cast<std::ptrdiff_t>(r * columns), dims, s.centre.begin());
      return;
    }
    bool fine = true;
    for (std::size_t k = 0; k < dims; ++k) {
      s.h[k] /= 2.0;
      fine = fine && s.h[k] < settings.tolerance * width[k];
    }
    s.active = s.active && !fine;
  };
  // The searches run in step: each round scores the new points of every
  // active search as one batch, split in two parts over two threads. A
  // search's path depends on its own scores alone, so the result is the
  // same on any number of threads; in step, no thread waits while another
  // has a long search left.
  TwoPartRounds rounds((threads == 0 ? default_threads() : threads) >= 2);
  std::vector<double> batch, batch_scores;
  while (true) {
    batch.clear();
    bool any = false;
    for (Search& s : searches) {
      if (!s.active) continue;
      prepare(s, batch);
      any = true;
    }
    if (!any) break;
    const std::size_t k = batch.size() / columns;
    out.evaluations += k;
    batch_scores.assign(k, 0.0);
    // The split that ends soonest (both parts on one thread: no split).
    std::size_t split = k;
    if (rounds.has_partner()) {
      const auto cost = [&](std::size_t at) { return std::max(score_call_cost(at), score_call_cost(k - at)); };
      const auto off_centre = [&](std::size_t at) { return at > k / 2 ? at - k / 2 : k / 2 - at; };
      for (std::size_t at = 0; at <= k; ++at) {
        if (cost(at) < cost(split) || (cost(at) == cost(split) && off_centre(at) < off_centre(split))) split = at;
      }
    }
    rounds.run([&](std::size_t part) {
      const std::size_t first = part == 0 ? 0 : split, last = part == 0 ? split : k;
      if (first == last) return;
      const std::vector<double> part_scores = score(batch.data() + first * columns, last - first, 1);
      std::copy(part_scores.begin(), part_scores.end(), batch_scores.begin() + static_cast<std::ptrdiff_t>(first));
    });
    for (Search& s : searches) {
      if (s.active) finish(s, batch_scores);
    }
  }
  std::size_t winner = 0;
  for (std::size_t b = 1; b < searches.size(); ++b) {
    if (better(searches[b].value, searches[winner].value)) winner = b;
  }
  const Search& w = searches[winner];
  out.design = w.centre;
  if (settings.conditions > 0) out.design.push_back(w.condition);
  out.score = w.value;
  return out;
}

}  // namespace varnel
