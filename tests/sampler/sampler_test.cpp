#include "sampler.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <variant>
#include <vector>

#include "run_doubles.hpp"
#include "thread_count.hpp"

namespace varnel {
namespace {

using namespace std::chrono_literals;
using testing::Script;
using testing::TestModel;
using testing::TestSettings;

constexpr std::uint64_t kLong = 1'000'000;  // draws no test waits for

std::shared_ptr<Script> new_script() { return std::make_shared<Script>(); }

Sampler start(std::shared_ptr<Script> script, TestSettings settings, std::uint64_t num_cores,
              std::optional<ProgressCallback> callback = std::nullopt) {
  settings.script = script;
  auto sampler = Sampler::create(TestModel{script}, settings, num_cores, std::move(callback));
  if (!sampler) throw std::runtime_error(sampler.error().debug_text());
  return std::move(*sampler);
}

std::vector<ChainProgress> progress_of(Sampler& sampler) {
  auto progress = sampler.progress();
  if (!progress) throw std::runtime_error(progress.error().debug_text());
  return std::move(*progress);
}

// Polls the handle's progress until `done` holds for it or two seconds pass.
template <class Pred>
std::vector<ChainProgress> progress_when(Sampler& sampler, Pred done) {
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  auto progress = progress_of(sampler);
  while (!done(progress) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
    progress = progress_of(sampler);
  }
  return progress;
}

std::int64_t rows(const std::shared_ptr<arrow::Array>& array) { return array->length(); }
std::int64_t rows(const std::shared_ptr<arrow::StructArray>& array) { return array->length(); }

std::uint64_t stats_draw(const ChainOutput& output, std::int64_t row) {
  auto column = std::static_pointer_cast<arrow::UInt64Array>(output.stats->GetFieldByName("draw"));
  return column->Value(row);
}

double draws_value(const ChainOutput& output, std::int64_t index) {
  auto lists = std::static_pointer_cast<arrow::FixedSizeListArray>(output.draws);
  return std::static_pointer_cast<arrow::DoubleArray>(lists->values())->Value(index);
}

void expect_equal_lengths(const Trace& trace) {
  for (const ChainOutput& chain : trace.chains) {
    SCOPED_TRACE("chain " + std::to_string(chain.chain));
    EXPECT_EQ(rows(chain.draws), rows(chain.stats));
  }
}

TEST(Sampler, ARunToTheEndCollectsEveryChainInChainOrder) {
  const struct {
    const char* label;
    std::uint64_t chains;
    std::uint64_t cores;
  } cases[] = {{"3 chains on 2 cores", 3, 2}, {"5 chains on 1 core", 5, 1}, {"no chains", 0, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto script = new_script();
    script->diverging_draws = {1, 3, 4, 6};
    Sampler sampler = start(script, TestSettings{.tune = 3, .draws = 5, .chains = c.chains}, c.cores);
    auto progress = progress_when(sampler, [](const std::vector<ChainProgress>& p) {
      for (const auto& chain : p) {
        if (chain.finished_draws != chain.total_draws) return false;
      }
      return true;
    });
    ASSERT_EQ(progress.size(), c.chains);
    for (const ChainProgress& p : progress) {
      EXPECT_EQ(p.finished_draws, 8u);
      EXPECT_EQ(p.total_draws, 8u);
      EXPECT_TRUE(p.started);
      EXPECT_FALSE(p.tuning);
      // Draws 1 and 3 are warm-up (3 is still reported as tuning).
      EXPECT_EQ(p.divergences, 2u);
      EXPECT_EQ(p.divergent_draws, (std::vector<std::uint64_t>{4, 6}));
      EXPECT_EQ(p.total_num_steps, 24u);
    }

    SamplerWaitResult result = std::move(sampler).wait_timeout(10s);
    ASSERT_TRUE(std::holds_alternative<Trace>(result));
    const Trace& trace = std::get<Trace>(result);
    ASSERT_EQ(trace.chains.size(), c.chains);
    for (std::uint64_t i = 0; i < c.chains; ++i) {
      SCOPED_TRACE("chain " + std::to_string(i));
      const ChainOutput& output = trace.chains[i];
      EXPECT_EQ(output.chain, i);
      ASSERT_EQ(rows(output.draws), 8);
      ASSERT_EQ(rows(output.stats), 8);
      for (std::int64_t d = 0; d < 8; ++d) {
        EXPECT_EQ(stats_draw(output, d), static_cast<std::uint64_t>(d));
        EXPECT_EQ(draws_value(output, 2 * d), static_cast<double>(i));
        EXPECT_EQ(draws_value(output, 2 * d + 1), static_cast<double>(d));
      }
      EXPECT_EQ(script->seed_streams[i].load(), i);
    }
  }
}

TEST(Sampler, AbortMidRunGivesEqualDrawsAndStatisticsPerChain) {
  auto script = new_script();
  script->draw_delay = 300us;
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 3}, 3);
  std::this_thread::sleep_for(50ms);
  AbortResult result = std::move(sampler).abort();
  EXPECT_FALSE(result.error.has_value());
  ASSERT_TRUE(result.trace.has_value());
  ASSERT_EQ(result.trace->chains.size(), 3u);
  expect_equal_lengths(*result.trace);
  for (std::uint64_t i = 0; i < 3; ++i) {
    SCOPED_TRACE("chain " + std::to_string(i));
    const std::int64_t stored = rows(result.trace->chains[i].draws);
    const std::uint64_t made = script->draws_made[i].load();
    EXPECT_GT(stored, 0);
    // A draw under way when the chain was finalized is dropped.
    EXPECT_TRUE(made == static_cast<std::uint64_t>(stored) ||
                made == static_cast<std::uint64_t>(stored) + 1)
        << made << " made, " << stored << " stored";
  }
  // Every chain task has ended: nothing draws any more.
  std::uint64_t made_before = 0;
  for (std::uint64_t i = 0; i < 3; ++i) made_before += script->draws_made[i].load();
  std::this_thread::sleep_for(10ms);
  std::uint64_t made_after = 0;
  for (std::uint64_t i = 0; i < 3; ++i) made_after += script->draws_made[i].load();
  EXPECT_EQ(made_before, made_after);
}

TEST(Sampler, ChainsThatHadNotBegunAreAbsentFromTheTrace) {
  auto script = new_script();
  script->draw_delay = 500us;
  // One core: chain 0 draws, chains 1 and 2 wait in the queue.
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 3}, 1);
  auto progress = progress_when(
      sampler, [](const std::vector<ChainProgress>& p) { return p[0].finished_draws > 0; });
  EXPECT_FALSE(progress[1].started);
  EXPECT_FALSE(progress[2].started);
  AbortResult result = std::move(sampler).abort();
  EXPECT_FALSE(result.error.has_value());
  ASSERT_TRUE(result.trace.has_value());
  ASSERT_EQ(result.trace->chains.size(), 1u);
  EXPECT_EQ(result.trace->chains[0].chain, 0u);
  expect_equal_lengths(*result.trace);
}

