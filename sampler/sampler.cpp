#include "sampler.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include <arrow/memory_pool.h>

#include "panic.hpp"

namespace varnel {
namespace {

// Control threads of runs whose handle was dropped. Each is joined once it
// has ended (checked whenever another thread is handed over). Those still
// running when the process exits are joined before any static object is torn
// down, by the exiting main thread (see ExitWaiter); the keeper's own
// destructor joins whatever is left when the process ends another way.
class BackgroundThreads {
 public:
  static BackgroundThreads& instance() {
    // Runs the keeper waits for still allocate through Arrow, so Arrow's
    // allocator must be set up before the keeper (and so torn down after it),
    // even when no run has allocated anything yet.
    static const bool arrow_ready = [] {
      (void)arrow::default_memory_pool();
      return true;
    }();
    (void)arrow_ready;
    static BackgroundThreads keeper;
    return keeper;
  }

  // The keeper when it was made, else null; never makes it.
  static BackgroundThreads* existing() noexcept { return made_.load(std::memory_order_acquire); }

  void adopt(std::thread thread, std::shared_ptr<std::atomic<bool>> finished) noexcept {
    std::vector<std::thread> ended;
    {
      std::lock_guard lock(mutex_);
      for (auto it = threads_.begin(); it != threads_.end();) {
        if (it->second->load(std::memory_order_acquire)) {
          ended.push_back(std::move(it->first));
          it = threads_.erase(it);
        } else {
          ++it;
        }
      }
      try {
        threads_.emplace_back(std::move(thread), std::move(finished));
      } catch (...) {
        // No room to keep it: let it run on unwatched rather than fail.
        thread.detach();
      }
    }
    for (std::thread& t : ended) t.join();
  }

  // Joins every kept thread, running or ended.
  void join_all() noexcept {
    std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> taken;
    {
      std::lock_guard lock(mutex_);
      taken.swap(threads_);
    }
    for (auto& [thread, finished] : taken) thread.join();
  }

  ~BackgroundThreads() {
    join_all();
    made_.store(nullptr, std::memory_order_release);
  }

 private:
  BackgroundThreads() noexcept {
    made_.store(this, std::memory_order_release);
    // A forked child has none of the kept threads, only their records: it
    // must neither join them (at its exit) nor wait for them. The list is
    // locked across the fork so that the child gets it whole.
    (void)pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
  }

  static void before_fork() noexcept {
    if (BackgroundThreads* keeper = existing()) keeper->mutex_.lock();
  }
  static void after_fork_in_parent() noexcept {
    if (BackgroundThreads* keeper = existing()) keeper->mutex_.unlock();
  }
  static void after_fork_in_child() noexcept {
    BackgroundThreads* keeper = existing();
    if (keeper == nullptr) return;
    // No call may reach the thread library for a thread that does not exist
    // here (even detaching one can fault): each record moves into storage
    // that is never destroyed, which leaves a non-joinable std::thread behind.
    for (auto& [thread, finished] : keeper->threads_) {
      alignas(std::thread) unsigned char storage[sizeof(std::thread)];
      ::new (static_cast<void*>(storage)) std::thread(std::move(thread));
    }
    keeper->threads_.clear();
    keeper->mutex_.unlock();
  }

