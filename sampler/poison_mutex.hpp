#pragma once
// A mutex that owns the value it guards and remembers a failure while held: a
// guard destroyed by an exception unwinding through it poisons the mutex, and
// every later `lock` is an internal failure (Panic) with the message its
// caller fixes for that place. The value of a poisoned mutex may be half
// updated, so nobody reads it again.

#include <exception>
#include <mutex>
#include <source_location>
#include <string>
#include <utility>

#include "panic.hpp"

namespace varnel {

template <class T>
class PoisonMutex {
 public:
  // Exclusive access to the value while it lives.
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    Guard(Guard&&) = delete;
    Guard& operator=(Guard&&) = delete;
    ~Guard() { unlock(); }

    T& operator*() const noexcept { return owner_->value_; }
    T* operator->() const noexcept { return &owner_->value_; }

    // Releases the lock early; poisons it when an exception thrown while it
    // was held is unwinding.
    void unlock() noexcept {
      if (!lock_.owns_lock()) return;
      if (std::uncaught_exceptions() > exceptions_at_lock_) owner_->poisoned_ = true;
      lock_.unlock();
    }

   private:
    friend class PoisonMutex;
    // Throws with the lock released (the unique_lock member unwinds).
    Guard(PoisonMutex& owner, const char* poisoned_message, std::source_location where)
        : owner_(&owner), lock_(owner.mutex_), exceptions_at_lock_(std::uncaught_exceptions()) {
      if (owner_->poisoned_) panic(poisoned_message, where);
    }

    PoisonMutex* owner_;
    std::unique_lock<std::mutex> lock_;
    int exceptions_at_lock_;
  };

  template <class... Args>
  explicit PoisonMutex(Args&&... args) : value_(std::forward<Args>(args)...) {}
  PoisonMutex(const PoisonMutex&) = delete;
  PoisonMutex& operator=(const PoisonMutex&) = delete;

  // Blocks until the lock is free and takes it. Throws Panic(poisoned_message)
  // when a thread failed while holding it.
  [[nodiscard]] Guard lock(const char* poisoned_message,
                           std::source_location where = std::source_location::current()) {
    return Guard(*this, poisoned_message, where);
  }

  bool is_poisoned() {
    std::lock_guard lock(mutex_);
    return poisoned_;
  }

 private:
  std::mutex mutex_;
  bool poisoned_ = false;  // guarded by mutex_
  T value_;                // guarded by mutex_
};

}  // namespace varnel
