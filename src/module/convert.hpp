#pragma once
// Conversion between Python objects and the core's value types.
//   int   -> int32_t  (integer-index protocol; OverflowError outside 32 bits)
//   int   -> int64_t  (the same for database coordinates, outside 64 bits)
//   float -> double   (float protocol)
//   bool  -> bool     (True/False and NumPy's bool scalar only)
//   sequence of X -> std::vector<X> (any sequence but str, iterated in order)
//   n-tuple -> a record whose fields are listed by TupleShape
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "state/grid.hpp"
#include "markers/flexgc_core.hpp"
#include "module/py_ref.hpp"

namespace tovrana::py {

[[noreturn]] void raise_type_mismatch(PyObject* o, const char* target);

template <class T, class Enable = void>
struct From;

// An int in [lo, hi] through the integer-index protocol. Inline: every coordinate
// of every argument comes through here.
inline long long int_in_range(PyObject* o, long long lo, long long hi) {
    // Plain ints skip the index protocol's new reference.
    const Ref index = PyLong_CheckExact(o) ? Ref::borrow(o) : Ref::check(PyNumber_Index(o));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
    if (overflow != 0 || v < lo || v > hi) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        throw ErrorAlreadySet{};
    }
    return v;
}

template <>
struct From<int32_t> {
    static int32_t get(PyObject* o) { return static_cast<int32_t>(int_in_range(o, INT32_MIN, INT32_MAX)); }
};

template <>
struct From<int64_t> {
    static int64_t get(PyObject* o) { return int_in_range(o, LLONG_MIN, LLONG_MAX); }
};

template <>
struct From<double> {
    static double get(PyObject* o) {
        const double v = PyFloat_AsDouble(o);
        if (v == -1.0 && PyErr_Occurred()) throw ErrorAlreadySet{};
        return v;
    }
};

template <>
struct From<bool> {
    static bool get(PyObject* o) {
        if (o == Py_True) return true;
        if (o == Py_False) return false;
        const char* type_name = Py_TYPE(o)->tp_name;
        if (std::strcmp(type_name, "numpy.bool") == 0 || std::strcmp(type_name, "numpy.bool_") == 0) {
            const int truth = PyObject_IsTrue(o);
            if (truth < 0) throw ErrorAlreadySet{};
            return truth != 0;
        }
        raise_type_mismatch(o, "bool");
    }
};

// Any sequence but str, its items converted in order.
template <class T>
std::vector<T> sequence_of(PyObject* o);

template <class T>
struct From<std::vector<T>> {
    static std::vector<T> get(PyObject* o) { return sequence_of<T>(o); }
};

// A cell list: a sequence of (ix, iy, layer) tuples, or a one-dimensional buffer of signed
// 64-bit packed ids, ix | iy << 21 | layer << 42 (each field 0 .. 2^21 - 1), which a caller
// holding many routes keeps instead of a tuple per cell.
template <>
struct From<CellList> {
    static CellList get(PyObject* o);
};

// An edge list: a sequence of (cell, cell) tuples, or a buffer of signed 64-bit packed ids,
// two per edge: one-dimensional (a0, b0, a1, b1, ...) or two-dimensional with two columns.
template <>
struct From<EdgeList> {
    static EdgeList get(PyObject* o);
};

// The Python tuple shape of a record: its fields' types in tuple order.
template <class S>
struct TupleShape;

// Records whose fields are all 32-bit ints (boxes, blocked and pad cells, columns, ...).
template <class Shape>
struct AllInt32 : std::false_type {};
template <class... Ts>
struct AllInt32<std::tuple<Ts...>> : std::bool_constant<(std::is_same_v<Ts, int32_t> && ...)> {};
template <class T>
concept IntRecord = requires { typename TupleShape<T>::type; } && AllInt32<typename TupleShape<T>::type>::value;

