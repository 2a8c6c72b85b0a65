#include "module/grid_object.hpp"

namespace tovrana::py {
namespace {

GridObject* as_grid(PyObject* self) {
    if (!PyObject_TypeCheck(self, &GridType)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a Grid", Py_TYPE(self)->tp_name);
        throw ErrorAlreadySet{};
    }
    return reinterpret_cast<GridObject*>(self);
}

}  // namespace

SharedBorrow::SharedBorrow(PyObject* self) : obj_(as_grid(self)) {
    int64_t seen = obj_->borrow.load();
    do {
        if (seen < 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw ErrorAlreadySet{};
        }
    } while (!obj_->borrow.compare_exchange_weak(seen, seen + 1));
}

ExclusiveBorrow::ExclusiveBorrow(PyObject* self) : obj_(as_grid(self)) {
    int64_t expected = 0;
    if (!obj_->borrow.compare_exchange_strong(expected, -1)) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        throw ErrorAlreadySet{};
    }
}

}  // namespace tovrana::py
