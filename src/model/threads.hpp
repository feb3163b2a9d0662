#pragma once
// How many threads a parallel loop uses, and how it splits its work over
// them: contiguous blocks, so that each item's sums run in one order
// whatever the thread count.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <functional>
#include <mutex>
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

// score_in_blocks for work that may throw: every block runs, and the first
// failure of any block is re-thrown on the calling thread once all are joined.
template <class Work>
void run_in_blocks(std::size_t n, std::size_t block, const Work& work) {
  std::exception_ptr failure;
  std::mutex failure_lock;
  score_in_blocks(n, block, [&](std::size_t first, std::size_t last) {
    try {
      work(first, last);
    } catch (...) {
      const std::lock_guard lock(failure_lock);
      if (!failure) failure = std::current_exception();
    }
  });
  if (failure) std::rethrow_exception(failure);
}

// Rounds of work split in two parts, part 0 on the calling thread and part 1
// on a partner thread started once for all rounds: for loops whose rounds
// are too short to start a thread each (a thread costs tens of
// microseconds). A waiting thread spins briefly, then sleeps. Without a
// partner (not asked for, or it could not be started) the caller runs both
// parts.
class TwoPartRounds {
 public:
  explicit TwoPartRounds(bool with_partner) {
    if (!with_partner) return;
    try {
      partner_ = std::thread([this] { partner_loop(); });
    } catch (const std::exception&) {
      // No partner: run() does both parts.
    }
  }
  TwoPartRounds(const TwoPartRounds&) = delete;
  TwoPartRounds& operator=(const TwoPartRounds&) = delete;
  ~TwoPartRounds() {
    if (!partner_.joinable()) return;
    stop_ = true;
    post();
    partner_.join();
  }

  bool has_partner() const noexcept { return partner_.joinable(); }

  // Calls part(0) and part(1), returning when both ended; a failure of
  // either is rethrown here, after both ended.
  void run(const std::function<void(std::size_t)>& part) {
    const bool partner = partner_.joinable();
    std::uint32_t round = 0;
    failure_ = nullptr;
    if (partner) {
      part_ = &part;
      round = post();
    }
    std::exception_ptr mine;
    try {
      part(0);
    } catch (...) {
      mine = std::current_exception();
    }
    if (partner) {
      await(finished_, round - 1);
      part_ = nullptr;
    } else {
      try {
        part(1);
      } catch (...) {
        failure_ = std::current_exception();
      }
    }
    if (mine) std::rethrow_exception(mine);
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::uint32_t post() noexcept {
    const std::uint32_t round = posted_.fetch_add(1, std::memory_order_release) + 1;
    posted_.notify_one();
    return round;
  }

  // Returns once `value` is no longer `old`.
  static void await(const std::atomic<std::uint32_t>& value, std::uint32_t old) noexcept {
    const auto spin_until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    for (std::uint32_t i = 1;; ++i) {
      if (value.load(std::memory_order_acquire) != old) return;
      if (i % 64 == 0 && std::chrono::steady_clock::now() > spin_until) break;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
    while (value.load(std::memory_order_acquire) == old) value.wait(old, std::memory_order_acquire);
  }

  void partner_loop() noexcept {
    for (std::uint32_t seen = 0;;) {
      await(posted_, seen);
      seen = posted_.load(std::memory_order_acquire);
      if (stop_) return;
      try {
        (*part_)(1);
      } catch (...) {
        failure_ = std::current_exception();
      }
      finished_.store(seen, std::memory_order_release);
      finished_.notify_one();
    }
  }

  std::thread partner_;
  std::atomic<std::uint32_t> posted_{0};    // rounds posted by the caller
  std::atomic<std::uint32_t> finished_{0};  // rounds whose part 1 ended
  // Written by the caller before a post and read by the partner after it,
  // or written by the partner before it marks a round finished.
  const std::function<void(std::size_t)>* part_ = nullptr;
  std::exception_ptr failure_;
  bool stop_ = false;
};

}  // namespace varnel