TEST(Sampler, AChainWhoseEveryStartFailsReportsAfterExactly500Attempts) {
  auto script = new_script();
  script->init_always_fails = 1;
  script->draw_delay = 1ms;
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 2}, 2);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (script->set_position_calls[1].load() < 500 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  // The failed chain's trace is in place, and empty.
  auto snapshot = sampler.inspect();
  ASSERT_TRUE(snapshot.has_value());
  ASSERT_EQ(snapshot->chains.size(), 2u);
  EXPECT_EQ(snapshot->chains[1].chain, 1u);
  EXPECT_EQ(rows(snapshot->chains[1].draws), 0);
  EXPECT_EQ(rows(snapshot->chains[1].stats), 0);

  // The error ends the wait at once although chain 0 goes on drawing.
  SamplerWaitResult result = std::move(sampler).wait_timeout(10s);
  ASSERT_TRUE(std::holds_alternative<SamplerFailed>(result));
  const SamplerFailed& failed = std::get<SamplerFailed>(result);
  EXPECT_EQ(failed.error.message(), "All initialization points failed");
  ASSERT_NE(failed.error.cause(), nullptr);
  EXPECT_EQ(failed.error.cause()->message(), "attempt 500: bad initial gradient");
  EXPECT_FALSE(failed.trace.has_value());
  EXPECT_EQ(script->set_position_calls[1].load(), 500u);
  EXPECT_EQ(script->draws_made[1].load(), 0u);
}

