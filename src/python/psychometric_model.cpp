#include "python/psychometric_model.hpp"

#include <array>
#include <cmath>
#include <string>

#include "sampler/distributions.hpp"
#include "sampler/panic.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "sampler/thread_rng.hpp"
#include "eig/rows.hpp"
#include "estimation/run.hpp"
#include "eig/curve_lanes.hpp"
#include "model/quantities.hpp"
#include "python/models.hpp"

namespace varnel {

namespace {

using Model = PsychometricModel;

constexpr const char* kClassName = "PsychometricModel";
constexpr const char* kQualifiedName = "builtins.PsychometricModel";
constexpr std::string_view kClassDoc =
    "A psychometric model with guess and lapse rates. The model is defined as:\n"
    "\n"
    "     log s ~ Normal(mu_log_s, sigma_log_s)\n"
    "     m ~ Normal(mu_m, sigma_m)\n"
    "     guess_rate, lapse_rate: fixed floats, or (a, b) for a Beta(a, b) prior\n"
    "     y ~ Bernoulli(guess_rate + (1 - guess_rate - lapse_rate) * F(s * (x - m)))\n"
    "\n"
    " where:\n"
    " - `s` is the slope (positive) and `m` the location of the psychometric function,\n"
    " - `F` is the link: 'logistic', 'normal' (probit) or 'gumbel' (1 - exp(-exp(z)),\n"
    "   the Weibull function of a log stimulus),\n"
    " - `y` is the binary response.\n"
    "\n"
    "Parameter vectors are [s, m] followed by guess_rate and lapse_rate when they are\n"
    "estimated (see param_names). The fixed rates (or the prior means) must sum to\n"
    "less than 1, and the prior of estimated rates is truncated to\n"
    "guess_rate + lapse_rate < 1. The sampler moves log s and, for each estimated\n"
    "rate, the logit of its share of the room the other rate leaves; draws come\n"
    "back on the natural scale.";

constexpr py::Signature<7> kNewSignature{
    "PsychometricModel.__new__",
    {"link", "mu_log_s", "sigma_log_s", "mu_m", "sigma_m", "guess_rate", "lapse_rate"},
    0,
    {"'logistic'", "0.0", "1.0", "0.0", "1.0", "0.0", "0.0"},
    true};
constexpr const char* kSamplePrior = "PsychometricModel.sample_prior";
constexpr py::Signature<2> kCurveSignature{"PsychometricModel.psychometric", {"points", "x"}, 2};
constexpr py::Signature<2> kThresholdSignature{"PsychometricModel.threshold", {"points", "level"}, 2};
constexpr py::Signature<3> kBandSignature{"PsychometricModel.psychometric_band", {"points", "x", "quantiles"}, 3};
constexpr py::Signature<1> kPriorPredictiveSignature{"PsychometricModel.sample_prior_predictive",
                                                     {"design"}, 1};
constexpr py::Signature<3> kLogLikelihoodSignature{
    "PsychometricModel.log_likelihood", {"params", "design", "observations"}, 3};
constexpr py::Signature<3> kLogPosteriorSignature{
    "PsychometricModel.log_posterior", {"params", "design", "observations"}, 3};

const Model& self_model(PyObject* self) { return varnel::self_model<Model>(self); }

Link to_link(PyObject* obj) {
  if (!PyUnicode_Check(obj)) py::raise_wrong_type(obj, "str");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (text == nullptr) py::throw_python_error();
  const std::string_view name(text, static_cast<std::size_t>(size));
  for (const Link link : {Link::Logistic, Link::Normal, Link::Gumbel}) {
    if (name == link_name(link)) return link;
  }
  py::raise(PyExc_ValueError, "argument 'link': unknown link '" + std::string(name) +
                                  "'; expected 'logistic', 'normal' or 'gumbel'");
}

// A float fixes the rate; a pair (a, b) estimates it under Beta(a, b).
Rate to_rate(PyObject* obj) {
  if (PyUnicode_Check(obj) || PyBytes_Check(obj)) py::raise_wrong_type(obj, "float or (a, b)");
  if (PySequence_Check(obj)) {
    const std::vector<double> ab = py::to_f64_list(obj);
    if (ab.size() != 2) {
      py::raise(PyExc_ValueError, "a Beta prior is a pair (a, b), got " + std::to_string(ab.size()) + " values");
    }
    return Rate::beta(ab[0], ab[1]);
  }
  return Rate::fixed(py::to_f64(obj));
}

PyObject* model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    return py::new_instance(subtype, psychometric_arguments(a));
  });
}

