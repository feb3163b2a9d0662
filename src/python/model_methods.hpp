#pragma once
// Methods that model classes beyond the two original ones share, written once
// against the model interface: a prior draw, the log densities at natural
// parameters with the design checked, natural-scale points, and the
// attributes of models built on a PsychometricModel `base` (link and rates).

#include <algorithm>
#include <array>
#include <vector>

#include "eig/rows.hpp"
#include "estimation/run.hpp"
#include "python/models.hpp"
#include "python/psychometric_model.hpp"
#include "python/py/args.hpp"
#include "python/py/guard.hpp"
#include "python/py/numpy.hpp"
#include "sampler/thread_rng.hpp"

namespace varnel {

template <ResponseModel M>
struct ModelMethods {
  static PyObject* sample_prior(PyObject* self, PyObject* /*unused*/) {
    return py::guard([&] {
      const M& model = self_model<M>(self);
      std::vector<double> draw(model.dim());
      model.draw_prior(thread_rng(), draw);
      return py::to_py_list(draw);
    });
  }

  // (params, design, observations) converted in order, params of the model's
  // length, the design of its width and values.
  static DataArguments data(const M& model, const std::array<PyObject*, 3>& a) {
    DataArguments out =
        data_arguments(a, [&](const std::vector<double>& params) { check_row_width(model, params.size(), "params"); });
    check_design(model, out.design.view, std::min(out.design.view.rows, out.observations.len), "design");
    return out;
  }

  template <const py::Signature<3>& S>
  static PyObject* log_likelihood(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard([&] {
      const M& model = self_model<M>(self);
      const auto d = data(model, py::parse_arguments(S, args, kwargs));
      return py::to_py_float(model.log_likelihood_natural(d.params, d.design.view, d.observations));
    });
  }

  template <const py::Signature<3>& S>
  static PyObject* log_posterior(PyObject* self, PyObject* args, PyObject* kwargs) {
    return py::guard([&] {
      const M& model = self_model<M>(self);
      const auto d = data(model, py::parse_arguments(S, args, kwargs));
      return py::to_py_float(model.log_posterior_natural(d.params, d.design.view, d.observations));
    });
  }

  // Natural-scale points, one column per parameter, each inside the support.
  static std::vector<double> points(const M& model, PyObject* obj) {
    const py::F64Matrix p = py::convert_arg("points", obj, py::to_f64_matrix);
    return checked_points(model, p.view.rows, p.view.cols,
                          [&](std::size_t i, std::size_t j) { return p.view.unchecked_at(i, j); });
  }

  template <class F>
  static PyObject* attribute(PyObject* self, F&& read) {
    return py::guard([&]() -> py::PyRef { return read(self_model<M>(self)); });
  }
  static PyObject* link(PyObject* self, void*) {
    return attribute(self, [](const M& m) { return py::new_str(link_name(m.base.link)); });
  }
  static PyObject* guess_rate(PyObject* self, void*) {
    return attribute(self, [](const M& m) { return rate_object(m.base.guess); });
  }
  static PyObject* lapse_rate(PyObject* self, void*) {
    return attribute(self, [](const M& m) { return rate_object(m.base.lapse); });
  }
  static PyObject* param_names(PyObject* self, void*) {
    return attribute(self, [](const M& m) { return names_list(m.param_names()); });
  }

  static constexpr const char* kLinkDoc = "The link: 'logistic', 'normal' or 'gumbel'.";
  static constexpr const char* kGuessDoc = "The fixed guess rate, or (a, b) of its Beta prior.";
  static constexpr const char* kLapseDoc = "The fixed lapse rate, or (a, b) of its Beta prior.";

  static std::array<PyType_Slot, 6> slots(newfunc new_fn, PyMethodDef* methods, PyGetSetDef* getset) {
    return {{{Py_tp_new, reinterpret_cast<void*>(new_fn)},
             {Py_tp_dealloc, reinterpret_cast<void*>(py::dealloc_instance<M>)},
             {Py_tp_methods, methods},
             {Py_tp_getset, getset},
             {Py_tp_str, reinterpret_cast<void*>(ModelClass<M>::str)},
             {Py_tp_repr, reinterpret_cast<void*>(ModelClass<M>::str)}}};
  }
};

}  // namespace varnel