// An object's C-contiguous buffer, held while this lives.
struct BufferView {
    Py_buffer view{};
    explicit BufferView(PyObject* o) {
        if (PyObject_GetBuffer(o, &view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) throw ErrorAlreadySet{};
    }
    ~BufferView() { PyBuffer_Release(&view); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
};

// The rows of a two-dimensional buffer of 32-bit ints with `fields` columns, one record per
// row. Throws TypeError naming the shape it needs when the buffer is anything else.
const int32_t* int32_rows(const BufferView& b, Py_ssize_t fields);

template <class T, std::size_t... I>
T record_of_row(const int32_t* row, std::index_sequence<I...>) {
    return T{row[I]...};
}

template <class T>
std::vector<T> sequence_of(PyObject* o) {
    if constexpr (IntRecord<T>) {
        // An array of many small records costs far less memory than a tuple per record.
        if (PyObject_CheckBuffer(o)) {
            constexpr std::size_t fields = std::tuple_size_v<typename TupleShape<T>::type>;
            const BufferView b(o);
            const int32_t* data = int32_rows(b, static_cast<Py_ssize_t>(fields));
            const auto rows = static_cast<std::size_t>(b.view.shape[0]);
            std::vector<T> out;
            out.reserve(rows);
            for (std::size_t r = 0; r < rows; ++r)
                out.push_back(record_of_row<T>(data + r * fields, std::make_index_sequence<fields>{}));
            return out;
        }
    }
    if (PyUnicode_Check(o)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be converted to a sequence of items");
        throw ErrorAlreadySet{};
    }
    if (!PySequence_Check(o)) raise_type_mismatch(o, "Sequence");
    std::vector<T> out;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        // Direct indexing, re-reading the size at every step and holding each item,
        // visits exactly what iteration would even if a conversion mutates the list.
        out.reserve(static_cast<std::size_t>(Py_SIZE(o)));
        const bool list = PyList_CheckExact(o);
        for (Py_ssize_t i = 0; i < Py_SIZE(o); ++i) {
            const Ref item = Ref::borrow(list ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
            out.push_back(From<T>::get(item.get()));
        }
        return out;
    }
    // Any other sequence reports its own size (__len__, __length_hint__), which
    // may be far from what iteration yields: it is only a hint, capped so that a
    // lying length costs no memory and raises no MemoryError.
    constexpr Py_ssize_t kMaxReserve = 4096;
    const Py_ssize_t hint = PyObject_LengthHint(o, 0);
    if (hint < 0) throw ErrorAlreadySet{};
    out.reserve(static_cast<std::size_t>(hint < kMaxReserve ? hint : kMaxReserve));
    const Ref it = Ref::check(PyObject_GetIter(o));
    while (Ref item = Ref::steal(PyIter_Next(it.get()))) out.push_back(From<T>::get(item.get()));
    if (PyErr_Occurred()) throw ErrorAlreadySet{};
    return out;
}

template <class T>
struct From<std::optional<T>> {
    static std::optional<T> get(PyObject* o) {
        if (o == Py_None) return std::nullopt;
        return From<T>::get(o);
    }
};

// Items of a tuple of exactly `n` items.
PyObject* const* tuple_items(PyObject* o, Py_ssize_t n);
// Items of a tuple of `n` to `most` items; `got` is set to the count.
PyObject* const* tuple_items(PyObject* o, Py_ssize_t n, Py_ssize_t most, Py_ssize_t& got);

template <> struct TupleShape<Cell> { using type = std::tuple<int32_t, int32_t, int32_t>; };
template <> struct TupleShape<Edge> { using type = std::tuple<Cell, Cell>; };
template <> struct TupleShape<BlockedEntry> { using type = std::tuple<int32_t, int32_t, int32_t>; };
template <> struct TupleShape<PadEntry> { using type = std::tuple<int32_t, int32_t, int32_t, int32_t>; };
template <> struct TupleShape<Column> { using type = std::tuple<int32_t, int32_t>; };
template <> struct TupleShape<ViaRule> { using type = std::tuple<int32_t, int32_t, double>; };
template <> struct TupleShape<Region> { using type = std::tuple<int32_t, int32_t, int32_t, int32_t>; };
template <> struct TupleShape<NetRoute> { using type = std::tuple<int32_t, CellList, EdgeList>; };
template <> struct TupleShape<GuideRect> { using type = std::tuple<int32_t, int32_t, int32_t, int32_t, int32_t>; };
template <> struct TupleShape<NetGuideEntry> { using type = std::tuple<int32_t, std::vector<GuideRect>>; };
template <> struct TupleShape<SpacingLayer> { using type = std::tuple<int64_t, int64_t, int64_t, int64_t>; };

// (vertical, wrong_way, x_lines, y_lines[, stack]): a track model's layer, its
// stack cost 0 when left out.
template <>
struct From<TrackLayerSpec> {
    static TrackLayerSpec get(PyObject* o);
};

template <class S, class... Ts, std::size_t... I>
S build_record(PyObject* const* items, std::tuple<Ts...>*, std::index_sequence<I...>) {
    return S{From<Ts>::get(items[I])...};  // braced init: converted left to right
}

template <class S>
struct From<S, std::void_t<typename TupleShape<S>::type>> {
    static S get(PyObject* o) {
        using Shape = typename TupleShape<S>::type;
        constexpr std::size_t n = std::tuple_size_v<Shape>;
        PyObject* const* items = tuple_items(o, n);
        return build_record<S>(items, static_cast<Shape*>(nullptr), std::make_index_sequence<n>{});
    }
};

// ---- results ----

Ref to_py(int32_t v);
Ref to_py(const Cell& c);
Ref to_py(const Edge& e);
Ref to_py(const Marker& m);
Ref to_py(const NetRoute& r);

// Packed ids hold 21 bits per field: whether every cell of a grid of this size fits.
bool fits_packed_ids(int32_t nx, int32_t ny, int32_t nz);
// Routes as (net, array('q') of cell ids, array('q') of edge end ids, two per edge), in
// the order of the tuple form; the grid's cells must fit packed ids.
Ref to_py_packed(const std::vector<NetRoute>& routes);

template <class T>
Ref to_py(const std::vector<T>& items) {
    Ref list = Ref::check(PyList_New(static_cast<Py_ssize_t>(items.size())));
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_py(items[i]).release());
    return list;
}

// Pauses the cyclic garbage collector while a large result is built: results hold
// only ints, tuples and lists, so they cannot form cycles, and a collection
// triggered by their allocation would only rescan the caller's heap.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// A fresh Python result for a core value, built with the collector paused.
template <class T>
PyObject* build_result(const T& value) {
    const GcPause pause;
    return to_py(value).release();
}

// A new tuple owning the given references.
template <class... R>
Ref make_tuple(R&&... items) {
    Ref t = Ref::check(PyTuple_New(sizeof...(R)));
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t.get(), i++, items.release())), ...);
    return t;
}

}  // namespace tovrana::py
