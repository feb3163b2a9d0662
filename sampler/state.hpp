#pragma once
// Phase-space points of a trajectory and the pool that recycles them.
//
// Ownership: a State is a shared, single-threaded, reference-counted handle to
// one heap block holding an InnerState. Blocks come from a StatePool and go
// back to its free list when their last handle is dropped, keeping their
// vectors (and old values). A block links to its pool's storage without
// owning it: when every pool handle is gone, returning blocks are freed
// instead. Nothing here is thread-safe; a chain's states and pool belong to
// the one thread that runs the chain.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error.hpp"
#include "panic.hpp"
#include "vector.hpp"

namespace varnel {

// The side of the trajectory a step goes to. Forward has sign +1, Backward -1.
enum class Direction : std::uint8_t { Forward = 0, Backward = 1 };

// +1.0 for Forward, -1.0 for Backward.
constexpr double sign(Direction d) noexcept { return d == Direction::Forward ? 1.0 : -1.0; }
// +1 for Forward, -1 for Backward: the change of the index along the trajectory.
constexpr std::int64_t index_step(Direction d) noexcept { return d == Direction::Forward ? 1 : -1; }

// The fields of one point of a trajectory.
struct InnerState {
  Vector momentum;      // p
  Vector position;      // q
  Vector velocity;      // variance (.) p
  Vector momentum_sum;  // sum of momenta from the start (index 0, or -1 backwards) to here
  Vector gradient;      // gradient of the log-density at q
  std::int64_t idx_in_trajectory = 0;
  double kinetic_energy = 0.0;
  double potential_energy = 0.0;  // -log-density at q

  // kinetic_energy + potential_energy.
  double energy() const noexcept { return kinetic_energy + potential_energy; }
};

// The error of mutating a state that has another handle.
struct StateInUse {
  static constexpr const char* kDebugText = "StateInUse";
};

namespace detail {

struct StateBlock;

// The free list behind a pool. Counted by pool handles (`pool_handles`) and
// by the blocks that link to it (`links`); it is deleted when both are zero.
struct StateStorage {
  std::vector<StateBlock*> free_list;
  std::size_t dim = 0;
  std::size_t pool_handles = 1;
  std::size_t links = 0;
};

// One heap block: the value, its counts and the link to its storage.
struct StateBlock {
  InnerState inner;
  std::uint32_t strong = 1;
  std::uint32_t weak = 1;  // WeakState handles, plus one held by all strong handles together
  StateStorage* storage = nullptr;
};

// Called when the last strong handle goes: returns the block to a live pool,
// or destroys its value (and the block, unless WeakState handles remain).
void release_last_strong(StateBlock* block) noexcept;

}  // namespace detail

class WeakState;
class StatePool;

// A shared handle to a pooled InnerState. Copying shares, moving transfers.
// A moved-from or default-constructed handle is empty and may only be
// assigned to or destroyed.
class State {
 public:
  State() noexcept = default;
  State(const State& other) noexcept;
  State(State&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  State& operator=(const State& other) noexcept;
  State& operator=(State&& other) noexcept;
  ~State();

  const InnerState& operator*() const noexcept;
  const InnerState* operator->() const noexcept;

  // Mutable access; requires this to be the only handle (no other strong or
  // weak handle). Fails with Panic "called `Result::unwrap()` on an `Err`
  // value: StateInUse".
  InnerState& mut();
  // Mutable access, or StateInUse when another handle exists.
  std::expected<InnerState*, StateInUse> try_mut() noexcept;
  // Mutable access for a state just taken from a pool; fails with
  // Panic(message) when another handle exists.
  InnerState& expect_mut(const char* message);

  // idx_in_trajectory.
  std::int64_t index_in_trajectory() const noexcept;
  // Makes this the start of a trajectory: index 0, momentum_sum = momentum.
  // Requires the only handle (as mut()).
  void make_init_point();

  // Number of strong handles to the block (0 for an empty handle).
  std::size_t use_count() const noexcept;
  // Number of WeakState handles to the block.
  std::size_t weak_count() const noexcept;
  bool is_empty() const noexcept { return block_ == nullptr; }
  // Whether both handles point to the same block.
  bool same_block(const State& other) const noexcept { return block_ == other.block_; }

 private:
  friend class StatePool;
  friend class WeakState;
  explicit State(detail::StateBlock* block) noexcept : block_(block) {}
  void release() noexcept;

  detail::StateBlock* block_ = nullptr;
};

// A non-owning handle: keeps the block's memory but not its value alive, and
// while it exists the block cannot be mutated or recycled.
class WeakState {
 public:
  explicit WeakState(const State& state) noexcept;
  WeakState(const WeakState& other) noexcept;
  WeakState& operator=(const WeakState&) = delete;
  ~WeakState();

  // A strong handle when the value is still alive.
  std::optional<State> lock() const noexcept;

 private:
  detail::StateBlock* block_;
};

// A shared handle to a free list of state blocks for vectors of one length.
class StatePool {
 public:
  // An empty pool for states of dimension `dim` whose free list has room for
  // `capacity` blocks before it grows.
  StatePool(std::size_t dim, std::size_t capacity);
  StatePool(const StatePool& other) noexcept;
  StatePool(StatePool&& other) noexcept : storage_(std::exchange(other.storage_, nullptr)) {}
  StatePool& operator=(const StatePool&) = delete;
  StatePool& operator=(StatePool&& other) noexcept;
  ~StatePool();

