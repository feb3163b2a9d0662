#include "estimation/run.hpp"

#include <arrow/api.h>

#include <cmath>
#include <limits>

namespace varnel {

std::chrono::nanoseconds to_duration(const TimeLimit& limit) {
  using std::chrono::nanoseconds;
  constexpr std::uint64_t kMaxSecs =
      static_cast<std::uint64_t>(std::numeric_limits<nanoseconds::rep>::max()) / 1'000'000'000 - 1;
  if (limit.secs >= kMaxSecs) return nanoseconds::max();
  return std::chrono::seconds(limit.secs) + nanoseconds(limit.nanos);
}

Trace finished_trace(SliceWaitResult&& waited) {
  if (auto* trace = std::get_if<Trace>(&waited)) return std::move(*trace);
  if (auto* failed = std::get_if<SamplerFailed>(&waited)) panic("Error: " + failed->error.debug_text());
  if (std::holds_alternative<SamplerInterrupted>(waited)) panic("sampling was interrupted");
  // The handle inside the timeout ends the run in the background as it goes.
  panic("Timeout");
}

ChainDraws chain_draws(const ChainOutput& output, std::size_t dim) {
  auto list = std::dynamic_pointer_cast<arrow::FixedSizeListArray>(output.draws);
  if (!list) panic_unwrap_none();
  auto values = std::dynamic_pointer_cast<arrow::DoubleArray>(list->values());
  if (!values) panic_unwrap_none();
  const auto width = static_cast<std::size_t>(list->list_type()->list_size());
  if (width == 0) panic("attempt to divide by zero");
  const auto count = static_cast<std::size_t>(list->length()) * width;
  if (width != dim || count % width != 0) {
    panic("Failed to create Array2: ShapeError/IncompatibleShape: incompatible shapes");
  }
  const double* first = values->raw_values() + list->value_offset(0);
  ChainDraws out;
  out.values.assign(first, first + count);
  out.rows = count / width;
  out.dim = width;
  return out;
}

MoveSettings move_settings(const NUTSEstimator& estimator, double step_size, std::uint64_t num_steps) {
  if (!(step_size > 0.0 && std::isfinite(step_size))) {
    throw ArgumentError("argument 'step_size': must be positive and finite");
  }
  MoveSettings settings;
  settings.step_size = step_size;
  settings.num_steps = num_steps;
  settings.maxdepth = estimator.settings.maxdepth;
  settings.max_energy_error = estimator.settings.max_energy_error;
  settings.seed = estimator.settings.seed;
  const auto limit = to_duration(estimator.time_limit);
  const auto now = std::chrono::steady_clock::now();
  settings.deadline = limit >= std::chrono::steady_clock::time_point::max() - now
                          ? std::chrono::steady_clock::time_point::max()
                          : now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
  return settings;
}

}  // namespace varnel
