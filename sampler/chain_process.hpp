#pragma once
// One chain of a sampling run: the task that draws on a pool thread, and the
// `ChainProcess` record through which the control procedure steers it.
//
// Ownership: the record and the task share the chain's trace (draw storage
// and statistics builder, absent until the task puts it in place and again
// after `finalize` took it) behind the trace lock, and its `ChainProgress`
// behind the progress lock. The record owns the sending end of the chain's
// command channel, the task its receiving end; everything else the chain uses
// (math backend, chain, generators) belongs to the task alone.
//
// Lock order: the task takes the progress lock only while holding the trace
// lock, never the reverse; the record's operations take one lock at a time.
// No lock is held while drawing or while blocked on the command channel.

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "chain_output.hpp"
#include "chain_progress.hpp"
#include "channel.hpp"
#include "error.hpp"
#include "panic.hpp"
#include "poison_mutex.hpp"
#include "run_concepts.hpp"
#include "thread_pool.hpp"

namespace varnel {

// Commands from the control procedure to one chain task.
enum class ChainCommand { Resume, Pause };

// Attempts at placing a chain at its starting point before giving up.
inline constexpr int kMaxInitAttempts = 500;

// Messages of a poisoned lock, fixed per place.
inline constexpr const char* kTaskPoisonedMessage = "Poisoned mutex";
inline constexpr const char* kTaskTracePoisonedMessage = "Could not unlock trace lock. Poisoned mutex";
inline constexpr const char* kProcessPoisonedMessage = "Poisoned lock";

// A chain's draw storage and statistics builder under construction.
template <class Storage, class Builder>
struct ChainTrace {
  Storage draws;
  Builder stats;
  std::uint64_t chain = 0;
};

template <class M, class S>
  requires Runnable<M, S>
class ChainProcess {
  using Types = RunTypes<M, S>;
  using TraceSlot = PoisonMutex<std::optional<ChainTrace<typename Types::Storage,
                                                          typename Types::StatsBuilder>>>;
  using ProgressSlot = PoisonMutex<ChainProgress>;

 public:
  ChainProcess(ChainProcess&&) noexcept = default;
  ChainProcess& operator=(ChainProcess&&) noexcept = default;

  // Queues the chain task in `scope` (first-in first-out) and returns at once.
  // The chain's seeding generator is keyed from `seed` with the chain index as
  // stream. The task reports once on `results`: success or its error. It never
  // fails today; the Result leaves room for a start that can.
  static Result<ChainProcess> start(std::shared_ptr<const M> model, std::uint64_t chain,
                                    std::uint64_t seed, std::shared_ptr<const S> settings,
                                    Scope& scope, Sender<Status> results) {
    auto rng = S::SeedRng::seed_from_u64(seed);
    rng.set_stream(chain);
    auto [command_sender, command_receiver] = unbounded_channel<ChainCommand>();
    auto trace = std::make_shared<TraceSlot>();
    const std::uint64_t total = saturating_total(*settings);
    auto progress = std::make_shared<ProgressSlot>(ChainProgress::create(total));

    scope.spawn([model = std::move(model), settings = std::move(settings), chain,
                 rng = std::move(rng), commands = std::move(command_receiver), trace, progress,
                 results = std::move(results)]() mutable {
      Status outcome = run_task(*model, *settings, chain, rng, commands, *trace, *progress);
      if (!results.send(std::move(outcome))) {
        panic("Could not send sampling results to main thread.");
      }
    });
    return ChainProcess(std::move(command_sender), std::move(trace), std::move(progress));
  }

  // Queues a command for the task without blocking; fails when the task ended.
  Status send_command(ChainCommand command) { return commands_.send(command); }

  // Tells the task to stop, without taking its trace: it stops at its next
  // look at its commands, and a task still queued stops as soon as it starts.
  void disconnect() noexcept { commands_.reset(); }

  // A copy of the chain's progress. Panic "Poisoned lock" on a poisoned lock.
  ChainProgress progress() const {
    auto guard = progress_->lock(kProcessPoisonedMessage);
    return *guard;
  }

  // A snapshot of the chain as it is now (the task keeps drawing), absent when
  // its trace is not in place, or the draw storage's error.
  Result<std::optional<ChainOutput>> current_trace() const {
    auto guard = trace_->lock(kProcessPoisonedMessage);
    if (!guard->has_value()) return std::optional<ChainOutput>();
    auto& trace = **guard;
    std::shared_ptr<arrow::StructArray> stats = trace.stats.inspect();
    Result<std::shared_ptr<arrow::Array>> draws = trace.draws.inspect();
    if (!draws) return std::unexpected(std::move(draws.error()));
    return std::optional<ChainOutput>(ChainOutput{std::move(*draws), std::move(stats), trace.chain});
  }

