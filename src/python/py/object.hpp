#pragma once
// Ownership of Python objects and the error indicator at the boundary.
//
// Every new reference is wrapped in a PyRef on the line that produces it; a
// C++ function that leaves a Python exception set reports it by throwing
// PythonErrorSet, which the failure guard (guard.hpp) turns back into a null
// return. Everything here needs the GIL.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace varnel::py {

// Thrown after a Python exception was set: the guard returns null with it.
struct PythonErrorSet {};

// The parts joined into one string. (Message texts are built with this
// rather than with `"literal" + std::string`, which g++ 12 misreads under
// -Wrestrict.)
inline std::string concat(std::initializer_list<std::string_view> parts) {
  std::string out;
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  out.reserve(size);
  for (std::string_view part : parts) out.append(part);
  return out;
}

// Throws PythonErrorSet; call only with a Python exception set.
[[noreturn]] inline void throw_python_error() { throw PythonErrorSet{}; }

// Sets `type(message)` as the current exception and throws PythonErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// One owned reference (or none). Move-only; the destructor drops it.
class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new reference (may be null).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  // Adds a reference to a borrowed one (may be null).
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      reset();
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { reset(); }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Hands the reference over (to CPython, usually as a return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  void reset() noexcept { Py_CLEAR(p_); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// Steals a new reference that a CPython call returned; null means that call
// set an exception, which is passed on as PythonErrorSet.
inline PyRef take(PyObject* p) {
  if (p == nullptr) throw_python_error();
  return PyRef::steal(p);
}

// Passes on the exception of a CPython call that reports failure with -1.
inline void check_status(int status) {
  if (status < 0) throw_python_error();
}

// Saves the error indicator on entry and restores it on exit, dropping
// whatever was raised in between: for work that must not disturb a pending
// exception (writing a diagnostic, say).
class ErrorScope {
 public:
  ErrorScope() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~ErrorScope() {
    PyErr_Clear();
    PyErr_Restore(type_, value_, traceback_);
  }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// The pending exception, normalised and taken out of the error indicator
// (which is clear afterwards); `value` is null when none was set.
struct FetchedError {
  PyRef type;
  PyRef value;
  PyRef traceback;
};
FetchedError fetch_error() noexcept;

// The type's __name__ ("list", "ndarray"); "object" if it cannot be read.
std::string type_name(PyTypeObject* type);
// type_name of the object's type.
std::string type_name_of(PyObject* obj);
// "<__module__>.<__qualname__>" of the type, or "" if either cannot be read.
std::string qualified_type_name(PyTypeObject* type);

// A Python str from UTF-8 bytes; undecodable bytes are replaced.
PyRef new_str(std::string_view text);

// str(obj) as UTF-8; "<unprintable>" if that fails (no exception stays set).
std::string str_of(PyObject* obj);

}  // namespace varnel::py
