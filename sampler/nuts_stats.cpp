#include "nuts_stats.hpp"

#include <limits>
#include <string_view>
#include <type_traits>
#include <utility>

#include <arrow/array.h>

namespace varnel {

NutsStatsBuilder NutsStatsBuilder::create(const NutsSettings& settings, std::size_t dim) {
  const std::uint64_t total = settings.num_draws > std::numeric_limits<std::uint64_t>::max() -
                                                       settings.num_tune
                                  ? std::numeric_limits<std::uint64_t>::max()
                                  : settings.num_tune + settings.num_draws;
  const std::int64_t rows = row_capacity_hint(total);
  // Only list columns need dim to fit Arrow's 32-bit list size.
  const bool has_lists =
      settings.store_gradient || settings.store_unconstrained || settings.store_divergences;
  const std::int32_t list_size = has_lists ? checked_list_size(dim) : 0;

  NutsStatsBuilder builder(rows, PotentialStatsBuilder::create(settings, dim),
                           CombinedStatsBuilder::create(settings, dim));
  if (settings.store_gradient) {
    builder.gradient_.emplace("gradient", list_size, rows, value_capacity_hint(rows, list_size));
  }
  if (settings.store_unconstrained) {
    builder.unconstrained_draw_.emplace("unconstrained_draw", list_size, rows,
                                        value_capacity_hint(rows, list_size));
  }
  if (settings.store_divergences) {
    const auto list = [&](const char* name) {
      return Float64ListColumn(name, list_size, default_column_capacity, default_column_capacity);
    };
    builder.divergences_.emplace(DivergenceColumns{
        list("divergence_start"), list("divergence_start_gradient"), list("divergence_end"),
        list("divergence_momentum"),
        Utf8Column("divergence_message", default_column_capacity, default_column_capacity)});
  }
  return builder;
}

NutsStatsBuilder::NutsStatsBuilder(std::int64_t rows, PotentialStatsBuilder potential,
                                   CombinedStatsBuilder strategy)
    : depth_("depth", rows),
      maxdepth_reached_("maxdepth_reached", rows),
      index_in_trajectory_("index_in_trajectory", rows),
      logp_("logp", rows),
      energy_("energy", rows),
      chain_("chain", rows),
      draw_("draw", rows),
      diverging_("diverging", rows),
      energy_error_("energy_error", rows),
      potential_(std::move(potential)),
      strategy_(std::move(strategy)) {}

void NutsStatsBuilder::append_value(NutsSampleStats stats) {
  const DivergenceInfo* divergence =
      stats.divergence_info ? &*stats.divergence_info : nullptr;
  const auto divergence_vector = [&](const std::optional<std::vector<double>> DivergenceInfo::*member)
      -> std::optional<std::span<const double>> {
    if (divergence == nullptr) return std::nullopt;
    return as_span(divergence->*member);
  };
  std::optional<std::string_view> message;
  if (divergence != nullptr && divergence->density_error != nullptr) {
    message = divergence->density_error->message();
  }

  // Make room everywhere first, so that a failure leaves every column at the
  // same length and the rows appended so far stay readable.
  depth_.reserve_row();
  maxdepth_reached_.reserve_row();
  index_in_trajectory_.reserve_row();
  logp_.reserve_row();
  energy_.reserve_row();
  chain_.reserve_row();
  draw_.reserve_row();
  diverging_.reserve_row();
  energy_error_.reserve_row();
  potential_.reserve_for(stats.potential_stats);
  strategy_.reserve_for(stats.strategy_stats);
  if (gradient_) gradient_->reserve_for(as_span(stats.gradient));
  if (unconstrained_draw_) unconstrained_draw_->reserve_for(as_span(stats.unconstrained_draw));
  if (divergences_) {
    divergences_->start.reserve_for(divergence_vector(&DivergenceInfo::start_position));
    divergences_->start_gradient.reserve_for(divergence_vector(&DivergenceInfo::start_gradient));
    divergences_->end.reserve_for(divergence_vector(&DivergenceInfo::end_position));
    divergences_->momentum.reserve_for(divergence_vector(&DivergenceInfo::end_momentum));
    divergences_->message.reserve_for(message);
  }

  depth_.append_reserved(stats.depth);
  maxdepth_reached_.append_reserved(stats.maxdepth_reached);
  index_in_trajectory_.append_reserved(stats.index_in_trajectory);
  logp_.append_reserved(stats.logp);
  energy_.append_reserved(stats.energy);
  chain_.append_reserved(stats.chain);
  draw_.append_reserved(stats.draw);
  diverging_.append_reserved(divergence != nullptr);
  energy_error_.append_reserved(stats.energy_error);
  if (gradient_) gradient_->append_reserved(as_span(stats.gradient));
  if (unconstrained_draw_) unconstrained_draw_->append_reserved(as_span(stats.unconstrained_draw));
  if (divergences_) {
    divergences_->start.append_reserved(divergence_vector(&DivergenceInfo::start_position));
    divergences_->start_gradient.append_reserved(
        divergence_vector(&DivergenceInfo::start_gradient));
    divergences_->end.append_reserved(divergence_vector(&DivergenceInfo::end_position));
    divergences_->momentum.append_reserved(divergence_vector(&DivergenceInfo::end_momentum));
    divergences_->message.append_reserved(message);
  }
  potential_.append_reserved(stats.potential_stats);
  strategy_.append_reserved(stats.strategy_stats);
}

template <class Self>
std::shared_ptr<arrow::StructArray> NutsStatsBuilder::build(Self& self) {
  constexpr bool snapshot = std::is_const_v<Self>;
  const auto take = [](auto& column) {
    if constexpr (snapshot) {
      return column.snapshot();
    } else {
      return column.finish();
    }
  };
  StructColumns columns;
  columns.add("depth", false, take(self.depth_));
  columns.add("maxdepth_reached", false, take(self.maxdepth_reached_));
  columns.add("index_in_trajectory", false, take(self.index_in_trajectory_));
  columns.add("logp", false, take(self.logp_));
  columns.add("energy", false, take(self.energy_));
  columns.add("chain", false, take(self.chain_));
  columns.add("draw", false, take(self.draw_));
  columns.add("diverging", false, take(self.diverging_));
  columns.add("energy_error", false, take(self.energy_error_));
  if constexpr (snapshot) {
    columns.add_all(self.potential_.inspect());
    columns.add_all(self.strategy_.inspect());
  } else {
    columns.add_all(std::move(self.potential_).finalize());
    columns.add_all(std::move(self.strategy_).finalize());
  }
  // The optional own columns follow the children's.
  if (self.gradient_) columns.add("gradient", true, take(*self.gradient_));
  if (self.unconstrained_draw_) {
    columns.add("unconstrained_draw", true, take(*self.unconstrained_draw_));
  }
  if (self.divergences_) {
    auto& d = *self.divergences_;
    columns.add("divergence_start", true, take(d.start));
    columns.add("divergence_start_gradient", true, take(d.start_gradient));
    columns.add("divergence_end", true, take(d.end));
    columns.add("divergence_momentum", true, take(d.momentum));
    columns.add("divergence_message", true, take(d.message));
  }
  return std::move(columns).make();
}

std::shared_ptr<arrow::StructArray> NutsStatsBuilder::inspect() const { return build(*this); }

std::shared_ptr<arrow::StructArray> NutsStatsBuilder::finalize() && { return build(*this); }

}  // namespace varnel
