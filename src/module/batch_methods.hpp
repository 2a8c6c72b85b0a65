#pragma once
// The batch methods of Grid: route_boxes, and its two halves for batches worked in
// other processes, work_boxes and merge_boxes.
#include "module/py_ref.hpp"

namespace tovrana::py {

PyObject* route_boxes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* work_boxes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* merge_boxes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace tovrana::py
