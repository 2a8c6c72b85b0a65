// The Grid methods: match arguments, borrow, convert, work, convert the result.
#include <cmath>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "markers/flexgc_core.hpp"
#include "markers/worker_markers.hpp"
#include "maze/maze_run.hpp"
#include "module/args.hpp"
#include "module/batch_methods.hpp"
#include "module/errors.hpp"
#include "module/grid_object.hpp"
#include "module/interpreter_lock.hpp"
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
    using Sig = SignatureWithOptional<1, "Grid.box_maze", "net", "starts", "goals", "hard", "route_shape",
                                      "marker_pos", "fixed", "gg_drc", "gg_marker", "gg_fixed", "corridor", "gc",
                                      "use_occ", "heuristic_weight">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const Geometry& g = borrow.grid().geo();
        const auto net = a.get<int32_t, "net">();
        const auto starts = a.get<CellList, "starts">();
        const auto goals = a.get<CellList, "goals">();
        const auto hard = cell_id_set(g, a.get<CellList, "hard">());
        // None: the stored routes of the other nets, kept by routes_init and routes_update
        const auto shape_cells = a.get<std::optional<CellList>, "route_shape">();
        const auto route_shape = shape_cells ? cell_id_set(g, *shape_cells) : HashSet<int64_t>{};
        const auto marker_pos = cell_id_set(g, a.get<CellList, "marker_pos">());
        const auto fixed = cell_id_set(g, a.get<CellList, "fixed">());
        const PenaltyWeights weights{a.get<double, "gg_drc">(), a.get<double, "gg_marker">(),
                                     a.get<double, "gg_fixed">()};
        HashSet<int64_t> corridor;
        for (const GcellColumn& c : a.get<std::vector<GcellColumn>, "corridor">()) corridor.insert(gcell_key(c.gx, c.gy));
        const auto gc = a.get<int32_t, "gc">();
        const auto use_occ = a.get<bool, "use_occ">();
        const auto heuristic_weight = a.get_or<double, "heuristic_weight">(1.0);
        // NaN fails both comparisons; infinity would make every f equal
        if (!(heuristic_weight >= 1.0) || !std::isfinite(heuristic_weight))
            throw std::invalid_argument("heuristic_weight must be a finite number of at least 1, not " +
                                        std::to_string(heuristic_weight));
        MazeQuery query{net,  starts, goals, weights, maze::IdLookup(hard), maze::IdLookup(route_shape),
                        maze::IdLookup(marker_pos), maze::IdLookup(fixed), corridor, gc, use_occ};
        query.heuristic_weight = heuristic_weight;
        // The kept shape is built on first use, so before other searches may run beside this one.
        if (!shape_cells) query.stored_shape = &borrow.grid().route_shape();
        // The search only reads the grid (a shared borrow keeps changing calls out), so
        // searches from several Python threads run side by side.
        const auto path = without_interpreter_lock([&] { return maze_run(borrow.grid(), query); });
        if (!path) Py_RETURN_NONE;
        return build_result(*path);
    });
}

// Views of the converted nets, which must outlive them.
std::vector<NetRouteView> route_views(const std::vector<NetCells>& nets) {
    std::vector<NetRouteView> out;
    out.reserve(nets.size());
    for (const NetCells& n : nets) out.push_back({n.net, n.cells, n.vias});
    return out;
}

// The (nets, wire_halo, via_halo) of occ_init and occ_signature_of.
template <class Sig>
std::pair<std::vector<NetCells>, Halos> occ_args(const Args<Sig>& a) {
    return {a.template get<std::vector<NetCells>, "nets">(),
            Halos{a.template get<int32_t, "wire_halo">(), a.template get<int32_t, "via_halo">()}};
}

PyObject* occ_init(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.occ_init", "nets", "wire_halo", "via_halo">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto [nets, halos] = occ_args(a);
        Grid& grid = borrow.grid();
        occ_build(grid.occ, grid.geo(), route_views(nets), grid.footprints(halos));
        grid.set_occ_footprints(halos);
        Py_RETURN_NONE;
    });
}

PyObject* occ_signature_of(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.occ_signature_of", "nets", "wire_halo", "via_halo">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const auto [nets, halos] = occ_args(a);
        const Grid& grid = borrow.grid();
        return PyLong_FromUnsignedLongLong(
            tovrana::occ_signature_of(grid.geo(), route_views(nets), grid.footprints(halos)));
    });
}

PyObject* occ_signature(PyObject* self, PyObject*) {
    return guarded([&] {
        const SharedBorrow borrow(self);
        return PyLong_FromUnsignedLongLong(tovrana::occ_signature(borrow.grid().occ));
    });
}