TEST(Sampler, ErrorsOfAChainTaskEndTheWait) {
  const struct {
    const char* label;
    void (*arrange)(Script&);
    const char* message;
    const char* cause;
  } cases[] = {
      {"density", [](Script& s) { s.math_fails = true; }, "Failed to create model density",
       "density has no data"},
      {"draw storage", [](Script& s) { s.storage_fails_at = 2; }, "storage is full", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto script = new_script();
    c.arrange(*script);
    Sampler sampler = start(script, TestSettings{.chains = 2}, 2);
    SamplerWaitResult result = std::move(sampler).wait_timeout(10s);
    ASSERT_TRUE(std::holds_alternative<SamplerFailed>(result));
    const SamplerFailed& failed = std::get<SamplerFailed>(result);
    EXPECT_EQ(failed.error.message(), c.message);
    if (c.cause == nullptr) {
      EXPECT_EQ(failed.error.cause(), nullptr);
    } else {
      ASSERT_NE(failed.error.cause(), nullptr);
      EXPECT_EQ(failed.error.cause()->message(), c.cause);
    }
    EXPECT_FALSE(failed.trace.has_value());
  }
}

TEST(Sampler, APoolThatCannotBeBuiltFailsTheRun) {
  auto script = new_script();
  Sampler sampler = start(script, TestSettings{.chains = 2}, 5000);
  SamplerWaitResult result = std::move(sampler).wait_timeout(10s);
  ASSERT_TRUE(std::holds_alternative<SamplerFailed>(result));
  const SamplerFailed& failed = std::get<SamplerFailed>(result);
  EXPECT_EQ(failed.error.debug_text(),
            "Could not start thread pool: cannot start 5001 worker threads (at most 1024)");
  EXPECT_FALSE(failed.trace.has_value());
}

// A chain's internal failure leaves the other chains running to their end and
// is raised in the caller's thread once the run is collected.
TEST(Sampler, AnUnrecoverableFailureInOneChainSurfacesFromAbort) {
  const struct {
    const char* label;
    bool as_error;
    const char* message;
  } cases[] = {
      {"panic in the draw", false, "chain exploded"},
      {"error from the draw", true, "called `Result::unwrap()` on an `Err` value: leapfrog failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto script = new_script();
    (c.as_error ? script->error_at : script->panic_at) = std::pair<std::uint64_t, std::uint64_t>{1, 2};
    Sampler sampler = start(script, TestSettings{.tune = 3, .draws = 5, .chains = 3}, 3);
    try {
      (void)std::move(sampler).wait_timeout(10s);
      ADD_FAILURE() << "no failure raised";
    } catch (const Panic& p) {
      EXPECT_EQ(p.message(), c.message);
    }
    EXPECT_EQ(script->draws_made[0].load(), 8u);
    EXPECT_EQ(script->draws_made[1].load(), 2u);
    EXPECT_EQ(script->draws_made[2].load(), 8u);
  }
}

TEST(Sampler, AbortRaisesAChainFailureAndStopsTheOthers) {
  auto script = new_script();
  script->draw_delay = 300us;
  script->panic_at = std::pair<std::uint64_t, std::uint64_t>{0, 1};
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 3}, 3);
  std::this_thread::sleep_for(30ms);
  try {
    (void)std::move(sampler).abort();
    ADD_FAILURE() << "no failure raised";
  } catch (const Panic& p) {
    EXPECT_EQ(p.message(), "chain exploded");
  }
  EXPECT_LT(script->draws_made[1].load(), kLong);
  EXPECT_LT(script->draws_made[2].load(), kLong);
}

