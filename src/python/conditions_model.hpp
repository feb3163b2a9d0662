#pragma once
// The Python class ConditionsPsychometricModel (submodule `models`):
// interleaved conditions with a location each and shared or per-condition
// slope and rates.

#include "python/py/object.hpp"

namespace varnel {

// Creates the class and sets it as an attribute of `module` (not in __all__).
void register_conditions_model(PyObject* module);

}  // namespace varnel
