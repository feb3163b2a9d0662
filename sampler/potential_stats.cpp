#include "potential_stats.hpp"

#include <type_traits>
#include <utility>

#include <arrow/array.h>

namespace varnel {

DiagMassMatrixStatsBuilder DiagMassMatrixStatsBuilder::create(const NutsSettings& settings,
                                                              std::size_t dim) {
  if (!settings.adapt.mass_matrix.store_mass_matrix) return DiagMassMatrixStatsBuilder(std::nullopt);
  return DiagMassMatrixStatsBuilder(Float64ListColumn("mass_matrix_inv", checked_list_size(dim),
                                                      default_column_capacity,
                                                      default_column_capacity));
}

DiagMassMatrixStatsBuilder::DiagMassMatrixStatsBuilder(std::optional<Float64ListColumn> column)
    : mass_matrix_inv_(std::move(column)) {}

void DiagMassMatrixStatsBuilder::reserve_for(const DiagMassMatrixStats& stats) {
  if (mass_matrix_inv_) mass_matrix_inv_->reserve_for(as_span(stats.mass_matrix_inv));
}

void DiagMassMatrixStatsBuilder::append_reserved(const DiagMassMatrixStats& stats) {
  if (mass_matrix_inv_) mass_matrix_inv_->append_reserved(as_span(stats.mass_matrix_inv));
}

void DiagMassMatrixStatsBuilder::append_value(DiagMassMatrixStats stats) {
  reserve_for(stats);
  append_reserved(stats);
}

std::shared_ptr<arrow::StructArray> DiagMassMatrixStatsBuilder::inspect() const {
  if (!mass_matrix_inv_) return nullptr;
  StructColumns columns;
  columns.add("mass_matrix_inv", true, mass_matrix_inv_->snapshot());
  return std::move(columns).make();
}

std::shared_ptr<arrow::StructArray> DiagMassMatrixStatsBuilder::finalize() && {
  if (!mass_matrix_inv_) return nullptr;
  StructColumns columns;
  columns.add("mass_matrix_inv", true, mass_matrix_inv_->finish());
  return std::move(columns).make();
}

PotentialStatsBuilder PotentialStatsBuilder::create(const NutsSettings& settings,
                                                    std::size_t dim) {
  return PotentialStatsBuilder(Float64Column("step_size", default_column_capacity),
                               DiagMassMatrixStatsBuilder::create(settings, dim));
}

PotentialStatsBuilder::PotentialStatsBuilder(Float64Column step_size,
                                             DiagMassMatrixStatsBuilder mass_matrix)
    : step_size_(std::move(step_size)), mass_matrix_(std::move(mass_matrix)) {}

void PotentialStatsBuilder::reserve_for(const PotentialStats& stats) {
  step_size_.reserve_row();
  mass_matrix_.reserve_for(stats.mass_matrix);
}

void PotentialStatsBuilder::append_reserved(const PotentialStats& stats) {
  step_size_.append_reserved(stats.step_size);
  mass_matrix_.append_reserved(stats.mass_matrix);
}

void PotentialStatsBuilder::append_value(PotentialStats stats) {
  reserve_for(stats);
  append_reserved(stats);
}

template <class Self>
std::shared_ptr<arrow::StructArray> PotentialStatsBuilder::build(Self& self) {
  StructColumns columns;
  if constexpr (std::is_const_v<Self>) {
    columns.add("step_size", false, self.step_size_.snapshot());
    columns.add_all(self.mass_matrix_.inspect());
  } else {
    columns.add("step_size", false, self.step_size_.finish());
    columns.add_all(std::move(self.mass_matrix_).finalize());
  }
  return std::move(columns).make();
}

std::shared_ptr<arrow::StructArray> PotentialStatsBuilder::inspect() const { return build(*this); }

std::shared_ptr<arrow::StructArray> PotentialStatsBuilder::finalize() && { return build(*this); }

}  // namespace varnel
