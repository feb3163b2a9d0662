#pragma once
// The Python class NUTSEstimator (submodule `posterior`).

#include "posterior.hpp"
#include "py/object.hpp"

namespace varnel {

// The class object (borrowed); null before register_posterior ran.
PyTypeObject* nuts_estimator_type() noexcept;

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_posterior(PyObject* module);

}  // namespace varnel
