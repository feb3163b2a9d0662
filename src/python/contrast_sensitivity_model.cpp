#include "python/contrast_sensitivity_model.hpp"

#include <array>
#include <cmath>
#include <string>

#include "eig/curve_lanes.hpp"
#include "eig/rows.hpp"
#include "estimation/run.hpp"
#include "model/contrast_sensitivity.hpp"
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

using Model = ContrastSensitivityModel;

constexpr const char* kClassName = "ContrastSensitivityModel";
constexpr const char* kQualifiedName = "builtins.ContrastSensitivityModel";
constexpr std::string_view kClassDoc =
    "The contrast sensitivity function (CSF) as a truncated log-parabola, over designs\n"
    "of two columns: log10 spatial frequency L and log10 contrast X.\n"
    "\n"
    "     log10 S'(L) = log10 peak_sensitivity - log10(2) * (2 (L - log10 peak_frequency) / w)^2\n"
    "     w = bandwidth * log10(2)   (bandwidth: full width at half maximum, in octaves)\n"
    "     log10 S(L) = max(log10 S'(L), log10 peak_sensitivity - truncation) below the peak,\n"
    "                  log10 S'(L) above it\n"
    "     y ~ Bernoulli(guess_rate + (1 - guess_rate - lapse_rate) * F(slope * (X + log10 S(L))))\n"
    "\n"
    "The threshold contrast at L is 1/S(L). The four CSF parameters are positive; each\n"
    "has a normal prior on its log10, given as (mean, sd) by log10_peak_sensitivity,\n"
    "log10_peak_frequency (cycles/degree), log10_bandwidth (octaves) and log10_truncation\n"
    "(log10 units). slope is fixed, per log10 unit of contrast; link, guess_rate and\n"
    "lapse_rate are those of PsychometricModel. Parameter vectors are the four CSF\n"
    "parameters (natural scale), then the estimated rates (see param_names).";

constexpr py::Signature<8> kNewSignature{
    "ContrastSensitivityModel.__new__",
    {"link", "log10_peak_sensitivity", "log10_peak_frequency", "log10_bandwidth", "log10_truncation", "slope",
     "guess_rate", "lapse_rate"},
    0,
    {"'logistic'", "(2.0, 0.5)", "(0.5, 0.3)", "(0.5, 0.15)", "(-0.3, 0.3)", "3.0", "0.0", "0.0"},
    true};
constexpr const char* kSamplePrior = "ContrastSensitivityModel.sample_prior";
constexpr py::Signature<3> kLogLikelihoodSignature{
    "ContrastSensitivityModel.log_likelihood", {"params", "design", "observations"}, 3};
constexpr py::Signature<3> kLogPosteriorSignature{
    "ContrastSensitivityModel.log_posterior", {"params", "design", "observations"}, 3};
constexpr py::Signature<2> kSensitivitySignature{
    "ContrastSensitivityModel.log_sensitivity", {"points", "log10_frequency"}, 2};
constexpr py::Signature<3> kSensitivityBandSignature{
    "ContrastSensitivityModel.sensitivity_band", {"points", "log10_frequency", "quantiles"}, 3};

Normal prior_pair(const char* name, PyObject* obj, Normal fallback) {
  if (obj == nullptr) return fallback;
  const std::vector<double> pair = py::convert_arg(name, obj, py::to_f64_list);
  if (pair.size() != 2) {
    py::raise(PyExc_ValueError, "argument '" + std::string(name) + "': expected (mean, sd), got " +
                                    std::to_string(pair.size()) + " values");
  }
  return Normal{pair[0], pair[1]};
}

PyObject* model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    const PsychometricModel base = psychometric_arguments({a[0], nullptr, nullptr, nullptr, nullptr, a[6], a[7]});
    const Model defaults;
    const std::array<Normal, Model::kCsfParams> priors{
        prior_pair("log10_peak_sensitivity", a[1], defaults.priors[0]),
        prior_pair("log10_peak_frequency", a[2], defaults.priors[1]),
        prior_pair("log10_bandwidth", a[3], defaults.priors[2]),
        prior_pair("log10_truncation", a[4], defaults.priors[3])};
    const double slope = a[5] ? convert_named("slope", a[5], py::to_f64) : defaults.slope;
    auto model = Model::try_new(base, priors, slope);
    if (!model) py::raise(PyExc_ValueError, model.error());
    return py::new_instance(subtype, std::move(*model));
  });
}

