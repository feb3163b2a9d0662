// Placeholder entry point; the module tree is registered here.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef varnel_module = {PyModuleDef_HEAD_INIT, "varnel", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_varnel(void) { return PyModule_Create(&varnel_module); }
