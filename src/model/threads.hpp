#pragma once
// How many threads a parallel loop uses when its caller leaves it open.

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace varnel {

// VARNEL_NUM_THREADS when it is a positive integer, else one per core. Read
// on every call, so that a worker process that shares the cores with others
// (planning runs one observer per process) can lower it after import.
inline unsigned default_threads() noexcept {
  if (const char* text = std::getenv("VARNEL_NUM_THREADS")) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end != text && *end == '\0' && value > 0) return static_cast<unsigned>(std::min(value, 1024L));
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace varnel
