#pragma once
// The parameter samples an information-gain call averages over: rows taken
// evenly from given natural-scale rows, or prior draws. Row-major, dim()
// values per sample, for any model.

#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "model/argument_error.hpp"
#include "model/model.hpp"
#include "sampler/panic.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {

// Room for n_samples rows of dim values; an impossible size fails like any
// allocation.
inline std::vector<double> allocate_rows(std::uint64_t n_samples, std::size_t dim) {
  std::vector<double> rows;
  if (dim > 0 && n_samples > rows.max_size() / dim) throw std::bad_alloc();
  rows.resize(static_cast<std::size_t>(n_samples) * dim);
  return rows;
}

// Sample n is row floor(n·rows/n_samples) for n = 0 .. n_samples-1: evenly
// spaced through the rows, repeating rows when there are fewer rows than
// samples. `row_at(r, out)` writes the dim() values of row r (and throws for
// a row it cannot read). Precondition: rows >= 1.
template <ResponseModel M, class RowAt>
std::vector<double> select_rows(const M& model, std::uint64_t n_samples, std::size_t rows, RowAt&& row_at) {
  const std::size_t dim = model.dim();
  std::vector<double> out = allocate_rows(n_samples, dim);
  for (std::uint64_t n = 0; n < n_samples; ++n) {
    // n * rows fits 128 bits for any 64-bit operands.
    const auto r = static_cast<std::size_t>(static_cast<unsigned __int128>(n) * rows / n_samples);
    row_at(r, std::span<double>(out.data() + n * dim, dim));
  }
  return out;
}

// The width check of a given row of `width` values: exactly dim() for models
// whose rows are checked (ArgumentError naming `argument` and the parameter
// names), else at least dim() (the index failure otherwise).
template <ResponseModel M>
void check_row_width(const M& model, std::size_t width, const char* argument) {
  const std::size_t dim = model.dim();
  if constexpr (M::kEigRowsChecked) {
    if (width == dim) return;
    std::string names;
    for (const auto& name : model.param_names()) names += (names.empty() ? "" : ", ") + name;
    throw ArgumentError("argument '" + std::string(argument) + "': expected " + std::to_string(dim) +
                        " values per parameter vector (" + names + "), got " + std::to_string(width));
  } else {
    for (std::size_t j = 0; j < dim; ++j) check_index(j, width);
  }
}

// The support check of row r for models whose rows are checked.
template <ResponseModel M>
void check_row_support(const M& model, std::size_t r, std::span<const double> row, const char* argument) {
  if constexpr (M::kEigRowsChecked) {
    if (!model.in_support(row)) {
      throw ArgumentError("argument '" + std::string(argument) + "': row " + std::to_string(r) +
                          " is outside the model's support (" + std::string(M::kSupportText) + ")");
    }
  }
}

// n_samples natural-scale prior draws on the calling thread's generator.
template <ResponseModel M>
std::vector<double> draw_prior_rows(const M& model, std::uint64_t n_samples) {
  const std::size_t dim = model.dim();
  std::vector<double> out = allocate_rows(n_samples, dim);
  auto& rng = thread_rng();
  for (std::uint64_t n = 0; n < n_samples; ++n) model.draw_prior(rng, std::span<double>(out.data() + n * dim, dim));
  return out;
}

}  // namespace varnel
