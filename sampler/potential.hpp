#pragma once
// The Hamiltonian of the sampler: Euclidean kinetic energy with a diagonal
// mass matrix. Creates states from positions, draws momenta and makes the
// leapfrog step with its divergence test.
//
// Every operation is generic over the math backend (`Math`: the CpuMath
// operations), the random generator and the collector, and is called
// statically. The arithmetic order of each operation is fixed: a run with a
// fixed seed must reproduce its bits.

#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "collector.hpp"
#include "divergence_info.hpp"
#include "mass_matrix.hpp"
#include "panic.hpp"
#include "sample_stats.hpp"
#include "state.hpp"
#include "vector.hpp"

namespace varnel {

// A leapfrog step that did not fail: the new state, or the record of a
// divergent step (whose state went back to the pool).
using LeapfrogStep = std::variant<State, DivergenceInfo>;

namespace detail {
inline std::vector<double> to_std_vector(const Vector& v) { return {v.begin(), v.end()}; }
}  // namespace detail

class EuclideanPotential {
 public:
  double max_energy_error = 1000.0;  // a step whose energy error exceeds this diverges
  double step_size = 1.0;            // leapfrog step size; written by the warm-up
  DiagMassMatrix mass_matrix;        // written by the warm-up

  // A new state at `position` with its log-density and gradient evaluated.
  // Fails with BadInitGrad when a gradient component is zero, infinite or NaN
  // (the state goes back to the pool), or LogpFailure when the density fails.
  // Momentum, velocity, index and kinetic energy keep the block's old values
  // until the next draw refreshes them. A position of the wrong length is a
  // Panic from the math backend.
  template <class Math>
  NutsResult<State> init_state(Math& math, StatePool& pool, std::span<const double> position) const {
    State s = pool.new_state();
    InnerState& in = s.expect_mut("State already in use");
    math.read_position(position, in.position);
    in.momentum_sum.fill_zero();
    in.gradient.fill_zero();
    auto logp = math.logp(in.position, in.gradient);
    if (!logp) return std::unexpected(NutsError::logp_failure(std::move(logp.error())));
    in.potential_energy = -*logp;
    if (!math.all_finite_nonzero(in.gradient)) return std::unexpected(NutsError::bad_init_grad());
    return s;
  }

  // Draws a fresh momentum p = z (.) inv_stds (z standard normal, one variate
  // per element in order) and sets velocity and kinetic energy from it.
  // Requires the only handle (Panic "called `Result::unwrap()` on an `Err`
  // value: StateInUse").
  template <class Math, class Rng>
  void randomize_momentum(Math& math, State& state, Rng& rng) const {
    InnerState& in = state.mut();
    math.fill_scaled_normal(rng, in.momentum, mass_matrix.inv_stds);
    math.multiply(mass_matrix.variance, in.momentum, in.velocity);
    in.kinetic_energy = 0.5 * math.vector_dot(in.momentum, in.velocity);
  }

