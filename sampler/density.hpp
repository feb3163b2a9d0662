#pragma once
// The Density interface: what the math backend needs from a log-density.

#include <concepts>
#include <cstddef>
#include <span>

#include "error.hpp"

namespace varnel {

// A log-density of fixed dimension. `logp` returns the log-density at
// `position` (dim() elements) and adds its gradient into `gradient` (dim()
// elements, zero-filled by the caller), or fails with an Error. Copyable:
// every chain works on a clone of its own.
template <class D>
concept Density = std::copy_constructible<D> &&
                  requires(D& d, const D& cd, std::span<const double> position,
                           std::span<double> gradient) {
                    { cd.dim() } -> std::convertible_to<std::size_t>;
                    { d.logp(position, gradient) } -> std::same_as<Result<double>>;
                  };

}  // namespace varnel
