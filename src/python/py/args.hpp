#pragma once
// The argument parser of every method and constructor, and the text
// signatures and docstrings made from the same parameter list, so that a
// method's parameters are written once. Parameters are accepted positionally
// or by keyword, or (keyword_only) by keyword alone, with CPython's own
// wording for the errors of a Python function call, the function named
// "<Class>.<method>" or "<Class>.__new__".

#include "python/py/object.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace varnel::py {

// A parameter list: the first `required` names are required, the rest
// optional (they read as null when not given; `defaults` holds the text each
// shows in the signature, "None" where null).
template <std::size_t N>
struct Signature {
  const char* function;  // "TwoParameterPsychometricModel.__new__"
  std::array<const char*, N> names;
  std::size_t required;
  std::array<const char*, N> defaults{};
  bool keyword_only = false;  // no argument by position
};

// Matches (args tuple, kwargs dict or null) to the parameters: out[i] is the
// borrowed argument for names[i] or null. On a mismatch sets TypeError and
// throws PythonErrorSet.
void parse_arguments(const char* function, std::span<const char* const> names,
                     std::size_t required, bool keyword_only, PyObject* args, PyObject* kwargs,
                     std::span<PyObject*> out);

// "(a, b=None)", "(*, a='x')", or with `self` "($self, a)".
std::string text_signature(std::span<const char* const> names, std::size_t required,
                           std::span<const char* const> defaults, bool keyword_only, bool self);

// The method's name: the part of "<Class>.<method>" after the dot.
const char* method_name(const char* function) noexcept;

// A method docstring as CPython reads it, "<method>($self, a, b)\n--\n\n<doc>",
// kept for the life of the process (method tables point into it).
const char* method_doc(const char* function, std::string_view parameters, std::string_view doc);

template <std::size_t N>
std::string text_signature(const Signature<N>& signature, bool self) {
  return text_signature(signature.names, signature.required, signature.defaults, signature.keyword_only, self);
}

template <std::size_t N>
const char* method_doc(const Signature<N>& signature, std::string_view doc = {}) {
  return method_doc(signature.function, text_signature(signature, true), doc);
}

// The docstring of a method without parameters (METH_NOARGS).
inline const char* method_doc(const char* function, std::string_view doc = {}) {
  return method_doc(function, "($self)", doc);
}

// The same with the parameter list as a Signature; returns borrowed
// references that live as long as args and kwargs.
template <std::size_t N>
std::array<PyObject*, N> parse_arguments(const Signature<N>& signature, PyObject* args,
                                         PyObject* kwargs) {
  std::array<PyObject*, N> out{};
  parse_arguments(signature.function, signature.names, signature.required, signature.keyword_only, args, kwargs,
                  out);
  return out;
}

}  // namespace varnel::py