PyObject* sample_prior(PyObject* self, PyObject* /*unused*/) {
  return py::guard([&] { return py::to_py_list(self_model(self).sample_prior(thread_rng())); });
}

PyObject* sample_prior_predictive(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kPriorPredictiveSignature, args, kwargs);
    const py::F64Vector design = py::convert_arg("design", a[0], py::to_f64_vector);
    check_design_width<Model>(design.view.len, "design");
    const double x = design.view.at(0);
    ThreadRng& rng = thread_rng();
    const auto [s, m, g, l] = model.full_natural(model.sample_prior(rng));
    const double p_yes = std::exp(model.response(s, m, Model::rate_logs(g, l), x, true).lp);
    const std::array<std::uint8_t, 1> outcome{uniform01(rng) < p_yes ? std::uint8_t{1} : std::uint8_t{0}};
    return py::to_py_bool_list(outcome);
  });
}

// The data arguments, params holding one value per parameter.
DataArguments model_data(const Model& model, const std::array<PyObject*, 3>& a) {
  DataArguments data =
      data_arguments(a, [&](const std::vector<double>& params) { check_row_width(model, params.size(), "params"); });
  check_design_width<Model>(data.design.view.cols, "design");
  return data;
}

PyObject* log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kLogLikelihoodSignature, args, kwargs);
    const auto data = model_data(model, a);
    return py::to_py_float(model.log_likelihood_natural(data.params, data.design.view, data.observations));
  });
}

PyObject* log_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kLogPosteriorSignature, args, kwargs);
    const auto data = model_data(model, a);
    return py::to_py_float(model.log_posterior_natural(data.params, data.design.view, data.observations));
  });
}

// Natural-scale points, one column per parameter, each inside the support.
std::vector<double> points_argument(const Model& model, PyObject* obj) {
  const py::F64Matrix points = py::convert_arg("points", obj, py::to_f64_matrix);
  return checked_points(model, points.view.rows, points.view.cols,
                        [&](std::size_t i, std::size_t j) { return points.view.unchecked_at(i, j); });
}

PyObject* psychometric(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kCurveSignature, args, kwargs);
    const std::vector<double> points = points_argument(model, a[0]);
    const py::F64Vector x = py::convert_arg("x", a[1], py::to_f64_vector);
    std::vector<double> xs(x.view.len);
    for (std::size_t j = 0; j < xs.size(); ++j) xs[j] = x.view.unchecked_at(j);
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(points.size() / model.dim()),
                                 static_cast<Py_ssize_t>(xs.size())};
    return py::new_f64_array(py::without_gil([&] { return response_curve(model, points, xs); }), shape);
  });
}

PyObject* psychometric_band(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kBandSignature, args, kwargs);
    return band_object(model, points_argument(model, a[0]), a[1], a[2]);
  });
}

PyObject* threshold(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kThresholdSignature, args, kwargs);
    const std::vector<double> points = points_argument(model, a[0]);
    const double level = convert_named("level", a[1], py::to_f64);
    if (!(level > 0.0 && level < 1.0)) py::raise(PyExc_ValueError, "argument 'level': must be in (0, 1)");
    return py::new_f64_array(stimuli_at(model, points, level));
  });
}

// Read-only attributes: the settings as the constructor takes them.
template <class F>
PyObject* attribute(PyObject* self, F&& read) {
  return py::guard([&]() -> py::PyRef { return read(self_model(self)); });
}

