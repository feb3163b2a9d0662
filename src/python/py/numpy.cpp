#include "python/py/numpy.hpp"

#include <cstring>
#include <memory>

#include "sampler/panic.hpp"
#include "python/py/convert.hpp"

namespace varnel::py {

namespace {

// The leading fields of NumPy's array and descriptor objects: the same in
// NumPy 1.x and 2.x up to `type_num`. Nothing after them is ever read.
struct NumpyDescr {
  PyObject_HEAD
  PyTypeObject* typeobj;
  char kind;
  char type;
  char byteorder;
  char former_flags;
  int type_num;
};

struct NumpyArray {
  PyObject_HEAD
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  NumpyDescr* descr;
  int flags;
};

// Slots of the API table, the same in NumPy 1.x and 2.x.
constexpr std::size_t kSlotArrayType = 2;
constexpr std::size_t kSlotDescrFromType = 45;
constexpr std::size_t kSlotNewFromDescr = 94;
constexpr std::size_t kSlotEquivTypes = 182;
constexpr std::size_t kSlotSetBaseObject = 282;

constexpr int kTypeBool = 0;
constexpr int kTypeFloat64 = 12;
constexpr int kFlagWriteable = 0x400;

using DescrFromTypeFn = PyObject* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyObject*, int, const Py_ssize_t*,
                                     const Py_ssize_t*, void*, int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyObject*, PyObject*);
using SetBaseObjectFn = int (*)(PyObject*, PyObject*);

constexpr const char* kOwnerCapsuleName = "varnel.f64_buffer";

// Process-wide, bound on first use; the capsule reference keeps the table alive.
void** g_api = nullptr;
PyObject* g_api_capsule = nullptr;
PyObject* g_descr_float64 = nullptr;
PyObject* g_descr_bool = nullptr;

void** numpy_api() {
  if (g_api != nullptr) return g_api;
  for (const char* module_name : {"numpy.core.multiarray", "numpy._core.multiarray"}) {
    ErrorScope keep;  // a failed import is not the caller's error
    PyRef module = PyRef::steal(PyImport_ImportModule(module_name));
    if (!module) continue;
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
    if (!capsule) continue;
    void* table = PyCapsule_GetPointer(capsule.get(), nullptr);
    if (table == nullptr) continue;
    g_api_capsule = capsule.release();
    g_api = static_cast<void**>(table);
    return g_api;
  }
  panic("Failed to access NumPy array API capsule");
}

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(numpy_api()[kSlotArrayType]); }

// A borrowed, cached descriptor of a built-in type number.
PyObject* builtin_descr(int type_num) {
  PyObject*& slot = type_num == kTypeFloat64 ? g_descr_float64 : g_descr_bool;
  if (slot == nullptr) {
    auto descr_from_type = reinterpret_cast<DescrFromTypeFn>(numpy_api()[kSlotDescrFromType]);
    slot = take(descr_from_type(type_num)).release();
  }
  return slot;
}

// The array behind `obj` if it is an ndarray (or subclass) with `nd`
// dimensions and a dtype equivalent to `type_num`; TypeError otherwise.
NumpyArray* checked_array(PyObject* obj, int nd, int type_num) {
  if (!PyObject_TypeCheck(obj, array_type())) raise_wrong_type(obj, kArrayTarget);
  auto* array = reinterpret_cast<NumpyArray*>(obj);
  if (array->nd != nd) raise_wrong_type(obj, kArrayTarget);
  auto equiv = reinterpret_cast<EquivTypesFn>(numpy_api()[kSlotEquivTypes]);
  if (!equiv(reinterpret_cast<PyObject*>(array->descr), builtin_descr(type_num))) {
    raise_wrong_type(obj, kArrayTarget);
  }
  return array;
}

// True when doubles can be read in place: aligned data and whole-element strides.
bool readable_in_place(const NumpyArray* array) {
  if (reinterpret_cast<std::uintptr_t>(array->data) % alignof(double) != 0) return false;
  for (int d = 0; d < array->nd; ++d) {
    if (array->strides[d] % static_cast<Py_ssize_t>(sizeof(double)) != 0) return false;
  }
  return true;
}

double read_unaligned(const char* p) {
  double value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

void free_owned_buffer(PyObject* capsule) {
  delete static_cast<std::vector<double>*>(PyCapsule_GetPointer(capsule, kOwnerCapsuleName));
}

}  // namespace

