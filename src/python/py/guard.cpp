#include "python/py/guard.hpp"

#include <cstdio>
#include <new>
#include <string>

#include "model/argument_error.hpp"
#include "sampler/panic.hpp"

namespace varnel::py {

namespace {

constexpr const char* kRuntimeModuleName = "varnel.runtime";
constexpr const char* kPanicExceptionName = "varnel.runtime.PanicException";
constexpr const char* kPanicExceptionDoc =
    "An internal failure inside varnel: a broken invariant, an index out of range, an "
    "explicit stop such as a timeout.\n\n"
    "It derives from BaseException, so `except Exception` does not catch it; catch it "
    "by name (varnel.PanicException) where a failed call must not end the program.";

PyObject* g_panic_exception = nullptr;  // lives for the whole process
PyObject* g_runtime_module = nullptr;   // holds it; lives for the whole process

PyObject* fallback_panic_type() noexcept { return PyExc_RuntimeError; }

// Writes to sys.stderr, or to the C stream when there is none.
void write_stderr(std::string_view text) noexcept {
  ErrorScope keep;
  std::string owned(text);
  PyObject* stream = PySys_GetObject("stderr");  // borrowed
  if (stream != nullptr && stream != Py_None &&
      PyFile_WriteString(owned.c_str(), stream) == 0) {
    PyRef flushed = PyRef::steal(PyObject_CallMethod(stream, "flush", nullptr));
    return;
  }
  std::fputs(owned.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

PyObject* runtime_module() noexcept {
  if (g_runtime_module == nullptr && panic_exception_type() == nullptr) return nullptr;
  return g_runtime_module;
}

PyObject* panic_exception_type() noexcept {
  if (g_panic_exception != nullptr) return g_panic_exception;
  PyRef type = PyRef::steal(PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicExceptionDoc,
                                                      PyExc_BaseException, nullptr));
  if (!type) return nullptr;
  PyRef module = PyRef::steal(PyModule_New(kRuntimeModuleName));
  if (!module) return nullptr;
  if (PyModule_AddObjectRef(module.get(), "PanicException", type.get()) < 0) return nullptr;
  g_runtime_module = module.release();
  g_panic_exception = type.release();
  return g_panic_exception;
}

void set_panic_exception(std::string_view message, std::string_view diagnostic) noexcept {
  if (!quiet_failures()) write_stderr(diagnostic);
  PyObject* type = panic_exception_type();
  if (type == nullptr) {
    // Could not even create the type: report the failure as what it is.
    if (!PyErr_Occurred()) PyErr_SetString(fallback_panic_type(), std::string(message).c_str());
    return;
  }
  PyRef text = new_str(message);
  if (!text) return;  // MemoryError is set
  PyRef instance = PyRef::steal(PyObject_CallFunctionObjArgs(type, text.get(), nullptr));
  if (!instance) return;
  PyErr_SetObject(type, instance.get());
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) {
      set_panic_exception("PyErr state should never be invalid outside of normalization",
                          "varnel: internal failure: an error was reported without a Python "
                          "exception\n");
    }
  } catch (const Panic& failure) {
    PyErr_Clear();
    const std::string_view message =
        failure.message().empty() ? kGenericFailureText : std::string_view(failure.message());
    set_panic_exception(message, panic_diagnostic(failure));
  } catch (const std::bad_alloc&) {
    PyErr_Clear();
    PyErr_NoMemory();
  } catch (const ArgumentError& e) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::exception& e) {
    PyErr_Clear();
    std::string text = e.what();
    if (text.empty()) text = kGenericFailureText;
    set_panic_exception(text, concat({"varnel: internal failure: ", text, "\n"}));
  } catch (...) {
    PyErr_Clear();
    set_panic_exception(kGenericFailureText,
                        concat({"varnel: internal failure: ", kGenericFailureText, "\n"}));
  }
}

PyObject* finish_call(PyObject* result) noexcept {
  if (result == nullptr && !PyErr_Occurred()) {
    set_panic_exception("PyErr state should never be invalid outside of normalization",
                        "varnel: internal failure: a call returned no value and no "
                        "exception\n");
  } else if (result != nullptr && PyErr_Occurred()) {
    Py_DECREF(result);
    result = nullptr;
    PyErr_Clear();
    set_panic_exception("PyErr state should never be invalid outside of normalization",
                        "varnel: internal failure: a call returned a value with an exception "
                        "set\n");
  }
  return result;
}

}  // namespace varnel::py
