// The module's functions as the interpreter calls them (METH_VARARGS |
// METH_KEYWORDS); `module` is the module object, through which the bodies
// resolve `np` and each other by name at the time of use.
#pragma once

#include "pyref.h"

namespace random_field {

PyObject* py_get_COV(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_get_C_chol_krig(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_get_chol_krig_nodes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_get_chol_field(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_get_krig_field(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_sort_nodes(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* py_get_random_field(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace random_field