// The last chain's success is already queued when the wait begins, but the
// (zero) limit has passed by the time it is taken: Timeout, not Trace.
TEST(Sampler, ASuccessAfterTheLimitIsATimeout) {
  auto script = new_script();
  Sampler sampler = start(script, TestSettings{.tune = 1, .draws = 1, .chains = 1}, 1);
  const auto deadline = std::chrono::steady_clock::now() + 2s;
  while (script->chains_destroyed.load() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(20ms);  // the report follows the chain's destruction
  SamplerWaitResult first = std::move(sampler).wait_timeout(0ns);
  ASSERT_TRUE(std::holds_alternative<SamplerTimeout>(first));
  SamplerWaitResult second =
      std::move(std::get<SamplerTimeout>(first).sampler).wait_timeout(10s);
  ASSERT_TRUE(std::holds_alternative<Trace>(second));
  ASSERT_EQ(std::get<Trace>(second).chains.size(), 1u);
  EXPECT_EQ(rows(std::get<Trace>(second).chains[0].draws), 2);
}

TEST(Sampler, ATimeoutHandsBackAHandleThatAbortsWithPartialTraces) {
  auto script = new_script();
  script->draw_delay = 300us;
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 2}, 2);
  const auto t0 = std::chrono::steady_clock::now();
  SamplerWaitResult result = std::move(sampler).wait_timeout(30ms);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 30ms);
  ASSERT_TRUE(std::holds_alternative<SamplerTimeout>(result));
  AbortResult aborted = std::move(std::get<SamplerTimeout>(result).sampler).abort();
  EXPECT_FALSE(aborted.error.has_value());
  ASSERT_TRUE(aborted.trace.has_value());
  ASSERT_EQ(aborted.trace->chains.size(), 2u);
  expect_equal_lengths(*aborted.trace);
  EXPECT_LT(rows(aborted.trace->chains[0].draws), static_cast<std::int64_t>(kLong));
}

TEST(Sampler, PauseResumeInspectAndProgressThroughTheHandle) {
  auto script = new_script();
  script->draw_delay = 300us;
  Sampler sampler = start(script, TestSettings{.tune = kLong, .draws = kLong, .chains = 2}, 2);
  progress_when(sampler, [](const std::vector<ChainProgress>& p) {
    return p[0].finished_draws > 0 && p[1].finished_draws > 0;
  });

  ASSERT_TRUE(sampler.pause().has_value());
  std::this_thread::sleep_for(20ms);  // a draw under way when the pause came may finish
  const auto paused = progress_of(sampler);
  std::this_thread::sleep_for(40ms);
  const auto still_paused = progress_of(sampler);
  ASSERT_EQ(paused.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("chain " + std::to_string(i));
    EXPECT_EQ(paused[i].finished_draws, still_paused[i].finished_draws);
    EXPECT_EQ(paused[i].total_draws, 2 * kLong);
    EXPECT_TRUE(paused[i].started);
    EXPECT_TRUE(paused[i].tuning);
  }

  auto first = sampler.inspect();
  auto second = sampler.inspect();
  ASSERT_TRUE(first.has_value() && second.has_value());
  ASSERT_EQ(first->chains.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    SCOPED_TRACE("chain " + std::to_string(i));
    EXPECT_EQ(rows(first->chains[i].draws), static_cast<std::int64_t>(paused[i].finished_draws));
    EXPECT_TRUE(first->chains[i].draws->Equals(*second->chains[i].draws));
    EXPECT_TRUE(first->chains[i].stats->Equals(*second->chains[i].stats));
  }

  // A second Pause is absorbed; one Resume continues.
  ASSERT_TRUE(sampler.pause().has_value());
  ASSERT_TRUE(sampler.resume().has_value());
  const auto resumed = progress_when(sampler, [&](const std::vector<ChainProgress>& p) {
    return p[0].finished_draws > still_paused[0].finished_draws + 2 &&
           p[1].finished_draws > still_paused[1].finished_draws + 2;
  });
  EXPECT_GT(resumed[0].finished_draws, still_paused[0].finished_draws + 2);
  EXPECT_GT(resumed[1].finished_draws, still_paused[1].finished_draws + 2);

  AbortResult aborted = std::move(sampler).abort();
  ASSERT_TRUE(aborted.trace.has_value());
  expect_equal_lengths(*aborted.trace);
}

TEST(Sampler, AbortEndsAPausedRun) {
  auto script = new_script();
  script->draw_delay = 200us;
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 2}, 2);
  progress_when(sampler, [](const std::vector<ChainProgress>& p) {
    return p[0].finished_draws > 0 && p[1].finished_draws > 0;
  });
  ASSERT_TRUE(sampler.pause().has_value());
  std::this_thread::sleep_for(10ms);
  const auto paused = progress_of(sampler);
  AbortResult aborted = std::move(sampler).abort();
  ASSERT_TRUE(aborted.trace.has_value());
  ASSERT_EQ(aborted.trace->chains.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(rows(aborted.trace->chains[i].draws), static_cast<std::int64_t>(paused[i].finished_draws));
  }
}

