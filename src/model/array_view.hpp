#pragma once
// Read-only views of caller-owned arrays: a pointer, lengths and strides in
// elements (negative strides allowed), so that any memory layout (C or
// Fortran order, sliced, reversed, transposed) is read through the same
// accessors. The viewed memory must outlive the view.

#include <cstddef>
#include <cstdint>

#include "sampler/panic.hpp"

namespace varnel {

// A two-dimensional array of doubles, element (i, j) at data[i*row_stride + j*col_stride].
struct MatrixView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;

  // Element (i, j); the caller guarantees i < rows and j < cols.
  double unchecked_at(std::size_t i, std::size_t j) const noexcept {
    return data[static_cast<std::ptrdiff_t>(i) * row_stride +
                static_cast<std::ptrdiff_t>(j) * col_stride];
  }
  // Element (i, j); an index failure (Panic) when either is out of range,
  // reporting the column first since rows are bounded by the callers' loops.
  double at(std::size_t i, std::size_t j) const {
    check_index(i, rows);
    check_index(j, cols);
    return unchecked_at(i, j);
  }
};

// A one-dimensional array of doubles, element i at data[i*stride].
struct VectorView {
  const double* data = nullptr;
  std::size_t len = 0;
  std::ptrdiff_t stride = 0;

  double unchecked_at(std::size_t i) const noexcept {
    return data[static_cast<std::ptrdiff_t>(i) * stride];
  }
  // Element i; an index failure (Panic) when i >= len.
  double at(std::size_t i) const {
    check_index(i, len);
    return unchecked_at(i);
  }
};

// A one-dimensional array of one-byte booleans; any non-zero byte is true.
struct BoolVectorView {
  const std::uint8_t* data = nullptr;
  std::size_t len = 0;
  std::ptrdiff_t stride = 0;

  bool unchecked_at(std::size_t i) const noexcept {
    return data[static_cast<std::ptrdiff_t>(i) * stride] != 0;
  }
  bool at(std::size_t i) const {
    check_index(i, len);
    return unchecked_at(i);
  }
};

}  // namespace varnel
