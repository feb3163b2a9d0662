#pragma once
// exp and log four (AVX2) or eight (AVX-512) lanes at a time with exactly the
// C library's results.
//
// The C library here computes both from tables (exp: 2^(i/128) as a scale and a
// tail; log: 1/c and log c for 128 subintervals) and short polynomials, with
// fused multiply-adds where its FMA build fuses them. The lanes repeat that
// arithmetic operation by operation on the library's own tables, which are
// located in the loaded library at the first use rather than copied, so that
// they are the ones the scalar calls use. Inputs outside the common path of
// either function (huge, tiny for log, subnormal, zero, negative, inf, NaN) go
// to the scalar library call, lane by lane.
//
// Whether the lanes may be used is decided once per process: the processor
// must have AVX2 and FMA (AVX-512 F and DQ for eight lanes), the tables must
// be found, and a self-check comparing the lanes with the library on about
// 80 000 spread inputs (a millisecond) must find every bit equal, for each
// width. Otherwise everything here falls back to the library calls, so the
// results are always the library's.
//
// Shared state: the tables and the decision are process-wide, written once
// under the initialisation guard of a function-local static, then read-only.

#include <cstddef>
#include <span>

namespace varnel::exact_exp_log {

// True when the vector lanes are in use (processor features, tables found,
// self-check passed). Computed at the first call and cached for the process.
bool lanes_ready() noexcept;

// out[i] = std::exp(x[i]) and out[i] = std::log(x[i]), bit for bit, through
// the lanes where lanes_ready() and the library call elsewhere. `use_lanes`
// false forces the library call everywhere. Precondition: out.size() >= x.size().
void exp_array(std::span<const double> x, std::span<double> out, bool use_lanes = true) noexcept;
void log_array(std::span<const double> x, std::span<double> out, bool use_lanes = true) noexcept;

}  // namespace varnel::exact_exp_log
