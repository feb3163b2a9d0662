#pragma once
// The multi-chain runtime: one handle, `Sampler`, for a run of several chains
// drawing at once on a pool of worker threads.
//
// Threads: the caller's thread owns the handle; one control thread builds a
// pool of num_cores + 1 workers named "tressle-worker-<i>" and runs the
// control procedure on one of them; the other workers run one task per chain,
// started first-in first-out, so at most num_cores chains draw at once.
//
// Channels: commands (handle -> procedure) and responses (procedure -> handle)
// are rendezvous channels; results (chain tasks -> handle, one report per
// task) is unbounded; each chain has an unbounded command channel (see
// chain_process.hpp). The results channel disconnects once every chain task
// has ended, which is how `wait_timeout` learns that the run is over.
//
// Failures: recoverable ones are Error values. A chain task's internal failure
// (a Panic, a failed allocation, any exception) is held by the pool's scope,
// re-raised on the control thread once every chain task ended, and from there
// re-raised in the caller's thread by `abort` (also when `wait_timeout` calls
// it). Nothing terminates the process.
//
// The handle is used from one thread at a time.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include "chain_output.hpp"
#include "chain_process.hpp"
#include "chain_progress.hpp"
#include "channel.hpp"
#include "error.hpp"
#include "panic.hpp"
#include "run_concepts.hpp"
#include "thread_pool.hpp"

namespace varnel {

// Commands from the handle to the control procedure.
enum class SamplerCommand { Pause, Resume, Inspect, Progress };

// The control procedure's response to one command: Ok (Pause, Resume),
// Snapshot (Inspect) or Progress (Progress). A record rather than a variant:
// only the field of its kind is filled.
struct SamplerResponse {
  enum class Kind { Ok, Snapshot, Progress };
  Kind kind = Kind::Ok;
  Trace snapshot;                       // Snapshot: the chains that have begun, by chain index
  std::vector<ChainProgress> progress;  // Progress: every chain, in chain order
};

// Reports on a run's progress, called from a pool thread: first when the
// chains were started, then at most once per `rate`, and once more at the end.
// The elapsed time excludes the time spent paused.
struct ProgressCallback {
  std::move_only_function<void(std::chrono::nanoseconds elapsed, std::vector<ChainProgress>)>
      callback;
  std::chrono::nanoseconds rate{0};
};

// What a chain's finalize gave: an output, nothing (its task never put its
// trace in place), or an error.
using ChainResult = Result<std::optional<ChainOutput>>;

class Sampler;

// The run ended with an error; `trace` holds the chains that produced output
// exactly when the error came from finalizing a chain.
struct SamplerFailed {
  Error error;
  std::optional<Trace> trace;
};

// The time limit passed; the run goes on and the handle comes back.
struct SamplerTimeout;

// What waiting on a run gave: the collected trace, a timeout, or a failure.
using SamplerWaitResult = std::variant<Trace, SamplerTimeout, SamplerFailed>;

// What aborting a run gave: the first error in chain order, if any, and the
// trace of the chains that produced output (absent when the run itself failed).
struct AbortResult {
  std::optional<Error> error;
  std::optional<Trace> trace;
};

// Makes the process wait, when its main thread ends it (returning from main or
// calling exit), for the runs still ending in the background before any
// static object is torn down. Dropping a handle on the main thread does this
// by itself; a program that drops handles on other threads calls it once on
// the main thread. Does nothing on any other thread.
void wait_for_background_runs_at_exit() noexcept;

// The prefix of the pool workers' names; the index follows.
inline constexpr const char* kWorkerNamePrefix = "tressle-worker-";

class Sampler {
 public:
  // Starts a run of settings.num_chains() chains of `model` and returns at
  // once. Takes ownership of the model, the settings and the callback.
  // `num_cores` bounds the chains drawing at once (the pool has num_cores + 1
  // workers; more than ThreadPool::kMaxThreads fails the run with "Could not
  // start thread pool"). Throws Panic when the control thread cannot be
  // created; the Result has no error path today.
  template <class M, class S>
    requires Runnable<M, S>
  static Result<Sampler> create(M model, S settings, std::uint64_t num_cores,
                                std::optional<ProgressCallback> callback);