  // A state with a single handle: the most recently returned block with its
  // old values, or a new block of zero vectors, index 0 and zero energies.
  State new_state();

  std::size_t dim() const noexcept;
  // Blocks waiting in the free list.
  std::size_t free_count() const noexcept;

 private:
  void release() noexcept;
  detail::StateStorage* storage_;
};

// The error kinds of the sampler core.
class NutsError {
 public:
  enum class Kind : std::uint8_t { LogpFailure, SerializeFailure, BadInitGrad };

  // The density failed; carries its error.
  static NutsError logp_failure(Error cause) { return NutsError(Kind::LogpFailure, std::move(cause)); }
  static NutsError serialize_failure() noexcept { return NutsError(Kind::SerializeFailure); }
  static NutsError bad_init_grad() noexcept { return NutsError(Kind::BadInitGrad); }

  Kind kind() const noexcept { return kind_; }
  // The density's error of a LogpFailure, else nullptr.
  const Error* logp_error() const noexcept { return cause_ ? &*cause_ : nullptr; }

  // "Logp function returned error: <message>", "Could not serialize sample
  // stats" or "Could not initialize state because of bad initial gradient."
  std::string display() const;
  // "LogpFailure(<debug text of the error>)", "SerializeFailure" or "BadInitGrad".
  std::string debug_text() const;
  // An Error with the display text, and the density's error as its cause.
  Error to_error() const;

 private:
  explicit NutsError(Kind kind) noexcept : kind_(kind) {}
  NutsError(Kind kind, Error cause) : kind_(kind), cause_(std::move(cause)) {}

  Kind kind_;
  std::optional<Error> cause_;
};

// Handle operations inline: they run several times per leapfrog step.
inline State::State(const State& other) noexcept : block_(other.block_) {
  if (block_ != nullptr) ++block_->strong;
}
inline State& State::operator=(const State& other) noexcept {
  if (other.block_ != nullptr) ++other.block_->strong;
  release();
  block_ = other.block_;
  return *this;
}
inline State& State::operator=(State&& other) noexcept {
  if (this != &other) {
    release();
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}
inline State::~State() { release(); }
inline void State::release() noexcept {
  detail::StateBlock* b = std::exchange(block_, nullptr);
  if (b == nullptr) return;
  if (b->strong == 1) {
    detail::release_last_strong(b);
  } else {
    --b->strong;
  }
}
inline const InnerState& State::operator*() const noexcept { return block_->inner; }
inline const InnerState* State::operator->() const noexcept { return &block_->inner; }
inline std::expected<InnerState*, StateInUse> State::try_mut() noexcept {
  if (block_->strong != 1 || block_->weak != 1) return std::unexpected(StateInUse{});
  return &block_->inner;
}
inline InnerState& State::mut() {
  auto inner = try_mut();
  if (!inner) [[unlikely]] panic_unwrap_err(StateInUse::kDebugText);
  return **inner;
}
inline InnerState& State::expect_mut(const char* message) {
  auto inner = try_mut();
  if (!inner) [[unlikely]] panic(message);
  return **inner;
}
inline std::int64_t State::index_in_trajectory() const noexcept {
  return block_->inner.idx_in_trajectory;
}
inline void State::make_init_point() {
  InnerState& s = mut();
  s.idx_in_trajectory = 0;
  s.momentum_sum = s.momentum;
}
inline std::size_t State::use_count() const noexcept {
  return block_ == nullptr ? 0 : block_->strong;
}
inline std::size_t State::weak_count() const noexcept {
  return block_ == nullptr ? 0 : block_->weak - 1;
}

// A value or a NutsError.
template <class T>
using NutsResult = std::expected<T, NutsError>;

// The generalised U-turn criterion on the span between two states of one
// trajectory, from their momentum sums: true when the summed momentum points
// against either end's velocity. Fails with Panic "assertion failed: a < b"
// when both states have the same index.
template <class Math>
bool is_turning(const State& self, Math& math, const State& other) {
  // The state with the smaller index is the left end; on a tie, other.
  const bool self_is_left = self.index_in_trajectory() < other.index_in_trajectory();
  const InnerState& left = self_is_left ? *self : *other;
  const InnerState& right = self_is_left ? *other : *self;
  const std::int64_t a = left.idx_in_trajectory;
  const std::int64_t b = right.idx_in_trajectory;
  check(a < b, "a < b");

  // The momentum sum over a..b is formed elementwise inside the kernel; a
  // sum starts at index 0 going forward and at -1 going backward.
  std::pair<double, double> s;
  if (a >= 0 && b >= 0) {
    s = math.scalar_prods3(right.momentum_sum, left.momentum_sum, left.momentum, right.velocity,
                           left.velocity);
  } else if (a < 0 && b >= 0) {
    s = math.scalar_prods2(right.momentum_sum, left.momentum_sum, right.velocity, left.velocity);
  } else {
    check((a < 0) & (b < 0), "(a < 0) & (b < 0)");
    s = math.scalar_prods3(left.momentum_sum, right.momentum_sum, right.momentum, right.velocity,
                           left.velocity);
  }
  return s.first < 0.0 || s.second < 0.0;
}

}  // namespace varnel
