#pragma once
// Counting allocator for the sampler test binary: every global operator new
// adds to a per-thread counter while an AllocationCounter lives in that
// thread. Allocation is otherwise unchanged (defined in alloc_counter_test.cpp).

#include <cstddef>

namespace varnel::nuts_testing {

// Counts the allocations made in this thread while it lives. Not nestable.
class AllocationCounter {
 public:
  AllocationCounter() noexcept;
  ~AllocationCounter();
  AllocationCounter(const AllocationCounter&) = delete;
  AllocationCounter& operator=(const AllocationCounter&) = delete;

  std::size_t count() const noexcept;
};

}  // namespace varnel::nuts_testing