F64Matrix to_f64_matrix(PyObject* obj) {
  NumpyArray* array = checked_array(obj, 2, kTypeFloat64);
  F64Matrix out;
  const auto rows = static_cast<std::size_t>(array->dimensions[0]);
  const auto cols = static_cast<std::size_t>(array->dimensions[1]);
  out.view.rows = rows;
  out.view.cols = cols;
  if (readable_in_place(array)) {
    out.view.data = reinterpret_cast<const double*>(array->data);
    out.view.row_stride = array->strides[0] / static_cast<Py_ssize_t>(sizeof(double));
    out.view.col_stride = array->strides[1] / static_cast<Py_ssize_t>(sizeof(double));
    return out;
  }
  out.copy.resize(rows * cols);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) {
      out.copy[i * cols + j] = read_unaligned(array->data +
                                              static_cast<Py_ssize_t>(i) * array->strides[0] +
                                              static_cast<Py_ssize_t>(j) * array->strides[1]);
    }
  }
  out.view.data = out.copy.data();
  out.view.row_stride = static_cast<std::ptrdiff_t>(cols);
  out.view.col_stride = 1;
  return out;
}

F64Vector to_f64_vector(PyObject* obj) {
  NumpyArray* array = checked_array(obj, 1, kTypeFloat64);
  F64Vector out;
  const auto len = static_cast<std::size_t>(array->dimensions[0]);
  out.view.len = len;
  if (readable_in_place(array)) {
    out.view.data = reinterpret_cast<const double*>(array->data);
    out.view.stride = array->strides[0] / static_cast<Py_ssize_t>(sizeof(double));
    return out;
  }
  out.copy.resize(len);
  for (std::size_t i = 0; i < len; ++i) {
    out.copy[i] = read_unaligned(array->data + static_cast<Py_ssize_t>(i) * array->strides[0]);
  }
  out.view.data = out.copy.data();
  out.view.stride = 1;
  return out;
}

std::optional<F64Matrix> try_f64_matrix(PyObject* obj) {
  if (!PyObject_TypeCheck(obj, array_type())) return std::nullopt;
  const auto* array = reinterpret_cast<const NumpyArray*>(obj);
  if (array->nd != 2) return std::nullopt;
  auto equiv = reinterpret_cast<EquivTypesFn>(numpy_api()[kSlotEquivTypes]);
  if (!equiv(reinterpret_cast<PyObject*>(array->descr), builtin_descr(kTypeFloat64))) {
    return std::nullopt;
  }
  return to_f64_matrix(obj);
}

BoolVectorView to_bool_vector(PyObject* obj) {
  NumpyArray* array = checked_array(obj, 1, kTypeBool);
  return BoolVectorView{reinterpret_cast<const std::uint8_t*>(array->data),
                        static_cast<std::size_t>(array->dimensions[0]), array->strides[0]};
}

PyRef new_f64_array(std::vector<double>&& buffer, std::span<const Py_ssize_t> shape) {
  std::size_t count = 1;
  for (Py_ssize_t extent : shape) count *= static_cast<std::size_t>(extent);
  check(count == buffer.size(), "array shape matches its buffer");
  void** api = numpy_api();

  auto owned = std::make_unique<std::vector<double>>(std::move(buffer));
  // NumPy allocates its own memory for a null data pointer: give it ours.
  if (owned->data() == nullptr) owned->reserve(1);
  double* data = owned->data();
  PyRef owner = take(PyCapsule_New(owned.get(), kOwnerCapsuleName, &free_owned_buffer));
  owned.release();  // the capsule frees it from now on

  PyObject* descr = builtin_descr(kTypeFloat64);
  Py_INCREF(descr);  // NewFromDescr steals it
  auto new_from_descr = reinterpret_cast<NewFromDescrFn>(api[kSlotNewFromDescr]);
  PyRef array = take(new_from_descr(array_type(), descr, static_cast<int>(shape.size()),
                                    shape.data(), nullptr, data, kFlagWriteable, nullptr));
  auto set_base = reinterpret_cast<SetBaseObjectFn>(api[kSlotSetBaseObject]);
  // SetBaseObject steals the owner even when it fails.
  check_status(set_base(array.get(), owner.release()));
  return array;
}

}  // namespace varnel::py
