// The Grid methods: match arguments, borrow, convert, work, convert the result.
#include <exception>

#include "module/args.hpp"
#include "module/batch_methods.hpp"
#include "module/errors.hpp"
#include "module/grid_object.hpp"
#include "module/methods.hpp"
#include "module/records.hpp"

namespace tovrana::py {
namespace {

using Fast = PyObject* const*;

HashSet<int64_t> cell_id_set(const Geometry& g, const CellList& cells) {
    HashSet<int64_t> ids;
    ids.reserve(cells.size());
    for (const Cell& c : cells) ids.insert(g.cell_id(c));
    return ids;
}

std::vector<uint8_t> layer_flags(const std::vector<bool>& flags) { return {flags.begin(), flags.end()}; }

PyObject* box_maze(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.box_maze", {"net", "starts", "goals", "hard", "route_shape", "marker_pos", "fixed",
                                                "gg_drc", "gg_marker", "gg_fixed", "corridor", "gc", "use_occ"});
    return guarded([&] {
        const Args<13> a(signature, args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const Geometry& g = borrow.grid().geo();
        const auto net = a.get<int32_t>(0);
        const auto starts = a.get<CellList>(1);
        const auto goals = a.get<CellList>(2);
        const auto hard = cell_id_set(g, a.get<CellList>(3));
        const auto route_shape = cell_id_set(g, a.get<CellList>(4));
        const auto marker_pos = cell_id_set(g, a.get<CellList>(5));
        const auto fixed = cell_id_set(g, a.get<CellList>(6));
        const PenaltyWeights weights{a.get<double>(7), a.get<double>(8), a.get<double>(9)};
        HashSet<int64_t> corridor;
        for (const GcellColumn& c : a.get<std::vector<GcellColumn>>(10)) corridor.insert(gcell_key(c.gx, c.gy));
        const auto gc = a.get<int32_t>(11);
        const auto use_occ = a.get<bool>(12);
        const MazeQuery query{net,  starts, goals, weights, maze::IdLookup(hard), maze::IdLookup(route_shape),
                              maze::IdLookup(marker_pos), maze::IdLookup(fixed), corridor, gc, use_occ};
        const auto path = maze_run(borrow.grid(), query);
        if (!path) Py_RETURN_NONE;
        return build_result(*path);
    });
}

std::vector<NetFootprintInput> footprint_inputs(const std::vector<NetCells>& nets) {
    std::vector<NetFootprintInput> out;
    out.reserve(nets.size());
    for (const NetCells& n : nets) out.push_back({n.net, n.cells, n.vias});
    return out;
}

PyObject* occ_init(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.occ_init", {"nets", "wire_halo", "via_halo"});
    return guarded([&] {
        const Args<3> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto nets = a.get<std::vector<NetCells>>(0);
        const Halos halos{a.get<int32_t>(1), a.get<int32_t>(2)};
        Grid& grid = borrow.grid();
        occ_build(grid.occ, grid.geo(), footprint_inputs(nets), halos);
        grid.occ_halos = halos;
        Py_RETURN_NONE;
    });
}

PyObject* occ_signature(PyObject* self, PyObject*) {
    return guarded([&] {
        const SharedBorrow borrow(self);
        return PyLong_FromUnsignedLongLong(tovrana::occ_signature(borrow.grid().occ));
    });
}

PyObject* flexgc(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.flexgc",
                              {"nets", "wire_halo", "via_halo", "region", "prl_halo", "prl_len", "vertical"});
    return guarded([&] {
        const Args<7> a(signature, args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const auto nets = a.get<std::vector<NetCells>>(0);
        MarkerParams params;
        params.halos = Halos{a.get<int32_t>(1), a.get<int32_t>(2)};
        params.region = a.get<std::optional<Region>>(3);
        params.prl_halo = a.get<int32_t>(4);
        params.prl_len = a.get<int32_t>(5);
        const auto vertical = layer_flags(a.get<std::vector<bool>>(6));
        params.vertical = vertical;
        std::vector<MarkerNet> input;
        input.reserve(nets.size());
        for (const NetCells& n : nets) input.push_back({n.net, n.cells, n.vias});
        const Geometry& g = borrow.grid().geo();
        return build_result(flexgc_core(g.nx, g.ny, input, params));
    });
}

PyObject* routes_init(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.routes_init", {"nets"});
    return guarded([&] {
        const Args<1> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        borrow.grid().routes.init(a.get<std::vector<NetRoute>>(0));
        Py_RETURN_NONE;
    });
}

PyObject* routes_update(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.routes_update", {"net", "cells", "edges"});
    return guarded([&] {
        const Args<3> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto net = a.get<int32_t>(0);
        auto cells = a.get<CellList>(1);
        auto edges = a.get<EdgeList>(2);
        borrow.grid().routes.update(net, std::move(cells), std::move(edges));
        Py_RETURN_NONE;
    });
}

PyObject* set_termsets(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.set_termsets", {"termsets"});
    return guarded([&] {
        const Args<1> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        auto entries = a.get<std::vector<TermsetEntry>>(0);
        HashMap<NetId, TermSets> termsets;
        for (TermsetEntry& e : entries) termsets[e.net] = std::move(e.sets);
        borrow.grid().consts.termsets.swap(termsets);
        Py_RETURN_NONE;
    });
}

PyObject* set_worker_consts(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.set_worker_consts", {"supply", "obstacles"});
    return guarded([&] {
        const Args<2> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto supply = a.get<std::vector<int32_t>>(0);
        const auto obstacles = a.get<CellList>(1);
        Grid& grid = borrow.grid();
        HashSet<NetId> supply_set(supply.begin(), supply.end());
        HashSet<int64_t> obstacle_set = cell_id_set(grid.geo(), obstacles);
        grid.consts.supply.swap(supply_set);
        grid.consts.obstacles.swap(obstacle_set);
        Py_RETURN_NONE;
    });
}

PyObject* set_name_rank(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    static const ArgSpec signature("Grid.set_name_rank", {"ranks"});
    return guarded([&] {
        const Args<1> a(signature, args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto ranks = a.get<std::vector<RankEntry>>(0);
        HashMap<NetId, int32_t> name_rank;
        name_rank.reserve(ranks.size());
        for (const RankEntry& r : ranks) name_rank[r.net] = r.rank;
        borrow.grid().consts.name_rank.swap(name_rank);
        Py_RETURN_NONE;
    });
}

#define TOVRANA_FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

}  // namespace

PyMethodDef grid_methods[] = {
    {"box_maze", TOVRANA_FAST(box_maze),
     "box_maze($self, net, starts, goals, hard, route_shape, marker_pos, fixed, gg_drc, gg_marker, gg_fixed, "
     "corridor, gc, use_occ)\n--\n\n"
     "A* search of one net from its start cells to its goal cells inside a corridor of gcells.\n"
     "Returns the cell path [(ix, iy, layer), ...] from a start to a goal, or None.\n"
     "There is no via halo argument: the search uses only the next cell and the via cost of a move."},
    {"occ_init", TOVRANA_FAST(occ_init),
     "occ_init($self, nets, wire_halo, via_halo)\n--\n\n"
     "(Re)initialises the occupancy map from scratch: clears it, stores the halos and adds every\n"
     "net's halo footprint. Called once after initial routing; from then on occ tracks the global\n"
     "routes, the parallel workers read it plus a local signed delta, and accepted deltas are merged\n"
     "into it with occ_merge_local. nets = [(net_id, cells, via)]."},
    {"occ_signature", reinterpret_cast<PyCFunction>(occ_signature), METH_NOARGS,
     "occ_signature($self)\n--\n\n"
     "Order-independent signature of the current occupancy map (a wrapping sum of per-(cell, net,\n"
     "count) contributions). Two states with the same (cell, net) -> count map give the same value:\n"
     "a cheap drift guard, since an incrementally maintained occ must equal a fresh occ_init of the\n"
     "same routes."},
    {"flexgc", TOVRANA_FAST(flexgc),
     "flexgc($self, nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical)\n--\n\n"
     "Design-rule markers: cover markers (a cell where the halo footprints of at least 2 nets\n"
     "overlap) followed by parallel-run-length spacing markers. nets = [(net_id, route_cells,\n"
     "via_cells)] in routes-dict order; delegates to flexgc_core, which carries the order contract.\n"
     "Returns [(cells, layer, nets), ...]."},
    {"routes_init", TOVRANA_FAST(routes_init),
     "routes_init($self, nets)\n--\n\n"
     "(Re)loads the global routes into the store, in routes-dict order, signal and supply nets alike.\n"
     "A net's slot is fixed here, and routes_update later mutates it in place, so the first-touch\n"
     "order of the marker engine stays equal to the driver's routes-dict order.\n"
     "nets = [(net_id, cells, edges)]."},
    {"routes_update", TOVRANA_FAST(routes_update),
     "routes_update($self, net, cells, edges)\n--\n\n"
     "Replaces one net's stored route and edges in place (the net keeps its slot, so order is\n"
     "preserved). Called after a worker box commits a global change; an unknown net is ignored."},
    {"set_termsets", TOVRANA_FAST(set_termsets),
     "set_termsets($self, termsets)\n--\n\n"
     "Sets the constant per-net terminal cell sets (net id -> list of terminal cell sets) used for the\n"
     "worker's extract_box reroute targets. Set once."},
    {"set_worker_consts", TOVRANA_FAST(set_worker_consts),
     "set_worker_consts($self, supply, obstacles)\n--\n\n"
     "Sets the supply net ids (hard keep-outs, never ripped up) and the global obstacle cells.\n"
     "Set once before the schedule."},
    {"set_name_rank", TOVRANA_FAST(set_name_rank),
     "set_name_rank($self, ranks)\n--\n\n"
     "Sets net id -> name-sorted rank, the worker queue's order key. Set once."},
    {"route_boxes", TOVRANA_FAST(route_boxes),
     "route_boxes($self, boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, "
     "gg_fixed, marker_decay, prl_halo, prl_len, vertical, n_threads)\n--\n\n"
     "Runs a checkerboard batch of boxes in parallel (the boxes are region-disjoint including the\n"
     "design-rule halo, so they read the shared grid and global occ without interfering), then merges\n"
     "each box's occ delta and in-box route portion serially in the given box order, so parallel and\n"
     "serial runs give identical results. n_threads is chosen by the caller and clamped to\n"
     "[1, batch size]. Returns the composed per-net result [(net, cells, edges), ...], which the\n"
     "caller applies to the store. boxes = [(gx0, gy0, gx1, gy1), ...]."},
    {"work_boxes", TOVRANA_FAST(work_boxes),
     "work_boxes($self, boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, "
     "gg_fixed, marker_decay, prl_halo, prl_len, vertical, n_threads)\n--\n\n"
     "The first half of route_boxes: checks the batch like it, runs the box workers of a batch, or of\n"
     "any part of one, on n_threads threads with the interpreter lock released, and merges nothing.\n"
     "Returns the results as compact, versioned bytes: per box its corners, acceptance, in-box routes\n"
     "and occ delta, plus a digest of the state (route store and occ) they were computed from.\n"
     "Give them to merge_boxes on this grid or on any grid in the same state. Takes a shared borrow."},
    {"merge_boxes", TOVRANA_FAST(merge_boxes),
     "merge_boxes($self, boxes, gc, results)\n--\n\n"
     "The second half of route_boxes: `boxes` is the whole batch, `results` the bytes of work_boxes calls\n"
     "on parts of it that together cover it, in any order. Matches each result to its box by corners\n"
     "and merges them in box order exactly as route_boxes does; returns the same [(net, cells, edges)].\n"
     "Raises ValueError, leaving the grid unchanged, for results from another state, another batch or\n"
     "gc, bytes truncated or corrupted, or a box without a result or with two."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tovrana::py