  Sampler(Sampler&&) noexcept = default;
  Sampler& operator=(Sampler&& other) noexcept;
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;
  // Without wait_timeout or abort, the run ends in the background: the chains
  // stop at their next draw, are finalized and their output dropped. The
  // control thread is handed to a process-wide keeper that joins it once it
  // ended (and, at process exit, waits for it), so no thread outlives the
  // static objects it may use.
  ~Sampler();

  // Waits up to `timeout` for every chain to end. Trace: all ended and the run
  // was collected (through abort). SamplerTimeout: the limit passed, also when
  // a chain reported success after it; the handle comes back. SamplerFailed:
  // a chain reported an error (the run is then dropped in the background) or
  // collecting failed. Re-raises a chain task's internal failure (see abort).
  // A caller that must react to signals waits in slices (say 100 ms) and
  // checks between them.
  SamplerWaitResult wait_timeout(std::chrono::nanoseconds timeout) &&;

  // Ends the run: every chain stops at its next look at its commands (within
  // one draw; queued chains right after their initialisation), is finalized,
  // and every thread of the run is joined before this returns. Re-raises in
  // this thread the first internal failure of a chain task or of the control
  // procedure.
  AbortResult abort() &&;

  // Pauses every chain before its next draw. The error tells that the run's
  // control procedure has ended.
  Status pause();
  // Resumes paused chains.
  Status resume();
  // A snapshot of every chain that has begun, sorted by chain index.
  Result<Trace> inspect();
  // The progress of every chain, in chain order.
  Result<std::vector<ChainProgress>> progress();

 private:
  using ControlResult = Result<std::vector<ChainResult>>;

  Sampler(Sender<SamplerCommand> commands, Receiver<SamplerResponse> responses,
          Receiver<Status> results, std::thread control_thread,
          std::future<ControlResult> control_result,
          std::shared_ptr<std::atomic<bool>> control_finished) noexcept;

  // Starts the control thread running `body`; its result or failure goes to
  // the promise, and `finished` is set as the thread's last act. Throws Panic
  // when the thread cannot be created.
  static std::thread start_control_thread(std::move_only_function<ControlResult()> body,
                                          std::promise<ControlResult> result,
                                          std::shared_ptr<std::atomic<bool>> finished);

  // Sends one command and takes its response.
  Result<SamplerResponse> request(SamplerCommand command);

  void release() noexcept;

  template <class M, class S>
  static std::vector<ChainResult> finalize_all(std::vector<ChainProcess<M, S>>& chains);

  template <class M, class S>
  static ControlResult control_procedure(std::shared_ptr<const M> model,
                                         std::shared_ptr<const S> settings, Scope& scope,
                                         Receiver<SamplerCommand> commands,
                                         Sender<SamplerResponse> responses,
                                         Sender<Status> results,
                                         std::optional<ProgressCallback> callback);

