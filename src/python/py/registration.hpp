#pragma once
// Registration as data: heap types from specs with their docstrings and text
// signatures, instances holding a native record after the object header, and
// modules whose every name is listed in __all__.
//
// A class file keeps its docstring, text signature, methods and slots as
// constants next to a `register_<submodule>(PyObject* module)` function.

#include "python/py/object.hpp"

#include <new>
#include <span>
#include <string_view>
#include <utility>

#include "sampler/panic.hpp"

namespace varnel::py {

// A method function of any calling convention as the PyCFunction that
// PyMethodDef stores (through void(*)() so that the cast is explicit).
template <class R, class... Args>
PyCFunction as_method(R (*function)(Args...)) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The memory layout of an instance: the object header, then the record.
template <class T>
struct Instance {
  PyObject_HEAD
  T record;
};

// What create_type needs; the Py_tp_doc slot is composed from the three texts.
struct ClassSpec {
  const char* qualified_name;  // "builtins.<Class>": must outlive the type
  const char* class_name;      // "<Class>"
  std::string_view text_signature;  // "(a, b)"
  std::string_view doc;             // class documentation, may be empty
  int basicsize;                    // sizeof(Instance<Record>)
  std::span<const PyType_Slot> slots;  // without Py_tp_doc and the terminator
};

// "Name(sig)\n--\n\nDoc": the class docstring from which CPython takes the text
// signature. Throws PythonErrorSet (ValueError "class doc cannot contain nul
// bytes") for a NUL byte in any part.
std::string compose_class_doc(const ClassSpec& spec);

// Creates the heap type (base object, subclassable). On failure raises
// RuntimeError "failed to create type object for <Class>: <reason>" with the
// underlying error as cause, and throws PythonErrorSet. New reference.
PyRef create_type(const ClassSpec& spec);

// A plain submodule object, not entered into sys.modules.
PyRef new_submodule(const char* name);

// Adds `obj` as attribute `name` and appends the name to the module's __all__
// (creating it as an empty list when missing). A failure to append is an
// internal failure "could not append __name__ to __all__".
void add_to_module(PyObject* module, const char* name, PyObject* obj);

// A new instance of `subtype` (the class or a subclass) holding `record`,
// allocated through the subtype's tp_alloc.
template <class T>
PyRef new_instance(PyTypeObject* subtype, T&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
  PyRef self = take(alloc(subtype, 0));
  using Record = std::remove_cvref_t<T>;
  new (&reinterpret_cast<Instance<Record>*>(self.get())->record) Record(std::forward<T>(record));
  return self;
}

// tp_dealloc of a class holding a T: destroys the record, frees the object
// through its type's tp_free and drops the type's reference (heap types).
template <class T>
void dealloc_instance(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Instance<T>*>(self)->record.~T();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// The record of an object known to be an instance of the class.
template <class T>
const T& unchecked_record(PyObject* self) noexcept {
  return reinterpret_cast<Instance<T>*>(self)->record;
}

// The record of `self` after checking that it is an instance of `type` (or of
// a subclass); TypeError "'<type>' object cannot be converted to '<Class>'"
// otherwise.
template <class T>
const T& self_record(PyObject* self, PyTypeObject* type, std::string_view class_name);

}  // namespace varnel::py

#include "python/py/convert.hpp"

namespace varnel::py {

template <class T>
const T& self_record(PyObject* self, PyTypeObject* type, std::string_view class_name) {
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    if (self == nullptr) panic("method called without self");
    raise_wrong_type(self, class_name);
  }
  return unchecked_record<T>(self);
}

}  // namespace varnel::py
