#include "python/models.hpp"

#include "python/psychometric_model.hpp"
#include "python/py/convert.hpp"
#include "python/two_param_psychometric_model.hpp"

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

namespace {

// The pure-Python module that rebuilds models from their settings.
constexpr const char* kRebuildModule = "_varnel_experiment";
constexpr const char* kRebuildFunction = "_rebuild_model";

void set_item(PyObject* dict, const char* key, py::PyRef value) {
  py::check_status(PyDict_SetItemString(dict, key, value.get()));
}

}  // namespace

py::PyRef rate_object(const Rate& rate) {
  if (!rate.estimated) return py::to_py_float(rate.value);
  py::PyRef a = py::to_py_float(rate.a);
  py::PyRef b = py::to_py_float(rate.b);
  return py::take(PyTuple_Pack(2, a.get(), b.get()));
}

py::PyRef model_settings(const TwoParameterPsychometricModel& model) {
  py::PyRef dict = py::take(PyDict_New());
  set_item(dict.get(), "mu_k", py::to_py_float(model.k_prior.mean));
  set_item(dict.get(), "sigma_k", py::to_py_float(model.k_prior.std_dev));
  set_item(dict.get(), "mu_m", py::to_py_float(model.m_prior.mean));
  set_item(dict.get(), "sigma_m", py::to_py_float(model.m_prior.std_dev));
  return dict;
}

py::PyRef model_settings(const PsychometricModel& model) {
  py::PyRef dict = py::take(PyDict_New());
  set_item(dict.get(), "link", py::new_str(link_name(model.link)));
  set_item(dict.get(), "mu_log_s", py::to_py_float(model.mu_log_s));
  set_item(dict.get(), "sigma_log_s", py::to_py_float(model.sigma_log_s));
  set_item(dict.get(), "mu_m", py::to_py_float(model.m_prior.mean));
  set_item(dict.get(), "sigma_m", py::to_py_float(model.m_prior.std_dev));
  set_item(dict.get(), "guess_rate", rate_object(model.guess));
  set_item(dict.get(), "lapse_rate", rate_object(model.lapse));
  return dict;
}

py::PyRef model_reduce(const char* class_name, py::PyRef settings) {
  py::PyRef module = py::take(PyImport_ImportModule(kRebuildModule));
  py::PyRef rebuild = py::take(PyObject_GetAttrString(module.get(), kRebuildFunction));
  py::PyRef name = py::new_str(class_name);
  py::PyRef args = py::take(PyTuple_Pack(2, name.get(), settings.get()));
  return py::take(PyTuple_Pack(2, rebuild.get(), args.get()));
}

}  // namespace varnel
