#pragma once
// The registry of the model classes that the estimators take, and what every
// model class shares: its type object, the extraction of its record from an
// instance, its settings as a dict, pickling by settings, str().
//
// A new model is added to the estimators by adding it to AnyModel below (the
// registration line) and giving it a class file of this folder that defines
// its constructor and registers it with register_model_class.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/conditions.hpp"
#include "model/contrast_sensitivity.hpp"
#include "model/model.hpp"
#include "model/psychometric.hpp"
#include "model/two_param_psychometric.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/object.hpp"
#include "python/py/registration.hpp"

namespace varnel {

// Every model class the estimators take.
using AnyModel = std::variant<PsychometricModel, TwoParameterPsychometricModel, ConditionsPsychometricModel,
                              ContrastSensitivityModel>;

// The class object of model M (null before its registration).
template <ResponseModel M>
inline PyTypeObject* g_model_type = nullptr;

// A copy of the record if `obj` is an instance of M's class (or of a
// subclass); nullopt otherwise, with no Python exception set.
template <ResponseModel M>
std::optional<M> try_model(PyObject* obj) noexcept {
  if (g_model_type<M> == nullptr || obj == nullptr || !PyObject_TypeCheck(obj, g_model_type<M>)) return std::nullopt;
  return py::unchecked_record<M>(obj);
}

// The record of `self`, an instance of M's class (TypeError otherwise).
template <ResponseModel M>
const M& self_model(PyObject* self) {
  return py::self_record<M>(self, g_model_type<M>, M::kClassName);
}

// A copy of the record of any registered model class; nullopt otherwise,
// with no Python exception set.
std::optional<AnyModel> try_any_model(PyObject* obj) noexcept;

// "A, B or C": the registered class names, for error messages.
std::string model_class_names();

// The settings as a new dict (numbers, names, tuples of numbers).
py::PyRef settings_dict(const ModelSettings& settings);

// What __reduce__ returns for a model of class `class_name` with these
// settings: the pure-Python package's rebuilding function and its arguments,
// so that models pickle (to worker processes, say) and deep-copy.
py::PyRef model_reduce(std::string_view class_name, const ModelSettings& settings);

// The shared methods and attributes of model M's class, for its method and
// attribute tables.
template <ResponseModel M>
struct ModelClass {
  static PyObject* settings(PyObject* self, void*) {
    return py::guard([&] { return settings_dict(self_model<M>(self).settings()); });
  }
  static PyObject* reduce(PyObject* self, PyObject*) {
    return py::guard([&] { return model_reduce(M::kClassName, self_model<M>(self).settings()); });
  }
  static PyObject* str(PyObject* self) {
    return py::guard([&] {
      py::PyRef text = py::new_str(self_model<M>(self).debug_text());
      if (!text) py::throw_python_error();
      return text;
    });
  }
  static constexpr const char* kSettingsDoc =
      "The constructor's arguments as a new dict: the class called with them as keywords is an equal model.";
  static const char* reduce_doc() {
    return py::method_doc("__reduce__", "Rebuilds the model from its settings (pickling, copy.deepcopy).");
  }
};

// The arguments (params, design, observations) of a model's log_likelihood
// and log_posterior, converted in order; params is checked by `check_params`
// (its length) before the design is converted.
struct DataArguments {
  std::vector<double> params;
  py::F64Matrix design;
  BoolVectorView observations;
};

template <class CheckParams>
DataArguments data_arguments(const std::array<PyObject*, 3>& a, CheckParams&& check_params) {
  DataArguments out;
  out.params = py::convert_arg("params", a[0], py::to_f64_list);
  check_params(out.params);
  out.design = py::convert_arg("design", a[1], py::to_f64_matrix);
  out.observations = py::convert_arg("observations", a[2], py::to_bool_vector);
  return out;
}

// Creates model M's class from `spec` once per process and adds it to
// `module`: listed in __all__ when `listed`, a plain attribute otherwise.
template <ResponseModel M>
void register_model_class(PyObject* module, const py::ClassSpec& spec, bool listed) {
  if (g_model_type<M> == nullptr) {
    g_model_type<M> = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  PyObject* type = reinterpret_cast<PyObject*>(g_model_type<M>);
  if (listed) {
    py::add_to_module(module, spec.class_name, type);
  } else {
    py::check_status(PyObject_SetAttrString(module, spec.class_name, type));
  }
}

}  // namespace varnel
