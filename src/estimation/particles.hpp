#pragma once
// The native steps of a sequential Monte Carlo update over a cloud of
// parameter points: the log-likelihood of some trials at every point (the
// reweighting), and NUTS transitions that leave the posterior given all the
// data invariant (the move that spreads resampled points out again).
//
// Points are natural-scale rows of the model's dimension, row-major. A move
// runs each point as its own short chain, placed at the point and drawn from
// its own generator stream (keyed by the seed, the round and the point's
// index), with a fixed step size and a diagonal mass matrix estimated from the
// points themselves: no warm-up, so every transition is invariant for the
// posterior, and the result does not depend on how the points are split over
// threads. Python-free.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/array_view.hpp"
#include "model/psychometric.hpp"
#include "model/two_param_psychometric.hpp"

namespace varnel {

struct MoveSettings {
  std::uint64_t num_steps = 2;       // rounds of one NUTS transition per point
  std::uint64_t maxdepth = 10;
  double max_energy_error = 1000.0;  // an energy error beyond this is a divergence
  double step_size = 1.0;            // of the first round; positive and finite
  double target_accept = 0.8;        // what the step size aims at between rounds
  std::uint64_t seed = 0;
  // Past this point in time no further point is moved and the move fails.
  std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

struct MoveResult {
  std::vector<double> points;    // the moved points, natural scale, row-major
  double step_size = 0.0;        // adapted after the last round: start the next move here
  double mean_accept = 0.0;      // mean tree acceptance over every transition
  std::uint64_t divergences = 0; // transitions whose trajectory diverged
  std::uint64_t unplaced = 0;    // points whose gradient could not start a chain (left as they were)
};

// The log-likelihood of the (row, observation) pairs at each point: one value
// per point. Precondition: points.size() is a multiple of the model's dim();
// the design has column 0 when there are pairs (else an index failure).
std::vector<double> log_likelihood_rows(const PsychometricModel& model, std::span<const double> points,
                                        const MatrixView& design, const BoolVectorView& observations);
std::vector<double> log_likelihood_rows(const TwoParameterPsychometricModel& model,
                                        std::span<const double> points, const MatrixView& design,
                                        const BoolVectorView& observations);

// `settings.num_steps` rounds of one NUTS transition for every point, under
// the posterior of the model given the data. Between rounds the step size is
// scaled by exp(2·(mean acceptance − target)), at most halved or doubled. On
// `threads` threads (0 = one per core); the result is the same for any count.
// Precondition: every point inside the model's support, dim() values each.
// Panics with "Timeout" when the deadline passes before the last point of the
// last round is moved.
MoveResult move_points(const PsychometricModel& model, const MatrixView& design,
                       const BoolVectorView& observations, std::span<const double> points,
                       const MoveSettings& settings, unsigned threads = 0);
MoveResult move_points(const TwoParameterPsychometricModel& model, const MatrixView& design,
                       const BoolVectorView& observations, std::span<const double> points,
                       const MoveSettings& settings, unsigned threads = 0);

}  // namespace varnel
