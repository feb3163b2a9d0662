#pragma once
// The Python class EnumeratedMonteCarloEstimator (submodule `eig`).

#include "eig.hpp"
#include "py/object.hpp"

namespace varnel {

// The class object (borrowed); null before register_eig ran.
PyTypeObject* eig_estimator_type() noexcept;

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_eig(PyObject* module);

}  // namespace varnel
