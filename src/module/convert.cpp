#include "module/convert.hpp"

#include <algorithm>
#include <bit>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace tovrana::py {

void raise_type_mismatch(PyObject* o, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, target);
    throw ErrorAlreadySet{};
}

PyObject* const* tuple_items(PyObject* o, Py_ssize_t n, Py_ssize_t most, Py_ssize_t& got) {
    if (!PyTuple_Check(o)) raise_type_mismatch(o, "tuple");
    got = PyTuple_GET_SIZE(o);
    if (got < n || got > most) {
        if (most == n)
            PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", n, got);
        else
            PyErr_Format(PyExc_ValueError, "expected tuple of length %zd to %zd, but got tuple of length %zd", n, most,
                         got);
        throw ErrorAlreadySet{};
    }
    return &PyTuple_GET_ITEM(o, 0);
}

PyObject* const* tuple_items(PyObject* o, Py_ssize_t n) {
    Py_ssize_t got = 0;
    return tuple_items(o, n, n, got);
}

TrackLayerSpec From<TrackLayerSpec>::get(PyObject* o) {
    Py_ssize_t got = 0;
    PyObject* const* items = tuple_items(o, 4, 5, got);
    TrackLayerSpec layer{From<bool>::get(items[0]), From<double>::get(items[1]),
                         From<std::vector<int32_t>>::get(items[2]), From<std::vector<int32_t>>::get(items[3])};
    if (got == 5) layer.stack = From<double>::get(items[4]);
    return layer;
}

namespace {
// Packed cell ids: 21 bits per field, the layer in the top ones.
constexpr int kCellIdBits = 21;
constexpr int64_t kCellIdMask = (int64_t{1} << kCellIdBits) - 1;

// A buffer's items are signed 64-bit integers: native 'q' or 'l' (or '=q', '<q' on a
// little-endian machine), whatever the exporter calls them.
bool holds_int64(const Py_buffer& view) {
    if (view.itemsize != 8) return false;
    const std::string_view f = view.format ? view.format : "B";
    if (f == "q" || f == "l" || f == "@q" || f == "@l" || f == "=q") return true;
    return std::endian::native == std::endian::little && f == "<q";
}

}  // namespace

const int32_t* int32_rows(const BufferView& b, Py_ssize_t fields) {
    const Py_buffer& view = b.view;
    const std::string_view f = view.format ? view.format : "B";
    const bool int32 = view.itemsize == 4 && (f == "i" || f == "@i" || f == "=i" || f == "l" || f == "@l" ||
                                              (std::endian::native == std::endian::little && f == "<i"));
    if (view.ndim != 2 || !int32 || view.shape[1] != fields) {
        PyErr_Format(PyExc_TypeError, "records given as a buffer must be a two-dimensional array of 32-bit ints "
                     "with %zd columns", fields);
        throw ErrorAlreadySet{};
    }
    return static_cast<const int32_t*>(view.buf);
}

namespace {

// The ids of a buffer that holds signed 64-bit packed ids, or TypeError naming `what`.
std::span<const int64_t> packed_ids(const BufferView& b, const char* what) {
    if ((b.view.ndim != 1 && b.view.ndim != 2) || !holds_int64(b.view)) {
        PyErr_Format(PyExc_TypeError, "%s given as a buffer must be an array of signed 64-bit packed ids", what);
        throw ErrorAlreadySet{};
    }
    return {static_cast<const int64_t*>(b.view.buf), static_cast<std::size_t>(b.view.len / 8)};
}

Cell cell_of_id(int64_t id) {
    if (id < 0) {
        PyErr_Format(PyExc_ValueError, "packed cell id %lld is negative", static_cast<long long>(id));
        throw ErrorAlreadySet{};
    }
    return Cell{static_cast<int32_t>(id & kCellIdMask), static_cast<int32_t>((id >> kCellIdBits) & kCellIdMask),
                static_cast<int32_t>(id >> (2 * kCellIdBits))};
}

int64_t id_of_cell(const Cell& c) {
    return int64_t{c.ix} | (int64_t{c.iy} << kCellIdBits) | (int64_t{c.layer} << (2 * kCellIdBits));
}

}  // namespace

CellList From<CellList>::get(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return sequence_of<Cell>(o);
    const BufferView b(o);
    if (b.view.ndim != 1) {
        PyErr_SetString(PyExc_TypeError,
                        "cells given as a buffer must be a one-dimensional array of signed 64-bit packed ids");
        throw ErrorAlreadySet{};
    }
    const auto ids = packed_ids(b, "cells");
    CellList out;
    out.reserve(ids.size());
    for (const int64_t id : ids) out.push_back(cell_of_id(id));
    return out;
}