  // Ends the chain: the task stops at its next look at its commands (or wakes
  // from a pause and stops), and the trace is taken and finished. Absent when
  // the trace was not in place; the draw storage's error when it cannot finish.
  Result<std::optional<ChainOutput>> finalize() && {
    commands_.reset();
    Result<std::optional<ChainOutput>> output = std::optional<ChainOutput>();
    {
      auto guard = trace_->lock(kProcessPoisonedMessage);
      auto taken = std::exchange(*guard, std::nullopt);
      if (taken.has_value()) {
        Result<std::shared_ptr<arrow::Array>> draws = std::move(taken->draws).finalize();
        if (!draws) {
          output = std::unexpected(std::move(draws.error()));
        } else {
          std::shared_ptr<arrow::StructArray> stats = std::move(taken->stats).finalize();
          output = std::optional<ChainOutput>(
              ChainOutput{std::move(*draws), std::move(stats), taken->chain});
        }
      }
    }
    trace_.reset();
    progress_.reset();
    return output;
  }

 private:
  ChainProcess(Sender<ChainCommand> commands, std::shared_ptr<TraceSlot> trace,
               std::shared_ptr<ProgressSlot> progress) noexcept
      : commands_(std::move(commands)), trace_(std::move(trace)), progress_(std::move(progress)) {}

  // num_tune + num_draws, kept from wrapping around for absurd settings.
  static std::uint64_t saturating_total(const S& settings) noexcept {
    const std::uint64_t tune = settings.num_tune();
    const std::uint64_t draws = settings.num_draws();
    return draws > UINT64_MAX - tune ? UINT64_MAX : tune + draws;
  }

  // Whether the task stops before its next draw: the command channel
  // disconnected (also while paused). A Pause blocks until another command.
  static bool should_stop(std::expected<ChainCommand, RecvError> pending,
                          Receiver<ChainCommand>& commands) {
    if (!pending) return pending.error() == RecvError::Disconnected;
    while (*pending == ChainCommand::Pause) {
      pending = commands.recv();
      if (!pending) return true;
    }
    return false;
  }

  // The chain task from density creation to the outcome it reports. Errors
  // it reports are values; the chain's draw failing and poisoned locks throw.
  static Status run_task(const M& model, const S& settings, std::uint64_t chain_index,
                         typename Types::SeedRng& rng, Receiver<ChainCommand>& commands,
                         TraceSlot& trace, ProgressSlot& progress) {
    // A task that starts after its chain was ended has nothing to do: it
    // skips its initialisation, so ending a run does not wait for it and its
    // chain is absent from the run's trace.
    if (commands.has_no_senders()) return {};
    Result<typename Types::Math> math = model.math();
    if (!math) return std::unexpected(Error("Failed to create model density", std::move(math.error())));
    const std::size_t dim = math->dim();
    auto chain = settings.new_chain(chain_index, std::move(*math), rng);
    auto draws = model.new_trace();
    auto stats = settings.new_stats_builder(dim);
    {
      auto guard = trace.lock(kTaskPoisonedMessage);
      guard->emplace(std::move(draws), std::move(stats), chain_index);
    }
    {
      auto guard = progress.lock(kTaskPoisonedMessage);
      guard->started = true;
    }

    std::vector<double> position(dim);
    std::optional<Error> last_error;
    bool placed = false;
    for (int attempt = 0; attempt < kMaxInitAttempts && !placed; ++attempt) {
      Status status = model.init_position(rng, std::span<double>(position));
      if (status) status = chain.set_position(std::span<const double>(position));
      if (status) {
        placed = true;
      } else {
        last_error.emplace(std::move(status.error()));
      }
    }
    if (!placed) return std::unexpected(Error("All initialization points failed", std::move(*last_error)));

    const std::uint64_t total = saturating_total(settings);
    std::expected<ChainCommand, RecvError> pending = commands.try_recv();
    for (std::uint64_t i = 0; i < total; ++i) {
      if (should_stop(pending, commands)) return {};
      const auto t0 = std::chrono::steady_clock::now();
      auto drawn = chain.draw();
      if (!drawn) panic_unwrap_err(drawn.error().debug_text());
      auto& [point, draw_stats] = *drawn;

      auto guard = trace.lock(kTaskTracePoisonedMessage);
      if (!guard->has_value()) return {};  // finalized meanwhile: the draw is dropped
      {
        auto progress_guard = progress.lock(kTaskPoisonedMessage);
        progress_guard->update(progress_info(draw_stats), std::chrono::steady_clock::now() - t0);
      }
      Status appended = (*guard)->draws.append_value(std::span<const double>(point));
      if (!appended) return appended;
      (*guard)->stats.append_value(std::move(draw_stats));
      if (i + 1 == total) return {};
      pending = commands.try_recv();
    }
    return {};
  }

  Sender<ChainCommand> commands_;
  std::shared_ptr<TraceSlot> trace_;
  std::shared_ptr<ProgressSlot> progress_;
};

}  // namespace varnel
