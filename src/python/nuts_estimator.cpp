#include "python/nuts_estimator.hpp"

#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <type_traits>
#include <variant>

#include "eig/eig_general.hpp"
#include "model/model_with_data.hpp"
#include "sampler/nuts_run.hpp"
#include "sampler/sampler.hpp"
#include "sampler/panic.hpp"
#include "estimation/particles.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "sampler/thread_rng.hpp"
#include "python/models.hpp"

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
constexpr py::Signature<3> kEstimateWithStatsSignature{
    "NUTSEstimator.estimate_with_stats", {"model", "design", "observations"}, 3};
constexpr py::Signature<4> kLogLikelihoodsSignature{
    "NUTSEstimator.log_likelihoods", {"model", "points", "design", "observations"}, 4};
constexpr py::Signature<6> kMoveSignature{
    "NUTSEstimator.move", {"model", "design", "observations", "points", "step_size", "num_steps"}, 5};

// NUTS transitions per point of a move when not given.
constexpr std::uint64_t kDefaultMoveSteps = 2;

// Chains drawing at once.
constexpr std::uint64_t kNumCores = 4;

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

// The time limit as a duration; limits beyond what a duration holds (some
// 292 years) wait as long as a duration can.
std::chrono::nanoseconds to_duration(const TimeLimit& limit) {
  using std::chrono::nanoseconds;
  constexpr std::uint64_t kMaxSecs =
      static_cast<std::uint64_t>(std::numeric_limits<nanoseconds::rep>::max()) / 1'000'000'000 - 1;
  if (limit.secs >= kMaxSecs) return nanoseconds::max();
  return std::chrono::seconds(limit.secs) + nanoseconds(limit.nanos);
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
template <class M>
Trace sample(const NUTSEstimator& estimator, const M& model, const MatrixView& design,
             const BoolVectorView& observations) {
  PsychometricModelWithData<M> bound(model, design, observations);
  auto created = Sampler::create(std::move(bound), NutsRun{estimator.settings}, kNumCores, std::nullopt);
  if (!created) panic("Failed to create sampler: " + created.error().debug_text());
  const auto limit = to_duration(estimator.time_limit);
  SliceWaitResult waited = py::without_gil(
      [&] { return wait_in_slices(std::move(*created), limit, kMaxWaitSlice, no_pending_signal); });
  if (auto* trace = std::get_if<Trace>(&waited)) return std::move(*trace);
  if (auto* failed = std::get_if<SamplerFailed>(&waited)) panic("Error: " + failed->error.debug_text());
  if (std::holds_alternative<SamplerInterrupted>(waited)) {
    if (PyErr_Occurred() != nullptr) py::throw_python_error();
    panic("sampling was interrupted");
  }
  // The handle inside the timeout ends the run in the background as it goes.
  panic("Timeout");
}

// The sampler moves the two-parameter model's (k, m) as they are.
void to_natural_rows(const TwoParameterPsychometricModel&, std::vector<double>&) noexcept {}

// The general model's unconstrained rows (log s, logits) on the natural scale.
void to_natural_rows(const PsychometricModel& model, std::vector<double>& values) noexcept {
  const std::size_t dim = model.dim();
  std::array<double, 4> natural{};
  for (std::size_t i = 0; i + dim <= values.size(); i += dim) {
    const std::span<double> row(values.data() + i, dim);
    model.to_natural(row, std::span<double>(natural.data(), dim));
    std::copy_n(natural.begin(), dim, row.begin());
  }
}

// One chain's draws as a (draws, dim) float64 array over a copy of the
// values, on the model's natural scale.
template <class M>
py::PyRef draws_array(const M& model, const ChainOutput& output) {
  auto list = std::dynamic_pointer_cast<arrow::FixedSizeListArray>(output.draws);
  if (!list) panic_unwrap_none();
  auto values = std::dynamic_pointer_cast<arrow::DoubleArray>(list->values());
  if (!values) panic_unwrap_none();
  const auto dim = static_cast<std::size_t>(list->list_type()->list_size());
  if (dim == 0) panic("attempt to divide by zero");
  const auto count = static_cast<std::size_t>(list->length()) * dim;
  const double* first = values->raw_values() + list->value_offset(0);
  std::vector<double> buffer(first, first + count);
  if (dim != model.dim() || count % dim != 0) {
    panic("Failed to create Array2: ShapeError/IncompatibleShape: incompatible shapes");
  }
  to_natural_rows(model, buffer);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(count / dim), static_cast<Py_ssize_t>(dim)};
  return py::new_f64_array(std::move(buffer), shape);
}

