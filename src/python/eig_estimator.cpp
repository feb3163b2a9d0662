#include "python/eig_estimator.hpp"

#include <algorithm>
#include <array>
#include <string>

#include "eig/eig.hpp"
#include "eig/eig_general.hpp"
#include "sampler/panic.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "python/psychometric_model.hpp"
#include "python/models.hpp"

namespace varnel {

namespace {

constexpr const char* kClassName = "EnumeratedMonteCarloEstimator";
constexpr const char* kQualifiedName = "builtins.EnumeratedMonteCarloEstimator";
constexpr std::string_view kTextSignature = "(outcomes, n_samples)";
constexpr std::string_view kClassDoc =
    "Rao- Blackwellized Monte Carlo estimator.\n"
    "Used to estimate the expected information gain of a design using simple Monte Carlo\n"
    "estimation while enumerating the outcomes of the experiment. This works well for\n"
    "when the number of outcomes is discrete and small.\n"
    "\n"
    "Assuming that we have a design D and a set of outcomes 𝒴 = {y_1, y_2, ..., y_N},\n"
    "\n"
    "μ̂_N := Σ_{y ∈ 𝒴} (1/N) Σ_{n=1}^N p(y | θ_n, ξ) log p(y | θ_n, ξ) - p̂(y | ξ) log p̂(y | ξ)\n"
    "with p̂(y | ξ) = (1/N) Σ_{n=1}^N p(y | θ_n, ξ)";

constexpr py::Signature<2> kNewSignature{
    "EnumeratedMonteCarloEstimator.__new__", {"outcomes", "n_samples"}, 2};
constexpr py::Signature<3> kEstimateSignature{
    "EnumeratedMonteCarloEstimator.estimate", {"model", "params", "candidate_designs"}, 3};

PyTypeObject* g_type = nullptr;  // created once per process

using Estimator = EnumeratedMonteCarloEstimator;

PyObject* estimator_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return py::guard([&] {
    const auto a = py::parse_arguments(kNewSignature, args, kwargs);
    Estimator record;
    record.outcomes = py::convert_arg("outcomes", a[0], py::to_bool_list);
    record.n_samples = py::convert_arg("n_samples", a[1], py::to_u64);
    return py::new_instance(subtype, std::move(record));
  });
}

// The parameter rows as given: a float64 matrix read in place, or a list of
// lists (any sequence of sequences of floats).
struct ParamRows {
  std::optional<py::F64Matrix> array;
  std::vector<std::vector<double>> lists;

  std::size_t rows() const { return array ? array->view.rows : lists.size(); }

  // (k, m) of row r; a row shorter than 2 is the index failure.
  std::array<double, 2> at(std::size_t r) const {
    if (array) return {array->view.at(r, 0), array->view.at(r, 1)};
    const auto& row = lists[r];
    check_index(0, row.size());
    check_index(1, row.size());
    return {row[0], row[1]};
  }
};

// The general model's rows, taken evenly as for (k, m) rows: each taken row
// must hold dim() values and lie in the model's support (ValueError otherwise).
std::vector<double> general_rows(const PsychometricModel& model, const ParamRows& params, std::uint64_t n) {
  const std::size_t rows = params.rows();
  const std::size_t dim = model.dim();
  const auto row_of = [&](std::size_t r, std::span<double> out) {
    if (params.array) {
      for (std::size_t j = 0; j < dim; ++j) out[j] = params.array->view.unchecked_at(r, j);
    } else {
      std::copy(params.lists[r].begin(), params.lists[r].end(), out.begin());
    }
  };
  // The rows the even spacing picks are checked (only those are read: a
  // broadcast view may have more rows than could ever be visited).
  const auto checked_row = [&](std::size_t r, std::span<double> out) {
    check_param_count(model, params.array ? params.array->view.cols : params.lists[r].size(), "params");
    row_of(r, out);
    if (!is_in_support(model, out)) {
      py::raise(PyExc_ValueError, "argument 'params': row " + std::to_string(r) +
                                      " is outside the model's support (s > 0 and finite, m finite, "
                                      "rates in [0, 1) summing to at most 1)");
    }
  };
  return select_general_rows(model, n, rows, checked_row);
}

// Scores the designs under the general model.
std::vector<double> estimate_general(const Estimator& estimator, const PsychometricModel& model,
                                     const ParamRows& params, const MatrixView& designs) {
  std::vector<double> theta;
  const std::uint64_t n = estimator.n_samples;
  if (scoring_needs_samples(estimator.outcomes.size(), designs.rows)) {
    theta = params.rows() > 0 ? general_rows(model, params, n) : draw_general_prior_samples(n, model);
  }
  return py::without_gil(
      [&] { return score_designs_general(model, estimator.outcomes, theta, n, designs); });
}

ParamRows to_param_rows(PyObject* obj) {
  ParamRows rows;
  rows.array = py::try_f64_matrix(obj);
  if (!rows.array) rows.lists = py::to_f64_list_list(obj);
  return rows;
}

PyObject* estimate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Estimator& estimator = py::self_record<Estimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kEstimateSignature, args, kwargs);
    const ParamRows params = py::convert_arg("params", a[1], to_param_rows);
    const py::F64Matrix designs = py::convert_arg("candidate_designs", a[2], py::to_f64_matrix);
    if (auto general = try_general_model(a[0])) {
      return py::new_f64_array(estimate_general(estimator, *general, params, designs.view));
    }
    const auto model = try_extract_model(a[0]);
    if (!model) panic("Invalid model");

    // One set of samples per call, shared by every design and outcome: the
    // posterior rows when given, prior draws otherwise.
    std::vector<Theta> theta;
    const std::uint64_t n = estimator.n_samples;
    if (scoring_needs_samples(estimator.outcomes.size(), designs.view.rows)) {
      theta = params.rows() > 0
                  ? select_parameter_rows(n, params.rows(), [&](std::size_t r) { return params.at(r); })
                  : draw_prior_samples(n, *model);
    }
    std::vector<double> scores = py::without_gil(
        [&] { return score_designs(estimator.outcomes, theta, n, designs.view); });
    return py::new_f64_array(std::move(scores));
  });
}

PyMethodDef kMethods[] = {
    {"estimate", py::as_method(estimate), METH_VARARGS | METH_KEYWORDS,
     "estimate($self, model, params, candidate_designs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(estimator_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<Estimator>)},
    {Py_tp_methods, kMethods},
};

}  // namespace

void register_eig(PyObject* module) {
  if (g_type == nullptr) {
    const py::ClassSpec spec{kQualifiedName, kClassName, kTextSignature, kClassDoc,
                             static_cast<int>(sizeof(py::Instance<Estimator>)), kSlots};
    g_type = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  py::add_to_module(module, kClassName, reinterpret_cast<PyObject*>(g_type));
}

}  // namespace varnel
