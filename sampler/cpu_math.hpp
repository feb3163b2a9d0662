#pragma once
// CpuMath: a chain's math backend. It owns the chain's copy of the density and
// offers the vector operations of the integrator, the tree and the adaptation,
// all through the kernels. Owned by one chain, used by one thread at a time.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "density.hpp"
#include "distributions.hpp"
#include "error.hpp"
#include "math.hpp"
#include "panic.hpp"
#include "vector.hpp"

namespace varnel {

namespace cpu_math_detail {
inline void check_same_length(std::size_t source, std::size_t destination) {
  if (source != destination) [[unlikely]] {
    panic("source slice length (" + std::to_string(source) +
          ") does not match destination slice length (" + std::to_string(destination) + ")");
  }
}
}  // namespace cpu_math_detail

template <Density D>
class CpuMath {
 public:
  // Takes the density; simd_level is detected_simd_level() in production (0
  // forces the portable bodies of the array operations).
  CpuMath(D density, std::uint8_t simd_level)
      : density_(std::move(density)), dim_(density_.dim()), simd_level_(simd_level) {}

  std::size_t dim() const noexcept { return dim_; }
  std::uint8_t simd_level() const noexcept { return simd_level_; }
  const D& density() const noexcept { return density_; }
  D& density() noexcept { return density_; }

  // The log-density at `position`; `gradient` then holds its gradient.
  // Zero-fills the gradient itself before the density accumulates into it.
  // Density failures pass through unchanged; wrong lengths are a Panic.
  Result<double> logp(const Vector& position, Vector& gradient) {
    check(position.size() == dim_, "position.len() == n");
    check(gradient.size() == dim_, "gradient.len() == n");
    gradient.fill_zero();
    return density_.logp(position.span(), gradient.span());
  }

  Vector zero_vector() const { return Vector(dim_); }
  Vector copy_vector(const Vector& source) const { return Vector(source); }

  // Copies `source` into `dest`; lengths must agree (Panic otherwise).
  void read_position(std::span<const double> source, Vector& dest) const {
    cpu_math_detail::check_same_length(source.size(), dest.size());
    std::copy_n(source.data(), dest.size(), dest.data());
  }
  // Copies `source` out to `dest`; lengths must agree (Panic otherwise).
  void write_position(const Vector& source, std::span<double> dest) const {
    cpu_math_detail::check_same_length(source.size(), dest.size());
    std::copy_n(source.data(), dest.size(), dest.data());
  }

  bool all_finite_nonzero(const Vector& v) const noexcept {
    return varnel::all_finite_nonzero(v.span(), simd_level_);
  }

  // dest[i] = z_i * scales[i] with exactly n standard normals drawn in index
  // order. Vectors of another length are a Panic, before any draw.
  template <RandomGenerator G>
  void fill_scaled_normal(G& rng, Vector& dest, const Vector& scales) const {
    check(dest.size() == dim_, "dest.len() == n");
    check(scales.size() == dim_, "scales.len() == n");
    for (std::size_t i = 0; i < dest.size(); ++i) dest[i] = standard_normal(rng) * scales[i];
  }

  void multiply(const Vector& x, const Vector& y, Vector& out) const {
    varnel::multiply(x.span(), y.span(), out.span());
  }
  double vector_dot(const Vector& a, const Vector& b) const {
    return varnel::vector_dot(a.span(), b.span());
  }
  void axpy(const Vector& x, Vector& y, double a) const { varnel::axpy(x.span(), y.span(), a); }
  void axpy_out(const Vector& x, const Vector& y, double a, Vector& out) const {
    varnel::axpy_out(x.span(), y.span(), a, out.span());
  }
  std::pair<double, double> scalar_prods2(const Vector& positive1, const Vector& positive2,
                                          const Vector& x, const Vector& y) const {
    return varnel::scalar_prods2(positive1.span(), positive2.span(), x.span(), y.span());
  }
  std::pair<double, double> scalar_prods3(const Vector& positive1, const Vector& negative1,
                                          const Vector& positive2, const Vector& x,
                                          const Vector& y) const {
    return varnel::scalar_prods3(positive1.span(), negative1.span(), positive2.span(), x.span(),
                                 y.span());
  }

 private:
  D density_;
  std::size_t dim_;
  std::uint8_t simd_level_;
};

}  // namespace varnel
