#pragma once
// The per-thread generator behind the Python-level random draws: ChaCha12
// keyed with 32 bytes of operating-system entropy, re-keyed after every 64 KiB
// of output and in the child after a fork. Not reproducible by design.
//
// Ownership: one ThreadRng per OS thread (thread_local), touched only by its
// thread. The only shared state is the process-wide fork counter, written by
// the pthread_atfork child handler and read with relaxed loads.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

#include "chacha.hpp"
#include "error.hpp"

namespace varnel {

// Fills `dest` with entropy, or fails with the system's error text.
using EntropySource = Status (*)(std::span<std::uint8_t> dest);

// The operating system's entropy: getrandom, or /dev/urandom where the call is
// unavailable (ENOSYS) or refused (EPERM).
Status os_entropy(std::span<std::uint8_t> dest);

namespace thread_rng_detail {
// Incremented in the child process after every fork.
inline std::atomic<std::uint64_t> fork_generation{0};
}  // namespace thread_rng_detail

class ThreadRng {
 public:
  static constexpr std::size_t kRekeyBytes = 64 * 1024;

  // Keys the generator from `entropy`; a failure is a Panic with
  // "could not initialize thread_rng: <error>".
  explicit ThreadRng(EntropySource entropy);

  // Next keystream word; re-keys first when 64 KiB have been produced under
  // the current key or the process forked since. A failed re-key keeps the key.
  std::uint32_t next_u32() {
    if (index_ >= kBlockWords || fork_generation_ != current_fork_generation()) refill();
    return buffer_[index_++];
  }
  // Two consecutive words, the first as the low half.
  std::uint64_t next_u64() {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return low | (high << 32);
  }

 private:
  static constexpr std::size_t kBlockWords = 16;
  static std::uint64_t current_fork_generation() noexcept {
    return thread_rng_detail::fork_generation.load(std::memory_order_relaxed);
  }
  void refill();
  bool try_rekey() noexcept;

  EntropySource entropy_;
  ChaCha12Rng core_;
  std::array<std::uint32_t, kBlockWords> buffer_{};
  std::size_t index_ = kBlockWords;
  std::size_t bytes_since_key_ = 0;
  std::uint64_t fork_generation_ = 0;
};

// The calling thread's generator, created on first use.
ThreadRng& thread_rng();

}  // namespace varnel
