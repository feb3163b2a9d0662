#include "distributions.hpp"

#include <cmath>

namespace varnel {
namespace {

double gaussian_shape(double x) { return std::exp(-x * x / 2.0); }

ZigguratTables make_ziggurat_tables() {
  constexpr double r = ZigguratTables::kTailStart;
  constexpr double v = ZigguratTables::kLayerArea;
  constexpr int n = ZigguratTables::kLayers;
  ZigguratTables t{};
  t.x[0] = v / gaussian_shape(r);
  t.x[1] = r;
  for (int i = 2; i < n; ++i) {
    const double prev = t.x[static_cast<std::size_t>(i - 1)];
    t.x[static_cast<std::size_t>(i)] = std::sqrt(-2.0 * std::log(v / prev + gaussian_shape(prev)));
  }
  t.x[n] = 0.0;
  for (std::size_t i = 0; i <= static_cast<std::size_t>(n); ++i) t.f[i] = gaussian_shape(t.x[i]);
  return t;
}

}  // namespace

const ZigguratTables& ziggurat_tables() noexcept {
  static const ZigguratTables tables = make_ziggurat_tables();
  return tables;
}

}  // namespace varnel