// The marker parameters of flexgc and _stored_markers; `vertical` holds the layer
// flags that params.vertical points to.
template <class A>
MarkerParams marker_params(const A& a, const Grid& grid, std::vector<uint8_t>& vertical) {
    MarkerParams params;
    params.footprints = grid.footprints(Halos{a.template get<int32_t, "wire_halo">(), a.template get<int32_t, "via_halo">()});
    params.region = a.template get<std::optional<Region>, "region">();
    params.prl_halo = a.template get<int32_t, "prl_halo">();
    params.prl_len = a.template get<int32_t, "prl_len">();
    vertical = layer_flags(a.template get<std::vector<bool>, "vertical">());
    params.vertical = vertical;
    return params;
}

PyObject* flexgc(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.flexgc", "nets", "wire_halo", "via_halo", "region", "prl_halo", "prl_len",
                          "vertical">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const auto nets = a.get<std::vector<NetCells>, "nets">();
        std::vector<uint8_t> vertical;
        const MarkerParams params = marker_params(a, borrow.grid(), vertical);
        const Geometry& g = borrow.grid().geo();
        return build_result(flexgc_core(g.nx, g.ny, route_views(nets), params));
    });
}

// Internal: what a box worker's marker check finds over the stored routes alone,
// through the index of the store that its batch builds (for the tests: it must
// equal flexgc over the same routes).
PyObject* stored_markers(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid._stored_markers", "wire_halo", "via_halo", "region", "prl_halo", "prl_len",
                          "vertical", "strip_lines">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const SharedBorrow borrow(self);
        const Grid& grid = borrow.grid();
        std::vector<uint8_t> vertical;
        const MarkerParams params = marker_params(a, grid, vertical);
        const SlotIndex index(grid.routes, grid.geo(), a.get<int64_t, "strip_lines">());
        return build_result(worker_markers(grid, LocalRoutes{}, params, index));
    });
}

PyObject* routes_init(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.routes_init", "nets">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        borrow.grid().init_routes(a.get<std::vector<NetRoute>, "nets">());
        Py_RETURN_NONE;
    });
}

PyObject* routes_update(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = SignatureWithOptional<1, "Grid.routes_update", "net", "cells", "edges", "occ">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto net = a.get<int32_t, "net">();
        auto cells = a.get<CellList, "cells">();
        auto edges = a.get<EdgeList, "edges">();
        const bool occ = a.get_or<bool, "occ">(false);
        borrow.grid().update_route(net, std::move(cells), std::move(edges), occ);
        Py_RETURN_NONE;
    });
}

PyObject* set_termsets(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_termsets", "termsets">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        auto entries = a.get<std::vector<TermsetEntry>, "termsets">();
        HashMap<NetId, TermSets> termsets;
        for (TermsetEntry& e : entries) termsets[e.net] = std::move(e.sets);
        borrow.grid().consts.termsets.swap(termsets);
        Py_RETURN_NONE;
    });
}

PyObject* set_worker_consts(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_worker_consts", "supply", "obstacles">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto supply = a.get<std::vector<int32_t>, "supply">();
        const auto obstacles = a.get<CellList, "obstacles">();
        Grid& grid = borrow.grid();
        HashSet<NetId> supply_set(supply.begin(), supply.end());
        HashSet<int64_t> obstacle_set = cell_id_set(grid.geo(), obstacles);
        grid.consts.supply.swap(supply_set);
        grid.consts.set_obstacles(std::move(obstacle_set));
        Py_RETURN_NONE;
    });
}

PyObject* set_name_rank(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_name_rank", "ranks">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto ranks = a.get<std::vector<RankEntry>, "ranks">();
        HashMap<NetId, int32_t> name_rank;
        name_rank.reserve(ranks.size());
        for (const RankEntry& r : ranks) name_rank[r.net] = r.rank;
        borrow.grid().consts.name_rank.swap(name_rank);
        Py_RETURN_NONE;
    });
}

PyObject* set_track_model(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_track_model", "xs", "ys", "unit", "layers">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        auto xs = a.get<std::vector<int64_t>, "xs">();
        auto ys = a.get<std::vector<int64_t>, "ys">();
        const auto unit = a.get<int64_t, "unit">();
        const auto layers = a.get<std::vector<TrackLayerSpec>, "layers">();
        Grid& grid = borrow.grid();
        std::vector<LayerChange> changes;
        for (const ViaRule& r : grid.via_index()) changes.push_back({r.layer_a, r.layer_b, r.cost});
        grid.set_track_model(TrackModel::build(grid.geo(), std::move(xs), std::move(ys), unit, layers, changes));
        Py_RETURN_NONE;
    });
}

