#pragma once
// The argument parser of every method and constructor: parameters accepted
// positionally or by keyword (no keyword-only, no positional-only), with
// CPython's own wording for the errors of a Python function call, the
// function named "<Class>.<method>" or "<Class>.__new__".

#include "python/py/object.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace varnel::py {

// A parameter list: the first `required` names are required, the rest
// optional (they read as null when not given).
template <std::size_t N>
struct Signature {
  const char* function;  // "TwoParameterPsychometricModel.__new__"
  std::array<const char*, N> names;
  std::size_t required;
};

// Matches (args tuple, kwargs dict or null) to the parameters: out[i] is the
// borrowed argument for names[i] or null. On a mismatch sets TypeError and
// throws PythonErrorSet.
void parse_arguments(const char* function, std::span<const char* const> names,
                     std::size_t required, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out);

// The same with the parameter list as a Signature; returns borrowed
// references that live as long as args and kwargs.
template <std::size_t N>
std::array<PyObject*, N> parse_arguments(const Signature<N>& signature, PyObject* args,
                                         PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  parse_arguments(signature.function, signature.names, signature.required, args, kwargs, out);
  return out;
}

}  // namespace varnel::py
