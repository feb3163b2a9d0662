#pragma once
// The Python class TwoParameterPsychometricModel (submodule `models`).

#include "python/py/object.hpp"
#include "model/two_param_psychometric.hpp"

namespace varnel {

// The "model" argument kind: a copy of the record of an instance of the class
// or of a subclass; TypeError "'<type>' object cannot be converted to
// 'TwoParameterPsychometricModel'" and PythonErrorSet otherwise.
TwoParameterPsychometricModel to_model(PyObject* obj);

// Creates the class and adds it to `module`. Throws PythonErrorSet or Panic.
void register_models(PyObject* module);

}  // namespace varnel
