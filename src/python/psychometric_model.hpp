#pragma once
// The Python class PsychometricModel (submodule `models`): the model with
// guess and lapse rates, a positive slope and a choice of link.

#include <cstddef>
#include <optional>

#include "model/psychometric.hpp"
#include "python/py/object.hpp"

namespace varnel {

// A copy of the record if `obj` is a PsychometricModel (or a subclass
// instance); nullopt otherwise, with no Python exception set.
std::optional<PsychometricModel> try_general_model(PyObject* obj) noexcept;

// ValueError "argument '<argument>': expected <dim> values per parameter
// vector (s, m, ...), got <count>" unless count == model.dim().
void check_param_count(const PsychometricModel& model, std::size_t count, const char* argument);

// Creates the class and sets it as an attribute of `module` (not in __all__).
void register_general_model(PyObject* module);

}  // namespace varnel
