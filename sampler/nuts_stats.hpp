#pragma once
// The chain-level statistics table: one row per draw, one column per
// statistic. Own columns "depth" .. "energy_error" come first, then the
// potential's ("step_size", optionally "mass_matrix_inv"), then the warm-up
// schedule's ("step_size_bar" .. "n_steps"), then the optional own columns
// "gradient", "unconstrained_draw" and the five divergence columns, each
// present only when its storage flag is set.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <arrow/type_fwd.h>

#include "arrow_columns.hpp"
#include "potential_stats.hpp"
#include "sample_stats.hpp"
#include "settings.hpp"
#include "stat_trace.hpp"
#include "stepsize_stats.hpp"

namespace varnel {

class NutsStatsBuilder {
 public:
  // Columns as the storage flags of `settings` select; `dim` is the length of
  // every list column. The per-draw columns reserve room for
  // num_tune + num_draws rows, capped (they grow beyond it). Panic when a list
  // column is selected and dim does not fit an Arrow list size, or when
  // memory runs out.
  static NutsStatsBuilder create(const NutsSettings& settings, std::size_t dim);

  // Appends one row, whole or not at all. Panic when a stored vector does not
  // have dim values, a column would exceed Arrow's limits, or memory runs out.
  void append_value(NutsSampleStats stats);
  // All rows so far, copied; appends may continue afterwards.
  std::shared_ptr<arrow::StructArray> inspect() const;
  // All rows; consumes the builder.
  std::shared_ptr<arrow::StructArray> finalize() &&;

 private:
  struct DivergenceColumns {
    Float64ListColumn start;
    Float64ListColumn start_gradient;
    Float64ListColumn end;
    Float64ListColumn momentum;
    Utf8Column message;
  };

  NutsStatsBuilder(std::int64_t rows, PotentialStatsBuilder potential,
                   CombinedStatsBuilder strategy);
  template <class Self>
  static std::shared_ptr<arrow::StructArray> build(Self& self);

  UInt64Column depth_;
  BoolColumn maxdepth_reached_;
  Int64Column index_in_trajectory_;
  Float64Column logp_;
  Float64Column energy_;
  UInt64Column chain_;
  UInt64Column draw_;
  BoolColumn diverging_;
  Float64Column energy_error_;
  PotentialStatsBuilder potential_;
  CombinedStatsBuilder strategy_;
  std::optional<Float64ListColumn> gradient_;
  std::optional<Float64ListColumn> unconstrained_draw_;
  std::optional<DivergenceColumns> divergences_;
};

static_assert(StatTraceBuilder<NutsStatsBuilder, NutsSampleStats>);

}  // namespace varnel
