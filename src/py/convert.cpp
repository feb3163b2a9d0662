#include "py/convert.hpp"

#include <string>

namespace varnel::py {

namespace {

constexpr std::string_view kSequenceTarget = "Sequence";
constexpr std::string_view kBoolTarget = "PyBool";

// The common front of the list kinds: refuses str and non-sequences and
// returns an iterator over the items plus a size hint.
PyRef sequence_iterator(PyObject* obj, std::size_t& size_hint) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_wrong_type(obj, kSequenceTarget);
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    // A sequence without a length is still iterated; the size is only a hint.
    PyErr_Clear();
    size_hint = 0;
  } else {
    size_hint = static_cast<std::size_t>(size);
  }
  return take(PyObject_GetIter(obj));
}

// Calls `each(item)` for every item of a list-kind argument.
template <class F>
void for_each_item(PyObject* obj, F&& each) {
  std::size_t size_hint = 0;
  PyRef iterator = sequence_iterator(obj, size_hint);
  (void)size_hint;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) each(item.get());
  if (PyErr_Occurred()) throw_python_error();
}

std::size_t size_hint_of(PyObject* obj) {
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(size);
}

bool is_numpy_bool_type(PyTypeObject* type) {
  const std::string name = qualified_type_name(type);
  return name == "numpy.bool_" || name == "numpy.bool";
}

}  // namespace

void raise_wrong_type(PyObject* obj, std::string_view target) {
  raise(PyExc_TypeError,
        concat({"'", type_name_of(obj), "' object cannot be converted to '", target, "'"}));
}

double to_f64(PyObject* obj) {
  const double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) throw_python_error();
  return value;
}

std::uint64_t to_u64(PyObject* obj) {
  PyRef index = take(PyNumber_Index(obj));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return static_cast<std::uint64_t>(value);
}

std::vector<double> to_f64_list(PyObject* obj) {
  std::vector<double> out;
  if (!PyUnicode_Check(obj) && PySequence_Check(obj)) out.reserve(size_hint_of(obj));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_f64(item)); });
  return out;
}

std::vector<std::vector<double>> to_f64_list_list(PyObject* obj) {
  std::vector<std::vector<double>> out;
  if (!PyUnicode_Check(obj) && PySequence_Check(obj)) out.reserve(size_hint_of(obj));
  for_each_item(obj, [&](PyObject* item) { out.push_back(to_f64_list(item)); });
  return out;
}

std::vector<std::uint8_t> to_bool_list(PyObject* obj) {
  std::vector<std::uint8_t> out;
  if (!PyUnicode_Check(obj) && PySequence_Check(obj)) out.reserve(size_hint_of(obj));
  for_each_item(obj, [&](PyObject* item) {
    if (PyBool_Check(item)) {
      out.push_back(item == Py_True ? 1 : 0);
      return;
    }
    if (!is_numpy_bool_type(Py_TYPE(item))) raise_wrong_type(item, kBoolTarget);
    PyRef truth = take(PyObject_CallMethod(item, "__bool__", nullptr));
    if (!PyBool_Check(truth.get())) raise_wrong_type(truth.get(), kBoolTarget);
    out.push_back(truth.get() == Py_True ? 1 : 0);
  });
  return out;
}

void reword_argument_error(const char* name) noexcept {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);
  if (!value_ref) {
    PyErr_SetString(PyExc_TypeError, concat({"argument '", name, "'"}).c_str());
    return;
  }
  const std::string message = concat({"argument '", name, "': ", str_of(value_ref.get())});
  PyRef text = new_str(message);
  if (!text) return;
  PyRef replacement =
      PyRef::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!replacement) return;
  // PyException_SetCause steals the cause reference it is given.
  if (PyObject* cause = PyException_GetCause(value_ref.get())) {
    PyException_SetCause(replacement.get(), cause);
  }
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

PyRef to_py_float(double value) { return take(PyFloat_FromDouble(value)); }

PyRef to_py_list(std::span<const double> values) {
  PyRef list = take(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyRef item = to_py_float(values[i]);
    // PyList_SetItem steals the item, even on failure.
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
  }
  return list;
}

PyRef to_py_bool_list(std::span<const std::uint8_t> values) {
  PyRef list = take(PyList_New(static_cast<Py_ssize_t>(values.size())));
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyRef item = PyRef::borrow(values[i] != 0 ? Py_True : Py_False);
    check_status(PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release()));
  }
  return list;
}

}  // namespace varnel::py
