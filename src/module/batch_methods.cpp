// route_boxes is its two halves in one call: the work (checks, then the box
// workers on threads without the interpreter lock) and the serial merge.
// work_boxes ends after the first half and hands the results over as bytes;
// merge_boxes starts the second half from such bytes.
#include "module/batch_methods.hpp"

#include <algorithm>
#include <exception>
#include <optional>
#include <string>

#include "batch/box_results.hpp"
#include "batch/route_boxes.hpp"
#include "batch/state_digest.hpp"
#include "module/args.hpp"
#include "module/errors.hpp"
#include "module/grid_object.hpp"
#include "module/interpreter_lock.hpp"
#include "module/records.hpp"

namespace tovrana::py {

// A bytes object held for the call, with a view of its contents.
struct BytesArg {
    Ref owner;
    std::span<const uint8_t> data;
};

template <>
struct From<BytesArg> {
    static BytesArg get(PyObject* o) {
        if (!PyBytes_Check(o)) raise_type_mismatch(o, "bytes");
        const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(o));
        return BytesArg{Ref::borrow(o), {data, static_cast<std::size_t>(PyBytes_GET_SIZE(o))}};
    }
};

namespace {

using Fast = PyObject* const*;

// The fourteen parameters route_boxes and work_boxes share, under either name, and then
// `Extra` optional ones.
template <TextLiteral Qualname, TextLiteral... Extra>
using BatchSignature =
    SignatureWithOptional<sizeof...(Extra), Qualname, "boxes", "gc", "wire_halo", "via_halo", "ripup_all",
                          "maze_end_iter", "gg_drc", "gg_marker", "gg_fixed", "marker_decay", "prl_halo", "prl_len",
                          "vertical", "n_threads", Extra...>;

// Merged routes as the caller asked for them: tuples, or packed ids (`packed`), which the
// grid's cells must fit.
PyObject* routes_result(const std::vector<NetRoute>& routes, bool packed) {
    if (!packed) return build_result(routes);
    const GcPause pause;
    return to_py_packed(routes).release();
}

// Refuses `packed` before any work when the grid's cells do not fit packed ids.
void check_packed_fits(const Grid& grid, bool packed) {
    const Geometry& g = grid.geo();
    if (packed && !fits_packed_ids(g.nx, g.ny, g.nz)) {
        PyErr_SetString(PyExc_ValueError, "packed=True needs a grid of at most 2**21 columns, rows and layers");
        throw ErrorAlreadySet{};
    }
}

// Those fourteen arguments, converted in signature order.
struct BatchArgs {
    template <class Sig>
    explicit BatchArgs(const Args<Sig>& a) : boxes(a.template get<std::vector<Box>, "boxes">()) {
        params.gc = a.template get<int32_t, "gc">();
        params.halos = Halos{a.template get<int32_t, "wire_halo">(), a.template get<int32_t, "via_halo">()};
        params.ripup_all = a.template get<bool, "ripup_all">();
        params.maze_end_iter = a.template get<int32_t, "maze_end_iter">();
        params.weights = PenaltyWeights{a.template get<double, "gg_drc">(), a.template get<double, "gg_marker">(),
                                        a.template get<double, "gg_fixed">()};
        params.marker_decay = a.template get<double, "marker_decay">();
        params.prl_halo = a.template get<int32_t, "prl_halo">();
        params.prl_len = a.template get<int32_t, "prl_len">();
        const auto flags = a.template get<std::vector<bool>, "vertical">();
        vertical.assign(flags.begin(), flags.end());
        params.vertical = vertical;
        n_threads = a.template get<int32_t, "n_threads">();
    }
    BatchArgs(const BatchArgs&) = delete;  // params.vertical views `vertical`
    BatchArgs& operator=(const BatchArgs&) = delete;

    std::vector<Box> boxes;
    BoxParams params;
    std::vector<uint8_t> vertical;
    int32_t n_threads = 1;
};

// The first half: reads the grid only.
std::vector<BoxOutcome> work_batch(const Grid& grid, const BatchArgs& call) {
    validate_batch(call.boxes, call.params.gc);
    return run_boxes(grid, call.boxes, call.params, call.n_threads);
}

}  // namespace

PyObject* route_boxes(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args<BatchSignature<"Grid.route_boxes", "packed">> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const BatchArgs call(a);
        const bool packed = a.get_or<bool, "packed">(false);
        check_packed_fits(borrow.grid(), packed);
        if (call.boxes.empty()) return PyList_New(0);
        // The grid is ours alone: the merge needs the interpreter lock no more than
        // the work does.
        auto routes = without_interpreter_lock([&] {
            const auto outcomes = work_batch(borrow.grid(), call);
            // as many threads as worked the boxes
            const auto threads = static_cast<int32_t>(std::min<std::size_t>(std::max(call.n_threads, 1), call.boxes.size()));
            return merge_batch(borrow.grid(), call.boxes, outcomes, call.params.gc, threads);
        });
        return routes_result(routes, packed);
    });
}

PyObject* work_boxes(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        const Args<BatchSignature<"Grid.work_boxes">> a(args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const BatchArgs call(a);
        const auto bytes = without_interpreter_lock([&] {
            const Grid& grid = borrow.grid();
            const auto outcomes = work_batch(grid, call);
            const BatchHeader header{worked_state_digest(grid), params_digest(call.params), call.params.gc};
            return encode_box_results(header, call.boxes, outcomes);
        });
        return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                         static_cast<Py_ssize_t>(bytes.size()));
    });
}

PyObject* merge_boxes(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = SignatureWithOptional<2, "Grid.merge_boxes", "boxes", "gc", "results", "n_threads", "packed">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto boxes = a.get<std::vector<Box>, "boxes">();
        const auto gc = a.get<int32_t, "gc">();
        const auto results = a.get<std::vector<BytesArg>, "results">();
        const auto n_threads = a.get_or<int32_t, "n_threads">(1);
        const bool packed = a.get_or<bool, "packed">(false);
        validate_batch(boxes, gc);
        check_packed_fits(borrow.grid(), packed);

        // The bytes objects are held for the call and cannot change, and the grid is
        // ours alone: nothing below touches the interpreter.
        auto routes = without_interpreter_lock([&] {
            // Every part is checked before the merge writes anything.
            Grid& grid = borrow.grid();
            const uint64_t state = worked_state_digest(grid);
            std::vector<WorkedBox> worked;
            std::optional<uint64_t> params;
            for (std::size_t i = 0; i < results.size(); ++i) {
                const std::string label = "results[" + std::to_string(i) + "]";
                DecodedResults part = decode_box_results(results[i].data, label);
                if (part.header.state != state)
                    throw std::invalid_argument(label + " was worked on a grid in another state (routes, occupancy or "
                                                        "routing rules differ from this grid's)");
                if (part.header.gc != gc)
                    throw std::invalid_argument(label + " was worked with gc " + std::to_string(part.header.gc) +
                                                ", not " + std::to_string(gc));
                if (params && *params != part.header.params)
                    throw std::invalid_argument(label + " was worked with other parameters than results[0]");
                params = part.header.params;
                for (WorkedBox& w : part.boxes) worked.push_back(std::move(w));
            }
            const auto ordered = match_to_batch(boxes, std::move(worked));
            return merge_batch(grid, boxes, ordered, gc, n_threads);
        });
        return routes_result(routes, packed);
    });
}

}  // namespace tovrana::py
