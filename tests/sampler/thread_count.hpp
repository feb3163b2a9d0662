#pragma once
// Counts the threads of this process, for tests that a run leaves none behind.

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

}  // namespace varnel::testing