PyObject* set_no_via_cells(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_no_via_cells", "cells">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        const auto cells = a.get<CellList, "cells">();
        Grid& grid = borrow.grid();
        const Geometry& g = grid.geo();
        // An outside cell's id would name some inside cell.
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const Cell& c = cells[i];
            if (!g.inside(c))
                throw std::invalid_argument("cells[" + std::to_string(i) + "] = (" + std::to_string(c.ix) + ", " +
                                            std::to_string(c.iy) + ", " + std::to_string(c.layer) +
                                            ") is outside the grid");
        }
        grid.set_no_via_cells(cell_id_set(g, cells));
        Py_RETURN_NONE;
    });
}

PyObject* set_spacing_model(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_spacing_model", "layers">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        borrow.grid().set_spacing(a.get<std::optional<std::vector<SpacingLayer>>, "layers">());
        Py_RETURN_NONE;
    });
}

// Internal: what each part of the state holds, in bytes (for the benchmarks).
PyObject* memory_usage(PyObject* self, PyObject*) {
    return guarded([&] {
        const SharedBorrow borrow(self);
        Ref out = Ref::check(PyDict_New());
        for (const auto& [name, bytes] : borrow.grid().memory_usage()) {
            const Ref value = Ref::check(PyLong_FromSize_t(bytes));
            if (PyDict_SetItemString(out.get(), name, value.get()) < 0) throw ErrorAlreadySet{};
        }
        return out.release();
    });
}

// Internal: the kept digests beside the same computed afresh, and whether the
// kept structures agree with what they summarise (for the tests).
PyObject* check_state(PyObject* self, PyObject*) {
    return guarded([&] {
        const SharedBorrow borrow(self);
        const Grid& g = borrow.grid();
        Ref occ = make_tuple(Ref::check(PyLong_FromUnsignedLongLong(g.occ.signature())),
                                   Ref::check(PyLong_FromUnsignedLongLong(g.occ.signature_from_scratch())));
        Ref routes = make_tuple(Ref::check(PyLong_FromUnsignedLongLong(g.routes.digest())),
                                      Ref::check(PyLong_FromUnsignedLongLong(g.routes.digest_from_scratch())));
        const bool whole = g.occ.consistent() && g.shape_matches_routes();
        return make_tuple(std::move(occ), std::move(routes), Ref::borrow(whole ? Py_True : Py_False)).release();
    });
}

PyObject* set_net_guides(PyObject* self, Fast args, Py_ssize_t nargs, PyObject* kwnames) {
    using Sig = Signature<"Grid.set_net_guides", "guides", "outside_factor", "outside_via">;
    return guarded([&] {
        const Args<Sig> a(args, nargs, kwnames);
        const ExclusiveBorrow borrow(self);
        auto guides = a.get<std::vector<NetGuideEntry>, "guides">();
        const auto outside_factor = a.get<double, "outside_factor">();
        const auto outside_via = a.get<double, "outside_via">();
        Grid& grid = borrow.grid();
        grid.set_guides(NetGuides::build(grid.geo(), std::move(guides), outside_factor, outside_via));
        Py_RETURN_NONE;
    });
}

#define TOVRANA_FAST(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_FASTCALL | METH_KEYWORDS

}  // namespace

