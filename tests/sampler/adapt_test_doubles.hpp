#pragma once
// Small stand-ins for the math backend, states, pool and potential, just
// enough for the warm-up code: a potential whose leapfrog step has an energy
// error given by a function of the signed step size.

#include <cmath>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "divergence_info.hpp"
#include "error.hpp"
#include "panic.hpp"
#include "state.hpp"
#include "vector.hpp"

namespace varnel::testing {

struct FakeMath {
  std::size_t n = 2;
  std::size_t dim() const { return n; }
};

struct FakeInner {
  Vector momentum, position, velocity, momentum_sum, gradient;
  std::int64_t idx_in_trajectory = 0;
  double kinetic_energy = 0.0;
  double potential_energy = 0.0;
};

// A shared handle like the sampler's states (without pooling).
class FakeState {
 public:
  FakeState() = default;
  explicit FakeState(std::size_t n)
      : inner_(std::make_shared<FakeInner>(
            FakeInner{Vector(n), Vector(n), Vector(n), Vector(n), Vector(n), 0, 0.0, 0.0})) {}
  const FakeInner& operator*() const { return *inner_; }
  const FakeInner* operator->() const { return inner_.get(); }
  FakeInner& mut() {
    if (inner_.use_count() != 1) panic_unwrap_err("StateInUse");
    return *inner_;
  }
  FakeInner& expect_mut(const char* message) {
    if (inner_.use_count() != 1) panic(message);
    return *inner_;
  }
  std::int64_t index_in_trajectory() const { return inner_->idx_in_trajectory; }
  long use_count() const { return inner_.use_count(); }

 private:
  std::shared_ptr<FakeInner> inner_;
};

// A state at `position` with `gradient`, index `idx` and the given energies.
inline FakeState make_state(std::vector<double> position, std::vector<double> gradient,
                            std::int64_t idx = 0, double kinetic = 0.0, double potential = 0.0) {
  FakeState s(position.size());
  auto& m = s.mut();
  std::copy(position.begin(), position.end(), m.position.begin());
  std::copy(gradient.begin(), gradient.end(), m.gradient.begin());
  m.idx_in_trajectory = idx;
  m.kinetic_energy = kinetic;
  m.potential_energy = potential;
  return s;
}

struct FakePool {
  std::size_t capacity = 0;
};

struct FakeMassMatrix {
  Vector variance;
  Vector inv_stds;
};

struct FakeRng {
  std::uint64_t draws = 0;
};

// What the fake potential did, for the tests to inspect.
struct PotentialLog {
  std::vector<std::size_t> pool_capacities;
  std::vector<double> leapfrog_step_sizes;  // signed
  std::uint64_t momentum_draws = 0;
};

struct FakePotential {
  double max_energy_error = 1000.0;
  double step_size = 1.0;
  FakeMassMatrix mass_matrix;
  // Energy error of a leapfrog step of signed size eps; nullopt = sampler error.
  std::function<std::optional<double>(double eps)> energy_error = [](double) {
    return std::optional<double>(0.0);
  };
  double kinetic_after_momentum = 0.5;
  PotentialLog log;

  explicit FakePotential(std::size_t n = 2) : mass_matrix{Vector(n), Vector(n)} {}

  FakePool new_pool(FakeMath&, std::size_t capacity) {
    log.pool_capacities.push_back(capacity);
    return FakePool{capacity};
  }
  FakeState copy_state(FakeMath& math, FakePool&, const FakeState& s) {
    FakeState c(math.dim());
    c.mut() = *s;
    return c;
  }
  template <class Rng>
  void randomize_momentum(FakeMath&, FakeState& s, Rng& rng) {
    rng.draws += 1;
    log.momentum_draws += 1;
    s.mut().kinetic_energy = kinetic_after_momentum;
  }
  template <class Collector>
  std::expected<std::optional<FakeState>, Error> leapfrog(FakeMath& math, FakePool&,
                                                          const FakeState& start,
                                                          Direction dir,
                                                          double initial_energy,
                                                          Collector& collector) {
    const double eps = dir == Direction::Forward ? step_size : -step_size;
    log.leapfrog_step_sizes.push_back(eps);
    const std::optional<double> error = energy_error(eps);
    if (!error) return std::unexpected(Error("fake density failure"));
    FakeState out(math.dim());
    auto& m = out.mut();
    m = *start;
    m.idx_in_trajectory = start->idx_in_trajectory + (dir == Direction::Forward ? 1 : -1);
    m.kinetic_energy = initial_energy + *error - start->potential_energy;
    const bool regular = *error <= max_energy_error && std::abs(*error) < INFINITY;
    if (!regular) {
      DivergenceInfo info;
      info.energy_error = *error;
      collector.observe_leapfrog(start, out, &info);
      return std::optional<FakeState>();
    }
    collector.observe_leapfrog(start, out, nullptr);
    return std::optional<FakeState>(out);
  }
};

}  // namespace varnel::testing
