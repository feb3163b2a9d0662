#include "python/py/registration.hpp"

#include <string>
#include <vector>

namespace varnel::py {

std::string compose_class_doc(const ClassSpec& spec) {
  std::string doc = concat({spec.class_name, spec.text_signature, "\n--\n\n", spec.doc});
  // CPython copies the doc up to the first NUL: refuse rather than truncate.
  if (doc.find('\0') != std::string::npos) {
    raise(PyExc_ValueError, "class doc cannot contain nul bytes");
  }
  return doc;
}

PyRef create_type(const ClassSpec& spec) {
  try {
    const std::string doc = compose_class_doc(spec);
    std::vector<PyType_Slot> slots(spec.slots.begin(), spec.slots.end());
    slots.push_back({Py_tp_doc, const_cast<char*>(doc.c_str())});
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{spec.qualified_name, spec.basicsize, 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots.data()};
    // PyType_FromSpec copies the doc; the name and the slot contents must
    // outlive the type (they are static in every class file).
    return take(PyType_FromSpec(&type_spec));
  } catch (const PythonErrorSet&) {
    PyRef cause = fetch_error().value;
    std::string message = concat({"failed to create type object for ", spec.class_name});
    if (cause) message = concat({message, ": ", str_of(cause.get())});
    PyRef text = new_str(message);
    if (!text) throw;
    PyRef error = take(PyObject_CallFunctionObjArgs(PyExc_RuntimeError, text.get(), nullptr));
    if (cause) PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(PyExc_RuntimeError, error.get());
    throw;
  }
}

PyRef new_submodule(const char* name) { return take(PyModule_New(name)); }

void add_to_module(PyObject* module, const char* name, PyObject* obj) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = take(PyList_New(0));
    check_status(PyObject_SetAttrString(module, "__all__", all.get()));
  }
  PyRef text = new_str(name);
  if (!text || !PyList_Check(all.get()) || PyList_Append(all.get(), text.get()) < 0) {
    PyErr_Clear();
    panic("could not append __name__ to __all__");
  }
  check_status(PyModule_AddObjectRef(module, name, obj));
}

}  // namespace varnel::py
