#pragma once
// Counts the threads of this process, for tests that a run leaves none behind.
//
// A joined thread can still be listed for a moment: the kernel wakes the
// joiner as the thread lets go of its memory, and unlists the task only at the
// very end of its exit. So a count taken right after a join is checked with
// `thread_count_settling_to`, and a baseline with `settled_thread_count`.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <thread>

namespace varnel::testing {

inline std::size_t thread_count() {
  std::size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// Polls until the count drops to `baseline` or `limit` passes; returns the last count.
inline std::size_t thread_count_settling_to(std::size_t baseline,
                                            std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t n = thread_count();
  while (n > baseline && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    n = thread_count();
  }
  return n;
}

// The count once it held still for `quiet` (threads that ended before the
// call have left the list), or the last count when `limit` passes first.
inline std::size_t settled_thread_count(
    std::chrono::milliseconds quiet = std::chrono::milliseconds(50),
    std::chrono::milliseconds limit = std::chrono::milliseconds(3000)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::size_t n = thread_count();
  auto still_since = std::chrono::steady_clock::now();
  while (std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::size_t now = thread_count();
    if (now != n) {
      n = now;
      still_since = std::chrono::steady_clock::now();
    } else if (std::chrono::steady_clock::now() - still_since >= quiet) {
      break;
    }
  }
  return n;
}

}  // namespace varnel::testing