struct CallbackLog {
  std::mutex mutex;
  std::vector<std::chrono::nanoseconds> elapsed;
  std::vector<std::size_t> chains_reported;
  std::vector<bool> last_chain_started;

  std::size_t size() {
    std::lock_guard lock(mutex);
    return elapsed.size();
  }
};

ProgressCallback logging_callback(std::shared_ptr<CallbackLog> log, std::chrono::nanoseconds rate) {
  return ProgressCallback{
      [log](std::chrono::nanoseconds elapsed, std::vector<ChainProgress> progress) {
        std::lock_guard lock(log->mutex);
        log->elapsed.push_back(elapsed);
        log->chains_reported.push_back(progress.size());
        log->last_chain_started.push_back(!progress.empty() && progress.back().started);
      },
      rate};
}

TEST(Sampler, TheCallbacksElapsedTimeStandsStillWhilePaused) {
  auto script = new_script();
  script->draw_delay = 300us;
  auto log = std::make_shared<CallbackLog>();
  const auto wall_start = std::chrono::steady_clock::now();
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 2}, 2,
                          logging_callback(log, 2ms));
  std::this_thread::sleep_for(30ms);
  ASSERT_TRUE(sampler.pause().has_value());
  const std::size_t pause_begin = log->size();
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(sampler.pause().has_value());  // keeps the first pause's start
  std::this_thread::sleep_for(40ms);
  const std::size_t pause_end = log->size();
  ASSERT_TRUE(sampler.resume().has_value());
  std::this_thread::sleep_for(30ms);
  AbortResult aborted = std::move(sampler).abort();
  const auto wall = std::chrono::steady_clock::now() - wall_start;
  EXPECT_FALSE(aborted.error.has_value());

  std::lock_guard lock(log->mutex);
  ASSERT_GE(pause_end - pause_begin, 2u) << "no report while paused";
  const auto frozen = log->elapsed[pause_begin];
  for (std::size_t i = pause_begin; i < pause_end; ++i) EXPECT_EQ(log->elapsed[i], frozen) << i;
  for (std::size_t i = 1; i < log->elapsed.size(); ++i) EXPECT_GE(log->elapsed[i], log->elapsed[i - 1]) << i;
  EXPECT_GT(log->elapsed.back(), frozen);  // the final report, after the resume
  EXPECT_LT(log->elapsed.back(), wall - 90ms);  // the pause is not counted
  for (std::size_t n : log->chains_reported) EXPECT_EQ(n, 2u);
}

TEST(Sampler, TheCallbackListsEveryChainAlsoThoseNotBegun) {
  auto script = new_script();
  script->draw_delay = 300us;
  auto log = std::make_shared<CallbackLog>();
  Sampler sampler = start(script, TestSettings{.tune = 10, .draws = kLong, .chains = 3}, 1,
                          logging_callback(log, 1ms));
  std::this_thread::sleep_for(20ms);
  (void)std::move(sampler).abort();
  std::lock_guard lock(log->mutex);
  ASSERT_GE(log->elapsed.size(), 2u);  // the first report and the final one at least
  for (std::size_t i = 0; i < log->elapsed.size(); ++i) {
    EXPECT_EQ(log->chains_reported[i], 3u);
    EXPECT_FALSE(log->last_chain_started[i]);
  }
}

