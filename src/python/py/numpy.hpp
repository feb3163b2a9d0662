#pragma once
// NumPy through its C API table (the `_ARRAY_API` capsule), without NumPy's
// headers: type and dtype checks, read-only views of caller arrays through
// their strides, and float64 result arrays over natively allocated buffers.
//
// The table is bound on first use; failing to get it is an internal failure
// (Panic "Failed to access NumPy array API capsule").

#include "python/py/object.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "model/array_view.hpp"

namespace varnel::py {

// The error target of the array kinds.
inline constexpr std::string_view kArrayTarget = "PyArray<T, D>";

// A float64 matrix argument. The view reads the caller's array; only when its
// strides or alignment do not allow reading doubles in place (a strided view
// of a record array, say) does `copy` hold a row-major copy that the view reads.
struct F64Matrix {
  MatrixView view;
  std::vector<double> copy;
};

// A float64 vector argument, as F64Matrix.
struct F64Vector {
  VectorView view;
  std::vector<double> copy;
};

// Argument kinds. A non-array, another dimensionality or a dtype not
// equivalent to float64 (bool) raises TypeError "'<type>' object cannot be
// converted to 'PyArray<T, D>'". Views borrow from `obj`.
F64Matrix to_f64_matrix(PyObject* obj);
F64Vector to_f64_vector(PyObject* obj);
BoolVectorView to_bool_vector(PyObject* obj);

// The float64 matrix view of `obj` when it is a two-dimensional array with a
// dtype equivalent to float64; nullopt (and no exception) for anything else.
std::optional<F64Matrix> try_f64_matrix(PyObject* obj);

// A new C-contiguous writeable float64 array of the given shape over
// `buffer`, which it takes over (no copy); its base is an owner object that
// frees the buffer. The product of `shape` must equal buffer.size().
PyRef new_f64_array(std::vector<double>&& buffer, std::span<const Py_ssize_t> shape);

// A one-dimensional float64 array over `buffer`.
inline PyRef new_f64_array(std::vector<double>&& buffer) {
  const Py_ssize_t shape[1] = {static_cast<Py_ssize_t>(buffer.size())};
  return new_f64_array(std::move(buffer), shape);
}

}  // namespace varnel::py
