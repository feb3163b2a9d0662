#pragma once
// Draws derived from a generator's 64-bit outputs: uniform doubles and the
// ziggurat standard normal. Generic over any G with `std::uint64_t next_u64()`;
// the arithmetic is fixed so that seeded runs reproduce bit for bit.

#include <array>
#include <bit>
#include <cmath>
#include <concepts>
#include <cstdint>

namespace varnel {

template <class G>
concept RandomGenerator = requires(G& g) {
  { g.next_u64() } -> std::same_as<std::uint64_t>;
};

// Uniform double in [0, 1): the top 53 bits scaled by 2^-53.
template <RandomGenerator G>
double uniform01(G& rng) {
  constexpr double kScale = 0x1p-53;
  return static_cast<double>(rng.next_u64() >> 11) * kScale;
}

// Uniform double in (0, 1): 52 random mantissa bits give a double in [1, 2),
// from which 1 - 2^-53 is subtracted.
template <RandomGenerator G>
double uniform_open01(G& rng) {
  constexpr std::uint64_t kOneExponent = 0x3ff0000000000000u;
  constexpr double kBelowOne = 0.9999999999999999;
  const std::uint64_t x = rng.next_u64();
  return std::bit_cast<double>((x >> 12) | kOneExponent) - kBelowOne;
}

// Ziggurat layers: X[i] is the right edge of layer i (X[0] the width of the
// base layer as a rectangle of equal area, X[1] the tail start R, X[256] = 0),
// F[i] = exp(-X[i]^2 / 2).
struct ZigguratTables {
  static constexpr int kLayers = 256;
  static constexpr double kTailStart = 3.6541528853610088;
  static constexpr double kLayerArea = 0.00492867323399;
  std::array<double, kLayers + 1> x;
  std::array<double, kLayers + 1> f;
};

// The tables, computed once per process (thread-safe) with the C library.
const ZigguratTables& ziggurat_tables() noexcept;

namespace distributions_detail {
// Exponential tail beyond R, on the side given by `negative`.
template <RandomGenerator G>
double normal_tail(G& rng, bool negative) {
  constexpr double r = ZigguratTables::kTailStart;
  double a = 0.0;
  for (;;) {
    a = std::log(uniform_open01(rng)) / r;
    const double b = std::log(uniform_open01(rng));
    if (-2.0 * b >= a * a) break;
  }
  return negative ? a - r : r - a;
}
}  // namespace distributions_detail

// Standard normal by the 256-layer ziggurat. One 64-bit output gives the layer
// (low 8 bits) and u in [-1, 1) (bits 12..63 as a mantissa in [2, 4), minus
// 3); the base layer falls back to the tail, the other layers to the wedge
// test with one more [0, 1) uniform. Rejected draws start over.
template <RandomGenerator G>
double standard_normal(G& rng) {
  constexpr std::uint64_t kTwoExponent = 0x4000000000000000u;
  const ZigguratTables& t = ziggurat_tables();
  for (;;) {
    const std::uint64_t bits = rng.next_u64();
    const auto i = static_cast<std::size_t>(bits & 0xff);
    const double u = std::bit_cast<double>((bits >> 12) | kTwoExponent) - 3.0;
    const double z = t.x[i] * u;
    if (std::abs(z) < t.x[i + 1]) return z;
    if (i == 0) return distributions_detail::normal_tail(rng, u < 0.0);
    const double below = t.f[i + 1];
    if (below + (t.f[i] - below) * uniform01(rng) < std::exp(-z * z / 2.0)) return z;
  }
}

}  // namespace varnel