TEST(Sampler, EveryThreadOfARunEnds) {
  const std::size_t baseline = testing::settled_thread_count();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    auto script = new_script();
    Sampler done = start(script, TestSettings{.chains = 3}, 4);
    ASSERT_TRUE(std::holds_alternative<Trace>(std::move(done).wait_timeout(10s)));
    EXPECT_EQ(testing::thread_count_settling_to(baseline), baseline);

    script->draw_delay = 200us;
    Sampler aborted = start(script, TestSettings{.draws = kLong, .chains = 3}, 4);
    std::this_thread::sleep_for(5ms);
    (void)std::move(aborted).abort();
    EXPECT_EQ(testing::thread_count_settling_to(baseline), baseline);
  }

  // A failed wait and a handle dropped mid-run end their runs in the background.
  auto failing = new_script();
  failing->init_always_fails = 0;
  failing->draw_delay = 200us;
  Sampler failed = start(failing, TestSettings{.draws = kLong, .chains = 3}, 4);
  ASSERT_TRUE(std::holds_alternative<SamplerFailed>(std::move(failed).wait_timeout(10s)));

  auto dropped_script = new_script();
  dropped_script->draw_delay = 200us;
  {
    Sampler dropped = start(dropped_script, TestSettings{.draws = kLong, .chains = 3}, 4);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(testing::thread_count_settling_to(baseline), baseline);
  const std::uint64_t made = dropped_script->draws_made[0].load();
  std::this_thread::sleep_for(10ms);
  EXPECT_EQ(dropped_script->draws_made[0].load(), made);
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

TEST(WaitInSlices, AskingToStopAbortsAndJoinsTheRunPromptly) {
  const std::size_t baseline = testing::settled_thread_count();
  auto script = new_script();
  script->draw_delay = 300us;
  Sampler sampler = start(script, TestSettings{.draws = kLong, .chains = 3}, 2);
  int calls = 0;
  const auto t0 = std::chrono::steady_clock::now();
  SliceWaitResult result =
      wait_in_slices(std::move(sampler), 60s, 10ms, [&] { return ++calls < 3; });
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(std::holds_alternative<SamplerInterrupted>(result));
  EXPECT_EQ(calls, 3);
  EXPECT_GE(took, 30ms);
  EXPECT_LT(took, 2s);
  // Joined, not left to the background: no thread is left, and no chain draws on.
  EXPECT_EQ(testing::thread_count_settling_to(baseline), baseline);
  const std::uint64_t made = script->draws_made[0].load();
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(script->draws_made[0].load(), made);
}

TEST(WaitInSlices, TheLimitCoversAllSlices) {
  const struct {
    const char* label;
    std::chrono::nanoseconds limit;
  } cases[] = {{"zero", 0ns}, {"negative", -1s}, {"several slices", 45ms}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    auto script = new_script();
    script->draw_delay = 300us;
    Sampler sampler = start(script, TestSettings{.draws = kLong, .chains = 2}, 2);
    int calls = 0;
    const auto t0 = std::chrono::steady_clock::now();
    SliceWaitResult result = wait_in_slices(std::move(sampler), c.limit, 10ms, [&] {
      ++calls;
      return true;
    });
    EXPECT_GE(std::chrono::steady_clock::now() - t0, c.limit);
    ASSERT_TRUE(std::holds_alternative<SamplerTimeout>(result));
    if (c.limit > 20ms) {
      EXPECT_GE(calls, 2);
    }
    AbortResult aborted = std::move(std::get<SamplerTimeout>(result).sampler).abort();
    EXPECT_TRUE(aborted.trace.has_value());
  }
}

TEST(WaitInSlices, ARunThatEndsGivesItsTraceOrItsError) {
  auto script = new_script();
  Sampler done = start(script, TestSettings{.chains = 3}, 2);
  SliceWaitResult result = wait_in_slices(std::move(done), 60s, 5ms, [] { return true; });
  ASSERT_TRUE(std::holds_alternative<Trace>(result));
  EXPECT_EQ(std::get<Trace>(result).chains.size(), 3u);

  auto failing = new_script();
  failing->math_fails = true;
  Sampler failed = start(failing, TestSettings{.chains = 3}, 2);
  result = wait_in_slices(std::move(failed), 60s, 5ms, [] { return true; });
  ASSERT_TRUE(std::holds_alternative<SamplerFailed>(result));
  EXPECT_EQ(std::get<SamplerFailed>(result).error.message(), "Failed to create model density");
}

}  // namespace
}  // namespace varnel