PyObject* log_sensitivity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = varnel::self_model<Model>(self);
    const auto a = py::parse_arguments(kSensitivitySignature, args, kwargs);
    const std::vector<double> rows = ModelMethods<Model>::points(model, a[0]);
    const py::F64Vector f = py::convert_arg("log10_frequency", a[1], py::to_f64_vector);
    const std::size_t n = rows.size() / model.dim();
    const std::size_t k = f.view.len;
    std::vector<double> out(n * k);
    for (std::size_t i = 0; i < n; ++i) {
      const auto sample = model.eig_sample(std::span<const double>(rows).subspan(i * model.dim(), model.dim()));
      for (std::size_t j = 0; j < k; ++j) out[i * k + j] = Model::log_sensitivity(sample, f.view.unchecked_at(j));
    }
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), static_cast<Py_ssize_t>(k)};
    return py::new_f64_array(std::move(out), shape);
  });
}

PyObject* sensitivity_band(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Model& model = varnel::self_model<Model>(self);
    const auto a = py::parse_arguments(kSensitivityBandSignature, args, kwargs);
    const std::vector<double> rows = ModelMethods<Model>::points(model, a[0]);
    const BandArguments b = band_arguments("log10_frequency", a[1], a[2]);
    ResponseBand band = py::without_gil([&] {
      const auto value = [](const Model::EigSample& sample, double f) { return Model::log_sensitivity(sample, f); };
      return band_of_samples(model, rows, b.xs, b.percents, 0, value, percentile_kernels());
    });
    return band_tuple(std::move(band), b.percents.size(), b.xs.size());
  });
}

using Methods = ModelMethods<Model>;

PyObject* get_slope(PyObject* self, void*) {
  return Methods::attribute(self, [](const Model& m) { return py::to_py_float(m.slope); });
}

PyGetSetDef kGetSet[] = {
    {"link", Methods::link, nullptr, Methods::kLinkDoc, nullptr},
    {"slope", get_slope, nullptr, "The psychometric slope per log10 unit of contrast.", nullptr},
    {"guess_rate", Methods::guess_rate, nullptr, Methods::kGuessDoc, nullptr},
    {"lapse_rate", Methods::lapse_rate, nullptr, Methods::kLapseDoc, nullptr},
    {"param_names", Methods::param_names, nullptr,
     "Names of the parameter vector's entries: the four CSF parameters, then the estimated rates.", nullptr},
    {"settings", ModelClass<Model>::settings, nullptr, ModelClass<Model>::kSettingsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {py::method_name(kSamplePrior), py::as_method(Methods::sample_prior), METH_NOARGS,
     py::method_doc(kSamplePrior, "One parameter vector drawn from the priors (natural scale, in param_names order).")},
    {py::method_name(kLogLikelihoodSignature.function), py::as_method(Methods::log_likelihood<kLogLikelihoodSignature>), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogLikelihoodSignature,
                    "The log-likelihood of the observations (a 1-D bool array) at params (natural\n"
                    "scale, param_names order); design is a float64 array of two columns, log10\n"
                    "spatial frequency and log10 contrast. -inf outside the support.")},
    {py::method_name(kLogPosteriorSignature.function), py::as_method(Methods::log_posterior<kLogPosteriorSignature>), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogPosteriorSignature, "log_likelihood plus the log prior densities, at params (natural scale).")},
    {py::method_name(kSensitivitySignature.function), py::as_method(log_sensitivity), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kSensitivitySignature,
                    "log10 S at every point (rows of a float64 array of shape (n, len(param_names)))\n"
                    "and log10 spatial frequency (a 1-D float64 array): shape (n, len(log10_frequency)).")},
    {py::method_name(kSensitivityBandSignature.function), py::as_method(sensitivity_band),
     METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kSensitivityBandSignature,
                    "The posterior mean of log10 S over the points and its percentiles (quantiles, a\n"
                    "sequence of percentages, interpolated as numpy.percentile does) at every log10\n"
                    "spatial frequency: (mean of shape (len(f),), quantiles of shape (len(quantiles), len(f))).")},
    {"__reduce__", py::as_method(ModelClass<Model>::reduce), METH_NOARGS, ModelClass<Model>::reduce_doc()},
    {nullptr, nullptr, 0, nullptr},
};

const auto kSlots = Methods::slots(model_new, kMethods, kGetSet);

}  // namespace

void register_contrast_sensitivity_model(PyObject* module) {
  const std::string text_signature = py::text_signature(kNewSignature, false);
  const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                           static_cast<int>(sizeof(py::Instance<ContrastSensitivityModel>)), kSlots};
  register_model_class<ContrastSensitivityModel>(module, spec, false);
}

}  // namespace varnel
