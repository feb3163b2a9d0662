#include "stepsize_stats.hpp"

#include <type_traits>
#include <utility>

#include <arrow/array.h>

namespace varnel {

namespace stepsize_adapt {

StatsBuilder StatsBuilder::create(const NutsSettings&, std::size_t) {
  return StatsBuilder(default_column_capacity);
}

StatsBuilder::StatsBuilder(std::int64_t capacity)
    : step_size_bar_("step_size_bar", capacity),
      mean_tree_accept_("mean_tree_accept", capacity),
      mean_tree_accept_sym_("mean_tree_accept_sym", capacity),
      n_steps_("n_steps", capacity) {}

void StatsBuilder::reserve_for(const Stats&) {
  step_size_bar_.reserve_row();
  mean_tree_accept_.reserve_row();
  mean_tree_accept_sym_.reserve_row();
  n_steps_.reserve_row();
}

void StatsBuilder::append_reserved(const Stats& stats) {
  step_size_bar_.append_reserved(stats.step_size_bar);
  mean_tree_accept_.append_reserved(stats.mean_tree_accept);
  mean_tree_accept_sym_.append_reserved(stats.mean_tree_accept_sym);
  n_steps_.append_reserved(stats.n_steps);
}

void StatsBuilder::append_value(Stats stats) {
  reserve_for(stats);
  append_reserved(stats);
}

template <class Self>
std::shared_ptr<arrow::StructArray> StatsBuilder::build(Self& self) {
  const auto take = [](auto& column) {
    if constexpr (std::is_const_v<Self>) {
      return column.snapshot();
    } else {
      return column.finish();
    }
  };
  StructColumns columns;
  columns.add("step_size_bar", false, take(self.step_size_bar_));
  columns.add("mean_tree_accept", false, take(self.mean_tree_accept_));
  columns.add("mean_tree_accept_sym", false, take(self.mean_tree_accept_sym_));
  columns.add("n_steps", false, take(self.n_steps_));
  return std::move(columns).make();
}

std::shared_ptr<arrow::StructArray> StatsBuilder::inspect() const { return build(*this); }

std::shared_ptr<arrow::StructArray> StatsBuilder::finalize() && { return build(*this); }

}  // namespace stepsize_adapt

CombinedStatsBuilder CombinedStatsBuilder::create(const NutsSettings& settings, std::size_t dim) {
  return CombinedStatsBuilder(stepsize_adapt::StatsBuilder::create(settings, dim));
}

CombinedStatsBuilder::CombinedStatsBuilder(stepsize_adapt::StatsBuilder step_size)
    : step_size_(std::move(step_size)) {}

void CombinedStatsBuilder::reserve_for(const stepsize_adapt::Stats& stats) {
  step_size_.reserve_for(stats);
}

void CombinedStatsBuilder::append_reserved(const stepsize_adapt::Stats& stats) {
  step_size_.append_reserved(stats);
}

void CombinedStatsBuilder::append_value(stepsize_adapt::Stats stats) {
  step_size_.append_value(stats);
}

std::shared_ptr<arrow::StructArray> CombinedStatsBuilder::inspect() const {
  return step_size_.inspect();
}

std::shared_ptr<arrow::StructArray> CombinedStatsBuilder::finalize() && {
  return std::move(step_size_).finalize();
}

}  // namespace varnel
