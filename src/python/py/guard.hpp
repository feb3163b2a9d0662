#pragma once
// The failure guard that every Python entry point runs in, and PanicException.
//
// Inside the guard, code reports failures by throwing:
//   - PythonErrorSet after setting a Python exception (argument errors),
//   - varnel::Panic for internal failures -> diagnostic on stderr + PanicException,
//   - varnel::ArgumentError (a bad argument found by core code) -> ValueError,
//   - std::bad_alloc -> MemoryError,
//   - anything else -> diagnostic + PanicException with its text (or a generic one).
// No exception leaves the guard (but the thread-ending forced unwind), and it
// never returns null without an exception set nor a value with one set.

#include "python/py/object.hpp"

#include <cxxabi.h>

#include <exception>
#include <string_view>
#include <type_traits>

namespace varnel::py {

// The process-wide PanicException type (a direct BaseException subclass
// living in its own small module "varnel.runtime"); created on first use.
// Borrowed reference, or null with an exception set.
PyObject* panic_exception_type() noexcept;

// The small module "varnel.runtime" that holds PanicException. Borrowed
// reference, or null with an exception set.
PyObject* runtime_module() noexcept;

// Text of a failure that carries no message of its own.
inline constexpr std::string_view kGenericFailureText =
    "internal failure in varnel (no further information)";

// Writes the diagnostic and sets PanicException(message). Never throws.
void set_panic_exception(std::string_view message, std::string_view diagnostic) noexcept;

// Translates the exception in flight (call only from a catch block) into the
// Python error indicator. Never throws.
void translate_current_exception() noexcept;

// Makes the pair (result, error indicator) consistent: a null result needs an
// exception, a value must come without one. Returns what to hand to CPython.
PyObject* finish_call(PyObject* result) noexcept;

// Runs `body` (returning PyRef) and returns its new reference, or null with a
// Python exception set. The one exception let through is the forced unwind
// by which the interpreter ends a daemon thread at shutdown (py/gil.hpp); no
// Python object is touched on its way.
template <class F>
PyObject* guard(F&& body) {
  PyObject* result = nullptr;
  try {
    result = std::forward<F>(body)().release();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    translate_current_exception();
    return finish_call(nullptr);
  }
  return finish_call(result);
}

}  // namespace varnel::py
