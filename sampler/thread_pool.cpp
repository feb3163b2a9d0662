#include "thread_pool.hpp"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <system_error>

#include "panic.hpp"

namespace varnel {
namespace {

// Linux keeps at most 15 bytes of a thread's name (plus the terminator).
constexpr std::size_t kOsThreadNameBytes = 15;

thread_local std::string t_thread_name;

void name_this_thread(const std::string& name) noexcept {
  try {
    t_thread_name = name;
    const std::string os_name = name.substr(0, kOsThreadNameBytes);
    // A refused name is cosmetic; the worker runs on.
    (void)pthread_setname_np(pthread_self(), os_name.c_str());
  } catch (...) {
  }
}

}  // namespace

const std::string& current_thread_name() noexcept { return t_thread_name; }

void write_failure_diagnostic(const std::exception_ptr& failure) noexcept {
  if (!failure) return;
  const char* thread = t_thread_name.empty() ? "<unnamed>" : t_thread_name.c_str();
  try {
    std::rethrow_exception(failure);
  } catch (const Panic& p) {
    std::fprintf(stderr, "varnel: internal failure in thread '%s' at %s:%u:\n%s\n", thread,
                 p.where().file_name(), static_cast<unsigned>(p.where().line()),
                 p.message().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "varnel: internal failure in thread '%s':\n%s\n", thread, e.what());
  } catch (...) {
    std::fprintf(stderr, "varnel: internal failure in thread '%s': unknown exception\n", thread);
  }
}

void Scope::record_failure(std::exception_ptr failure) noexcept {
  if (!pool_.quiet_) write_failure_diagnostic(failure);
  std::lock_guard lock(pool_.mutex_);
  if (!failure_) failure_ = std::move(failure);
}

void Scope::finish_one() noexcept {
  std::lock_guard lock(pool_.mutex_);
  --pending_;
  pool_.changed_.notify_all();
}

void Scope::wait() noexcept {
  std::unique_lock lock(pool_.mutex_);
  while (pending_ > 0) {
    if (!pool_.queue_.empty()) {
      // Help instead of idling: with every other worker busy (or a pool of
      // one), the scope's queued tasks would otherwise never start.
      std::move_only_function<void()> job = std::move(pool_.queue_.front());
      pool_.queue_.pop_front();
      lock.unlock();
      job();
      job = nullptr;
      lock.lock();
      continue;
    }
    pool_.changed_.wait(lock);
  }
}

std::exception_ptr Scope::take_failure() noexcept {
  std::lock_guard lock(pool_.mutex_);
  return std::exchange(failure_, nullptr);
}

Result<std::unique_ptr<ThreadPool>> ThreadPool::create(std::size_t num_threads,
                                                       std::string name_prefix, bool quiet) {
  if (num_threads == 0) return fail("a thread pool needs at least one thread");
  if (num_threads > kMaxThreads) {
    return fail("cannot start " + std::to_string(num_threads) + " worker threads (at most " +
                std::to_string(kMaxThreads) + ")");
  }
  std::unique_ptr<ThreadPool> pool(new ThreadPool());
  pool->quiet_ = quiet;
  pool->workers_.reserve(num_threads);
  for (std::size_t i = 0; i < num_threads; ++i) {
    std::string name = name_prefix + std::to_string(i);
    try {
      pool->workers_.emplace_back(
          [p = pool.get(), name]() mutable noexcept { p->worker_loop(std::move(name)); });
    } catch (const std::exception& e) {
      // The destructor stops and joins the workers started so far.
      return fail("could not spawn thread " + name + ": " + e.what());
    }
  }
  return pool;
}

ThreadPool::~ThreadPool() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  for (std::thread& worker : workers_) worker.join();
}

void ThreadPool::push(std::move_only_function<void()> job) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(job));
  changed_.notify_all();
}

void ThreadPool::worker_loop(std::string name) noexcept {
  name_this_thread(name);
  std::unique_lock lock(mutex_);
  while (true) {
    changed_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    std::move_only_function<void()> job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    // Every queued job catches its own failures.
    job();
    job = nullptr;
    lock.lock();
  }
}

}  // namespace varnel