template <class M>
py::PyRef draws_list(const M& model, const Trace& trace) {
  py::PyRef list = py::take(PyList_New(static_cast<Py_ssize_t>(trace.chains.size())));
  for (std::size_t i = 0; i < trace.chains.size(); ++i) {
    // PyList_SetItem steals the item, even on failure.
    py::check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i),
                                    draws_array(model, trace.chains[i]).release()));
  }
  return list;
}

// Releases an exported Arrow C structure (ArrowSchema or ArrowArray) unless
// its consumer moved it out, then frees it.
struct ReleaseExported {
  template <class T>
  void operator()(T* exported) const noexcept {
    if (exported->release != nullptr) exported->release(exported);
    delete exported;
  }
};

template <class T>
using Exported = std::unique_ptr<T, ReleaseExported>;

template <class T>
void release_capsule(PyObject* capsule, const char* name) noexcept {
  auto* exported = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (exported == nullptr) {
    PyErr_Clear();
    return;
  }
  ReleaseExported{}(exported);
}

void release_schema_capsule(PyObject* capsule) { release_capsule<ArrowSchema>(capsule, "arrow_schema"); }
void release_array_capsule(PyObject* capsule) { release_capsule<ArrowArray>(capsule, "arrow_array"); }

// A capsule that owns `exported` from here on.
template <class T>
py::PyRef exported_capsule(Exported<T> exported, const char* name, PyCapsule_Destructor destructor) {
  py::PyRef capsule = py::take(PyCapsule_New(exported.get(), name, destructor));
  exported.release();
  return capsule;
}

