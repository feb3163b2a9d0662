#include "poison_mutex.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace varnel {
namespace {

TEST(PoisonMutex, AFailureWhileHeldPoisonsEveryLaterLock) {
  PoisonMutex<std::vector<int>> values;
  try {
    auto guard = values.lock("unused");
    guard->push_back(1);
    throw std::runtime_error("failed mid-update");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(values.is_poisoned());
  for (const char* message : {"Poisoned lock", "Could not unlock trace lock. Poisoned mutex"}) {
    SCOPED_TRACE(message);
    try {
      auto guard = values.lock(message);
      FAIL() << "a poisoned lock was taken";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), message);
    }
  }
}

TEST(PoisonMutex, ReleasedBeforeTheFailureStaysUsable) {
  PoisonMutex<int> value(1);
  try {
    auto guard = value.lock("unused");
    *guard = 2;
    guard.unlock();
    throw std::runtime_error("after unlock");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(value.is_poisoned());
  EXPECT_EQ(*value.lock("unused"), 2);
}

// A lock taken and released inside a destructor that runs during unwinding
// did not see the failure happen while it was held.
TEST(PoisonMutex, TakenDuringUnrelatedUnwindingIsNotPoisoned) {
  PoisonMutex<int> value(1);
  struct Cleanup {
    PoisonMutex<int>& value;
    ~Cleanup() { *value.lock("unused") = 3; }
  };
  try {
    Cleanup cleanup{value};
    throw std::runtime_error("unrelated");
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(value.is_poisoned());
  EXPECT_EQ(*value.lock("unused"), 3);
}

}  // namespace
}  // namespace varnel
