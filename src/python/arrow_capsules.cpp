#include "python/arrow_capsules.hpp"

#include <arrow/api.h>
#include <arrow/c/abi.h>
#include <arrow/c/bridge.h>

#include <memory>

#include "sampler/panic.hpp"

namespace varnel {

namespace {

// Releases an exported Arrow C structure (ArrowSchema or ArrowArray) unless
// its consumer moved it out, then frees it.
struct ReleaseExported {
  template <class T>
  void operator()(T* exported) const noexcept {
    if (exported->release != nullptr) exported->release(exported);
    delete exported;
  }
};

template <class T>
using Exported = std::unique_ptr<T, ReleaseExported>;

template <class T>
void release_capsule(PyObject* capsule, const char* name) noexcept {
  auto* exported = static_cast<T*>(PyCapsule_GetPointer(capsule, name));
  if (exported == nullptr) {
    PyErr_Clear();
    return;
  }
  ReleaseExported{}(exported);
}

void release_schema_capsule(PyObject* capsule) { release_capsule<ArrowSchema>(capsule, "arrow_schema"); }
void release_array_capsule(PyObject* capsule) { release_capsule<ArrowArray>(capsule, "arrow_array"); }

// A capsule that owns `exported` from here on.
template <class T>
py::PyRef exported_capsule(Exported<T> exported, const char* name, PyCapsule_Destructor destructor) {
  py::PyRef capsule = py::take(PyCapsule_New(exported.get(), name, destructor));
  exported.release();
  return capsule;
}

}  // namespace

// One chain's statistics table as a pyarrow.RecordBatch, handed over through
// the Arrow C data interface (the buffers move, nothing is copied).
py::PyRef stats_batch(PyObject* record_batch_class, const ChainOutput& output) {
  if (!output.stats) panic_unwrap_none();
  auto batch = arrow::RecordBatch::FromStructArray(output.stats);
  if (!batch.ok()) panic("could not export the statistics: " + batch.status().ToString());
  // Owned and released from here on; ExportRecordBatch fills them or leaves
  // them released.
  Exported<ArrowSchema> schema(new ArrowSchema{});
  Exported<ArrowArray> array(new ArrowArray{});
  const arrow::Status exported = arrow::ExportRecordBatch(**batch, array.get(), schema.get());
  if (!exported.ok()) panic("could not export the statistics: " + exported.ToString());
  py::PyRef schema_capsule = exported_capsule(std::move(schema), "arrow_schema", release_schema_capsule);
  py::PyRef array_capsule = exported_capsule(std::move(array), "arrow_array", release_array_capsule);
  return py::take(PyObject_CallMethod(record_batch_class, "_import_from_c_capsule", "OO",
                                      schema_capsule.get(), array_capsule.get()));
}

}  // namespace varnel
