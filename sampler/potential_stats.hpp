#pragma once
// Statistics columns of the Euclidean potential: the step size used for the
// draw and, when stored, the diagonal of the inverse mass matrix.

#include <cstddef>
#include <memory>
#include <optional>

#include <arrow/type_fwd.h>

#include "arrow_columns.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "stat_trace.hpp"

namespace varnel {

// The column "mass_matrix_inv" (nullable FixedSizeList<float64>[dim]), present
// exactly when `store_mass_matrix` is set; with no column, inspect and
// finalize return nullptr.
class DiagMassMatrixStatsBuilder {
 public:
  // Panic when dim does not fit an Arrow list size (with the flag set).
  static DiagMassMatrixStatsBuilder create(const NutsSettings& settings, std::size_t dim);

  bool has_columns() const noexcept { return mass_matrix_inv_.has_value(); }
  // Room for one more row; Panic when a stored diagonal does not have dim
  // values or memory runs out. Changes no content.
  void reserve_for(const DiagMassMatrixStats& stats);
  void append_reserved(const DiagMassMatrixStats& stats);
  void append_value(DiagMassMatrixStats stats);
  std::shared_ptr<arrow::StructArray> inspect() const;
  std::shared_ptr<arrow::StructArray> finalize() &&;

 private:
  explicit DiagMassMatrixStatsBuilder(std::optional<Float64ListColumn> column);

  std::optional<Float64ListColumn> mass_matrix_inv_;
};

static_assert(StatTraceBuilder<DiagMassMatrixStatsBuilder, DiagMassMatrixStats>);

// The column "step_size" (Float64, not nullable) followed by the mass
// matrix's columns.
class PotentialStatsBuilder {
 public:
  static PotentialStatsBuilder create(const NutsSettings& settings, std::size_t dim);

  void reserve_for(const PotentialStats& stats);
  void append_reserved(const PotentialStats& stats);
  void append_value(PotentialStats stats);
  std::shared_ptr<arrow::StructArray> inspect() const;
  std::shared_ptr<arrow::StructArray> finalize() &&;

 private:
  PotentialStatsBuilder(Float64Column step_size, DiagMassMatrixStatsBuilder mass_matrix);
  template <class Self>
  static std::shared_ptr<arrow::StructArray> build(Self& self);

  Float64Column step_size_;
  DiagMassMatrixStatsBuilder mass_matrix_;
};

static_assert(StatTraceBuilder<PotentialStatsBuilder, PotentialStats>);

}  // namespace varnel
