#pragma once
// Conversion of Python arguments into native values and of native results
// into Python objects.
//
// Each to_* conversion throws PythonErrorSet with a Python exception set when
// the value does not fit. convert_arg() runs one of them for a named
// argument and rewrites a TypeError as "argument '<name>': <message>",
// keeping the original's cause; other exceptions (the OverflowError of a
// negative unsigned integer) pass unchanged.

#include "python/py/object.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace varnel::py {

// Sets TypeError("'<type of obj>' object cannot be converted to '<target>'")
// and throws PythonErrorSet.
[[noreturn]] void raise_wrong_type(PyObject* obj, std::string_view target);

// Anything PyFloat_AsDouble accepts (float, int, __float__, __index__).
double to_f64(PyObject* obj);
// int or an object with __index__ that fits in 64 bits unsigned; a negative or
// too large value raises OverflowError.
std::uint64_t to_u64(PyObject* obj);
// A sequence (not str) of floats.
std::vector<double> to_f64_list(PyObject* obj);
// A sequence (not str) of sequences (not str) of floats.
std::vector<std::vector<double>> to_f64_list_list(PyObject* obj);
// A sequence (not str) of bool or NumPy bool scalars, as bytes 0/1.
std::vector<std::uint8_t> to_bool_list(PyObject* obj);
// True or False, nothing else.
bool to_bool(PyObject* obj);

// With a TypeError pending: replaces it by "argument '<name>': <message>" with
// the same cause. Other exceptions are left as they are.
void reword_argument_error(const char* name) noexcept;

// Converts argument `name` with `convert` (one of the to_* functions or a
// lambda of the same shape).
template <class F>
auto convert_arg(const char* name, PyObject* obj, F&& convert) -> decltype(convert(obj)) {
  try {
    return convert(obj);
  } catch (const PythonErrorSet&) {
    reword_argument_error(name);
    throw;
  }
}

// As convert_arg, but null (not given) and None give nullopt.
template <class F>
auto convert_optional_arg(const char* name, PyObject* obj, F&& convert)
    -> std::optional<std::remove_cvref_t<decltype(convert(obj))>> {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return convert_arg(name, obj, std::forward<F>(convert));
}

// A Python float.
PyRef to_py_float(double value);
// A new list of floats.
PyRef to_py_list(std::span<const double> values);
// A new list of bools (non-zero bytes are True).
PyRef to_py_bool_list(std::span<const std::uint8_t> values);

}  // namespace varnel::py
