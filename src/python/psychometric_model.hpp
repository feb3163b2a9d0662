#pragma once
// The Python class PsychometricModel (submodule `models`): the model with
// guess and lapse rates, a positive slope and a choice of link.

#include "python/py/object.hpp"

namespace varnel {

// Creates the class and sets it as an attribute of `module` (not in __all__).
void register_general_model(PyObject* module);

}  // namespace varnel
