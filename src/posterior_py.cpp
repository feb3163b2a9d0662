#include "posterior_py.hpp"

#include "panic.hpp"
#include "py/args.hpp"
#include "py/convert.hpp"
#include "py/guard.hpp"
#include "py/numpy.hpp"
#include "py/registration.hpp"
#include "thread_rng.hpp"
#include "utils_py.hpp"

namespace varnel {

namespace {

constexpr const char* kClassName = "NUTSEstimator";
constexpr const char* kQualifiedName = "builtins.NUTSEstimator";
constexpr std::string_view kTextSignature =
    "(num_tune=None, num_draws=None, num_chains=None, maxdepth=None, timeout=None, "
    "max_energy_error=None, seed=None)";
constexpr std::string_view kClassDoc = "";

// Seconds the whole sampling run may take when no timeout is given.
constexpr double kDefaultTimeoutSecs = 100.0;

constexpr py::Signature<7> kNewSignature{
    "NUTSEstimator.__new__",
    {"num_tune", "num_draws", "num_chains", "maxdepth", "timeout", "max_energy_error", "seed"},
    0};
constexpr py::Signature<3> kEstimateSignature{
    "NUTSEstimator.estimate", {"model", "design", "observations"}, 3};

PyTypeObject* g_type = nullptr;  // created once per process

PyObject* estimator_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    NUTSEstimator record;
    NutsSettings& settings = record.settings;
    if (auto v = py::convert_optional_arg("num_tune", a[0], py::to_u64)) settings.num_tune = *v;
    if (auto v = py::convert_optional_arg("num_draws", a[1], py::to_u64)) settings.num_draws = *v;
    if (auto v = py::convert_optional_arg("num_chains", a[2], py::to_u64)) settings.num_chains = *v;
    if (auto v = py::convert_optional_arg("maxdepth", a[3], py::to_u64)) settings.maxdepth = *v;
    const auto timeout = py::convert_optional_arg("timeout", a[4], py::to_f64);
    if (auto v = py::convert_optional_arg("max_energy_error", a[5], py::to_f64)) {
      settings.max_energy_error = *v;
    }
    const auto seed = py::convert_optional_arg("seed", a[6], py::to_u64);
    settings.seed = seed ? *seed : thread_rng().next_u64();
    record.time_limit = time_limit_from_secs(timeout.value_or(kDefaultTimeoutSecs));
    return py::new_instance(subtype, std::move(record));
  });
}

PyObject* estimate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const NUTSEstimator& estimator = py::self_record<NUTSEstimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kEstimateSignature, args, kwargs);
    const py::F64Matrix design = py::convert_arg("design", a[1], py::to_f64_matrix);
    const BoolVectorView observations = py::convert_arg("observations", a[2], py::to_bool_vector);
    const auto model = try_extract_model(a[0]);
    if (!model) panic("Invalid model");
    (void)estimator;
    (void)design;
    (void)observations;
    panic("not implemented yet");
  });
}

PyMethodDef kMethods[] = {
    {"estimate", py::as_method(estimate), METH_VARARGS | METH_KEYWORDS,
     "estimate($self, model, design, observations)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(estimator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<NUTSEstimator>)},
    {Py_tp_methods, kMethods},
};

}  // namespace

PyTypeObject* nuts_estimator_type() noexcept { return g_type; }

void register_posterior(PyObject* module) {
  if (g_type == nullptr) {
    const py::ClassSpec spec{kQualifiedName, kClassName, kTextSignature, kClassDoc,
                             static_cast<int>(sizeof(py::Instance<NUTSEstimator>)), kSlots};
    g_type = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  py::add_to_module(module, kClassName, reinterpret_cast<PyObject*>(g_type));
}

}  // namespace varnel
