#pragma once
// The Python class NUTSEstimator (submodule `posterior`).

#include "posterior.hpp"
#include "py/object.hpp"

namespace varnel {

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_posterior(PyObject* module);

}  // namespace varnel