  // One velocity-Verlet step of signed size sign(direction) * step_size from
  // `start`. Regular iff the energy error relative to `initial_energy` is at
  // most max_energy_error and finite; both outcomes are shown to the
  // collector. Fails only when the density fails.
  template <class Math, class C>
  NutsResult<LeapfrogStep> leapfrog(Math& math, StatePool& pool, const State& start,
                                    Direction direction, double initial_energy, C& collector) const {
    const InnerState& from = *start;
    State out_state = pool.new_state();
    InnerState& out = out_state.expect_mut("State already in use");
    const double epsilon = sign(direction) * step_size;
    const double half = 0.5 * epsilon;

    // Half kick along the log-density gradient, drift, then the second half
    // kick at the new position. The velocity is recomputed after each kick so
    // that the kinetic energy and the U-turn test use M^-1 p without divisions.
    math.axpy_out(from.gradient, from.momentum, half, out.momentum);
    math.multiply(mass_matrix.variance, out.momentum, out.velocity);
    math.axpy_out(out.velocity, from.position, epsilon, out.position);
    out.gradient.fill_zero();
    auto logp = math.logp(out.position, out.gradient);
    if (!logp) return std::unexpected(NutsError::logp_failure(std::move(logp.error())));
    out.potential_energy = -*logp;
    math.axpy(out.gradient, out.momentum, half);
    math.multiply(mass_matrix.variance, out.momentum, out.velocity);
    out.kinetic_energy = 0.5 * math.vector_dot(out.momentum, out.velocity);
    out.idx_in_trajectory = from.idx_in_trajectory + index_step(direction);

    // The backward half of a trajectory does not include the start's
    // momentum, so its sums begin afresh at index -1.
    if (out.idx_in_trajectory == -1) {
      out.momentum_sum = out.momentum;
    } else {
      check(out.idx_in_trajectory != 0, "out.idx_in_trajectory != 0");
      math.axpy_out(out.momentum, from.momentum_sum, 1.0, out.momentum_sum);
    }

    const double energy_error = (out.kinetic_energy + out.potential_energy) - initial_energy;
    if (energy_error <= max_energy_error &&
        std::abs(energy_error) < std::numeric_limits<double>::infinity()) {
      collector.observe_leapfrog(start, out_state, nullptr);
      return LeapfrogStep(std::move(out_state));
    }

    DivergenceInfo info;
    info.energy_error = energy_error;
    info.end_idx_in_trajectory = out.idx_in_trajectory;
    info.start_idx_in_trajectory = from.idx_in_trajectory;
    info.end_momentum = detail::to_std_vector(out.momentum);
    info.start_position = detail::to_std_vector(from.position);
    info.start_gradient = detail::to_std_vector(from.gradient);
    info.end_position = detail::to_std_vector(out.position);
    collector.observe_leapfrog(start, out_state, &info);
    return LeapfrogStep(std::move(info));
  }

  // A new state from the pool with every field equal to `state`'s. Panics
  // with "New state should not have references" if the pool hands out a
  // shared block (a broken pool invariant).
  template <class Math>
  State copy_state(Math& math, StatePool& pool, const State& state) const {
    (void)math;
    State c = pool.new_state();
    InnerState& to = c.expect_mut("New state should not have references");
    const InnerState& from = *state;
    to.position = from.position;
    to.momentum = from.momentum;
    to.momentum_sum = from.momentum_sum;
    to.gradient = from.gradient;
    to.velocity = from.velocity;
    to.idx_in_trajectory = from.idx_in_trajectory;
    to.kinetic_energy = from.kinetic_energy;
    to.potential_energy = from.potential_energy;
    return c;
  }

  // An empty pool for the backend's dimension with room for `capacity`
  // blocks before its free list grows.
  template <class Math>
  StatePool new_pool(Math& math, std::size_t capacity) const {
    return StatePool(math.dim(), capacity);
  }

  // The step size and, when stored, the inverse mass matrix diagonal.
  PotentialStats stats() const { return PotentialStats{step_size, mass_matrix.stats()}; }
};

// The operations the tree and the chain call on a potential.
template <class H, class Math, class Rng, class C>
concept Hamiltonian = requires(H& h, const H& ch, Math& math, StatePool& pool, const State& s,
                               State& ms, std::span<const double> position, Rng& rng, C& collector,
                               Direction direction, double energy) {
  { ch.init_state(math, pool, position) } -> std::same_as<NutsResult<State>>;
  { ch.randomize_momentum(math, ms, rng) } -> std::same_as<void>;
  { ch.leapfrog(math, pool, s, direction, energy, collector) } -> std::same_as<NutsResult<LeapfrogStep>>;
  { ch.copy_state(math, pool, s) } -> std::same_as<State>;
  { ch.new_pool(math, std::size_t{1}) } -> std::same_as<StatePool>;
  { ch.stats() } -> std::same_as<PotentialStats>;
  { h.step_size } -> std::convertible_to<double>;
  h.step_size = energy;
};

}  // namespace varnel
