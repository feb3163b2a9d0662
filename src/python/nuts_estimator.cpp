#include "python/nuts_estimator.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "estimation/run.hpp"
#include "python/arrow_capsules.hpp"
#include "python/models.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "sampler/panic.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {

namespace {

constexpr const char* kClassName = "NUTSEstimator";
constexpr const char* kQualifiedName = "builtins.NUTSEstimator";
constexpr std::string_view kClassDoc = "";

// Seconds the whole sampling run may take when no timeout is given.
constexpr double kDefaultTimeoutSecs = 100.0;

constexpr py::Signature<7> kNewSignature{
    "NUTSEstimator.__new__",
    {"num_tune", "num_draws", "num_chains", "maxdepth", "timeout", "max_energy_error", "seed"},
    0};
constexpr py::Signature<3> kEstimateSignature{
    "NUTSEstimator.estimate", {"model", "design", "observations"}, 3};
constexpr py::Signature<3> kEstimateWithStatsSignature{
    "NUTSEstimator.estimate_with_stats", {"model", "design", "observations"}, 3};
constexpr py::Signature<4> kLogLikelihoodsSignature{
    "NUTSEstimator.log_likelihoods", {"model", "points", "design", "observations"}, 4};
constexpr py::Signature<6> kMoveSignature{
    "NUTSEstimator.move", {"model", "design", "observations", "points", "step_size", "num_steps"}, 5};

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

// Whether the interpreter has no pending signal: runs its signal handlers
// (Ctrl-C raises KeyboardInterrupt there), taking the interpreter lock for it.
bool no_pending_signal() {
  const py::GilAcquire gil;
  return PyErr_CheckSignals() == 0;
}

// Samples the posterior of `model` given the data and returns the collected
// trace. The interpreter lock is released while the chains run; a signal
// handler's exception ends the run (every chain stopped and joined) and
// propagates.
template <ResponseModel M>
Trace sample(const NUTSEstimator& estimator, const M& model, const MatrixView& design,
             const BoolVectorView& observations) {
  SliceWaitResult waited =
      py::without_gil([&] { return run_posterior(estimator, model, design, observations, no_pending_signal); });
  if (std::holds_alternative<SamplerInterrupted>(waited) && PyErr_Occurred() != nullptr) {
    py::throw_python_error();
  }
  return finished_trace(std::move(waited));
}

// One chain's draws as a (draws, dim) float64 array on the model's natural scale.
template <ResponseModel M>
py::PyRef draws_array(const M& model, const ChainOutput& output) {
  ChainDraws draws = natural_draws(model, output);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(draws.rows), static_cast<Py_ssize_t>(draws.dim)};
  return py::new_f64_array(std::move(draws.values), shape);
}

template <ResponseModel M>
py::PyRef draws_list(const M& model, const Trace& trace) {
  py::PyRef list = py::take(PyList_New(static_cast<Py_ssize_t>(trace.chains.size())));
  for (std::size_t i = 0; i < trace.chains.size(); ++i) {
    // PyList_SetItem steals the item, even on failure.
    py::check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                                    draws_array(model, trace.chains[i]).release()));
  }
  return list;
}

// A sampling run's trace with the model it sampled.
struct Sampled {
  AnyModel model;
  Trace trace;
};

// Converts the arguments of estimate and estimate_with_stats, in their order,
// and runs the sampler.
template <std::size_t N>
Sampled convert_and_sample(PyObject* self, PyObject* args, PyObject* kwargs,
                           const py::Signature<N>& signature) {
  const NUTSEstimator& estimator = py::self_record<NUTSEstimator>(self, g_type, kClassName);
  const auto a = py::parse_arguments(signature, args, kwargs);
  const py::F64Matrix design = py::convert_arg("design", a[1], py::to_f64_matrix);
  const BoolVectorView observations = py::convert_arg("observations", a[2], py::to_bool_vector);
  auto model = try_any_model(a[0]);
  if (!model) panic("Invalid model");
  Trace trace = std::visit(
      [&](const auto& m) {
        check_design(m, design.view, std::min(design.view.rows, observations.len), "design");
        return sample(estimator, m, design.view, observations);
      },
      *model);
  return Sampled{std::move(*model), std::move(trace)};
}

py::PyRef draws_of(const Sampled& sampled) {
  return std::visit([&](const auto& m) { return draws_list(m, sampled.trace); }, sampled.model);
}

PyObject* estimate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Sampled sampled = convert_and_sample(self, args, kwargs, kEstimateSignature);
    return draws_of(sampled);
  });
}

PyObject* estimate_with_stats(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Sampled sampled = convert_and_sample(self, args, kwargs, kEstimateWithStatsSignature);
    const Trace& trace = sampled.trace;
    py::PyRef draws = draws_of(sampled);
    py::PyRef pyarrow = py::take(PyImport_ImportModule("pyarrow"));
    py::PyRef record_batch_class = py::take(PyObject_GetAttrString(pyarrow.get(), "RecordBatch"));
    py::PyRef stats = py::take(PyList_New(static_cast<Py_ssize_t>(trace.chains.size())));
    for (std::size_t i = 0; i < trace.chains.size(); ++i) {
      py::check_status(PyList_SetItem(stats.get(), static_cast<Py_ssize_t>(i),
                                      stats_batch(record_batch_class.get(), trace.chains[i]).release()));
    }
    return py::take(PyTuple_Pack(2, draws.get(), stats.get()));
  });
}

