#pragma once
// The Python class EnumeratedMonteCarloEstimator (submodule `eig`).

#include "python/py/object.hpp"
#include "python/py/object.hpp"

namespace varnel {

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_eig(PyObject* module);

}  // namespace varnel
