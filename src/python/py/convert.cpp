#include "python/py/convert.hpp"

#include <algorithm>
#include <string>

namespace varnel::py {

namespace {

constexpr std::string_view kSequenceTarget = "Sequence";
constexpr std::string_view kBoolTarget = "PyBool";

// Items reserved up front at most: the length is only a hint (a sequence may
// report any length), the vector grows as needed past it.
constexpr std::size_t kMaxReserve = std::size_t{1} << 20;

// Calls `each(item)` for every item of a list-kind argument after reserving
// room in `out`; refuses str and non-sequences.
template <class Vec, class F>
void for_each_item(PyObject* obj, Vec& out, F&& each) {
  if (PyUnicode_Check(obj)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) raise_wrong_type(obj, kSequenceTarget);
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();  // a sequence without a length is still iterated
  } else {
    out.reserve(std::min(static_cast<std::size_t>(size), kMaxReserve));
  }
  PyRef iterator = take(PyObject_GetIter(obj));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) each(item.get());
  if (PyErr_Occurred()) throw_python_error();
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
  for_each_item(obj, out, [&](PyObject* item) { out.push_back(to_f64(item)); });
  return out;
}

std::vector<std::vector<double>> to_f64_list_list(PyObject* obj) {
  std::vector<std::vector<double>> out;
  for_each_item(obj, out, [&](PyObject* item) { out.push_back(to_f64_list(item)); });
  return out;
}

bool to_bool(PyObject* obj) {
  if (!PyBool_Check(obj)) raise_wrong_type(obj, "bool");
  return obj == Py_True;
}

std::vector<std::uint8_t> to_bool_list(PyObject* obj) {
  std::vector<std::uint8_t> out;
  for_each_item(obj, out, [&](PyObject* item) {
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
  const FetchedError pending = fetch_error();
  const PyRef& value_ref = pending.value;
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
