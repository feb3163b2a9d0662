#pragma once
// Arrow tables handed to pyarrow through the Arrow C data interface: the
// exported structures travel in capsules that release them unless pyarrow
// moved them out, so the buffers move and nothing is copied.

#include "python/py/object.hpp"
#include "sampler/chain_output.hpp"

namespace varnel {

// One chain's statistics table as a pyarrow.RecordBatch, made by
// `record_batch_class` (pyarrow.RecordBatch) from the capsules.
py::PyRef stats_batch(PyObject* record_batch_class, const ChainOutput& output);

}  // namespace varnel