// One chain's statistics table as a pyarrow.RecordBatch, handed over through
// the Arrow C data interface (the buffers move, nothing is copied).
py::PyRef stats_batch(PyObject* record_batch_class, const ChainOutput& output) {
  if (!output.stats) panic_unwrap_none();
  auto batch = arrow::RecordBatch::FromStructArray(output.stats);
  if (!batch.ok()) panic("could not export the statistics: " + batch.status().ToString());
  // Owned and released from here on; ExportRecordBatch fills them or leaves
  // them released.
  Exported<ArrowSchema> schema(new ArrowSchema{});
  Exported<ArrowArray> array(new ArrowArray{});
  const arrow::Status exported = arrow::ExportRecordBatch(**batch, array.get(), schema.get());
  if (!exported.ok()) panic("could not export the statistics: " + exported.ToString());
  py::PyRef schema_capsule = exported_capsule(std::move(schema), "arrow_schema", release_schema_capsule);
  py::PyRef array_capsule = exported_capsule(std::move(array), "arrow_array", release_array_capsule);
  return py::take(PyObject_CallMethod(record_batch_class, "_import_from_c_capsule", "OO",
                                      schema_capsule.get(), array_capsule.get()));
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
  auto model = try_extract_any_model(a[0]);
  if (!model) panic("Invalid model");
  Trace trace = std::visit([&](const auto& m) { return sample(estimator, m, design.view, observations); }, *model);
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
template <class M>
std::vector<double> model_points(const M& model, PyObject* obj) {
  const py::F64Matrix points = py::convert_arg("points", obj, py::to_f64_matrix);
  const std::size_t dim = model.dim();
  if (points.view.cols != dim) {
    py::raise(PyExc_ValueError, "argument 'points': expected " + std::to_string(dim) +
                                    " columns (one per parameter), got " + std::to_string(points.view.cols));
  }
  std::vector<double> out(points.view.rows * dim);
  for (std::size_t i = 0; i < points.view.rows; ++i) {
    for (std::size_t j = 0; j < dim; ++j) out[i * dim + j] = points.view.unchecked_at(i, j);
    bool inside = true;
    if constexpr (std::is_same_v<M, PsychometricModel>) {
      inside = is_in_support(model, std::span<const double>(out.data() + i * dim, dim));
    } else {
      inside = std::isfinite(out[i * dim]) && std::isfinite(out[i * dim + 1]);
    }
    if (!inside) {
      py::raise(PyExc_ValueError, "argument 'points': row " + std::to_string(i) +
                                      " is outside the model's support");
    }
  }
  return out;
}

// The trials of the particle methods: a design whose column 0 holds the
// stimulus of each trial that has an observation (ValueError otherwise).
void check_trial_design(const MatrixView& design, const BoolVectorView& observations) {
  if (design.cols == 0 && std::min(design.rows, observations.len) > 0) {
    py::raise(PyExc_ValueError, "argument 'design': has no column (the stimulus is column 0)");
  }
}

AnyModel model_argument(PyObject* obj) {
  auto model = try_extract_any_model(obj);
  if (!model) {
    py::raise(PyExc_TypeError,
              "argument 'model': expected a PsychometricModel or TwoParameterPsychometricModel");
  }
  return std::move(*model);
}

PyObject* log_likelihoods(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    (void)py::self_record<NUTSEstimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kLogLikelihoodsSignature, args, kwargs);
    const AnyModel model = model_argument(a[0]);
    const py::F64Matrix design = py::convert_arg("design", a[2], py::to_f64_matrix);
    const BoolVectorView observations = py::convert_arg("observations", a[3], py::to_bool_vector);
    check_trial_design(design.view, observations);
    return std::visit(
        [&](const auto& m) {
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
    check_trial_design(design.view, observations);
    MoveSettings settings;
    settings.step_size = py::convert_arg("step_size", a[4], py::to_f64);
    if (!(settings.step_size > 0.0 && std::isfinite(settings.step_size))) {
      py::raise(PyExc_ValueError, "argument 'step_size': must be positive and finite");
    }
    if (auto v = py::convert_optional_arg("num_steps", a[5], py::to_u64)) {
      settings.num_steps = *v;
    } else {
      settings.num_steps = kDefaultMoveSteps;
    }
    settings.maxdepth = estimator.settings.maxdepth;
    settings.max_energy_error = estimator.settings.max_energy_error;
    settings.seed = estimator.settings.seed;
    const auto limit = to_duration(estimator.time_limit);
    const auto now = std::chrono::steady_clock::now();
    settings.deadline = limit >= std::chrono::steady_clock::time_point::max() - now
                            ? std::chrono::steady_clock::time_point::max()
                            : now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(limit);
    return std::visit(
        [&](const auto& m) {
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
    {"estimate", py::as_method(estimate), METH_VARARGS | METH_KEYWORDS,
     "estimate($self, model, design, observations)\n--\n\n"},
    {"estimate_with_stats", py::as_method(estimate_with_stats), METH_VARARGS | METH_KEYWORDS,
     "estimate_with_stats($self, model, design, observations)\n--\n\n"},
    {"log_likelihoods", py::as_method(log_likelihoods), METH_VARARGS | METH_KEYWORDS,
     "log_likelihoods($self, model, points, design, observations)\n--\n\n"
     "The log-likelihood of the trials (design rows with their observations) at\n"
     "each point: points is a float64 array of shape (n, len(param_names)) on the\n"
     "natural scale, every row inside the model's support (ValueError otherwise).\n"
     "Returns a float64 array of n values."},
    {"move", py::as_method(move), METH_VARARGS | METH_KEYWORDS,
     "move($self, model, design, observations, points, step_size, num_steps=None)\n--\n\n"
     "Moves every point (a float64 array of shape (n, len(param_names)), natural\n"
     "scale, inside the support) by num_steps (default 2) NUTS transitions that\n"
     "leave the posterior given the trials invariant: each point is its own chain\n"
     "from its own stream of this estimator's seed, with step_size in the first\n"
     "round (scaled towards a mean acceptance of 0.8 between rounds) and a\n"
     "diagonal mass matrix from the points' variances on the sampling scale; no\n"
     "warm-up. The rejuvenation step of a sequential Monte Carlo update. Returns\n"
     "(moved points, next step size, mean acceptance, divergent transitions);\n"
     "the result does not depend on the thread count. Stops with\n"
     "varnel.PanicException('Timeout') past this estimator's timeout."},
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
    const py::ClassSpec spec{kQualifiedName, kClassName, kTextSignature, kClassDoc,
                             static_cast<int>(sizeof(py::Instance<NUTSEstimator>)), kSlots};
    g_type = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  py::add_to_module(module, kClassName, reinterpret_cast<PyObject*>(g_type));
}

}  // namespace varnel