PyObject* get_link(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return py::new_str(link_name(m.link)); });
}
PyObject* get_mu_log_s(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return py::to_py_float(m.mu_log_s); });
}
PyObject* get_sigma_log_s(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return py::to_py_float(m.sigma_log_s); });
}
PyObject* get_mu_m(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return py::to_py_float(m.m_prior.mean); });
}
PyObject* get_sigma_m(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return py::to_py_float(m.m_prior.std_dev); });
}
PyObject* get_guess_rate(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return rate_object(m.guess); });
}
PyObject* get_lapse_rate(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return rate_object(m.lapse); });
}
PyObject* get_param_names(PyObject* self, void*) {
  return attribute(self, [](const Model& m) { return names_list(m.param_names()); });
}

PyGetSetDef kGetSet[] = {
    {"link", get_link, nullptr, "The link: 'logistic', 'normal' or 'gumbel'.", nullptr},
    {"mu_log_s", get_mu_log_s, nullptr, "Mean of the normal prior on log s.", nullptr},
    {"sigma_log_s", get_sigma_log_s, nullptr, "Standard deviation of the normal prior on log s.", nullptr},
    {"mu_m", get_mu_m, nullptr, "Mean of the normal prior on m.", nullptr},
    {"sigma_m", get_sigma_m, nullptr, "Standard deviation of the normal prior on m.", nullptr},
    {"guess_rate", get_guess_rate, nullptr, "The fixed guess rate, or (a, b) of its Beta prior.", nullptr},
    {"lapse_rate", get_lapse_rate, nullptr, "The fixed lapse rate, or (a, b) of its Beta prior.", nullptr},
    {"param_names", get_param_names, nullptr,
     "Names of the parameter vector's entries: 's', 'm', then the estimated rates.", nullptr},
    {"settings", ModelClass<Model>::settings, nullptr, ModelClass<Model>::kSettingsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {py::method_name(kSamplePrior), py::as_method(sample_prior), METH_NOARGS,
     py::method_doc(kSamplePrior,
                    "One parameter vector drawn from the priors (natural scale, in param_names\n"
                    "order); draws with guess_rate + lapse_rate >= 1 are drawn again.")},
    {py::method_name(kPriorPredictiveSignature.function), py::as_method(sample_prior_predictive),
     METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kPriorPredictiveSignature,
                    "One simulated response (a list of one bool) at design[0], a 1-D float64\n"
                    "array, under parameters drawn from the priors.")},
    {py::method_name(kLogLikelihoodSignature.function), py::as_method(log_likelihood), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogLikelihoodSignature,
                    "The log-likelihood of the observations (a 1-D bool array) at params, one\n"
                    "value per entry of param_names on the natural scale; design is a 2-D float64\n"
                    "array with the stimulus in column 0, rows paired with observations up to the\n"
                    "shorter of the two. -inf outside the support; ValueError for a params of\n"
                    "the wrong length.")},
    {py::method_name(kLogPosteriorSignature.function), py::as_method(log_posterior), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogPosteriorSignature,
                    "log_likelihood plus the log prior densities of s (log-normal), m (normal) and\n"
                    "the estimated rates (Beta), at params on the natural scale.")},
    {py::method_name(kCurveSignature.function), py::as_method(psychometric), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kCurveSignature,
                    "p(yes | x) at every point (rows of a float64 array of shape (n, len(param_names)),\n"
                    "natural scale, inside the support) and stimulus x (a 1-D float64 array): a float64\n"
                    "array of shape (n, len(x)).")},
    {py::method_name(kBandSignature.function), py::as_method(psychometric_band), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kBandSignature,
                    "The posterior mean of p(yes | x) over the points and its percentiles (quantiles,\n"
                    "a sequence of percentages, interpolated as numpy.percentile does) at every\n"
                    "stimulus x: (mean of shape (len(x),), quantiles of shape (len(quantiles), len(x))).")},
    {py::method_name(kThresholdSignature.function), py::as_method(threshold), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kThresholdSignature,
                    "The stimulus at which p(yes | x) = level, in (0, 1), at every point:\n"
                    "m + F^-1((level - guess_rate) / (1 - guess_rate - lapse_rate)) / s, NaN where\n"
                    "the level is not strictly between guess_rate and 1 - lapse_rate.")},
    {"__reduce__", py::as_method(ModelClass<Model>::reduce), METH_NOARGS, ModelClass<Model>::reduce_doc()},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Model>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_str, reinterpret_cast<void*>(ModelClass<Model>::str)},
    {Py_tp_repr, reinterpret_cast<void*>(ModelClass<Model>::str)},
};

}  // namespace

