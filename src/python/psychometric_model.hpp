#pragma once
// The Python class PsychometricModel (submodule `models`): the model with
// guess and lapse rates, a positive slope and a choice of link; and the
// argument conversions of the models built on it.

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "model/psychometric.hpp"
#include "model/quantities.hpp"
#include "python/py/convert.hpp"
#include "python/py/guard.hpp"
#include "python/py/object.hpp"

namespace varnel {

// Creates the class and sets it as an attribute of `module` (not in __all__).
void register_general_model(PyObject* module);

// A rate as the constructor takes it: the fixed value, or the (a, b) tuple
// of its Beta prior.
py::PyRef rate_object(const Rate& rate);

// A list of str.
py::PyRef names_list(const std::vector<std::string>& names);

// The link, priors and rates of PsychometricModel's keyword arguments, in
// its order (link, mu_log_s, sigma_log_s, mu_m, sigma_m, guess_rate,
// lapse_rate; null for those not given): ValueError naming the argument.
PsychometricModel psychometric_arguments(const std::array<PyObject*, 7>& a);

// A band's stimuli (the argument `x_name`, none NaN) and quantiles
// (percentages in [0, 100]), converted and checked: ValueError naming them.
struct BandArguments {
  std::vector<double> xs, percents;
};
BandArguments band_arguments(const char* x_name, PyObject* x, PyObject* quantiles);

// A band as the tuple (mean of shape (xs,), quantiles of shape (percents, xs)).
py::PyRef band_tuple(ResponseBand band, std::size_t percents, std::size_t xs);

// psychometric_band's tuple of `model` over natural rows in its layout, x and
// quantiles checked by band_arguments.
py::PyRef band_object(const PsychometricModel& model, const std::vector<double>& rows, PyObject* x,
                      PyObject* quantiles);

// A ValueError raised by a conversion names its argument like a TypeError does.
template <class F>
auto convert_named(const char* name, PyObject* obj, F&& convert) -> decltype(convert(obj)) {
  try {
    return py::convert_arg(name, obj, std::forward<F>(convert));
  } catch (const py::PythonErrorSet&) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      const std::string message = py::str_of(py::fetch_error().value.get());
      if (message.rfind("argument '", 0) == 0) py::raise(PyExc_ValueError, message);
      py::raise(PyExc_ValueError, "argument '" + std::string(name) + "': " + message);
    }
    throw;
  }
}

}  // namespace varnel
