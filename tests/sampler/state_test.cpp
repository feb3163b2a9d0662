#include "state.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "nuts_doubles.hpp"
#include "panic.hpp"

namespace varnel {
namespace {

using nuts_testing::panic_message;

using nuts_testing::make_math;
using nuts_testing::set_point;

TEST(StatePool, ReusesMostRecentlyReturnedBlockWithOldValues) {
  StatePool pool(2, 1);
  State a = pool.new_state();
  State b = pool.new_state();
  a.mut().position[0] = 1.5;
  a.mut().potential_energy = 7.0;
  b.mut().position[0] = 2.5;
  const InnerState* a_block = &*a;
  const InnerState* b_block = &*b;
  a = State();  // a returns first,
  b = State();  // then b: b is on top of the free list
  EXPECT_EQ(pool.free_count(), 2u);

  State c = pool.new_state();
  EXPECT_EQ(&*c, b_block);
  EXPECT_EQ(c->position[0], 2.5);
  State d = pool.new_state();
  EXPECT_EQ(&*d, a_block);
  EXPECT_EQ(d->position[0], 1.5);
  EXPECT_EQ(d->potential_energy, 7.0);
  EXPECT_EQ(pool.free_count(), 0u);
}

TEST(StatePool, SharedBlockReturnsOnlyWithItsLastHandle) {
  StatePool pool(1, 1);
  State a = pool.new_state();
  {
    State copy = a;
    EXPECT_EQ(a.use_count(), 2u);
  }
  EXPECT_EQ(pool.free_count(), 0u);
  a = State();
  EXPECT_EQ(pool.free_count(), 1u);
}

TEST(StatePool, StatesOutliveTheirPool) {
  // Dropping the pool first frees the waiting blocks; live states stay usable
  // and are freed (not pooled) when dropped. Leaks or double frees show under
  // the sanitizer build.
  std::vector<State> states;
  {
    StatePool pool(2, 0);
    for (int i = 0; i < 3; ++i) states.push_back(pool.new_state());
    states.pop_back();  // one block waits in the free list
    EXPECT_EQ(pool.free_count(), 1u);
    StatePool second_handle = pool;
    states.push_back(second_handle.new_state());
    EXPECT_EQ(pool.free_count(), 0u);
    states.erase(states.begin());  // waits in the free list when the pool goes
    EXPECT_EQ(pool.free_count(), 1u);
  }
  states[0].mut().position[1] = 3.0;
  EXPECT_EQ(states[0]->position[1], 3.0);
  State shared = states[1];
  states.clear();
  EXPECT_EQ(shared.use_count(), 1u);
}

TEST(State, MutationNeedsTheOnlyHandle) {
  StatePool pool(1, 1);
  State a = pool.new_state();
  State b = a;
  EXPECT_FALSE(a.try_mut().has_value());
  EXPECT_EQ(panic_message([&] { a.mut(); }),
            "called `Result::unwrap()` on an `Err` value: StateInUse");
  EXPECT_EQ(panic_message([&] { a.expect_mut("State already in use"); }), "State already in use");
  EXPECT_EQ(panic_message([&] { a.make_init_point(); }),
            "called `Result::unwrap()` on an `Err` value: StateInUse");
  b = State();
  EXPECT_TRUE(a.try_mut().has_value());
}

TEST(State, WeakHandleBlocksMutationAndRecycling) {
  StatePool pool(1, 1);
  State a = pool.new_state();
  {
    WeakState weak(a);
    EXPECT_EQ(a.weak_count(), 1u);
    EXPECT_FALSE(a.try_mut().has_value());
    std::optional<State> strong = weak.lock();
    ASSERT_TRUE(strong.has_value());
    EXPECT_EQ(a.use_count(), 2u);
    strong.reset();
    a = State();
    // The value died with its last strong handle; it was not pooled.
    EXPECT_FALSE(weak.lock().has_value());
    EXPECT_EQ(pool.free_count(), 0u);
  }
  State b = pool.new_state();
  EXPECT_TRUE(b.try_mut().has_value());
}

TEST(NutsError, Texts) {
  struct Row {
    NutsError error;
    const char* display;
    const char* debug;
  };
  const Row rows[] = {
      {NutsError::logp_failure(Error("outer", Error("inner"))),
       "Logp function returned error: outer", "LogpFailure(outer: inner)"},
      {NutsError::serialize_failure(), "Could not serialize sample stats", "SerializeFailure"},
      {NutsError::bad_init_grad(), "Could not initialize state because of bad initial gradient.",
       "BadInitGrad"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.debug);
    EXPECT_EQ(row.error.display(), row.display);
    EXPECT_EQ(row.error.debug_text(), row.debug);
    EXPECT_EQ(row.error.to_error().message(), row.display);
  }
  EXPECT_EQ(rows[0].error.to_error().cause()->message(), "outer");
  EXPECT_EQ(rows[2].error.to_error().cause(), nullptr);
}

// One-dimensional states: each row's sum formula gives a turning answer that
// the two wrong formulas would not.
TEST(IsTurning, SignCasesOfTheIndices) {
  struct End {
    std::int64_t index;
    double momentum_sum, momentum, velocity;
  };
  struct Row {
    const char* label;
    End left, right;
    bool turning;
  };
  const Row rows[] = {
      // 0 <= a < b: rho = R.sum - L.sum + L.p
      {"both forward, turning", {1, 5.0, 1.0, 1.0}, {3, 3.0, 7.0, 1.0}, true},
      {"both forward, straight", {1, 5.0, 1.0, 1.0}, {3, 6.0, 7.0, 1.0}, false},
      // a < 0 <= b: rho = R.sum + L.sum
      {"across the start, turning", {-2, -4.0, 9.0, 1.0}, {1, 3.0, 9.0, 1.0}, true},
      {"across the start, straight", {-2, -1.0, -9.0, 1.0}, {0, 3.0, -9.0, 1.0}, false},
      // a < b < 0: rho = L.sum - R.sum + R.p
      {"both backward, turning", {-4, 2.0, 9.0, 1.0}, {-1, 4.0, 1.0, 1.0}, true},
      {"both backward, straight", {-4, 4.0, -9.0, 1.0}, {-1, 2.0, 1.0, 1.0}, false},
      // the product with either velocity counts
      {"left velocity against", {0, 0.0, 1.0, -1.0}, {1, 2.0, 1.0, 1.0}, true},
      {"right velocity against", {0, 0.0, 1.0, 1.0}, {1, 2.0, 1.0, -1.0}, true},
      {"zero product", {0, 0.0, 1.0, 0.0}, {1, 2.0, 1.0, 0.0}, false},
      {"NaN product", {0, 0.0, 1.0, std::nan("")}, {1, 2.0, 1.0, 1.0}, false},
  };
  auto math = make_math(nuts_testing::GaussianDensity::standard(1));
  StatePool pool(1, 2);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    State l = pool.new_state();
    State r = pool.new_state();
    set_point(l, row.left.index, {row.left.momentum_sum}, {row.left.momentum}, {row.left.velocity});
    set_point(r, row.right.index, {row.right.momentum_sum}, {row.right.momentum},
              {row.right.velocity});
    EXPECT_EQ(is_turning(l, math, r), row.turning);
    EXPECT_EQ(is_turning(r, math, l), row.turning);  // ordered by index, not by argument
  }
}

TEST(IsTurning, EqualIndicesAreAnInternalFailure) {
  auto math = make_math(nuts_testing::GaussianDensity::standard(1));
  StatePool pool(1, 1);
  State s = pool.new_state();
  EXPECT_EQ(panic_message([&] { (void)is_turning(s, math, s); }), "assertion failed: a < b");
}

}  // namespace
}  // namespace varnel
