#include "python/two_param_psychometric_model.hpp"

#include <array>

#include "sampler/distributions.hpp"
#include "model/bernoulli_logit.hpp"
#include "sampler/panic.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "sampler/thread_rng.hpp"
#include "python/models.hpp"

namespace varnel {

namespace {

using Model = TwoParameterPsychometricModel;

constexpr const char* kClassName = "TwoParameterPsychometricModel";
constexpr const char* kQualifiedName = "builtins.TwoParameterPsychometricModel";
constexpr std::string_view kClassDoc =
    "A two-parameter psychometric model. The model is defined as:\n"
    "\n"
    "     k ~ Normal(k_mu, k_sigma)\n"
    "     m ~ Normal(m_mu, m_sigma)\n"
    "     y ~ BernoulliLogit(k * (x - m))\n"
    "\n"
    " where:\n"
    " - `k` is the slope of the psychometric function,\n"
    " - `m` is the location of the psychometric function,\n"
    " - `y` is the binary response,\n"
    "*";

constexpr py::Signature<4> kNewSignature{
    "TwoParameterPsychometricModel.__new__", {"mu_k", "sigma_k", "mu_m", "sigma_m"}, 4};
constexpr py::Signature<1> kPriorPredictiveSignature{
    "TwoParameterPsychometricModel.sample_prior_predictive", {"design"}, 1};
constexpr py::Signature<3> kLogLikelihoodSignature{
    "TwoParameterPsychometricModel.log_likelihood", {"params", "design", "observations"}, 3};
constexpr py::Signature<3> kLogPosteriorSignature{
    "TwoParameterPsychometricModel.log_posterior", {"params", "design", "observations"}, 3};
constexpr const char* kSamplePrior = "TwoParameterPsychometricModel.sample_prior";

const Model& self_model(PyObject* self) { return varnel::self_model<Model>(self); }

PyObject* model_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    const double mu_k = py::convert_arg("mu_k", a[0], py::to_f64);
    const double sigma_k = py::convert_arg("sigma_k", a[1], py::to_f64);
    const double mu_m = py::convert_arg("mu_m", a[2], py::to_f64);
    const double sigma_m = py::convert_arg("sigma_m", a[3], py::to_f64);
    auto model = Model::try_new(mu_k, sigma_k, mu_m, sigma_m);
    if (!model) panic_unwrap_err(debug_text(model.error()));
    return py::new_instance(subtype, *model);
  });
}

PyObject* sample_prior(PyObject* self, PyObject* /*unused*/) {
  return py::guard([&] {
    const Model& model = self_model(self);
    ThreadRng& rng = thread_rng();
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    return py::to_py_list(model.prior_from_normals(z1, z2));
  });
}

PyObject* sample_prior_predictive(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kPriorPredictiveSignature, args, kwargs);
    const py::F64Vector design = py::convert_arg("design", a[0], py::to_f64_vector);
    ThreadRng& rng = thread_rng();
    const double z1 = standard_normal(rng);
    const double z2 = standard_normal(rng);
    const auto [k, m] = model.prior_from_normals(z1, z2);
    const double logit = k * (design.view.at(0) - m);
    auto response = BernoulliLogit::try_new(logit);
    if (!response) panic_unwrap_err(debug_text(response.error()));
    const std::array<std::uint8_t, 1> outcome{response->sample_with(uniform01(rng)) ? std::uint8_t{1}
                                                                                    : std::uint8_t{0}};
    return py::to_py_bool_list(outcome);
  });
}

PyObject* log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kLogLikelihoodSignature, args, kwargs);
    const auto data = data_arguments(a, [](const std::vector<double>&) {});
    return py::to_py_float(
        model.log_likelihood_vec(data.params, data.design.view, data.observations));
  });
}

PyObject* log_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const Model& model = self_model(self);
    const auto a = py::parse_arguments(kLogPosteriorSignature, args, kwargs);
    const auto data = data_arguments(a, [](const std::vector<double>&) {});
    return py::to_py_float(
        model.log_posterior_vec(data.params, data.design.view, data.observations));
  });
}

PyGetSetDef kGetSet[] = {
    {"settings", ModelClass<Model>::settings, nullptr, ModelClass<Model>::kSettingsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {py::method_name(kSamplePrior), py::as_method(sample_prior), METH_NOARGS, py::method_doc(kSamplePrior)},
    {py::method_name(kPriorPredictiveSignature.function), py::as_method(sample_prior_predictive),
     METH_VARARGS | METH_KEYWORDS, py::method_doc(kPriorPredictiveSignature)},
    {py::method_name(kLogLikelihoodSignature.function), py::as_method(log_likelihood),
     METH_VARARGS | METH_KEYWORDS, py::method_doc(kLogLikelihoodSignature)},
    {py::method_name(kLogPosteriorSignature.function), py::as_method(log_posterior), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kLogPosteriorSignature)},
    {"__reduce__", py::as_method(ModelClass<Model>::reduce), METH_NOARGS, ModelClass<Model>::reduce_doc()},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(model_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Model>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_str, reinterpret_cast<void*>(ModelClass<Model>::str)},
};

}  // namespace

void register_models(PyObject* module) {
  const std::string text_signature = py::text_signature(kNewSignature, false);
  const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                           static_cast<int>(sizeof(py::Instance<Model>)), kSlots};
  register_model_class<Model>(module, spec, true);
}

}  // namespace varnel