  // Field order as the run is described: commands, responses, results, then
  // the control thread with its outcome.
  Sender<SamplerCommand> commands_;
  Receiver<SamplerResponse> responses_;
  Receiver<Status> results_;
  std::thread control_thread_;
  std::future<ControlResult> control_result_;
  std::shared_ptr<std::atomic<bool>> control_finished_;
};

struct SamplerTimeout {
  Sampler sampler;
};

// The caller asked to stop: the run was aborted, every chain task stopped and
// every thread of the run joined; its outcome was discarded.
struct SamplerInterrupted {};

using SliceWaitResult = std::variant<Trace, SamplerTimeout, SamplerFailed, SamplerInterrupted>;

// The longest single wait of wait_in_slices that a caller reacting to signals
// should ask for.
inline constexpr std::chrono::milliseconds kMaxWaitSlice{100};

// Waits for the run for at most `limit` in all, in waits of at most `slice`.
// After each wait that ended without a result, `keep_waiting()` is called
// (on this thread); when it returns false the run is aborted and joined and
// SamplerInterrupted comes back -- a failure the run raised meanwhile is
// dropped then (its diagnostic was already written). Otherwise as
// wait_timeout over the whole limit: Trace, SamplerTimeout (the run goes on;
// drop the handle to end it in the background) or SamplerFailed. A chain
// task's internal failure is re-raised here when the run is collected.
SliceWaitResult wait_in_slices(Sampler sampler, std::chrono::nanoseconds limit,
                               std::chrono::nanoseconds slice,
                               const std::function<bool()>& keep_waiting);

template <class M, class S>
  requires Runnable<M, S>
Result<Sampler> Sampler::create(M model, S settings, std::uint64_t num_cores,
                                std::optional<ProgressCallback> callback) {
  auto [command_sender, command_receiver] = rendezvous_channel<SamplerCommand>();
  auto [response_sender, response_receiver] = rendezvous_channel<SamplerResponse>();
  auto [result_sender, result_receiver] = unbounded_channel<Status>();

  // A caller that holds back failure diagnostics does so for the run's chains too.
  auto body = [model = std::move(model), settings = std::move(settings), num_cores, quiet = quiet_failures(),
               callback = std::move(callback), commands = std::move(command_receiver),
               responses = std::move(response_sender),
               results = std::move(result_sender)]() mutable -> ControlResult {
    const std::uint64_t num_threads =
        num_cores >= std::numeric_limits<std::uint64_t>::max() ? num_cores : num_cores + 1;
    auto pool = ThreadPool::create(static_cast<std::size_t>(num_threads), kWorkerNamePrefix, quiet);
    if (!pool) {
      return std::unexpected(Error("Could not start thread pool", std::move(pool.error())));
    }
    auto shared_model = std::make_shared<const M>(std::move(model));
    auto shared_settings = std::make_shared<const S>(std::move(settings));
    // Re-raises, after every chain task ended, the first failure held by the
    // scope; the pool is then shut down by unwinding.
    return (*pool)->scope([&](Scope& scope) {
      // The procedure owns its channel ends, so the handle sees them close
      // as soon as it returns.
      return control_procedure<M, S>(std::move(shared_model), std::move(shared_settings), scope,
                                     std::move(commands), std::move(responses), std::move(results),
                                     std::move(callback));
    });
  };

  std::promise<ControlResult> promise;
  std::future<ControlResult> future = promise.get_future();
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread thread = start_control_thread(std::move(body), std::move(promise), finished);
  return Sampler(std::move(command_sender), std::move(response_receiver),
                 std::move(result_receiver), std::move(thread), std::move(future),
                 std::move(finished));
}

template <class M, class S>
std::vector<ChainResult> Sampler::finalize_all(std::vector<ChainProcess<M, S>>& chains) {
  // Every chain is told to stop before any trace is taken, so that a queued
  // chain whose worker is freed by another chain's end does not begin.
  for (auto& chain : chains) chain.disconnect();
  std::vector<ChainResult> outputs;
  outputs.reserve(chains.size());
  for (auto& chain : chains) outputs.push_back(std::move(chain).finalize());
  chains.clear();
  return outputs;
}

template <class M, class S>
Sampler::ControlResult Sampler::control_procedure(std::shared_ptr<const M> model,
                                                  std::shared_ptr<const S> settings, Scope& scope,
                                                  Receiver<SamplerCommand> commands,
                                                  Sender<SamplerResponse> responses,
                                                  Sender<Status> results,
                                                  std::optional<ProgressCallback> callback) {
  using Clock = std::chrono::steady_clock;
  using std::chrono::nanoseconds;

  std::vector<ChainProcess<M, S>> chains;
  std::optional<Error> start_error;
  const std::uint64_t num_chains = settings->num_chains();
  for (std::uint64_t chain = 0; chain < num_chains; ++chain) {
    auto process =
        ChainProcess<M, S>::start(model, chain, settings->seed(), settings, scope, results);
    if (!process) {
      start_error.emplace(std::move(process.error()));
      break;
    }
    chains.push_back(std::move(*process));
  }
  results.reset();
  if (start_error) {
    (void)finalize_all(chains);
    callback.reset();
    return std::unexpected(Error("Could not start chains", std::move(*start_error)));
  }

  const auto collect_progress = [&] {
    std::vector<ChainProgress> progress;
    progress.reserve(chains.size());
    for (const auto& chain : chains) progress.push_back(chain.progress());
    return progress;
  };

  // Elapsed time as reported: wall time minus the time spent paused.
  const auto start = Clock::now();
  auto pause_start = start;
  nanoseconds paused_total{0};
  bool running = true;
  const auto reported_elapsed = [&] {
    const auto now = Clock::now();
    nanoseconds elapsed = std::max(nanoseconds{0}, (now - start) - paused_total);
    if (!running) elapsed = std::max(nanoseconds{0}, elapsed - (now - pause_start));
    return elapsed;
  };

  // Without a callback the procedure sleeps until a command or the hang-up.
  const nanoseconds rate = callback ? callback->rate : nanoseconds::max();
  if (callback) callback->callback(Clock::now() - start, collect_progress());
  auto last_report = Clock::now();

  std::optional<Error> loop_error;
  while (true) {
    nanoseconds wait_time;
    const nanoseconds since_report = Clock::now() - last_report;
    if (since_report > rate) {
      if (callback) callback->callback(reported_elapsed(), collect_progress());
      last_report = Clock::now();
      wait_time = rate;
    } else {
      wait_time = rate - since_report;
    }

    auto command = commands.recv_timeout(wait_time);
    if (!command) {
      if (command.error() == RecvError::Timeout) continue;
      if (callback) callback->callback(reported_elapsed(), collect_progress());
      break;
    }

    SamplerResponse response;
    switch (*command) {
      case SamplerCommand::Pause:
        for (auto& chain : chains) (void)chain.send_command(ChainCommand::Pause);
        if (running) {
          pause_start = Clock::now();
          running = false;
        }
        response.kind = SamplerResponse::Kind::Ok;
        break;
      case SamplerCommand::Resume:
        for (auto& chain : chains) (void)chain.send_command(ChainCommand::Resume);
        // A Resume while running leaves the paused total alone.
        if (!running) paused_total += Clock::now() - pause_start;
        running = true;
        response.kind = SamplerResponse::Kind::Ok;
        break;
      case SamplerCommand::Inspect: {
        Trace trace;
        for (const auto& chain : chains) {
          ChainResult output = chain.current_trace();
          if (!output) {
            loop_error.emplace(std::move(output.error()));
            break;
          }
          if (output->has_value()) trace.chains.push_back(std::move(**output));
        }
        if (loop_error) break;
        std::sort(trace.chains.begin(), trace.chains.end(),
                  [](const ChainOutput& a, const ChainOutput& b) { return a.chain < b.chain; });
        response.kind = SamplerResponse::Kind::Snapshot;
        response.snapshot = std::move(trace);
        break;
      }
      case SamplerCommand::Progress:
        response.kind = SamplerResponse::Kind::Progress;
        response.progress = collect_progress();
        break;
    }
    if (loop_error) break;
    if (Status sent = responses.send(std::move(response)); !sent) {
      loop_error.emplace(std::move(sent.error()));
      break;
    }
  }

  std::vector<ChainResult> outputs = finalize_all(chains);
  callback.reset();
  if (loop_error) return std::unexpected(std::move(*loop_error));
  return outputs;
}

}  // namespace varnel
