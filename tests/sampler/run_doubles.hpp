#pragma once
// Test doubles for the multi-chain runtime: a model, settings, chain, draw
// storage and statistics builder whose behaviour a shared `Script` fixes. The
// script's knobs are set before the run starts and only read afterwards; its
// counters are atomics, so the doubles are free of data races.

#include <arrow/api.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "error.hpp"
#include "panic.hpp"
#include "run_concepts.hpp"
#include "sample_stats.hpp"

namespace varnel::testing {

inline constexpr std::size_t kMaxChains = 16;
inline constexpr std::size_t kDim = 2;

struct Script {
  std::chrono::microseconds draw_delay{0};
  std::optional<std::uint64_t> init_always_fails;                 // chain
  std::optional<std::pair<std::uint64_t, std::uint64_t>> panic_at;  // (chain, draw): throws Panic
  std::optional<std::pair<std::uint64_t, std::uint64_t>> error_at;  // (chain, draw): draw() error
  std::optional<std::uint64_t> storage_fails_at;                   // append number, every chain
  bool math_fails = false;
  std::chrono::milliseconds finalize_delay{0};  // before a storage finishes its array
  std::vector<std::uint64_t> diverging_draws;  // draw indices reported as divergent

  std::array<std::atomic<std::uint64_t>, kMaxChains> set_position_calls{};
  std::array<std::atomic<std::uint64_t>, kMaxChains> draws_made{};
  std::array<std::atomic<std::uint64_t>, kMaxChains> seed_streams{};
  std::atomic<int> chains_destroyed{0};
};

inline void check_arrow(const arrow::Status& status) {
  if (!status.ok()) panic("arrow: " + status.ToString());
}

struct TestRng {
  std::uint64_t seed = 0;
  std::uint64_t stream = 0;
  static TestRng seed_from_u64(std::uint64_t s) { return TestRng{s, 0}; }
  void set_stream(std::uint64_t s) { stream = s; }
};

struct TestMath {
  std::size_t dim() const { return kDim; }
};

class TestStorage {
 public:
  explicit TestStorage(std::shared_ptr<Script> script) : script_(std::move(script)) {}

  Status append_value(std::span<const double> point) {
    if (script_->storage_fails_at && *script_->storage_fails_at == appends_) {
      return fail("storage is full");
    }
    ++appends_;
    values_.insert(values_.end(), point.begin(), point.end());
    return {};
  }
  Result<std::shared_ptr<arrow::Array>> inspect() const { return build(); }
  Result<std::shared_ptr<arrow::Array>> finalize() && {
    if (script_->finalize_delay.count() > 0) {
      std::this_thread::sleep_for(script_->finalize_delay);
      std::fprintf(stderr, "storage finalized after a delay\n");
    }
    return build();
  }

 private:
  Result<std::shared_ptr<arrow::Array>> build() const {
    auto values = std::make_shared<arrow::DoubleBuilder>();
    arrow::FixedSizeListBuilder lists(arrow::default_memory_pool(), values, kDim);
    for (std::size_t i = 0; i < values_.size() / kDim; ++i) {
      check_arrow(lists.Append());
      check_arrow(values->AppendValues(values_.data() + i * kDim, kDim));
    }
    std::shared_ptr<arrow::Array> out;
    check_arrow(lists.Finish(&out));
    return out;
  }

  std::shared_ptr<Script> script_;
  std::uint64_t appends_ = 0;
  std::vector<double> values_;
};

// Columns "chain" and "draw".
class TestStatsBuilder {
 public:
  void append_value(NutsSampleStats stats) {
    chains_.push_back(stats.chain);
    draws_.push_back(stats.draw);
  }
  std::shared_ptr<arrow::StructArray> inspect() const { return build(); }
  std::shared_ptr<arrow::StructArray> finalize() && { return build(); }

