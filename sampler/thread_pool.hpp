#pragma once
// A small pool of named worker threads and a scope that owns a group of tasks.
//
// Workers are named "<prefix><index>"; the operating system keeps the first 15
// bytes of that name, the full name stays readable through
// `current_thread_name()` for diagnostics. Queued jobs start first-in
// first-out. `ThreadPool::scope` runs a body on a worker with a `Scope`; tasks
// spawned in the scope run on the workers (and on the body's worker once the
// body returned and waits for them). A task that throws -- a Panic, a failed
// allocation, anything -- ends alone: the scope writes a diagnostic with the
// thread's name, keeps the first failure, and re-raises it on the thread that
// called `scope` after every task ended. Nothing terminates the process.
//
// Ownership and locks: the pool owns its workers and joins them in its
// destructor. One mutex, `ThreadPool::mutex_`, guards the job queue, the stop
// flag and every scope's pending count and held failure; no job runs under it.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

namespace varnel {

// The full name of the calling pool worker ("tressle-worker-3"), or "" on a
// thread that is not a pool worker.
const std::string& current_thread_name() noexcept;

// Writes the diagnostic of a failure on the calling thread to standard error:
// the thread's full name, the failure's message and, for a Panic, its place.
void write_failure_diagnostic(const std::exception_ptr& failure) noexcept;

class ThreadPool;

// A group of tasks whose end the scope's owner waits for. Created only by
// ThreadPool::scope; lives on the stack of the worker that runs the body.
class Scope {
 public:
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  // Queues `task` behind every job queued before it. The task may throw; its
  // failure is held by the scope. Throws std::bad_alloc when memory runs out.
  template <class F>
  void spawn(F&& task);

 private:
  friend class ThreadPool;
  explicit Scope(ThreadPool& pool) noexcept : pool_(pool) {}

  void record_failure(std::exception_ptr failure) noexcept;
  void finish_one() noexcept;
  // Blocks until every spawned task ended, running queued jobs meanwhile.
  void wait() noexcept;
  std::exception_ptr take_failure() noexcept;

  ThreadPool& pool_;
  std::size_t pending_ = 0;      // guarded by pool_.mutex_
  std::exception_ptr failure_;  // guarded by pool_.mutex_; the first one wins
};

class ThreadPool {
 public:
  // More workers than this is refused as an error rather than exhausting the
  // process's threads one by one.
  static constexpr std::size_t kMaxThreads = 1024;

  // Starts `num_threads` workers named name_prefix + index (0-based). Fails
  // when num_threads is 0 or above kMaxThreads, or when the system refuses a
  // thread; workers already started are then stopped and joined.
  // With `quiet`, failed tasks write no diagnostic (see quiet_failures()).
  static Result<std::unique_ptr<ThreadPool>> create(std::size_t num_threads,
                                                    std::string name_prefix, bool quiet = false);

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  // Stops and joins every worker. Precondition: no scope is running.
  ~ThreadPool();

  std::size_t num_threads() const noexcept { return workers_.size(); }

  // Runs body(scope) on a worker and blocks until the body returned and every
  // task spawned in the scope ended. Returns the body's result, or re-raises
  // the first failure of the body or of a task.
  template <class F>
  std::invoke_result_t<F&, Scope&> scope(F&& body);

 private:
  friend class Scope;
  ThreadPool() = default;

  void worker_loop(std::string name) noexcept;
  void push(std::move_only_function<void()> job);

  std::mutex mutex_;
  std::condition_variable changed_;  // a job was queued, a task ended, or stop
  std::deque<std::move_only_function<void()>> queue_;  // guarded by mutex_
  bool stopping_ = false;                              // guarded by mutex_
  bool quiet_ = false;                                 // set before any worker starts
  std::vector<std::thread> workers_;
};

template <class F>
void Scope::spawn(F&& task) {
  std::move_only_function<void()> job =
      [this, fn = std::optional<std::decay_t<F>>(std::forward<F>(task))]() mutable noexcept {
        try {
          (*fn)();
        } catch (...) {
          record_failure(std::current_exception());
        }
        // What the task owns (channel ends, shared records) goes before the
        // scope may see it as ended.
        fn.reset();
        finish_one();
      };
  std::lock_guard lock(pool_.mutex_);
  pool_.queue_.push_back(std::move(job));
  ++pending_;
  pool_.changed_.notify_all();
}

template <class F>
std::invoke_result_t<F&, Scope&> ThreadPool::scope(F&& body) {
  using R = std::invoke_result_t<F&, Scope&>;
  using Value = std::conditional_t<std::is_void_v<R>, bool, R>;
  // The outcome travels through this frame under a mutex rather than through
  // a promise: the failure is moved, never shared, so only this thread ever
  // releases it. The job touches nothing of this frame after `done` is set.
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  std::optional<Value> value;
  std::exception_ptr failure;
  push([this, &body, &mutex, &finished, &done, &value, &failure]() noexcept {
    Scope scope(*this);
    std::optional<Value> result;
    try {
      if constexpr (std::is_void_v<R>) {
        body(scope);
        result.emplace(true);
      } else {
        result.emplace(body(scope));
      }
    } catch (...) {
      scope.record_failure(std::current_exception());
    }
    scope.wait();
    std::exception_ptr held = scope.take_failure();
    std::lock_guard lock(mutex);
    if (held) {
      failure = std::move(held);
    } else {
      value = std::move(result);
    }
    done = true;
    finished.notify_all();
  });
  std::unique_lock lock(mutex);
  finished.wait(lock, [&] { return done; });
  if (failure) std::rethrow_exception(std::move(failure));
  if constexpr (!std::is_void_v<R>) return std::move(*value);
}

}  // namespace varnel