PyMethodDef grid_methods[] = {
    {"box_maze", TOVRANA_FAST(box_maze),
     "box_maze($self, net, starts, goals, hard, route_shape, marker_pos, fixed, gg_drc, gg_marker, gg_fixed, "
     "corridor, gc, use_occ, heuristic_weight=1.0)\n--\n\n"
     "A* search of one net from any start cell to any goal cell through the gcells of corridor.\n"
     "Returns the cell path [(ix, iy, layer), ...] from a start to a goal, or None.\n"
     "route_shape=None stands for the cells of the other nets' routes in the store (routes_init,\n"
     "routes_update), kept by the grid.\n"
     "heuristic_weight > 1 multiplies the heuristic: fewer states explored, a path at most that\n"
     "many times the cheapest (1: plain A*).\n"
     "There is no via halo argument: the search prices only the cell a move enters and the\n"
     "move's via cost."},
    {"occ_init", TOVRANA_FAST(occ_init),
     "occ_init($self, nets, wire_halo, via_halo)\n--\n\n"
     "Rebuilds the occupancy map from scratch: clears it, stores the halos and adds every net's\n"
     "halo footprint. Call it once after initial routing; from then on route_boxes keeps the\n"
     "map current by merging the changes of each accepted box. Replaces what an earlier call\n"
     "built. nets = [(net_id, cells, via_cells), ...]. Under a spacing model its boxes replace the\n"
     "halo squares, here and in the changes route_boxes merges later."},
    {"occ_signature", reinterpret_cast<PyCFunction>(occ_signature), METH_NOARGS,
     "occ_signature($self)\n--\n\n"
     "Order-independent checksum of the current occupancy map (a wrapping sum of one term per\n"
     "(cell, net, count)). Two maps with the same (cell, net) -> count entries give the same\n"
     "value: a cheap drift check, since the map kept current by route_boxes must equal a fresh\n"
     "occ_init of the same routes."},
    {"occ_signature_of", TOVRANA_FAST(occ_signature_of),
     "occ_signature_of($self, nets, wire_halo, via_halo)\n--\n\n"
     "The occ_signature that occ_init(nets, wire_halo, via_halo) would leave, computed without\n"
     "building or changing the occupancy map: memory for one net at a time. Same arguments and\n"
     "errors as occ_init."},
    {"flexgc", TOVRANA_FAST(flexgc),
     "flexgc($self, nets, wire_halo, via_halo, region, prl_halo, prl_len, vertical)\n--\n\n"
     "Design-rule markers: cover markers (a cell where the halo footprints of two or more nets\n"
     "overlap) followed by parallel-run-length spacing markers. nets = [(net_id, route_cells,\n"
     "via_cells), ...]; their order decides the order of the markers and of each marker's nets,\n"
     "so pass them in the order the routes were loaded with routes_init. Under a spacing model\n"
     "its boxes replace the halo squares. Returns [(cells, layer, nets), ...]."},
    {"routes_init", TOVRANA_FAST(routes_init),
     "routes_init($self, nets)\n--\n\n"
     "Loads the global routes into the store, signal and supply nets alike, replacing what was\n"
     "loaded before. The order of nets is kept: routes_update changes a route in its place, and\n"
     "the markers route_boxes computes follow this order.\n"
     "nets = [(net_id, cells, edges), ...]."},
    {"routes_update", TOVRANA_FAST(routes_update),
     "routes_update($self, net, cells, edges, occ=False)\n--\n\n"
     "Replaces one net's stored route and edges in place (the net keeps its position in the\n"
     "order of routes_init). Apply each route that route_boxes returns with it; an unknown net\n"
     "is ignored. occ=True also moves the net in the occupancy map: the old stored route's\n"
     "footprint out, the new one's in, with the footprints of the last occ_init, as if occ_init\n"
     "had been called again with the stored routes (when the map held exactly them)."},
    {"set_termsets", TOVRANA_FAST(set_termsets),
     "set_termsets($self, termsets)\n--\n\n"
     "Sets each net's terminal cell sets (net id -> list of terminal cell sets): the targets a\n"
     "box worker reconnects when it reroutes the net. Replaces what it set before."},
    {"set_worker_consts", TOVRANA_FAST(set_worker_consts),
     "set_worker_consts($self, supply, obstacles)\n--\n\n"
     "Sets the supply net ids (never ripped up; their halo footprints are keep-outs) and the\n"
     "global obstacle cells the box workers avoid. Replaces what it set before."},
    {"set_name_rank", TOVRANA_FAST(set_name_rank),
     "set_name_rank($self, ranks)\n--\n\n"
     "Sets net id -> rank, the order in which a box worker takes the nets to reroute (nets\n"
     "without a rank come last). Replaces what it set before."},
    {"set_track_model", TOVRANA_FAST(set_track_model),
     "set_track_model($self, xs, ys, unit, layers)\n--\n\n"
     "Lays a track model over the grid: column and row coordinates (strictly ascending, database\n"
     "units), the length that costs 1.0, and per layer (vertical, wrong_way, x_lines, y_lines).\n"
     "A fifth element, stack (>= 0, default 0), prices a via out of a pad on the layer that a via\n"
     "entered. Searches then run wires only on their layer's lines, land vias only where the\n"
     "preferred-direction lines of both layers cross, price a step by its length / unit, times\n"
     "wrong_way across the preferred direction, + 1 after a turn, and a via by its cost + turn +\n"
     "stack. Checks everything (ValueError naming the argument) before it replaces the model set\n"
     "before."},
    {"set_no_via_cells", TOVRANA_FAST(set_no_via_cells),
     "set_no_via_cells($self, cells)\n--\n\n"
     "Sets the in-grid cells (ix, iy, layer) where no via may land: every search refuses a layer\n"
     "change into or out of them. Replaces what it set before; [] clears them."},
    {"set_spacing_model", TOVRANA_FAST(set_spacing_model),
     "set_spacing_model($self, layers)\n--\n\n"
     "Replaces the halo squares of every footprint (occ_init, flexgc, route_boxes, work_boxes) by\n"
     "spacing boxes on the track model: per layer (wire_dx, wire_dy, via_dx, via_dy) in database\n"
     "units; a route cell covers the cells whose centres lie closer than its box on both axes.\n"
     "Cover markers then also need a route cell on the cell. None clears it. Needs a track model."},
    {"set_net_guides", TOVRANA_FAST(set_net_guides),
     "set_net_guides($self, guides, outside_factor, outside_via)\n--\n\n"
     "Sets route guides per net: guides = [(net, [(layer, ix0, iy0, ix1, iy1), ...]), ...], grid lines\n"
     "inclusive (a later entry for a net replaces an earlier one; one without rectangles leaves the net\n"
     "unguided; [] clears all). Every search for a guided net (box_maze, route_boxes, work_boxes) then\n"
     "multiplies the length part of a same-layer step into a cell outside the net's rectangles on its\n"
     "layer by outside_factor (>= 1) and adds outside_via (>= 0) to a via landing outside them. Checks\n"
     "everything (ValueError) before it replaces the guides set before."},
    {"route_boxes", TOVRANA_FAST(route_boxes),
     "route_boxes($self, boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, "
     "gg_fixed, marker_decay, prl_halo, prl_len, vertical, n_threads, packed=False)\n--\n\n"
     "Runs a checkerboard batch of boxes in parallel (the boxes are region-disjoint including the\n"
     "design-rule halo, so they read the shared grid and occupancy map without interfering), then\n"
     "merges each accepted box's occupancy changes and in-box route portions serially in the given\n"
     "box order, so parallel and serial runs give identical results. n_threads is clamped to [1, batch\n"
     "size]. Returns the changed nets' routes [(net, cells, edges)] for routes_update; packed=True gives\n"
     "cells and edge ends (two per edge) as array('q') of ids ix | iy << 21 | layer << 42. boxes =\n"
     "[(gx0, gy0, gx1, gy1), ...]. A spacing model's boxes replace the markers' halo squares."},
    {"work_boxes", TOVRANA_FAST(work_boxes),
     "work_boxes($self, boxes, gc, wire_halo, via_halo, ripup_all, maze_end_iter, gg_drc, gg_marker, "
     "gg_fixed, marker_decay, prl_halo, prl_len, vertical, n_threads)\n--\n\n"
     "The first half of route_boxes: checks the batch like it, runs the box workers of a batch, or of\n"
     "any part of one, on n_threads threads with the interpreter lock released, and merges nothing.\n"
     "Returns the results as compact, versioned bytes: per box its corners, acceptance, in-box routes\n"
     "and occ delta, plus a digest of the state (stored routes, occupancy map, routing rules) they came from.\n"
     "Give them to merge_boxes on this grid or on any grid in the same state. Takes a shared borrow."},
    {"merge_boxes", TOVRANA_FAST(merge_boxes),
     "merge_boxes($self, boxes, gc, results, n_threads=1, packed=False)\n--\n\n"
     "The second half of route_boxes: `boxes` is the whole batch, `results` the bytes of work_boxes calls\n"
     "on parts of it that together cover it, in any order. Matches each result to its box by corners\n"
     "and merges them in box order exactly as route_boxes does, on n_threads threads; returns the same\n"
     "[(net, cells, edges)], packed as route_boxes packs them with packed=True.\n"
     "Raises ValueError, leaving the grid unchanged, for results from another state, another batch or\n"
     "gc, bytes truncated or corrupted, or a box without a result or with two."},
    {"_memory_usage", reinterpret_cast<PyCFunction>(memory_usage), METH_NOARGS,
     "_memory_usage($self)\n--\n\nInternal: bytes held by each part of the state, by name."},
    {"_stored_markers", TOVRANA_FAST(stored_markers),
     "_stored_markers($self, wire_halo, via_halo, region, prl_halo, prl_len, vertical, strip_lines)\n--\n\n"
     "Internal: a box worker's marker check over the stored routes (those of routes_init and\n"
     "routes_update, in slot order), through an index of the store in strips of strip_lines\n"
     "(batches use 64); equals flexgc over the same routes."},
    {"_check_state", reinterpret_cast<PyCFunction>(check_state), METH_NOARGS,
     "_check_state($self)\n--\n\n"
     "Internal: ((kept occ signature, the same afresh), (kept route digest, the same afresh),\n"
     "whether occ and the route shape are consistent and the shape matches the stored routes)."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace tovrana::py