 private:
  static std::shared_ptr<arrow::Array> column(const std::vector<std::uint64_t>& values) {
    arrow::UInt64Builder builder;
    check_arrow(builder.AppendValues(values));
    std::shared_ptr<arrow::Array> out;
    check_arrow(builder.Finish(&out));
    return out;
  }
  std::shared_ptr<arrow::StructArray> build() const {
    auto made = arrow::StructArray::Make({column(chains_), column(draws_)},
                                         std::vector<std::string>{"chain", "draw"});
    check_arrow(made.status());
    return std::static_pointer_cast<arrow::StructArray>(*made);
  }

  std::vector<std::uint64_t> chains_;
  std::vector<std::uint64_t> draws_;
};

class TestChain {
 public:
  TestChain(std::shared_ptr<Script> script, std::uint64_t chain, std::uint64_t num_tune)
      : script_(std::move(script)), chain_(chain), num_tune_(num_tune) {}
  TestChain(TestChain&& other) noexcept = default;
  ~TestChain() {
    if (script_) script_->chains_destroyed.fetch_add(1);
  }

  Status set_position(std::span<const double> position) {
    script_->set_position_calls[chain_].fetch_add(1);
    if (position.size() != kDim || position[0] != 0.0001 || position[1] != 0.0001) {
      return fail("unexpected starting point");
    }
    if (script_->init_always_fails == chain_) {
      return fail("attempt " + std::to_string(script_->set_position_calls[chain_].load()) +
                  ": bad initial gradient");
    }
    return {};
  }

  Result<std::pair<std::vector<double>, NutsSampleStats>> draw() {
    if (script_->draw_delay.count() > 0) std::this_thread::sleep_for(script_->draw_delay);
    if (script_->panic_at == std::pair{chain_, draw_}) panic("chain exploded");
    if (script_->error_at == std::pair{chain_, draw_}) return fail("leapfrog failed");
    NutsSampleStats stats;
    stats.chain = chain_;
    stats.draw = draw_;
    stats.tuning = draw_ <= num_tune_;
    stats.potential_stats.step_size = 0.25;
    stats.strategy_stats.n_steps = 3;
    for (std::uint64_t d : script_->diverging_draws) {
      if (d == draw_) stats.divergence_info.emplace();
    }
    std::vector<double> point{static_cast<double>(chain_), static_cast<double>(draw_)};
    ++draw_;
    script_->draws_made[chain_].fetch_add(1);
    return std::pair{std::move(point), std::move(stats)};
  }

 private:
  std::shared_ptr<Script> script_;
  std::uint64_t chain_;
  std::uint64_t num_tune_;
  std::uint64_t draw_ = 0;
};

struct TestModel {
  std::shared_ptr<Script> script;

  Result<TestMath> math() const {
    if (script->math_fails) return fail("density has no data");
    return TestMath{};
  }
  Status init_position(TestRng&, std::span<double> position) const {
    for (double& x : position) x = 0.0001;
    return {};
  }
  TestStorage new_trace() const { return TestStorage(script); }
  std::size_t dim() const { return kDim; }
};

struct TestSettings {
  using SeedRng = TestRng;
  std::shared_ptr<Script> script{};
  std::uint64_t tune = 3;
  std::uint64_t draws = 5;
  std::uint64_t chains = 2;
  std::uint64_t seed_value = 42;

  std::uint64_t num_tune() const { return tune; }
  std::uint64_t num_draws() const { return draws; }
  std::uint64_t num_chains() const { return chains; }
  std::uint64_t seed() const { return seed_value; }

  TestChain new_chain(std::uint64_t chain, TestMath, TestRng& rng) const {
    check(chain < kMaxChains, "chain < kMaxChains");
    check(rng.seed == seed_value, "rng.seed == seed_value");
    script->seed_streams[chain].store(rng.stream);
    return TestChain(script, chain, tune);
  }
  TestStatsBuilder new_stats_builder(std::size_t) const { return TestStatsBuilder{}; }
};

static_assert(Runnable<TestModel, TestSettings>);

}  // namespace varnel::testing
