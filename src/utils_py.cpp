#include "utils_py.hpp"

#include "two_param_psychometric_py.hpp"

namespace varnel {

std::optional<TwoParameterPsychometricModel> try_extract_model(PyObject* obj) noexcept {
  try {
    return to_model(obj);
  } catch (const py::PythonErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace varnel
