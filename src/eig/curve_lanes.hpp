#pragma once
// The psychometric model's band in the exact lanes: p(yes | θ_i, x) for
// four rows at a time, bit for bit the scalar p_yes.

#include <span>

#include "model/psychometric.hpp"
#include "model/quantities.hpp"

namespace varnel {

// The percentile kernels in eight lanes where the processor has them, else
// the plain ones (the same results).
PercentileKernels percentile_kernels() noexcept;

// response_band(model, rows, xs, percents, threads) with the curve in lanes
// where the processor and the library allow them.
ResponseBand psychometric_band(const PsychometricModel& model, std::span<const double> rows,
                               std::span<const double> xs, std::span<const double> percents,
                               unsigned threads = 0);

}  // namespace varnel
