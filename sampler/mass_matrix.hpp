#pragma once
// The diagonal mass matrix of the Euclidean potential, as the integrator reads
// it. The warm-up adaptation writes `variance` and `inv_stds` together.

#include <vector>

#include "sample_stats.hpp"
#include "vector.hpp"

namespace varnel {

struct DiagMassMatrix {
  Vector variance;  // diagonal of the inverse mass matrix: velocity = variance (.) momentum
  Vector inv_stds;  // sqrt(1 / variance): scales of the momentum draws
  bool store_mass_matrix = false;  // report `variance` with every draw

  // Both diagonals zero (the adaptation's init sets them before any momentum
  // is drawn), of the math backend's dimension.
  template <class Math>
  static DiagMassMatrix create(Math& math, bool store_mass_matrix) {
    return DiagMassMatrix{math.zero_vector(), math.zero_vector(), store_mass_matrix};
  }

  // The statistics of a draw: a copy of `variance` when it is stored.
  DiagMassMatrixStats stats() const {
    DiagMassMatrixStats out;
    if (store_mass_matrix) out.mass_matrix_inv.emplace(variance.begin(), variance.end());
    return out;
  }
};

}  // namespace varnel
