#pragma once
// Model extraction for the estimators.

#include <optional>
#include <variant>

#include "psychometric.hpp"
#include "py/object.hpp"
#include "two_param_psychometric.hpp"

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

}  // namespace varnel
