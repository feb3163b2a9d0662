#include "adapt_strategy.hpp"

#include <cmath>
#include <limits>

#include "panic.hpp"

namespace varnel {

std::uint64_t u64_from_double(double x) noexcept {
  // 2^64 is exactly representable; every double below it truncates into range.
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (!(x > 0.0)) return 0;  // negative, zero and NaN
  if (x >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

std::uint64_t early_window_end(std::uint64_t num_tune, const AdaptSettings& settings) noexcept {
  return u64_from_double(static_cast<double>(num_tune) * settings.early_window_fraction);
}

std::uint64_t final_window_start(std::uint64_t num_tune, const AdaptSettings& settings) noexcept {
  const std::uint64_t window =
      u64_from_double(static_cast<double>(num_tune) * settings.step_size_window_fraction);
  return window > num_tune ? 0 : num_tune - window;
}

std::uint64_t GlobalStrategy::checked_early_end(const AdaptSettings& settings,
                                                std::uint64_t num_tune) {
  const std::uint64_t early_end = early_window_end(num_tune, settings);
  check(early_end < num_tune, "early_end < num_tune");
  return early_end;
}

GlobalStrategy::GlobalStrategy(const AdaptSettings& settings, std::size_t dim,
                               std::uint64_t num_tune)
    : step_size_(settings.step_size),
      num_tune_(num_tune),
      early_end_(checked_early_end(settings, num_tune)),
      final_window_start_(varnel::final_window_start(num_tune, settings)),
      mass_matrix_(dim, settings.mass_matrix.store_mass_matrix,
                   settings.mass_matrix.grad_based_estimate),
      settings_(settings) {}

}  // namespace varnel