  static inline std::atomic<BackgroundThreads*> made_{nullptr};
  std::mutex mutex_;
  std::vector<std::pair<std::thread, std::shared_ptr<std::atomic<bool>>>> threads_;
};

// The keeper alone cannot protect a background run at exit: static objects
// made on first use after the keeper -- Arrow makes several the first time a
// run builds its arrays -- are torn down before it, while the run may still
// use them. The thread that calls exit runs its own thread-local destructors
// before any static one, so this object, living on the main thread (which
// ends the process by returning from main), joins the background runs at that
// moment. Only the main thread does: any other thread ending must not wait
// for runs it may not even have started.
class ExitWaiter {
 public:
  ExitWaiter() = default;
  ExitWaiter(const ExitWaiter&) = delete;
  ExitWaiter& operator=(const ExitWaiter&) = delete;
  ~ExitWaiter() {
    if (gettid() != getpid()) return;
    if (BackgroundThreads* keeper = BackgroundThreads::existing()) keeper->join_all();
  }
};

}  // namespace

void wait_for_background_runs_at_exit() noexcept {
  if (gettid() != getpid()) return;
  static thread_local ExitWaiter waiter;
  (void)waiter;
}

Sampler::Sampler(Sender<SamplerCommand> commands, Receiver<SamplerResponse> responses,
                 Receiver<Status> results, std::thread control_thread,
                 std::future<ControlResult> control_result,
                 std::shared_ptr<std::atomic<bool>> control_finished) noexcept
    : commands_(std::move(commands)),
      responses_(std::move(responses)),
      results_(std::move(results)),
      control_thread_(std::move(control_thread)),
      control_result_(std::move(control_result)),
      control_finished_(std::move(control_finished)) {
  // The keeper (and Arrow's allocator before it) exists from the first run on:
  // made on first use in release(), it could be made while the process is
  // ending, after Arrow's statics are gone, by a daemon thread's unwind.
  (void)BackgroundThreads::instance();
}

Sampler& Sampler::operator=(Sampler&& other) noexcept {
  if (this != &other) {
    release();
    commands_ = std::move(other.commands_);
    responses_ = std::move(other.responses_);
    results_ = std::move(other.results_);
    control_thread_ = std::move(other.control_thread_);
    control_result_ = std::move(other.control_result_);
    control_finished_ = std::move(other.control_finished_);
  }
  return *this;
}

Sampler::~Sampler() { release(); }

void Sampler::release() noexcept {
  // Nobody waits for the control thread's outcome any more: it finalizes the
  // chains once it sees the commands channel close, and a failure it
  // re-raises ends with it (the pool already wrote its diagnostic).
  if (control_thread_.joinable()) {
    BackgroundThreads::instance().adopt(std::move(control_thread_), std::move(control_finished_));
    wait_for_background_runs_at_exit();
  }
  commands_.reset();
  responses_.reset();
  results_.reset();
  control_result_ = {};
  control_finished_.reset();
}

std::thread Sampler::start_control_thread(std::move_only_function<ControlResult()> body,
                                          std::promise<ControlResult> result,
                                          std::shared_ptr<std::atomic<bool>> finished) {
  try {
    return std::thread([body = std::move(body), result = std::move(result),
                        finished = std::move(finished)]() mutable noexcept {
      try {
        ControlResult value = body();
        // The procedure's remaining channel ends close before anyone learns
        // the outcome.
        body = nullptr;
        result.set_value(std::move(value));
      } catch (...) {
        body = nullptr;
        try {
          result.set_exception(std::current_exception());
        } catch (...) {
          // Only a promise already satisfied lands here; nothing to report to.
        }
      }
      finished->store(true, std::memory_order_release);
    });
  } catch (const std::system_error& e) {
    panic(std::string("could not start the sampler's control thread: ") + e.what());
  }
}

SamplerWaitResult Sampler::wait_timeout(std::chrono::nanoseconds timeout) && {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  while (true) {
    const auto remaining = timeout - (Clock::now() - start);
    auto report = results_.recv_timeout(remaining);
    if (report) {
      if (!*report) {
        Error error = std::move(report->error());
        // The other chains' draws are not wanted: end the run in the background.
        { Sampler dropped = std::move(*this); }
        return SamplerFailed{std::move(error), std::nullopt};
      }
      // A success that arrives after the limit still counts as too late.
      if (Clock::now() - start > timeout) return SamplerTimeout{std::move(*this)};
      continue;
    }
    if (report.error() == RecvError::Timeout) return SamplerTimeout{std::move(*this)};
    AbortResult aborted = std::move(*this).abort();
    if (aborted.error) return SamplerFailed{std::move(*aborted.error), std::move(aborted.trace)};
    return std::move(*aborted.trace);
  }
}

AbortResult Sampler::abort() && {
  // Releases responses and results on return, also when a failure is re-raised.
  Sampler spent = std::move(*this);
  check(spent.control_thread_.joinable(), "abort on a running sampler handle");
  spent.commands_.reset();
  spent.control_thread_.join();
  ControlResult control = spent.control_result_.get();  // re-raises a held failure
  if (!control) return AbortResult{std::move(control.error()), std::nullopt};

  AbortResult result{std::nullopt, Trace{}};
  for (ChainResult& chain : *control) {
    if (!chain) {
      if (!result.error) result.error.emplace(std::move(chain.error()));
    } else if (chain->has_value()) {
      result.trace->chains.push_back(std::move(**chain));
    }
  }
  std::sort(result.trace->chains.begin(), result.trace->chains.end(),
            [](const ChainOutput& a, const ChainOutput& b) { return a.chain < b.chain; });
  return result;
}

Result<SamplerResponse> Sampler::request(SamplerCommand command) {
  if (Status sent = commands_.send(command); !sent) {
    return std::unexpected(Error("the sampler is no longer running", std::move(sent.error())));
  }
  auto response = responses_.recv();
  if (!response) return fail("the sampler ended before it responded");
  return std::move(*response);
}

Status Sampler::pause() {
  auto response = request(SamplerCommand::Pause);
  if (!response) return std::unexpected(std::move(response.error()));
  return {};
}

Status Sampler::resume() {
  auto response = request(SamplerCommand::Resume);
  if (!response) return std::unexpected(std::move(response.error()));
  return {};
}

Result<Trace> Sampler::inspect() {
  auto response = request(SamplerCommand::Inspect);
  if (!response) return std::unexpected(std::move(response.error()));
  check(response->kind == SamplerResponse::Kind::Snapshot, "response to Inspect is a Snapshot");
  return std::move(response->snapshot);
}

Result<std::vector<ChainProgress>> Sampler::progress() {
  auto response = request(SamplerCommand::Progress);
  if (!response) return std::unexpected(std::move(response.error()));
  check(response->kind == SamplerResponse::Kind::Progress, "response to Progress is a Progress");
  return std::move(response->progress);
}

SliceWaitResult wait_in_slices(Sampler sampler, std::chrono::nanoseconds limit,
                               std::chrono::nanoseconds slice,
                               const std::function<bool()>& keep_waiting) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  slice = std::max(slice, std::chrono::nanoseconds{1});
  while (true) {
    const auto remaining = limit - (Clock::now() - start);
    SamplerWaitResult result = std::move(sampler).wait_timeout(std::min(remaining, slice));
    if (auto* trace = std::get_if<Trace>(&result)) return std::move(*trace);
    if (auto* failed = std::get_if<SamplerFailed>(&result)) return std::move(*failed);
    sampler = std::move(std::get<SamplerTimeout>(result).sampler);
    // Past the whole limit, also when a success came in just after it.
    if (Clock::now() - start >= limit) return SamplerTimeout{std::move(sampler)};
    if (!keep_waiting()) {
      try {
        (void)std::move(sampler).abort();
      } catch (...) {
        // The caller's reason to stop wins over the run's own failure.
      }
      return SamplerInterrupted{};
    }
  }
}

}  // namespace varnel
