#pragma once
// The Python class ContrastSensitivityModel (submodule `models`): the
// truncated log-parabola CSF with a psychometric function of log contrast.

#include "python/py/object.hpp"

namespace varnel {

// Creates the class and sets it as an attribute of `module` (not in __all__).
void register_contrast_sensitivity_model(PyObject* module);

}  // namespace varnel
