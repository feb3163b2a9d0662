#pragma once
// The Python class TwoParameterPsychometricModel (submodule `models`).

#include "python/py/object.hpp"

namespace varnel {

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_models(PyObject* module);

}  // namespace varnel