// Natural-scale points of the model: a 2-D float64 array with one column per
// parameter, every row inside the model's support (ValueError otherwise).
template <ResponseModel M>
std::vector<double> model_points(const M& model, PyObject* obj) {
  const py::F64Matrix points = py::convert_arg("points", obj, py::to_f64_matrix);
  return checked_points(model, points.view.rows, points.view.cols,
                        [&](std::size_t i, std::size_t j) { return points.view.unchecked_at(i, j); });
}

AnyModel model_argument(PyObject* obj) {
  auto model = try_any_model(obj);
  if (!model) py::raise(PyExc_TypeError, "argument 'model': expected a " + model_class_names());
  return std::move(*model);
}

PyObject* log_likelihoods(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    (void)py::self_record<NUTSEstimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kLogLikelihoodsSignature, args, kwargs);
    const AnyModel model = model_argument(a[0]);
    const py::F64Matrix design = py::convert_arg("design", a[2], py::to_f64_matrix);
    const BoolVectorView observations = py::convert_arg("observations", a[3], py::to_bool_vector);
    return std::visit(
        [&](const auto& m) {
          check_trial_design(m, design.view, observations);
          const std::vector<double> points = model_points(m, a[1]);
          return py::new_f64_array(log_likelihood_rows(m, points, design.view, observations));
        },
        model);
  });
}

PyObject* move(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const NUTSEstimator& estimator = py::self_record<NUTSEstimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kMoveSignature, args, kwargs);
    const AnyModel model = model_argument(a[0]);
    const py::F64Matrix design = py::convert_arg("design", a[1], py::to_f64_matrix);
    const BoolVectorView observations = py::convert_arg("observations", a[2], py::to_bool_vector);
    const double step_size = py::convert_arg("step_size", a[4], py::to_f64);
    const auto num_steps = py::convert_optional_arg("num_steps", a[5], py::to_u64);
    const MoveSettings settings = move_settings(estimator, step_size, num_steps.value_or(kDefaultMoveSteps));
    return std::visit(
        [&](const auto& m) {
          check_trial_design(m, design.view, observations);
          const std::vector<double> points = model_points(m, a[3]);
          const std::size_t dim = m.dim();
          MoveResult moved = py::without_gil(
              [&] { return move_points(m, design.view, observations, points, settings); });
          const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(moved.points.size() / dim),
                                       static_cast<Py_ssize_t>(dim)};
          py::PyRef array = py::new_f64_array(std::move(moved.points), shape);
          py::PyRef step = py::to_py_float(moved.step_size);
          py::PyRef accept = py::to_py_float(moved.mean_accept);
          py::PyRef divergences = py::take(PyLong_FromUnsignedLongLong(moved.divergences));
          return py::take(PyTuple_Pack(4, array.get(), step.get(), accept.get(), divergences.get()));
        },
        model);
  });
}

PyMethodDef kMethods[] = {
    {py::method_name(kEstimateSignature.function), py::as_method(estimate), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kEstimateSignature)},
    {py::method_name(kEstimateWithStatsSignature.function), py::as_method(estimate_with_stats),
     METH_VARARGS | METH_KEYWORDS, py::method_doc(kEstimateWithStatsSignature)},
    {py::method_name(kLogLikelihoodsSignature.function), py::as_method(log_likelihoods), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogLikelihoodsSignature,
     "The log-likelihood of the trials (design rows with their observations) at\n"
     "each point: points is a float64 array of shape (n, len(param_names)) on the\n"
     "natural scale, every row inside the model's support (ValueError otherwise).\n"
     "Returns a float64 array of n values.")},
    {py::method_name(kMoveSignature.function), py::as_method(move), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kMoveSignature,
     "Moves every point (a float64 array of shape (n, len(param_names)), natural\n"
     "scale, inside the support) by num_steps (default 2) NUTS transitions that\n"
     "leave the posterior given the trials invariant: each point is its own chain\n"
     "from its own stream of this estimator's seed, with step_size in the first\n"
     "round (scaled towards a mean acceptance of 0.8 between rounds) and a\n"
     "diagonal mass matrix from the points' variances on the sampling scale; no\n"
     "warm-up. The rejuvenation step of a sequential Monte Carlo update. Returns\n"
     "(moved points, next step size, mean acceptance, divergent transitions);\n"
     "the result does not depend on the thread count. Stops with\n"
     "varnel.PanicException('Timeout') past this estimator's timeout.")},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(estimator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<NUTSEstimator>)},
    {Py_tp_methods, kMethods},
};

}  // namespace

void register_posterior(PyObject* module) {
  if (g_type == nullptr) {
    const std::string text_signature = py::text_signature(kNewSignature, false);
    const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                             static_cast<int>(sizeof(py::Instance<NUTSEstimator>)), kSlots};
    g_type = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  py::add_to_module(module, kClassName, reinterpret_cast<PyObject*>(g_type));
}

}  // namespace varnel