EdgeList From<EdgeList>::get(PyObject* o) {
    if (!PyObject_CheckBuffer(o)) return sequence_of<Edge>(o);
    const BufferView b(o);
    const auto ids = packed_ids(b, "edges");
    if ((b.view.ndim == 2 && b.view.shape[1] != 2) || ids.size() % 2 != 0) {
        PyErr_SetString(PyExc_TypeError, "edges given as a buffer must hold two packed ids per edge (an even count, "
                                         "or two columns)");
        throw ErrorAlreadySet{};
    }
    EdgeList out;
    out.reserve(ids.size() / 2);
    for (std::size_t i = 0; i < ids.size(); i += 2) out.push_back(Edge{cell_of_id(ids[i]), cell_of_id(ids[i + 1])});
    return out;
}

bool fits_packed_ids(int32_t nx, int32_t ny, int32_t nz) {
    const auto fits = [](int32_t n) { return n >= 0 && int64_t{n} <= kCellIdMask + 1; };
    return fits(nx) && fits(ny) && fits(nz);
}

namespace {

// array('q') holding `ids`.
Ref id_array(PyObject* array_type, const std::vector<int64_t>& ids) {
    const Ref bytes = Ref::check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(ids.data()),
                                                           static_cast<Py_ssize_t>(ids.size() * sizeof(int64_t))));
    return Ref::check(PyObject_CallFunction(array_type, "sO", "q", bytes.get()));
}

}  // namespace

Ref to_py_packed(const std::vector<NetRoute>& routes) {
    const Ref array_module = Ref::check(PyImport_ImportModule("array"));
    const Ref array_type = Ref::check(PyObject_GetAttrString(array_module.get(), "array"));
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(routes.size())));
    std::vector<int64_t> ids;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const NetRoute& r = routes[i];
        ids.clear();
        for (const Cell& c : r.cells) ids.push_back(id_of_cell(c));
        Ref cells = id_array(array_type.get(), ids);
        ids.clear();
        for (const Edge& e : r.edges) {
            ids.push_back(id_of_cell(e.a));
            ids.push_back(id_of_cell(e.b));
        }
        Ref edges = id_array(array_type.get(), ids);
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i),
                        make_tuple(to_py(r.net), std::move(cells), std::move(edges)).release());
    }
    return list;
}

namespace {
// Coordinates and net ids are mostly small non-negative numbers; sharing their int
// objects saves an allocation per value in large results.
constexpr int32_t kCachedInts = 1 << 16;
PyObject* g_ints[kCachedInts] = {};
}  // namespace

Ref to_py(int32_t v) {
    if (v < 0 || v >= kCachedInts) return Ref::check(PyLong_FromLong(v));
    PyObject*& slot = g_ints[v];
    if (!slot) slot = PyLong_FromLong(v);  // kept for the life of the process
    if (!slot) throw ErrorAlreadySet{};
    return Ref::borrow(slot);
}

Ref to_py(const Cell& c) { return make_tuple(to_py(c.ix), to_py(c.iy), to_py(c.layer)); }

Ref to_py(const Edge& e) { return make_tuple(to_py(e.a), to_py(e.b)); }

Ref to_py(const Marker& m) { return make_tuple(to_py(m.cells), to_py(m.layer), to_py(m.nets)); }

// An edge's ends are the very tuples of the route's cell list where they are among its
// cells: a large result then holds one tuple per cell instead of three, and a caller that
// keeps the route keeps no copies the result made for it alone.
Ref to_py(const NetRoute& r) {
    Ref cells = to_py(r.cells);
    std::vector<std::pair<Cell, Py_ssize_t>> order(r.cells.size());
    for (std::size_t i = 0; i < r.cells.size(); ++i) order[i] = {r.cells[i], static_cast<Py_ssize_t>(i)};
    std::sort(order.begin(), order.end());
    auto end_of = [&](const Cell& c) {
        auto it = std::lower_bound(order.begin(), order.end(), c,
                                   [](const std::pair<Cell, Py_ssize_t>& e, const Cell& key) { return e.first < key; });
        if (it == order.end() || it->first != c) return to_py(c);
        return Ref::borrow(PyList_GET_ITEM(cells.get(), it->second));
    };
    Ref edges = Ref::check(PyList_New(static_cast<Py_ssize_t>(r.edges.size())));
    for (std::size_t i = 0; i < r.edges.size(); ++i)
        PyList_SET_ITEM(edges.get(), static_cast<Py_ssize_t>(i),
                        make_tuple(end_of(r.edges[i].a), end_of(r.edges[i].b)).release());
    return make_tuple(to_py(r.net), std::move(cells), std::move(edges));
}

}  // namespace tovrana::py
