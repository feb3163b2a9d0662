// The entry point: builds the module tree varnel.{models, posterior, eig}
// once per process, plus the pure-Python varnel.experiment. The native
// submodules are plain module objects held as attributes, not entries of
// sys.modules.

#include "python/conditions_model.hpp"
#include "python/contrast_sensitivity_model.hpp"
#include "python/eig_estimator.hpp"
#include "python/nuts_estimator.hpp"
#include "python/psychometric_model.hpp"
#include "python/py/guard.hpp"
#include "python/py/object.hpp"
#include "python/py/registration.hpp"
#include "sampler/sampler.hpp"
#include "python/two_param_psychometric_model.hpp"

#include <vector>

namespace {

// varnel._quiet_failures(quiet) -> the previous setting: whether the calling
// thread, and the sampler runs it starts, hold back the diagnostics of
// internal failures. For the experiment layer, which raises its own error
// with the failure's message; not part of the public interface.
PyObject* quiet_failures(PyObject*, PyObject* flag) {
  return varnel::py::guard([&]() -> varnel::py::PyRef {
    const int quiet = PyObject_IsTrue(flag);
    if (quiet < 0) varnel::py::throw_python_error();
    return varnel::py::PyRef::borrow(varnel::set_quiet_failures(quiet != 0) ? Py_True : Py_False);
  });
}

PyMethodDef g_module_methods[] = {
    {"_quiet_failures", quiet_failures, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "varnel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* g_module = nullptr;  // kept for the life of the process

// The pure-Python module behind varnel.experiment.
constexpr const char* kExperimentModule = "_varnel_experiment";

using RegisterFn = void (*)(PyObject*);

struct Submodule {
  const char* name;
  RegisterFn register_classes;
};

// Both model classes; the original one alone is listed in __all__.
void register_model_classes(PyObject* module) {
  varnel::register_models(module);
  varnel::register_general_model(module);
  varnel::register_conditions_model(module);
  varnel::register_contrast_sensitivity_model(module);
}

constexpr Submodule kSubmodules[] = {
    {"models", register_model_classes},
    {"posterior", varnel::register_posterior},
    {"eig", varnel::register_eig},
};

varnel::py::PyRef create_module() {
  using namespace varnel::py;
  if (g_module != nullptr) {
    raise(PyExc_ImportError,
          "varnel may only be initialized once per interpreter process");
  }
  PyRef module = take(PyModule_Create(&g_module_def));
  std::vector<PyRef> submodules;
  for (const Submodule& sub : kSubmodules) {
    PyRef submodule = new_submodule(sub.name);
    sub.register_classes(submodule.get());
    submodules.push_back(std::move(submodule));
  }
  for (std::size_t i = 0; i < submodules.size(); ++i) {
    add_to_module(module.get(), kSubmodules[i].name, submodules[i].get());
  }
  // PanicException, reachable for users who catch it by name, and its module,
  // entered into sys.modules so that a pickled PanicException (sent back by a
  // worker process, say) can be loaded again. Neither is listed in __all__.
  PyObject* panic_type = panic_exception_type();
  PyObject* runtime = runtime_module();
  if (panic_type == nullptr || runtime == nullptr) throw_python_error();
  check_status(PyObject_SetAttrString(module.get(), "PanicException", panic_type));
  check_status(PyObject_SetAttrString(module.get(), "runtime", runtime));
  PyObject* sys_modules = PyImport_GetModuleDict();  // borrowed
  const char* runtime_name = PyModule_GetName(runtime);
  if (runtime_name == nullptr) throw_python_error();
  check_status(PyDict_SetItemString(sys_modules, runtime_name, runtime));

  // The experiment layer is pure Python installed beside the extension. It
  // imports varnel only inside its functions, so importing it here does not
  // re-enter this initialisation. Entered into sys.modules as
  // varnel.experiment so that `from varnel.experiment import ...` works.
  PyRef experiment = take(PyImport_ImportModule(kExperimentModule));
  check_status(PyObject_SetAttrString(module.get(), "experiment", experiment.get()));
  // The installed distribution's version, as the pure-Python package reads it.
  PyRef version = take(PyObject_GetAttrString(experiment.get(), "__version__"));
  check_status(PyObject_SetAttrString(module.get(), "__version__", version.get()));
  check_status(PyDict_SetItemString(sys_modules, "varnel.experiment", experiment.get()));
  // Private helpers last: the module's first attributes are its submodules.
  check_status(PyModule_AddFunctions(module.get(), g_module_methods));

  // Posterior runs whose handle was dropped end in the background; the
  // importing thread is almost always the main one, whose end of the process
  // then waits for them before the libraries' static objects go.
  varnel::wait_for_background_runs_at_exit();

  g_module = PyRef::borrow(module.get()).release();
  return module;
}

}  // namespace

PyMODINIT_FUNC PyInit_varnel(void) {
  return varnel::py::guard(create_module);
}
