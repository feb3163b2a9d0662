#include "python/eig_estimator.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <type_traits>
#include <vector>

#include "eig/box_search.hpp"
#include "eig/estimator.hpp"
#include "eig/rows.hpp"
#include "eig/scorer.hpp"
#include "sampler/panic.hpp"
#include "python/py/args.hpp"
#include "python/py/convert.hpp"
#include "python/py/gil.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "python/py/registration.hpp"
#include "python/models.hpp"

namespace varnel {

namespace {

constexpr const char* kClassName = "EnumeratedMonteCarloEstimator";
constexpr const char* kQualifiedName = "builtins.EnumeratedMonteCarloEstimator";
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

constexpr py::Signature<3> kEstimateMergedSignature{
    "EnumeratedMonteCarloEstimator.estimate_merged", {"model", "params", "candidate_designs"}, 3};

constexpr py::Signature<7> kMaximiseSignature{
    "EnumeratedMonteCarloEstimator.maximise_over_box",
    {"model", "params", "lower", "upper", "coarse", "num_conditions", "merge_repeats"},
    5,
    {nullptr, nullptr, nullptr, nullptr, nullptr, "None", "False"}};

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
  std::size_t width(std::size_t r) const { return array ? array->view.cols : lists[r].size(); }
  double at(std::size_t r, std::size_t j) const {
    return array ? array->view.unchecked_at(r, j) : lists[r][j];
  }
};

ParamRows to_param_rows(PyObject* obj) {
  ParamRows rows;
  rows.array = py::try_f64_matrix(obj);
  if (!rows.array) rows.lists = py::to_f64_list_list(obj);
  return rows;
}

// The samples of one call, shared by every design and outcome: rows taken
// evenly from the given ones (only the rows taken are read and checked: a
// broadcast view may have more rows than could ever be visited), or prior
// draws when none are given.
template <ResponseModel M>
std::vector<double> sample_rows(const M& model, const ParamRows& params, std::uint64_t n) {
  if (params.rows() == 0) return draw_prior_rows(model, n);
  return select_rows(model, n, params.rows(), [&](std::size_t r, std::span<double> out) {
    check_row_width(model, params.width(r), "params");
    for (std::size_t j = 0; j < out.size(); ++j) out[j] = params.at(r, j);
    check_row_support(model, r, out, "params");
  });
}

template <std::size_t N>
PyObject* estimate_with(PyObject* self, PyObject* args, PyObject* kwargs, const py::Signature<N>& signature,
                        bool merge_repeats) {
  return py::guard([&]() -> py::PyRef {
    const Estimator& estimator = py::self_record<Estimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(signature, args, kwargs);
    const ParamRows params = py::convert_arg("params", a[1], to_param_rows);
    const py::F64Matrix designs = py::convert_arg("candidate_designs", a[2], py::to_f64_matrix);
    const auto model = try_any_model(a[0]);
    if (!model) panic("Invalid model");
    return std::visit(
        [&](const auto& m) {
          check_design(m, designs.view, designs.view.rows, "candidate_designs");
          const std::uint64_t n = estimator.n_samples;
          std::vector<double> rows;
          if (scoring_needs_samples(estimator.outcomes.size(), designs.view.rows)) rows = sample_rows(m, params, n);
          std::vector<double> scores = py::without_gil([&] {
            return score_designs(m, ScoreKernel::Fastest, estimator.outcomes, rows, n, designs.view, 0, merge_repeats);
          });
          return py::new_f64_array(std::move(scores));
        },
        *model);
  });
}

PyObject* estimate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return estimate_with(self, args, kwargs, kEstimateSignature, false);
}

PyObject* estimate_merged(PyObject* self, PyObject* args, PyObject* kwargs) {
  return estimate_with(self, args, kwargs, kEstimateMergedSignature, true);
}