BandArguments band_arguments(const char* x_name, PyObject* x, PyObject* quantiles) {
  const py::F64Vector xv = py::convert_arg(x_name, x, py::to_f64_vector);
  BandArguments out{std::vector<double>(xv.view.len), py::convert_arg("quantiles", quantiles, py::to_f64_list)};
  for (const double q : out.percents) {
    if (!(q >= 0.0 && q <= 100.0)) py::raise(PyExc_ValueError, "argument 'quantiles': percentages in [0, 100]");
  }
  for (std::size_t j = 0; j < out.xs.size(); ++j) {
    out.xs[j] = xv.view.unchecked_at(j);
    // A NaN has no order among the draws' values to take percentiles of.
    if (std::isnan(out.xs[j])) py::raise(PyExc_ValueError, "argument '" + std::string(x_name) + "': must not be NaN");
  }
  return out;
}

py::PyRef band_tuple(ResponseBand band, std::size_t percents, std::size_t xs) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(percents), static_cast<Py_ssize_t>(xs)};
  py::PyRef mean = py::new_f64_array(std::move(band.mean));
  py::PyRef values = py::new_f64_array(std::move(band.quantiles), shape);
  return py::take(PyTuple_Pack(2, mean.get(), values.get()));
}

py::PyRef band_object(const PsychometricModel& model, const std::vector<double>& rows, PyObject* x,
                      PyObject* quantiles) {
  const BandArguments b = band_arguments("x", x, quantiles);
  return band_tuple(py::without_gil([&] { return psychometric_band(model, rows, b.xs, b.percents); }),
                    b.percents.size(), b.xs.size());
}

py::PyRef rate_object(const Rate& rate) {
  if (!rate.estimated) return py::to_py_float(rate.value);
  py::PyRef a = py::to_py_float(rate.a);
  py::PyRef b = py::to_py_float(rate.b);
  return py::take(PyTuple_Pack(2, a.get(), b.get()));
}

py::PyRef names_list(const std::vector<std::string>& names) {
  py::PyRef list = py::take(PyList_New(static_cast<Py_ssize_t>(names.size())));
  for (std::size_t i = 0; i < names.size(); ++i) {
    py::check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), py::new_str(names[i]).release()));
  }
  return list;
}

PsychometricModel psychometric_arguments(const std::array<PyObject*, 7>& a) {
  const Link link = a[0] ? convert_named("link", a[0], to_link) : Link::Logistic;
  const auto f64 = [&](const char* name, PyObject* obj, double fallback) {
    return obj ? convert_named(name, obj, py::to_f64) : fallback;
  };
  const double mu_log_s = f64("mu_log_s", a[1], 0.0);
  const double sigma_log_s = f64("sigma_log_s", a[2], 1.0);
  const double mu_m = f64("mu_m", a[3], 0.0);
  const double sigma_m = f64("sigma_m", a[4], 1.0);
  const Rate guess = a[5] ? convert_named("guess_rate", a[5], to_rate) : Rate::fixed(0.0);
  const Rate lapse = a[6] ? convert_named("lapse_rate", a[6], to_rate) : Rate::fixed(0.0);
  auto model = Model::try_new(link, mu_log_s, sigma_log_s, mu_m, sigma_m, guess, lapse);
  if (!model) py::raise(PyExc_ValueError, model.error());
  return *model;
}

void register_general_model(PyObject* module) {
  const std::string text_signature = py::text_signature(kNewSignature, false);
  const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                           static_cast<int>(sizeof(py::Instance<PsychometricModel>)), kSlots};
  // An attribute of `models`, kept out of the module's __all__, which lists
  // the original class only.
  register_model_class<PsychometricModel>(module, spec, false);
}

}  // namespace varnel
