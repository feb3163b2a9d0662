#include "python/conditions_model.hpp"

#include <array>
#include <cmath>
#include <string>

#include "eig/rows.hpp"
#include "estimation/run.hpp"
#include "model/conditions.hpp"
#include "model/quantities.hpp"
#include "python/model_methods.hpp"
#include "python/models.hpp"
#include "python/psychometric_model.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {

namespace {

using Model = ConditionsPsychometricModel;

constexpr const char* kClassName = "ConditionsPsychometricModel";
constexpr const char* kQualifiedName = "builtins.ConditionsPsychometricModel";
constexpr std::string_view kClassDoc =
    "A psychometric model of interleaved conditions, over designs of two columns:\n"
    "(stimulus x, condition index c), c an integer from 0 to num_conditions - 1.\n"
    "\n"
    "     y ~ Bernoulli(guess_rate_c + (1 - guess_rate_c - lapse_rate_c) * F(s_c * (x - m_c)))\n"
    "\n"
    "Each condition has its own location m_c; the slope s, the guess rate and the\n"
    "lapse rate are shared by all conditions, or one per condition with\n"
    "per_condition_slope, per_condition_guess_rate, per_condition_lapse_rate (a\n"
    "rate has one per condition only when it is estimated; two estimated rates are\n"
    "shared alike). Link, priors and rates take PsychometricModel's arguments, the\n"
    "same prior for every condition. Parameter vectors are the slopes, the\n"
    "locations, then the estimated guess and lapse rates (see param_names).";

constexpr py::Signature<11> kNewSignature{
    "ConditionsPsychometricModel.__new__",
    {"num_conditions", "link", "mu_log_s", "sigma_log_s", "mu_m", "sigma_m", "guess_rate", "lapse_rate",
     "per_condition_slope", "per_condition_guess_rate", "per_condition_lapse_rate"},
    1,
    {nullptr, "'logistic'", "0.0", "1.0", "0.0", "1.0", "0.0", "0.0", "False", "False", "False"},
    true};
constexpr const char* kSamplePrior = "ConditionsPsychometricModel.sample_prior";
constexpr py::Signature<3> kLogLikelihoodSignature{
    "ConditionsPsychometricModel.log_likelihood", {"params", "design", "observations"}, 3};
constexpr py::Signature<3> kLogPosteriorSignature{
    "ConditionsPsychometricModel.log_posterior", {"params", "design", "observations"}, 3};
constexpr py::Signature<3> kCurveSignature{"ConditionsPsychometricModel.psychometric", {"points", "x", "condition"}, 3};
constexpr py::Signature<4> kBandSignature{
    "ConditionsPsychometricModel.psychometric_band", {"points", "x", "condition", "quantiles"}, 4};
constexpr py::Signature<3> kThresholdSignature{
    "ConditionsPsychometricModel.threshold", {"points", "level", "condition"}, 3};

std::int64_t to_count(PyObject* obj) {
  if (PyBool_Check(obj) || !PyLong_Check(obj)) py::raise_wrong_type(obj, "int");
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(obj, &overflow);
  if (value == -1 && PyErr_Occurred()) py::throw_python_error();
  if (overflow != 0) return overflow > 0 ? INT64_MAX : INT64_MIN;
  return value;
}

PyObject* model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    const std::int64_t count = py::convert_arg("num_conditions", a[0], to_count);
    const PsychometricModel base = psychometric_arguments({a[1], a[2], a[3], a[4], a[5], a[6], a[7]});
    const auto flag = [&](const char* name, PyObject* obj) { return obj ? py::convert_arg(name, obj, py::to_bool) : false; };
    auto model = Model::try_new(base, count, flag("per_condition_slope", a[8]), flag("per_condition_guess_rate", a[9]),
                                flag("per_condition_lapse_rate", a[10]));
    if (!model) py::raise(PyExc_ValueError, model.error());
    return py::new_instance(subtype, std::move(*model));
  });
}

std::vector<double> points_argument(const Model& model, PyObject* obj) {
  return ModelMethods<Model>::points(model, obj);
}

std::size_t condition_argument(const Model& model, PyObject* obj) {
  const std::int64_t c = py::convert_arg("condition", obj, to_count);
  if (c < 0 || c >= static_cast<std::int64_t>(model.num_conditions)) {
    py::raise(PyExc_ValueError, "argument 'condition': conditions are the integers 0 to " +
                                    std::to_string(model.num_conditions - 1) + ", got " + std::to_string(c));
  }
  return static_cast<std::size_t>(c);
}

// Condition c's base-layout vector of every point.
std::vector<double> condition_points(const Model& model, const std::vector<double>& points, std::size_t c) {
  const std::size_t dim = model.dim();
  const std::size_t part = model.base.dim();
  std::vector<double> out(points.size() / dim * part);
  for (std::size_t i = 0; i < points.size() / dim; ++i) {
    model.condition_vector(std::span<const double>(points).subspan(i * dim, dim), c,
                           std::span<double>(out).subspan(i * part, part));
  }
  return out;
}

