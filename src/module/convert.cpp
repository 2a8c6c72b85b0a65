#include "module/convert.hpp"

namespace tovrana::py {

void raise_type_mismatch(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, target);
    throw ErrorAlreadySet{};
}

PyObject* const* tuple_items(PyObject* o, Py_ssize_t n) {
    if (!PyTuple_Check(o)) raise_type_mismatch(o, "tuple");
    const Py_ssize_t got = PyTuple_GET_SIZE(o);
    if (got != n) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, got);
        throw ErrorAlreadySet{};
    }
    return &PyTuple_GET_ITEM(o, 0);
}

Ref to_py(int32_t v) { return Ref::check(PyLong_FromLong(v)); }

Ref to_py(const Cell& c) { return make_tuple(to_py(c.ix), to_py(c.iy), to_py(c.layer)); }

Ref to_py(const Edge& e) { return make_tuple(to_py(e.a), to_py(e.b)); }

Ref to_py(const Marker& m) { return make_tuple(to_py(m.cells), to_py(m.layer), to_py(m.nets)); }

Ref to_py(const NetRoute& r) { return make_tuple(to_py(r.net), to_py(r.cells), to_py(r.edges)); }

}  // namespace tovrana::py
