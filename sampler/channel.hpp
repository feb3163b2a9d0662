#pragma once
// Channels between the threads of a sampling run: many senders, one receiver,
// with disconnection in both directions.
//
// Two kinds:
//  - unbounded: `send` queues the item and returns at once;
//  - rendezvous (capacity 0): `send` returns only after a receiver took the item.
// When every sender is gone, the receiver still drains what was queued and
// only then reports `Disconnected`. When the receiver is gone, every send
// fails (a rendezvous send waiting for its taker fails too) and queued items are
// destroyed.
//
// Ownership: the senders and the receiver share one core; the core's mutex
// guards the queue, the counters and the flags. No user code runs under it:
// items are destroyed outside the lock.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <utility>

#include "error.hpp"

namespace varnel {

// Why a receive gave no item.
enum class RecvError {
  Empty,         // try_recv: nothing queued, senders remain
  Timeout,       // recv_timeout: nothing arrived in time, senders remain
  Disconnected,  // every sender is gone and the queue is drained
};

namespace channel_detail {

template <class T>
struct Core {
  explicit Core(bool is_rendezvous) : rendezvous(is_rendezvous) {}

  const bool rendezvous;
  std::mutex mutex;
  std::condition_variable item_or_hangup;   // receivers wait here
  std::condition_variable taken_or_hangup;  // rendezvous senders wait here
  // Items with their send ticket; tickets grow in queue order, so a rendezvous
  // send with ticket t is complete once `taken` reaches t.
  std::deque<std::pair<std::uint64_t, T>> queue;
  std::uint64_t next_ticket = 0;
  std::uint64_t taken = 0;
  std::size_t senders = 1;
  bool receiver_alive = true;
};

}  // namespace channel_detail

template <class T>
class Receiver;

// The sending end. Copyable: each copy counts as one sender.
template <class T>
class Sender {
 public:
  Sender() noexcept = default;
  Sender(const Sender& other) : core_(other.core_) {
    if (core_) {
      std::lock_guard lock(core_->mutex);
      ++core_->senders;
    }
  }
  Sender(Sender&& other) noexcept = default;
  Sender& operator=(const Sender& other) {
    if (this != &other) *this = Sender(other);
    return *this;
  }
  Sender& operator=(Sender&& other) noexcept {
    if (this != &other) {
      reset();
      core_ = std::move(other.core_);
    }
    return *this;
  }
  ~Sender() { reset(); }

  // Sends `value`. Unbounded: queues it. Rendezvous: blocks until the receiver
  // took it. Fails (dropping the value) when the receiver is gone, also while
  // waiting. Precondition: this sender was not reset.
  Status send(T value) {
    {
      std::unique_lock lock(core_->mutex);
      if (!core_->receiver_alive) return fail(kDisconnectedMessage);
      const std::uint64_t ticket = ++core_->next_ticket;
      core_->queue.emplace_back(ticket, std::move(value));
      core_->item_or_hangup.notify_one();
      if (!core_->rendezvous) return {};
      core_->taken_or_hangup.wait(
          lock, [&] { return core_->taken >= ticket || !core_->receiver_alive; });
      if (core_->taken >= ticket) return {};
      // The receiver left before taking the item; it moved the queue out.
    }
    return fail(kDisconnectedMessage);
  }

  // Drops this sender now; the receiver sees disconnection after the last one.
  void reset() noexcept {
    if (!core_) return;
    {
      std::lock_guard lock(core_->mutex);
      if (--core_->senders == 0) core_->item_or_hangup.notify_all();
    }
    core_.reset();
  }

  bool is_reset() const noexcept { return core_ == nullptr; }

  static constexpr const char* kDisconnectedMessage = "sending on a disconnected channel";

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(bool);
  explicit Sender(std::shared_ptr<channel_detail::Core<T>> core) noexcept : core_(std::move(core)) {}

  std::shared_ptr<channel_detail::Core<T>> core_;
};

// The receiving end. Move-only: a channel has one receiver.
template <class T>
class Receiver {
 public:
  Receiver() noexcept = default;
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  Receiver(Receiver&& other) noexcept = default;
  Receiver& operator=(Receiver&& other) noexcept {
    if (this != &other) {
      reset();
      core_ = std::move(other.core_);
    }
    return *this;
  }
  ~Receiver() { reset(); }

  // Blocks until an item arrives, or fails with Disconnected once every sender
  // is gone and the queue is empty.
  std::expected<T, RecvError> recv() {
    std::unique_lock lock(core_->mutex);
    core_->item_or_hangup.wait(lock, [&] { return !core_->queue.empty() || core_->senders == 0; });
    return take_locked();
  }

  // Takes a queued item without blocking: Empty when none is queued.
  std::expected<T, RecvError> try_recv() {
    std::unique_lock lock(core_->mutex);
    if (core_->queue.empty() && core_->senders != 0) return std::unexpected(RecvError::Empty);
    return take_locked();
  }

  // Like recv, but gives up with Timeout after `timeout` (zero or negative:
  // only what is queued now). A timeout too long for the clock waits without
  // bound.
  std::expected<T, RecvError> recv_timeout(std::chrono::nanoseconds timeout) {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(core_->mutex);
    const auto ready = [&] { return !core_->queue.empty() || core_->senders == 0; };
    if (timeout <= std::chrono::nanoseconds::zero()) {
      if (!ready()) return std::unexpected(RecvError::Timeout);
    } else {
      const auto now = Clock::now();
      if (timeout >= Clock::time_point::max() - now) {
        core_->item_or_hangup.wait(lock, ready);
      } else if (!core_->item_or_hangup.wait_until(lock, now + timeout, ready)) {
        return std::unexpected(RecvError::Timeout);
      }
    }
    return take_locked();
  }

  // Whether every sender is gone (items may still be queued). Never blocks on
  // anything but the channel's own lock.
  bool has_no_senders() const {
    std::lock_guard lock(core_->mutex);
    return core_->senders == 0;
  }

  // Drops the receiver now: pending and later sends fail, queued items go.
  void reset() noexcept {
    if (!core_) return;
    std::deque<std::pair<std::uint64_t, T>> dropped;
    {
      std::lock_guard lock(core_->mutex);
      core_->receiver_alive = false;
      dropped.swap(core_->queue);
      core_->taken_or_hangup.notify_all();
    }
    core_.reset();
  }

  bool is_reset() const noexcept { return core_ == nullptr; }

 private:
  template <class U>
  friend std::pair<Sender<U>, Receiver<U>> make_channel(bool);
  explicit Receiver(std::shared_ptr<channel_detail::Core<T>> core) noexcept
      : core_(std::move(core)) {}

  // Precondition: lock held, and an item is queued or no sender is left.
  std::expected<T, RecvError> take_locked() {
    if (core_->queue.empty()) return std::unexpected(RecvError::Disconnected);
    T value = std::move(core_->queue.front().second);
    core_->queue.pop_front();
    ++core_->taken;
    if (core_->rendezvous) core_->taken_or_hangup.notify_all();
    return value;
  }

  std::shared_ptr<channel_detail::Core<T>> core_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_channel(bool rendezvous) {
  auto core = std::make_shared<channel_detail::Core<T>>(rendezvous);
  return {Sender<T>(core), Receiver<T>(core)};
}

// A channel whose sends never block.
template <class T>
std::pair<Sender<T>, Receiver<T>> unbounded_channel() {
  return make_channel<T>(false);
}

// A channel of capacity 0: each send waits until the receiver took its item.
template <class T>
std::pair<Sender<T>, Receiver<T>> rendezvous_channel() {
  return make_channel<T>(true);
}

}  // namespace varnel