PyObject* maximise_over_box(PyObject* self, PyObject* args, PyObject* kwargs) {
  return py::guard([&]() -> py::PyRef {
    const Estimator& estimator = py::self_record<Estimator>(self, g_type, kClassName);
    const auto a = py::parse_arguments(kMaximiseSignature, args, kwargs);
    const ParamRows params = py::convert_arg("params", a[1], to_param_rows);
    BoxSearchSettings settings;
    settings.lower = py::convert_arg("lower", a[2], py::to_f64_list);
    settings.upper = py::convert_arg("upper", a[3], py::to_f64_list);
    settings.coarse = static_cast<std::size_t>(py::convert_arg("coarse", a[4], py::to_u64));
    settings.conditions =
        static_cast<std::size_t>(py::convert_optional_arg("num_conditions", a[5], py::to_u64).value_or(0));
    const bool merge_repeats = a[6] != nullptr && py::convert_arg("merge_repeats", a[6], py::to_bool);
    const auto model = try_any_model(a[0]);
    if (!model) panic("Invalid model");
    if (estimator.n_samples == 0) panic_unwrap_none();
    return std::visit(
        [&](const auto& m) -> py::PyRef {
          if (settings.conditions > 0) {
            // The last condition index, through the model's own check of its design values.
            std::vector<double> probe(settings.lower);
            probe.push_back(static_cast<double>(settings.conditions - 1));
            const MatrixView view{probe.data(), 1, probe.size(), static_cast<std::ptrdiff_t>(probe.size()), 1};
            check_design(m, view, 1, "num_conditions");
          }
          const std::uint64_t n = estimator.n_samples;
          const std::vector<double> rows = sample_rows(m, params, n);
          const BoxSearchResult found = py::without_gil([&] {
            using M = std::decay_t<decltype(m)>;
            const DesignScorer<M> scorer(m, ScoreKernel::Fastest, estimator.outcomes, rows, n, merge_repeats);
            return maximise_over_box(scorer, settings);
          });
          py::PyRef design = py::take(PyTuple_New(static_cast<Py_ssize_t>(found.design.size())));
          for (std::size_t k = 0; k < found.design.size(); ++k) {
            py::check_status(PyTuple_SetItem(design.get(), static_cast<Py_ssize_t>(k),
                                             py::to_py_float(found.design[k]).release()));
          }
          py::PyRef score = py::to_py_float(found.score);
          py::PyRef evaluations = py::take(PyLong_FromSize_t(found.evaluations));
          return py::take(PyTuple_Pack(3, design.get(), score.get(), evaluations.get()));
        },
        *model);
  });
}

PyMethodDef kMethods[] = {
    {py::method_name(kEstimateSignature.function), py::as_method(estimate), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kEstimateSignature)},
    {py::method_name(kEstimateMergedSignature.function), py::as_method(estimate_merged), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kEstimateMergedSignature,
     "estimate, with each run of equal consecutive sample rows (as resampled\n"
     "particles come) evaluated once and weighted by its length: the same\n"
     "estimate in fewer evaluations. Where a run is longer than one row, the sums\n"
     "are rounded differently from estimate's; where none is, the results are\n"
     "estimate's, bit for bit.")},
    {py::method_name(kMaximiseSignature.function), py::as_method(maximise_over_box), METH_VARARGS | METH_KEYWORDS,
     py::method_doc(kMaximiseSignature,
     "The design of largest expected information gain over a box of one or two\n"
     "continuous dimensions (lower and upper: a bound per dimension), in every\n"
     "condition 0 .. num_conditions - 1 (appended as the last design column) when\n"
     "num_conditions is given: a coarse grid of `coarse` points per dimension,\n"
     "then a pattern search from the best three coarse points that lie apart,\n"
     "halving its spacing until it is below 1.25e-4 of each dimension's width.\n"
     "Every evaluation uses the same samples (taken from params as estimate\n"
     "takes them; runs of equal consecutive rows evaluated once, as in\n"
     "estimate_merged, when merge_repeats is True). Returns (design tuple, its\n"
     "score, designs scored).")},
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
    const std::string text_signature = py::text_signature(kNewSignature, false);
    const py::ClassSpec spec{kQualifiedName, kClassName, text_signature, kClassDoc,
                             static_cast<int>(sizeof(py::Instance<Estimator>)), kSlots};
    g_type = reinterpret_cast<PyTypeObject*>(py::create_type(spec).release());
  }
  py::add_to_module(module, kClassName, reinterpret_cast<PyObject*>(g_type));
}

}  // namespace varnel
