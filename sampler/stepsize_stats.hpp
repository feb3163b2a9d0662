#pragma once
// Statistics columns of the step size adaptation and of the warm-up schedule
// that carries it (the mass matrix adaptation adds no columns).

#include <cstddef>
#include <memory>

#include <arrow/type_fwd.h>

#include "arrow_columns.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "stat_trace.hpp"

namespace varnel {

namespace stepsize_adapt {

// Columns "step_size_bar", "mean_tree_accept", "mean_tree_accept_sym"
// (Float64) and "n_steps" (UInt64), none nullable, in that order.
class StatsBuilder {
 public:
  static StatsBuilder create(const NutsSettings& settings, std::size_t dim);

  // Room for one more row; Panic when memory runs out. Changes no content.
  void reserve_for(const Stats& stats);
  // Appends a row after reserve_for.
  void append_reserved(const Stats& stats);
  // reserve_for, then append_reserved: a row is appended whole or not at all.
  void append_value(Stats stats);
  std::shared_ptr<arrow::StructArray> inspect() const;
  std::shared_ptr<arrow::StructArray> finalize() &&;

 private:
  explicit StatsBuilder(std::int64_t capacity);
  template <class Self>
  static std::shared_ptr<arrow::StructArray> build(Self& self);

  Float64Column step_size_bar_;
  Float64Column mean_tree_accept_;
  Float64Column mean_tree_accept_sym_;
  UInt64Column n_steps_;
};

static_assert(StatTraceBuilder<StatsBuilder, Stats>);

}  // namespace stepsize_adapt

// The warm-up schedule's statistics: exactly the step size adaptation's
// columns.
class CombinedStatsBuilder {
 public:
  static CombinedStatsBuilder create(const NutsSettings& settings, std::size_t dim);

  void reserve_for(const stepsize_adapt::Stats& stats);
  void append_reserved(const stepsize_adapt::Stats& stats);
  void append_value(stepsize_adapt::Stats stats);
  std::shared_ptr<arrow::StructArray> inspect() const;
  std::shared_ptr<arrow::StructArray> finalize() &&;

 private:
  explicit CombinedStatsBuilder(stepsize_adapt::StatsBuilder step_size);

  stepsize_adapt::StatsBuilder step_size_;
};

static_assert(StatTraceBuilder<CombinedStatsBuilder, stepsize_adapt::Stats>);

}  // namespace varnel