PyObject* psychometric(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = varnel::self_model<Model>(self);
    const auto a = py::parse_arguments(kCurveSignature, args, kwargs);
    const std::vector<double> points = points_argument(model, a[0]);
    const py::F64Vector x = py::convert_arg("x", a[1], py::to_f64_vector);
    const std::size_t c = condition_argument(model, a[2]);
    std::vector<double> xs(x.view.len);
    for (std::size_t j = 0; j < xs.size(); ++j) xs[j] = x.view.unchecked_at(j);
    const std::vector<double> rows = condition_points(model, points, c);
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(points.size() / model.dim()),
                                 static_cast<Py_ssize_t>(xs.size())};
    return py::new_f64_array(py::without_gil([&] { return response_curve(model.base, rows, xs); }), shape);
  });
}

PyObject* psychometric_band(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Model& model = varnel::self_model<Model>(self);
    const auto a = py::parse_arguments(kBandSignature, args, kwargs);
    const std::vector<double> points = points_argument(model, a[0]);
    const std::size_t c = condition_argument(model, a[2]);
    return band_object(model.base, condition_points(model, points, c), a[1], a[3]);
  });
}

PyObject* threshold(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = varnel::self_model<Model>(self);
    const auto a = py::parse_arguments(kThresholdSignature, args, kwargs);
    const std::vector<double> points = points_argument(model, a[0]);
    const double level = convert_named("level", a[1], py::to_f64);
    if (!(level > 0.0 && level < 1.0)) py::raise(PyExc_ValueError, "argument 'level': must be in (0, 1)");
    const std::size_t c = condition_argument(model, a[2]);
    return py::new_f64_array(stimuli_at(model.base, condition_points(model, points, c), level));
  });
}

PyObject* get_num_conditions(PyObject* self, void*) {
  return ModelMethods<Model>::attribute(self, [](const Model& m) {
    return py::take(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(m.num_conditions)));
  });
}

using Methods = ModelMethods<Model>;

PyGetSetDef kGetSet[] = {
    {"num_conditions", get_num_conditions, nullptr, "The number of conditions.", nullptr},
    {"link", Methods::link, nullptr, Methods::kLinkDoc, nullptr},
    {"guess_rate", Methods::guess_rate, nullptr, Methods::kGuessDoc, nullptr},
    {"lapse_rate", Methods::lapse_rate, nullptr, Methods::kLapseDoc, nullptr},
    {"param_names", Methods::param_names, nullptr,
     "Names of the parameter vector's entries: the slopes, 'm_0', 'm_1', ..., then the estimated rates.", nullptr},
    {"settings", ModelClass<Model>::settings, nullptr, ModelClass<Model>::kSettingsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {py::method_name(kSamplePrior), py::as_method(Methods::sample_prior), METH_NOARGS,
     py::method_doc(kSamplePrior, "One parameter vector drawn from the priors (natural scale, in param_names order).")},
    {py::method_name(kLogLikelihoodSignature.function), py::as_method(Methods::log_likelihood<kLogLikelihoodSignature>), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogLikelihoodSignature,
                    "The log-likelihood of the observations (a 1-D bool array) at params (natural\n"
                    "scale, param_names order); design is a float64 array of two columns, the\n"
                    "stimulus and the condition index. -inf outside the support; ValueError for\n"
                    "a design of another width or a row whose condition is not an index.")},
    {py::method_name(kLogPosteriorSignature.function), py::as_method(Methods::log_posterior<kLogPosteriorSignature>), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogPosteriorSignature, "log_likelihood plus the log prior densities, at params (natural scale).")},
    {py::method_name(kCurveSignature.function), py::as_method(psychometric), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kCurveSignature,
                    "p(yes | x) in `condition` at every point (rows of a float64 array of shape\n"
                    "(n, len(param_names))) and stimulus x (a 1-D float64 array): shape (n, len(x)).")},
    {py::method_name(kBandSignature.function), py::as_method(psychometric_band), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kBandSignature,
                    "The posterior mean of p(yes | x) in `condition` over the points and its percentiles\n"
                    "(quantiles, a sequence of percentages, interpolated as numpy.percentile does) at\n"
                    "every stimulus x: (mean of shape (len(x),), quantiles of shape (len(quantiles), len(x))).")},
    {py::method_name(kThresholdSignature.function), py::as_method(threshold), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kThresholdSignature,
                    "The stimulus at which p(yes | x) = level in `condition`, at every point; NaN\n"
                    "where the level is not strictly between its guess rate and 1 - its lapse rate.")},
    {"__reduce__", py::as_method(ModelClass<Model>::reduce), METH_NOARGS, ModelClass<Model>::reduce_doc()},
    {nullptr, nullptr, 0, nullptr},
};

const auto kSlots = Methods::slots(model_new, kMethods, kGetSet);

}  // namespace

void register_conditions_model(PyObject* module) {
  const std::string text_signature = py::text_signature(kNewSignature, false);
  const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                           static_cast<int>(sizeof(py::Instance<ConditionsPsychometricModel>)), kSlots};
  register_model_class<ConditionsPsychometricModel>(module, spec, false);
}

}  // namespace varnel
