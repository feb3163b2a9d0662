#include "alloc_counter.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace {
thread_local bool g_count_allocations = false;
thread_local std::size_t g_allocations = 0;

void* counted_alloc(std::size_t size, std::size_t alignment) {
  if (g_count_allocations) ++g_allocations;
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
}  // namespace

void* operator new(std::size_t size) { return counted_alloc(size, 0); }
void* operator new[](std::size_t size) { return counted_alloc(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return counted_alloc(size, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

namespace varnel::nuts_testing {

AllocationCounter::AllocationCounter() noexcept {
  g_allocations = 0;
  g_count_allocations = true;
}
AllocationCounter::~AllocationCounter() { g_count_allocations = false; }
std::size_t AllocationCounter::count() const noexcept { return g_allocations; }

namespace {

TEST(AllocationCounter, CountsPlainAndAlignedAllocationsWhileItLives) {
  std::size_t counted = 0;
  {
    AllocationCounter counter;
    auto plain = std::make_unique<int>(3);
    auto aligned = std::unique_ptr<double, void (*)(double*)>(
        static_cast<double*>(::operator new(64, std::align_val_t{128})),
        [](double* p) { ::operator delete(p, std::align_val_t{128}); });
    counted = counter.count();
  }
  EXPECT_EQ(counted, 2u);
  auto uncounted = std::make_unique<int>(5);
  AllocationCounter fresh;
  EXPECT_EQ(fresh.count(), 0u);
}

}  // namespace
}  // namespace varnel::nuts_testing
