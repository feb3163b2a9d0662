#include "utils_py.hpp"

#include "psychometric_py.hpp"
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

std::optional<AnyModel> try_extract_any_model(PyObject* obj) noexcept {
  if (auto general = try_general_model(obj)) return AnyModel(std::move(*general));
  if (auto two = try_extract_model(obj)) return AnyModel(*two);
  return std::nullopt;
}

}  // namespace varnel
