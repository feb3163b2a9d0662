#pragma once
// Everything a Python entry point needs, in one include. How a method reads:
//
//   constexpr py::Signature<3> kEstimateSignature{
//       "NUTSEstimator.estimate", {"model", "design", "observations"}, 3};
//
//   PyObject* estimate(PyObject* self, PyObject* args, PyObject* kwargs) {
//     return py::guard([&]() -> py::PyRef {           // every failure becomes a Python exception
//       const auto& record = py::self_record<NUTSEstimator>(self, g_type, "NUTSEstimator");
//       const auto a = py::parse_arguments(kEstimateSignature, args, kwargs);  // borrowed, null = absent
//       const py::F64Matrix design = py::convert_arg("design", a[1], py::to_f64_matrix);
//       const BoolVectorView observations = py::convert_arg("observations", a[2], py::to_bool_vector);
//       const auto model = try_extract_model(a[0]);
//       if (!model) panic("Invalid model");         // -> stderr diagnostic + PanicException
//       std::vector<double> values = ...;            // native work; copy what outlives the call
//       const Py_ssize_t shape[2] = {rows, 2};
//       return py::new_f64_array(std::move(values), shape);  // no copy; the array owns the buffer
//     });
//   }
//
// Views (F64Matrix::view, BoolVectorView) read the caller's arrays: take them
// after every conversion that may run Python code, and copy what a worker
// thread or a later call needs.

#include "python/py/args.hpp"        // Signature, parse_arguments
#include "python/py/convert.hpp"     // to_f64, to_u64, to_*_list, convert_arg, convert_optional_arg, to_py_*
#include "python/py/guard.hpp"       // guard, panic_exception_type
#include "python/py/numpy.hpp"       // to_f64_matrix, to_f64_vector, to_bool_vector, new_f64_array
#include "python/py/object.hpp"      // PyRef, take, check_status, raise, ErrorScope, PythonErrorSet
#include "python/py/registration.hpp"  // ClassSpec, create_type, add_to_module, new_instance, self_record
