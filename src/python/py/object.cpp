#include "python/py/object.hpp"

#include <optional>

namespace varnel::py {

FetchedError fetch_error() noexcept {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  return {PyRef::steal(type), PyRef::steal(value), PyRef::steal(traceback)};
}

void raise(PyObject* type, const std::string& message) {
  PyRef text = new_str(message);
  if (text) PyErr_SetObject(type, text.get());
  throw_python_error();
}

namespace {

// UTF-8 text of a str object, or nullopt (no exception stays set).
std::optional<std::string> utf8_of(PyObject* s) {
  if (s == nullptr || !PyUnicode_Check(s)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s, &size);
  if (data == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<std::size_t>(size));
}

}  // namespace

std::string type_name(PyTypeObject* type) {
  ErrorScope keep;
  PyRef name = PyRef::steal(PyType_GetName(type));
  return utf8_of(name.get()).value_or("object");
}

std::string type_name_of(PyObject* obj) { return type_name(Py_TYPE(obj)); }

std::string qualified_type_name(PyTypeObject* type) {
  ErrorScope keep;
  PyRef module = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  PyRef qualname = PyRef::steal(PyType_GetQualName(type));
  auto m = utf8_of(module.get());
  auto q = utf8_of(qualname.get());
  if (!m || !q) return {};
  return concat({*m, ".", *q});
}

PyRef new_str(std::string_view text) {
  return PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

std::string str_of(PyObject* obj) {
  ErrorScope keep;
  PyRef s = PyRef::steal(PyObject_Str(obj));
  return utf8_of(s.get()).value_or("<unprintable>");
}

}  // namespace varnel::py