namespace varnel {
namespace {

// A handle dropped just before the process exits: its run ends in the
// background, making Arrow arrays, while the process tears down its static
// objects (Arrow's memory pool among them). The exit waits for the run to end
// (the slow finalize gets to write its line) instead of racing it.
TEST(SamplerDeathTest, ExitingWhileARunEndsInTheBackgroundIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto script = new_script();
        script->draw_delay = 1ms;
        script->finalize_delay = 50ms;  // the arrays are made while the process exits
        (void)testing::TestStatsBuilder{}.inspect();  // Arrow's statics exist before the run
        {
          Sampler dropped = start(script, TestSettings{.draws = kLong, .chains = 3}, 3);
          progress_when(dropped, [](const std::vector<ChainProgress>& p) {
            return p[0].started && p[1].started && p[2].started;
          });
        }
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "storage finalized after a delay");
}

// Drops a run after its chains drew, so that it makes Arrow's arrays (and
// Arrow its statics) in the background, after the keeper of background runs
// exists; then drops a second run, which makes its arrays while the process
// exits -- with the statics the first run made -- and exits. Both drops
// happen on a thread of their own when asked.
[[noreturn]] void exit_while_a_later_run_ends_in_the_background(bool drop_on_another_thread) {
  const auto drop_both = [] {
    const std::size_t baseline = testing::settled_thread_count();
    {
      Sampler first = start(new_script(), TestSettings{.draws = kLong, .chains = 2}, 2);
      progress_when(first, [](const std::vector<ChainProgress>& p) {
        return p[0].finished_draws > 0 && p[1].finished_draws > 0;
      });
    }
    if (testing::thread_count_settling_to(baseline) != baseline) std::exit(3);
    auto script = new_script();
    script->draw_delay = 1ms;
    script->finalize_delay = 20ms;
    Sampler dropped = start(script, TestSettings{.draws = kLong, .chains = 3}, 3);
    progress_when(dropped, [](const std::vector<ChainProgress>& p) {
      return p[0].started && p[1].started && p[2].started;
    });
  };
  if (drop_on_another_thread) {
    wait_for_background_runs_at_exit();
    std::thread(drop_both).join();
  } else {
    drop_both();
  }
  std::exit(0);
}

// The exit must not tear down statics made after the keeper while a run
// still uses them, whichever thread dropped the handles.
TEST(SamplerDeathTest, ExitingWhileARunEndsInTheBackgroundOutlivesStaticsMadeByAnEarlierRun) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The child is started afresh: have its C library fill freed blocks, so that
  // a static used after its destruction fails for certain rather than by chance.
  ASSERT_EQ(setenv("GLIBC_TUNABLES", "glibc.malloc.perturb=165", 1), 0);
  for (const bool other_thread : {false, true}) {
    SCOPED_TRACE(other_thread ? "dropped on another thread" : "dropped on the main thread");
    EXPECT_EXIT(exit_while_a_later_run_ends_in_the_background(other_thread),
                ::testing::ExitedWithCode(0), "storage finalized after a delay");
  }
  ASSERT_EQ(unsetenv("GLIBC_TUNABLES"), 0);
}

// Set in a forked child only: what the parent's running threads owned is
// out of the child's reach by design, and is no leak to report at its exit.
bool g_child_keeps_the_parents_memory = false;

}  // namespace
}  // namespace varnel

// The leak checker's hook, consulted at exit when the tests run under it.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() {
  return varnel::g_child_keeps_the_parents_memory ? 1 : 0;
}

namespace varnel {
namespace {

// A child forked while the parent's dropped runs still end has none of their
// threads: its exit must not wait for them, nor touch their records.
TEST(SamplerDeathTest, AChildForkedWhileRunsEndInTheBackgroundExitsCleanly) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // Several runs: their threads' stacks are more than the C library
        // keeps for reuse, so the child unmaps some, and a record of such a
        // thread then points nowhere.
        for (int run = 0; run < 4; ++run) {
          auto script = new_script();
          script->draw_delay = 1ms;
          script->finalize_delay = 200ms;  // still ending when the child exits
          Sampler dropped = start(script, TestSettings{.draws = kLong, .chains = 3}, 3);
          progress_when(dropped, [](const std::vector<ChainProgress>& p) {
            return p[0].started && p[1].started && p[2].started;
          });
        }
        // Past the chains' last draws, each run only sleeps in its finalize:
        // no thread holds an allocator's lock at the fork (a sanitizer's
        // allocator is not fork-safe).
        std::this_thread::sleep_for(50ms);
        const pid_t child = fork();
        if (child == 0) {
          g_child_keeps_the_parents_memory = true;
          alarm(10);  // a wait for a thread that is not there ends the child, not the test
          std::exit(0);
        }
        int status = 0;
        if (child < 0 || waitpid(child, &status, 0) != child) std::exit(2);
        std::exit(WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status));
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace varnel
