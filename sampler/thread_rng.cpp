#include "thread_rng.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

#include "panic.hpp"

namespace varnel {
namespace {

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

Status urandom_entropy(std::span<std::uint8_t> dest) {
  int fd = -1;
  do {
    fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return fail(os_error_text(errno));
  std::size_t done = 0;
  while (done < dest.size()) {
    const ssize_t got = ::read(fd, dest.data() + done, dest.size() - done);
    if (got < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return fail(os_error_text(err));
    }
    if (got == 0) {
      ::close(fd);
      return fail("unexpected end of /dev/urandom");
    }
    done += static_cast<std::size_t>(got);
  }
  ::close(fd);
  return {};
}

void count_fork_in_child() noexcept {
  thread_rng_detail::fork_generation.fetch_add(1, std::memory_order_relaxed);
}

void register_fork_handler() {
  static std::once_flag once;
  std::call_once(once, [] { ::pthread_atfork(nullptr, nullptr, &count_fork_in_child); });
}

ChaCha12Rng keyed_from(EntropySource entropy) {
  std::array<std::uint8_t, 32> key{};
  if (Status s = entropy(key); !s) {
    panic("could not initialize thread_rng: " + s.error().debug_text());
  }
  return ChaCha12Rng::from_key(key);
}

}  // namespace

Status os_entropy(std::span<std::uint8_t> dest) {
  std::size_t done = 0;
  while (done < dest.size()) {
    const ssize_t got = ::getrandom(dest.data() + done, dest.size() - done, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOSYS || errno == EPERM) return urandom_entropy(dest);
      return fail(os_error_text(errno));
    }
    done += static_cast<std::size_t>(got);
  }
  return {};
}

ThreadRng::ThreadRng(EntropySource entropy)
    : entropy_(entropy), core_((register_fork_handler(), keyed_from(entropy))),
      fork_generation_(current_fork_generation()) {}

bool ThreadRng::try_rekey() noexcept {
  try {
    std::array<std::uint8_t, 32> key{};
    if (!entropy_(key)) return false;
    core_ = ChaCha12Rng::from_key(key);
    return true;
  } catch (...) {
    return false;  // even an allocation failure while describing the error
  }
}

void ThreadRng::refill() {
  const std::uint64_t generation = current_fork_generation();
  if (generation != fork_generation_ || bytes_since_key_ >= kRekeyBytes) {
    // Whether or not the new key came, count afresh: retrying on every block
    // would make each draw a system call while the entropy source is failing.
    (void)try_rekey();
    fork_generation_ = generation;
    bytes_since_key_ = 0;
  }
  for (auto& w : buffer_) w = core_.next_u32();
  bytes_since_key_ += sizeof(buffer_);
  index_ = 0;
}

ThreadRng& thread_rng() {
  thread_local ThreadRng rng(&os_entropy);
  return rng;
}

}  // namespace varnel
