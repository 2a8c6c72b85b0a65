#pragma once
// The A* loop: set-up, expansion in the fixed neighbour order, relax, and path
// reconstruction from the came-from entries as they stand when a goal is popped.
// One loop serves both cost models: unit steps, and the track model's real
// lengths, masks, landing rules and stack costs (Run<true>), chosen at compile time
// so that the unit-step search pays nothing for the other. The net's route guides
// are read once per cell, into its record. Included by maze_run.cpp and
// track_search.cpp only.
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "maze/cell_table.hpp"
#include "maze/maze_run.hpp"
#include "maze/moves.hpp"
#include "maze/search_queue.hpp"

namespace tovrana::maze::detail {

// A via move out of a given layer, in via-table order (moves an earlier one
// dominates are left out, see dominated()).
struct ViaMove {
    double base;       // via cost (0 for an equal-layer rule)
    int32_t target;    // layer reached
    uint32_t rule;     // index in the via table, for the error of a rule naming a bad layer
    uint8_t d;
    bool bad;          // target outside the grid: entering the move throws
};

// The move a via rule allows out of `layer`, if the rule touches it (either end).
inline std::optional<ViaMove> via_move(const ViaRule& rule, std::size_t index, int32_t layer, int32_t nz) {
    int32_t target;
    if (rule.layer_a == layer) target = rule.layer_b;
    else if (rule.layer_b == layer) target = rule.layer_a;
    else return std::nullopt;
    const bool bad = target < 0 || target >= nz;
    return ViaMove{target == layer ? 0.0 : rule.cost, target, static_cast<uint32_t>(index),
                   bad ? uint8_t{0} : via_direction(layer, target), bad};
}

// Allocations a thread reuses from one run to the next: via moves, records, queue
// storage and the dense slot array. Each thread has its own; a run hands them back
// empty.
struct Scratch {
    bool busy = false;
    std::vector<ViaMove> via_moves;    // grouped by source layer
    std::vector<uint32_t> via_begin;   // per layer, its first move; one extra at the end
    std::vector<CellRec> recs;
    Queue<SmallHeapItem> small_queue;  // places below 2^32: the usual case
    Queue<HeapItem> queue;
    SlotBuffer slots;
};
// The calling thread's storage (one per thread, shared by both cost models).
Scratch& thread_scratch();

// Above this many records a run's storage is not kept for the next.
constexpr std::size_t kKeepRecords = std::size_t{1} << 16;

template <bool kTracks>
class Run {
public:
    Run(const Grid& grid, const MazeQuery& q, Scratch& s)
        : grid_(grid), geo_(grid.geo()), tracks_(grid.tracks()), q_(q), scratch_(s), recs_(s.recs),
          small_queue_(s.small_queue), queue_(s.queue) {
        if (const NetGuides* guides = grid.guides()) {
            guides_ = guides->of(q.net);
            outside_factor_ = guides->outside_factor();
            outside_via_ = guides->outside_via();
        }
        scratch_.busy = true;
    }
    ~Run() {
        table_.reset();
        scratch_.via_moves.clear();
        scratch_.via_begin.clear();
        scratch_.slots.release();
        if (recs_.capacity() > kKeepRecords) {
            std::vector<CellRec>().swap(recs_);
            small_queue_ = {};
            queue_ = {};
        } else {
            recs_.clear();
            small_queue_.clear();
            queue_.clear();
        }
        scratch_.busy = false;
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    std::optional<CellList> search();

private:
    bool passable(const Cell& c) const { return grid_.enterable(c, q_.net) && !q_.hard.contains(geo_.cell_id(c)); }
    int64_t gcell_of(const Cell& c) const {
        return gcell_key(checked_div(c.ix, q_.gc), checked_div(c.iy, q_.gc));
    }
    // record index + 1, or 0 for a cell no move may enter
    inline uint32_t record(const Cell& c, int64_t id);
    inline uint32_t record_at(uint32_t pos, const Cell& c, int64_t id);
    [[gnu::noinline]] uint32_t first_touch(const Cell& c, int64_t id, bool goal);
    bool enterable(const Cell& c, int64_t id, bool goal) const;
    void fill(CellRec& r, int64_t id, bool goal) const;
    double heuristic(const Cell& c) const;
    void push_start(const Cell& c);
    void expand(uint32_t cur, uint8_t dir, double g);
    void expand_dense(uint32_t cur, uint8_t dir, double g);
    void expand_vias(uint32_t cur, uint8_t dir, double g, const Cell& c, int64_t id, const uint32_t* pos);
    [[gnu::always_inline]] inline void take_via(uint32_t cur, uint8_t dir, double g, const Cell& c, int64_t id,
                                                const uint32_t* pos, const ViaMove& m, double stack);
    void build_via_moves();
    [[noreturn]] void bad_via_rule(const ViaRule& rule) const;
    [[gnu::always_inline]] inline void relax_planar(uint32_t cur, uint8_t dir, double g, uint32_t slot, uint8_t d,
                                                    double length);
    [[gnu::always_inline]] inline void relax_via(uint32_t cur, uint8_t dir, double g, uint32_t slot, uint8_t d, double base,
                                                 double stack);
    [[gnu::always_inline]] inline void improve(uint32_t cur, uint8_t dir, uint32_t n, uint8_t d, double new_g);
    CellList reconstruct(uint32_t goal, uint8_t dir) const;

    const Grid& grid_;
    const Geometry& geo_;
    const TrackModel* tracks_;  // set exactly when kTracks
    const MazeQuery& q_;
    std::span<const GuideRect> guides_;  // the net's guides: none, or sorted by layer
    double outside_factor_ = 1.0, outside_via_ = 0.0;
    Scratch& scratch_;
    CellList goal_list_;
    HashSet<int64_t> goal_set_;
    HashSet<int64_t> extra_gcells_;  // gcells of the kept starts and goals, joining the corridor
    std::optional<CellTable> table_;
    std::vector<CellRec>& recs_;  // cell records; indices stay valid, references do not
    Queue<SmallHeapItem>& small_queue_;
    Queue<HeapItem>& queue_;
    bool small_places_ = false;  // places fit 32 bits: small_queue_ is the queue
    int32_t place_x0_ = 0, place_y0_ = 0, place_ny_ = 0;  // origin and height of the place numbering
    [[gnu::always_inline]] void push(double f, double g, uint64_t place, uint32_t rec, uint8_t dir) {
        if (small_places_) small_queue_.template push<kTracks>(f, g, place, rec, dir);
        else queue_.template push<kTracks>(f, g, place, rec, dir);
    }
    template <class Q>
    std::optional<CellList> drain(Q& queue);
};

template <bool kTracks>
std::optional<CellList> Run<kTracks>::search() {
    for (const Cell& c : q_.goals) {
        if (passable(c) && goal_set_.insert(geo_.cell_id(c)).second) goal_list_.push_back(c);
    }
    CellList starts;
    for (const Cell& c : q_.starts) {
        if (passable(c)) starts.push_back(c);
    }
    if (starts.empty() || goal_list_.empty()) return std::nullopt;
    for (const Cell& c : starts) extra_gcells_.insert(gcell_of(c));
    for (const Cell& c : goal_list_) extra_gcells_.insert(gcell_of(c));

    CellList anchors = starts;
    anchors.insert(anchors.end(), goal_list_.begin(), goal_list_.end());
    table_.emplace(geo_, q_.gc, corridor_window(geo_, q_.gc, q_.corridor, anchors), scratch_.slots);

    // Queue places: over a dense table, the cell's order within the window (same
    // order as the grid-wide place, and below 7 * 2^28); else grid-wide, and small
    // when the grid is.
    if (table_->dense()) {
        const Window& w = table_->window();
        place_ny_ = w.y1 - w.y0 + 1;
        place_x0_ = w.x0, place_y0_ = w.y0;
        small_places_ = true;
    } else {
        place_ny_ = geo_.ny;
        const uint64_t cells = uint64_t(geo_.layer_stride) * uint64_t(geo_.nz);  // fits: the grid exists
        small_places_ = cells < (uint64_t{1} << 32) / kDirs;
    }
    recs_.reserve(1024);
    build_via_moves();
    // Goals get their records first, so a later first touch is never a goal.
    for (const Cell& c : goal_list_) {
        const int64_t id = geo_.cell_id(c);
        uint32_t* slot = table_->slot(c, id);
        if (*slot == 0) {
            *slot = first_touch(c, id, true);
            if (table_->dense()) scratch_.slots.note(table_->position(c));
        }
    }
    for (const Cell& c : starts) push_start(c);
    return small_places_ ? drain(small_queue_) : drain(queue_);
}

template <bool kTracks>
template <class Q>
std::optional<CellList> Run<kTracks>::drain(Q& queue) {
    const bool dense = table_->dense();
    while (!queue.empty()) {
        const auto item = queue.pop();
        const uint32_t rec = item.rec();
        const uint8_t dir = item.dir();
        CellRec& r = recs_[rec];
        const auto bit = static_cast<uint8_t>(1u << dir);
        if (r.closed & bit) continue;
        r.closed |= bit;
        if (r.flags & CellRec::kGoal) return reconstruct(rec, dir);
        const double g = Q::template g_of<kTracks>(item);
        if (dense) expand_dense(rec, dir, g);
        else expand(rec, dir, g);
    }
    return std::nullopt;
}

template <bool kTracks>
uint32_t Run<kTracks>::record(const Cell& c, int64_t id) {
    if (table_->dense()) {
        uint32_t* slot = table_->slot(c, id);
        return slot ? record_at(table_->position(c), c, id) : 0;
    }
    uint32_t* slot = table_->slot(c, id);
    if (*slot == kClosedSlot) return 0;
    if (*slot == 0) *slot = first_touch(c, id, false);
    return *slot == kClosedSlot ? 0 : *slot;
}

// record() for an in-window cell of a dense table, by its position.
template <bool kTracks>
uint32_t Run<kTracks>::record_at(uint32_t pos, const Cell& c, int64_t id) {
    uint32_t& slot = table_->dense_slots()[pos];
    uint32_t v = slot;
    if (v == 0) {
        v = slot = first_touch(c, id, false);
        scratch_.slots.note(pos);
    }
    return v == kClosedSlot ? 0 : v;
}

// The new slot value of a cell seen for the first time: a fresh record's index + 1,
// or kClosedSlot when no move may enter the cell.
template <bool kTracks>
uint32_t Run<kTracks>::first_touch(const Cell& c, int64_t id, bool goal) {
    if (!enterable(c, id, goal)) return kClosedSlot;
    if (recs_.size() >= kMaxRecords) throw Panic("capacity overflow");
    CellRec& r = recs_.emplace_back();
    r.cell = c;
    r.place = place_of(c.ix - place_x0_, c.iy - place_y0_, c.layer, place_ny_, geo_.nz);
    if (table_->dense()) r.pos = table_->position(c);
    fill(r, id, goal);
    return static_cast<uint32_t>(recs_.size());
}

// Whether a move may enter the cell at all: inside, a goal or in the corridor,
// passable for the net.
template <bool kTracks>
bool Run<kTracks>::enterable(const Cell& c, int64_t id, bool goal) const {
    if (!geo_.inside(c)) return false;
    if (!goal) {
        if (table_->dense()) {
            if (!table_->in_corridor(c)) return false;
        } else {
            const int64_t key = gcell_of(c);
            if (!q_.corridor.contains(key) && !extra_gcells_.contains(key)) return false;
        }
    }
    return grid_.enterable(c, q_.net) && !q_.hard.contains(id);
}

// Looks up, once per enterable cell, everything relax needs about entering it.
template <bool kTracks>
void Run<kTracks>::fill(CellRec& r, int64_t id, bool goal) const {
    for (int d = 0; d < kMoveDirs; ++d) {
        r.g[d] = std::numeric_limits<double>::infinity();
        r.pred[d] = kNoPred;
    }
    if (goal) r.flags |= CellRec::kGoal;
    if (grid_.via_blocked(r.cell.ix, r.cell.iy)) r.flags |= CellRec::kNoVia;
    if constexpr (kTracks) {
        if (!tracks_->on_preferred(r.cell.layer, r.cell.ix, r.cell.iy)) r.flags |= CellRec::kNoLanding;
    }
    if (!guides_.empty() && !guides_cover(guides_, r.cell)) r.flags |= CellRec::kOutsideGuide;
    if (grid_.no_via_cell(id)) r.flags |= CellRec::kNoLanding;
    // A zero weight adds nothing to a step (a step is never -0.0), so its set need
    // not be consulted.
    const PenaltyWeights& w = q_.weights;
    if (w.drc != 0.0 && (q_.use_occ ? occ_has_foreign(grid_.occ, q_.delta, id, q_.net)
                                    : q_.stored_shape ? q_.stored_shape->has_other(id, q_.net)
                                                      : q_.route_shape.contains(id)))
        r.flags |= CellRec::kDrc;
    if (w.marker != 0.0 && q_.marker_pos.contains(id)) r.flags |= CellRec::kMarker;
    if (w.fixed != 0.0 && q_.fixed.contains(id)) r.flags |= CellRec::kFixed;
    if constexpr (!kTracks) {  // under a track model a step's cost depends on the gap it crosses
        if (r.flags & CellRec::kOutsideGuide) {
            r.planar_step[0] = length_step_cost(outside_factor_, kPlusX, kPlusX, r.flags, w);
            r.planar_step[1] = length_step_cost(outside_factor_, kPlusX, kMinusX, r.flags, w);
        } else {
            r.planar_step[0] = step_cost(kPlusX, kPlusX, r.flags, w);
            r.planar_step[1] = step_cost(kPlusX, kMinusX, r.flags, w);
        }
    }
    r.h = heuristic(r.cell) * q_.heuristic_weight;   // exact for the default weight 1
}

// Manhattan distance to the nearest goal, a layer change counting 2; under a track
// model the distance is physical, in units.
template <bool kTracks>
double Run<kTracks>::heuristic(const Cell& c) const {
    if constexpr (kTracks) {
        const double unit = static_cast<double>(tracks_->unit());
        double best = std::numeric_limits<double>::infinity();
        for (const Cell& t : goal_list_) {
            const double d = static_cast<double>(tracks_->distance(c.ix, c.iy, t.ix, t.iy)) / unit +
                             tracks_->change_bound(c.layer, t.layer, c.ix != t.ix, c.iy != t.iy);
            if (d < best) best = d;
        }
        return best;
    }
    int64_t best = std::numeric_limits<int64_t>::max();
    for (const Cell& t : goal_list_) {
        const int64_t d = std::llabs(int64_t{c.ix} - t.ix) + std::llabs(int64_t{c.iy} - t.iy) + (c.layer != t.layer ? 2 : 0);
        if (d < best) best = d;
    }
    return static_cast<double>(best);
}

template <bool kTracks>
void Run<kTracks>::push_start(const Cell& c) {
    const uint32_t rec = record(c, geo_.cell_id(c)) - 1;
    const CellRec& r = recs_[rec];
    push(r.h, 0.0, r.place + kStart, rec, kStart);
}

// Neighbours in the fixed order: +x, -x, +y, -y, then the via rules in table order.
template <bool kTracks>
void Run<kTracks>::expand(uint32_t cur, uint8_t dir, double g) {
    const Cell c = recs_[cur].cell;
    const int64_t id = geo_.cell_id(c);
    struct Planar { int32_t dx, dy; uint8_t d; };
    static constexpr Planar kPlanar[4] = {{1, 0, kPlusX}, {-1, 0, kMinusX},
                                          {0, 1, kPlusY}, {0, -1, kMinusY}};
    for (const Planar& m : kPlanar) {
        const Cell n{c.ix + m.dx, c.iy + m.dy, c.layer};  // c is inside, so no overflow
        if (!geo_.inside(n)) continue;
        double length = 0.0;
        if constexpr (kTracks) {
            if (m.dy == 0 ? !tracks_->runs_x(c.layer, c.iy) : !tracks_->runs_y(c.layer, c.ix)) continue;
            length = m.dy == 0 ? tracks_->x_step_costs(c.layer)[std::min(c.ix, n.ix)]
                               : tracks_->y_step_costs(c.layer)[std::min(c.iy, n.iy)];
        }
        relax_planar(cur, dir, g, record(n, id + m.dx + int64_t{m.dy} * geo_.nx), m.d, length);
    }
    if (recs_[cur].flags & (CellRec::kNoVia | CellRec::kNoLanding)) return;
    expand_vias(cur, dir, g, c, id, nullptr);
}

// expand() over a dense table: the window lies inside the grid, so a neighbour is
// reachable when it is in the window, and its slot is a fixed step away.
template <bool kTracks>
void Run<kTracks>::expand_dense(uint32_t cur, uint8_t dir, double g) {
    const CellRec& r = recs_[cur];
    const Cell c = r.cell;
    const uint32_t pos = r.pos;
    const bool no_via = r.flags & (CellRec::kNoVia | CellRec::kNoLanding);
    const int64_t id = geo_.cell_id(c);
    const Window& w = table_->window();
    const uint32_t row = table_->row_step();
    // Without a track model every move is allowed and its length is not read.
    bool along_x = true, along_y = true;
    const double *x_cost = nullptr, *y_cost = nullptr;
    if constexpr (kTracks) {
        along_x = tracks_->runs_x(c.layer, c.iy);
        along_y = tracks_->runs_y(c.layer, c.ix);
        x_cost = tracks_->x_step_costs(c.layer);
        y_cost = tracks_->y_step_costs(c.layer);
    }
    const auto gap = [](const double* costs, int32_t i) { return kTracks ? costs[i] : 0.0; };
    if (along_x) {
        if (c.ix < w.x1)
            relax_planar(cur, dir, g, record_at(pos + 1, Cell{c.ix + 1, c.iy, c.layer}, id + 1), kPlusX,
                         gap(x_cost, c.ix));
        if (c.ix > w.x0)
            relax_planar(cur, dir, g, record_at(pos - 1, Cell{c.ix - 1, c.iy, c.layer}, id - 1), kMinusX,
                         gap(x_cost, c.ix - 1));
    }
    if (along_y) {
        if (c.iy < w.y1)
            relax_planar(cur, dir, g, record_at(pos + row, Cell{c.ix, c.iy + 1, c.layer}, id + geo_.nx), kPlusY,
                         gap(y_cost, c.iy));
        if (c.iy > w.y0)
            relax_planar(cur, dir, g, record_at(pos - row, Cell{c.ix, c.iy - 1, c.layer}, id - geo_.nx), kMinusY,
                         gap(y_cost, c.iy - 1));
    }
    if (no_via) return;
    expand_vias(cur, dir, g, c, id, &pos);
}

// Up to this many layers the via moves are grouped by source layer once per run.
constexpr int32_t kViaTableLayers = 64;

// Whether a move to `target` with via cost `base` can never improve a state, because
// an earlier move of the layer (from `first` on) reaches the same state at no more
// cost: floating-point addition is monotone, and where the earlier sum is NaN the
// later one is NaN or +inf, so the later move passes the improvement test only if
// the earlier one already set a g it cannot beat.
inline bool dominated(const std::vector<ViaMove>& moves, std::size_t first, int32_t target, double base) {
    for (std::size_t i = first; i < moves.size(); ++i) {
        if (!moves[i].bad && moves[i].target == target && moves[i].base <= base) return true;
    }
    return false;
}

template <bool kTracks>
void Run<kTracks>::build_via_moves() {
    if (geo_.nz <= 0 || geo_.nz > kViaTableLayers) return;
    auto& moves = scratch_.via_moves;
    auto& begin = scratch_.via_begin;
    const auto& rules = grid_.via_index();
    for (int32_t layer = 0; layer < geo_.nz; ++layer) {
        begin.push_back(static_cast<uint32_t>(moves.size()));
        for (std::size_t i = 0; i < rules.size(); ++i) {
            const auto move = via_move(rules[i], i, layer, geo_.nz);
            if (!move || (!move->bad && dominated(moves, begin.back(), move->target, move->base))) continue;
            moves.push_back(*move);
        }
    }
    begin.push_back(static_cast<uint32_t>(moves.size()));
}

template <bool kTracks>
void Run<kTracks>::bad_via_rule(const ViaRule& rule) const {
    throw Panic("index out of range: via rule (" + std::to_string(rule.layer_a) + ", " +
                std::to_string(rule.layer_b) + ") names a layer outside 0.." + std::to_string(geo_.nz - 1));
}

// The via moves out of cell c (id `id`; `pos` its dense position, if any): from
// the per-layer table when there is one, else derived from the rules as they come.
template <bool kTracks>
void Run<kTracks>::expand_vias(uint32_t cur, uint8_t dir, double g, const Cell& c, int64_t id, const uint32_t* pos) {
    // A via out of a pad that a via entered: the middle of a stack.
    double stack = 0.0;
    if constexpr (kTracks) {
        if (arrived_by_via(dir)) stack = tracks_->stack_cost(c.layer);
    }
    if (!scratch_.via_begin.empty()) {
        const auto layer = static_cast<std::size_t>(c.layer);
        const ViaMove* m = scratch_.via_moves.data() + scratch_.via_begin[layer];
        const ViaMove* const end = scratch_.via_moves.data() + scratch_.via_begin[layer + 1];
        for (; m != end; ++m) take_via(cur, dir, g, c, id, pos, *m, stack);
        return;
    }
    const auto& rules = grid_.via_index();
    for (std::size_t i = 0; i < rules.size(); ++i) {
        if (const auto move = via_move(rules[i], i, c.layer, geo_.nz)) take_via(cur, dir, g, c, id, pos, *move, stack);
    }
}

template <bool kTracks>
void Run<kTracks>::take_via(uint32_t cur, uint8_t dir, double g, const Cell& c, int64_t id, const uint32_t* pos,
                   const ViaMove& m, double stack) {
    if (m.bad) bad_via_rule(grid_.via_index()[m.rule]);
    const Cell n{c.ix, c.iy, m.target};
    const int64_t n_id = id + (int64_t{m.target} - c.layer) * geo_.layer_stride;
    const uint32_t slot = pos ? record_at(*pos + static_cast<uint32_t>(m.target - c.layer) * table_->layer_step(), n, n_id)
                              : record(n, n_id);
    relax_via(cur, dir, g, slot, m.d, m.base, stack);
}

// A same-layer move: priced when the cell was first touched, or under a track model
// from the length cost of the gap it crosses (times outside_factor off the guides).
template <bool kTracks>
void Run<kTracks>::relax_planar(uint32_t cur, uint8_t dir, double g, uint32_t slot, uint8_t d, double length) {
    if (slot == 0) return;
    const CellRec& n = recs_[slot - 1];
    double step;
    if constexpr (kTracks) {
        if (n.flags & CellRec::kOutsideGuide) length *= outside_factor_;
        step = length_step_cost(length, dir, d, n.flags, q_.weights);
    } else {
        step = n.planar_step[straight_on(dir, d) ? 0 : 1];
    }
    improve(cur, dir, slot - 1, d, g + step);
}

// A via move (or an equal-layer via rule, whose base cost is 0); `stack` is the
// stack cost of the move's source state, 0 when it has none.
template <bool kTracks>
void Run<kTracks>::relax_via(uint32_t cur, uint8_t dir, double g, uint32_t slot, uint8_t d, double base, double stack) {
    if (slot == 0) return;
    const uint8_t flags = recs_[slot - 1].flags;
    if (flags & CellRec::kNoLanding) return;
    const double outside = (flags & CellRec::kOutsideGuide) ? outside_via_ : 0.0;
    improve(cur, dir, slot - 1, d, g + via_step_cost(base, stack, outside, dir, d, flags, q_.weights));
}

// Records a better g for state (n, d), reached from (cur, dir), and queues it.
template <bool kTracks>
void Run<kTracks>::improve(uint32_t cur, uint8_t dir, uint32_t n, uint8_t d, double new_g) {
    CellRec& r = recs_[n];
    if (!(r.g[d] > new_g + kImprovement)) return;
    r.g[d] = new_g;
    r.pred[d] = pack_link(cur, dir);
    // An expanded state's entry would only be discarded when popped.
    if (r.closed & (1u << d)) return;
    push(r.h + new_g, new_g, r.place + d, n, d);
}

template <bool kTracks>
CellList Run<kTracks>::reconstruct(uint32_t goal, uint8_t dir) const {
    // Each link names a state with a g-score; more links than states means a cycle,
    // which only negative costs can create.
    const std::size_t limit = recs_.size() * kDirs;
    const auto pred = [this](uint32_t rec, uint32_t d) { return d == kStart ? kNoPred : recs_[rec].pred[d]; };
    CellList path{recs_[goal].cell};
    for (uint32_t link = pred(goal, dir); link != kNoPred;) {
        if (path.size() > limit) throw Panic("came-from cycle in path reconstruction");
        path.push_back(recs_[link_record(link)].cell);
        link = pred(link_record(link), link_dir(link));
    }
    std::reverse(path.begin(), path.end());
    return path;
}

template <bool kTracks>
std::optional<CellList> run_search(const Grid& grid, const MazeQuery& query) {
    Scratch& scratch = thread_scratch();
    if (scratch.busy) {  // a run already under way on this thread
        Scratch own;
        Run<kTracks> run(grid, query, own);
        return run.search();
    }
    Run<kTracks> run(grid, query, scratch);
    return run.search();
}

// run_search<true>, compiled in a translation unit of its own (track_search.cpp):
// beside the unit-step search it would change how the compiler inlines that one.
std::optional<CellList> track_search(const Grid& grid, const MazeQuery& query);

}  // namespace tovrana::maze::detail
