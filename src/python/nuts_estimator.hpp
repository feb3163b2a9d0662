#pragma once
// The Python class NUTSEstimator (submodule `posterior`).

#include "estimation/posterior.hpp"
#include "python/py/object.hpp"

namespace varnel {

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_posterior(PyObject* module);

}  // namespace varnel
