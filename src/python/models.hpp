#pragma once
// Model extraction for the estimators.

#include <optional>
#include <variant>

#include "model/psychometric.hpp"
#include "python/py/object.hpp"
#include "model/two_param_psychometric.hpp"

namespace varnel {

// A copy of the model record if `obj` is a TwoParameterPsychometricModel (or a
// subclass instance); nullopt otherwise, with no Python exception left set.
// Callers turn nullopt into the internal failure "Invalid model".
std::optional<TwoParameterPsychometricModel> try_extract_model(PyObject* obj) noexcept;

// Either model class the estimators take.
using AnyModel = std::variant<TwoParameterPsychometricModel, PsychometricModel>;

// A copy of the record of either model class; nullopt otherwise, with no
// Python exception left set.
std::optional<AnyModel> try_extract_any_model(PyObject* obj) noexcept;

// A rate as the constructor takes it: the fixed value, or the (a, b) tuple
// of its Beta prior.
py::PyRef rate_object(const Rate& rate);

// A dict of the model's constructor arguments: the settings that rebuild it.
py::PyRef model_settings(const TwoParameterPsychometricModel& model);
py::PyRef model_settings(const PsychometricModel& model);

// What __reduce__ returns for a model of class `class_name` with these
// settings: the pure-Python module's rebuilding function and its arguments,
// so that models pickle (to worker processes, say) and deep-copy.
py::PyRef model_reduce(const char* class_name, py::PyRef settings);

}  // namespace varnel
