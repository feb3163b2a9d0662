#pragma once
// How many threads a parallel loop uses, and how it splits its work over
// them: contiguous blocks, so that each item's sums run in one order
// whatever the thread count.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <thread>
#include <vector>

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

// How many threads are worth starting for `pairs` (design, sample) pairs over
// `designs` designs: at most `threads` (0 = default_threads()), at least one, and
// none for fewer than `min_pairs_per_thread` pairs each.
inline std::size_t useful_workers(unsigned threads, std::uint64_t pairs, std::uint64_t min_pairs_per_thread,
                                  std::size_t designs) noexcept {
  if (threads == 0) threads = default_threads();
  const std::uint64_t useful = std::max<std::uint64_t>(1, pairs / min_pairs_per_thread);
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, std::min<std::uint64_t>({threads, useful, designs})));
}

// Calls score(first, last) over [0, n) in blocks of `block` items (block >= 1):
// one new thread per block after the first, which the calling thread takes.
// Where a thread cannot be started, the calling thread scores the rest
// itself once the started ones are joined.
template <class Score>
void score_in_blocks(std::size_t n, std::size_t block, const Score& score) {
  std::vector<std::thread> workers;
  std::size_t next = block;
  try {
    for (; next < n; next += block) workers.emplace_back(score, next, std::min(n, next + block));
  } catch (const std::exception&) {
    // Could not start a thread: handled below.
  }
  score(std::size_t{0}, std::min(block, n));
  for (auto& w : workers) w.join();
  if (next < n) score(next, n);
}

}  // namespace varnel
