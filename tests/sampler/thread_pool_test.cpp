#include "thread_pool.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <array>
#include <atomic>
#include <functional>
#include <condition_variable>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "panic.hpp"
#include "thread_count.hpp"

namespace varnel {
namespace {

using namespace std::chrono_literals;

std::string os_thread_name() {
  std::array<char, 64> name{};
  pthread_getname_np(pthread_self(), name.data(), name.size());
  return name.data();
}

TEST(ThreadPool, WorkersCarryTheirFullNameAndTheSystemItsFirst15Bytes) {
  const struct {
    const char* prefix;
    const char* os_name_of_1;
  } cases[] = {
      {"tressle-worker-", "tressle-worker-"},  // exactly 15 bytes: the index is cut off
      {"pool-", "pool-1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    auto pool = ThreadPool::create(3, c.prefix);
    ASSERT_TRUE(pool.has_value());
    std::mutex mutex;
    std::set<std::pair<std::string, std::string>> seen;  // (full, os)
    (*pool)->scope([&](Scope& scope) {
      for (int i = 0; i < 30; ++i) {
        scope.spawn([&] {
          std::this_thread::sleep_for(1ms);
          std::lock_guard lock(mutex);
          seen.emplace(current_thread_name(), os_thread_name());
        });
      }
    });
    const std::string prefix = c.prefix;
    for (const auto& [full, os] : seen) {
      ASSERT_EQ(full.rfind(prefix, 0), 0u) << full;
      const int index = std::stoi(full.substr(prefix.size()));
      EXPECT_TRUE(index >= 0 && index < 3) << full;
      EXPECT_EQ(os, full.substr(0, 15));
      if (index == 1) {
        EXPECT_EQ(os, c.os_name_of_1);
      }
    }
    EXPECT_GE(seen.size(), 2u) << "the tasks ran on one worker only";
  }
  EXPECT_EQ(current_thread_name(), "");
}

TEST(ThreadPool, QueuedTasksStartFirstInFirstOut) {
  auto pool = ThreadPool::create(2, "fifo-");
  ASSERT_TRUE(pool.has_value());
  constexpr int kTasks = 40;
  std::mutex mutex;
  std::condition_variable all_started;
  std::vector<int> order;
  (*pool)->scope([&](Scope& scope) {
    for (int i = 0; i < kTasks; ++i) {
      scope.spawn([&, i] {
        std::lock_guard lock(mutex);
        order.push_back(i);
        all_started.notify_all();
      });
    }
    // The body holds its worker until every task started, so the one other
    // worker takes them one by one from the queue.
    std::unique_lock lock(mutex);
    all_started.wait(lock, [&] { return order.size() == kTasks; });
  });
  std::vector<int> expected(kTasks);
  for (int i = 0; i < kTasks; ++i) expected[i] = i;
  EXPECT_EQ(order, expected);
}

// A failing task ends alone; the scope re-raises the first failure only
// after the other tasks ended.
TEST(ThreadPool, ScopeReRaisesAFailureAfterEveryTaskEnded) {
  const struct {
    const char* label;
    std::function<void()> failing;
    std::function<void(std::exception_ptr)> check;
  } cases[] = {
      {"panic", [] { panic("task broke"); },
       [](std::exception_ptr e) {
         try {
           std::rethrow_exception(e);
         } catch (const Panic& p) {
           EXPECT_EQ(p.message(), "task broke");
         } catch (...) {
           ADD_FAILURE() << "not a Panic";
         }
       }},
      {"bad_alloc", [] { throw std::bad_alloc(); },
       [](std::exception_ptr e) {
         try {
           std::rethrow_exception(e);
         } catch (const std::bad_alloc&) {
         } catch (...) {
           ADD_FAILURE() << "not bad_alloc";
         }
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto pool = ThreadPool::create(3, "scope-");
    ASSERT_TRUE(pool.has_value());
    std::atomic<bool> slow_task_ended{false};
    std::exception_ptr raised;
    try {
      (*pool)->scope([&](Scope& scope) {
        scope.spawn([&] {
          std::this_thread::sleep_for(100ms);
          slow_task_ended.store(true);
        });
        scope.spawn(c.failing);
        return 5;
      });
    } catch (...) {
      raised = std::current_exception();
    }
    ASSERT_TRUE(raised != nullptr);
    EXPECT_TRUE(slow_task_ended.load());
    c.check(raised);
  }
}

TEST(ThreadPool, ABodyFailureAlsoWaitsForTheTasks) {
  auto pool = ThreadPool::create(2, "body-");
  ASSERT_TRUE(pool.has_value());
  std::atomic<bool> task_ended{false};
  EXPECT_THROW((*pool)->scope([&](Scope& scope) {
    scope.spawn([&] {
      std::this_thread::sleep_for(50ms);
      task_ended.store(true);
    });
    throw std::runtime_error("body broke");
  }),
               std::runtime_error);
  EXPECT_TRUE(task_ended.load());
}

// With a single worker busy with the body, the tasks run once the body has
// returned and waits for them.
TEST(ThreadPool, APoolOfOneStillRunsTheScopesTasks) {
  auto pool = ThreadPool::create(1, "solo-");
  ASSERT_TRUE(pool.has_value());
  std::atomic<int> ran{0};
  const int result = (*pool)->scope([&](Scope& scope) {
    for (int i = 0; i < 5; ++i) scope.spawn([&] { ran.fetch_add(1); });
    return 3;
  });
  EXPECT_EQ(result, 3);
  EXPECT_EQ(ran.load(), 5);
}

TEST(ThreadPool, RefusesNoWorkersAndAbsurdlyMany) {
  EXPECT_EQ(ThreadPool::create(0, "x-").error().message(), "a thread pool needs at least one thread");
  EXPECT_EQ(ThreadPool::create(ThreadPool::kMaxThreads + 1, "x-").error().message(),
            "cannot start 1025 worker threads (at most 1024)");
}

TEST(ThreadPool, DestructionJoinsEveryWorker) {
  const std::size_t baseline = testing::settled_thread_count();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    {
      auto pool = ThreadPool::create(4, "join-");
      ASSERT_TRUE(pool.has_value());
      // A started thread is listed before its creation returns.
      EXPECT_EQ(testing::thread_count(), baseline + 4);
    }
    EXPECT_EQ(testing::thread_count_settling_to(baseline), baseline);
  }
}

}  // namespace
}  // namespace varnel
