// The A* loop: set-up, expansion in the fixed neighbour order, relax, and path
// reconstruction from the came-from entries as they stand when a goal is popped.
#include "maze/maze_run.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <string>

#include "maze/cell_table.hpp"
#include "maze/heap_item.hpp"
#include "maze/moves.hpp"

namespace tovrana {
namespace {

using maze::CellRec;
using maze::HeapItem;

class Run {
public:
    Run(const Grid& grid, const MazeQuery& q) : grid_(grid), geo_(grid.geo()), q_(q) {}

    std::optional<CellList> search();

private:
    bool passable(const Cell& c) const { return grid_.enterable(c, q_.net) && !q_.hard.contains(geo_.cell_id(c)); }
    int64_t gcell_of(const Cell& c) const {
        return gcell_key(checked_div(c.ix, q_.gc), checked_div(c.iy, q_.gc));
    }
    // record index + 1, or 0 for a cell no move may enter
    inline uint32_t record(const Cell& c, int64_t id);
    [[gnu::noinline]] uint32_t first_touch(const Cell& c, int64_t id);
    bool enterable(const Cell& c, int64_t id) const;
    void fill(CellRec& r, int64_t id) const;
    double heuristic(const Cell& c) const;
    void push_start(const Cell& c);
    void expand(uint32_t cur, uint8_t dir, double g);
    void relax_planar(uint32_t cur, uint8_t dir, double g, const Cell& next, int64_t next_id, uint8_t d);
    void relax_via(uint32_t cur, uint8_t dir, double g, const Cell& next, int64_t next_id, uint8_t d, double base);
    void improve(uint32_t cur, uint8_t dir, uint32_t n, uint8_t d, double new_g);
    CellList reconstruct(uint32_t goal, uint8_t dir) const;

    const Grid& grid_;
    const Geometry& geo_;
    const MazeQuery& q_;
    CellList goal_list_;
    HashSet<int64_t> goal_set_;
    HashSet<int64_t> extra_gcells_;  // gcells of the kept starts and goals, joining the corridor
    std::optional<maze::CellTable> table_;
    std::vector<CellRec> recs_;  // cell records; indices stay valid, references do not
    maze::Queue queue_;
};

std::optional<CellList> Run::search() {
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
    table_.emplace(geo_, q_.gc, maze::corridor_window(geo_, q_.gc, q_.corridor, anchors));

    recs_.reserve(1024);
    for (const Cell& c : starts) push_start(c);
    while (!queue_.empty()) {
        const HeapItem item = queue_.pop();
        CellRec& r = recs_[item.rec];
        const auto bit = static_cast<uint8_t>(1u << item.dir);
        if (r.closed & bit) continue;
        r.closed |= bit;
        if (r.flags & CellRec::kGoal) return reconstruct(item.rec, item.dir);
        expand(item.rec, item.dir, item.g());
    }
    return std::nullopt;
}

uint32_t Run::record(const Cell& c, int64_t id) {
    uint32_t* slot = table_->slot(c, id);
    if (!slot || *slot == maze::kClosedSlot) return 0;
    if (*slot == 0) *slot = first_touch(c, id);
    return *slot == maze::kClosedSlot ? 0 : *slot;
}

// The new slot value of a cell seen for the first time: a fresh record's index + 1,
// or kClosedSlot when no move may enter the cell.
uint32_t Run::first_touch(const Cell& c, int64_t id) {
    if (!enterable(c, id)) return maze::kClosedSlot;
    if (recs_.size() >= maze::kMaxRecords) throw Panic("capacity overflow");
    CellRec& r = recs_.emplace_back();
    r.cell = c;
    r.place = maze::place_of(c.ix, c.iy, c.layer, geo_.ny, geo_.nz);
    fill(r, id);
    return static_cast<uint32_t>(recs_.size());
}

// Whether a move may enter the cell at all: inside, a goal or in the corridor,
// passable for the net.
bool Run::enterable(const Cell& c, int64_t id) const {
    if (!geo_.inside(c)) return false;
    if (!goal_set_.contains(id)) {
        if (table_->dense()) {
            if (!table_->in_corridor(c)) return false;
        } else {
            const int64_t key = gcell_of(c);
            if (!q_.corridor.contains(key) && !extra_gcells_.contains(key)) return false;
        }
    }
    return grid_.enterable(c, q_.net) && (q_.hard.empty() || !q_.hard.contains(id));
}

// Looks up, once per enterable cell, everything relax needs about entering it.
void Run::fill(CellRec& r, int64_t id) const {
    for (int d = 0; d < maze::kDirs; ++d) {
        r.g[d] = std::numeric_limits<double>::infinity();
        r.pred[d] = maze::kNoPred;
    }
    if (goal_set_.contains(id)) r.flags |= CellRec::kGoal;
    if (grid_.via_blocked(r.cell.ix, r.cell.iy)) r.flags |= CellRec::kNoVia;
    // A zero weight adds nothing to a step (a step is never -0.0), so its set need
    // not be consulted.
    const PenaltyWeights& w = q_.weights;
    if (w.drc != 0.0 && (q_.use_occ ? occ_has_foreign(grid_.occ, q_.delta, id, q_.net)
                                     : !q_.route_shape.empty() && q_.route_shape.contains(id)))
        r.flags |= CellRec::kDrc;
    if (w.marker != 0.0 && !q_.marker_pos.empty() && q_.marker_pos.contains(id)) r.flags |= CellRec::kMarker;
    if (w.fixed != 0.0 && !q_.fixed.empty() && q_.fixed.contains(id)) r.flags |= CellRec::kFixed;
    r.planar_step[0] = maze::step_cost(0.0, maze::kPlusX, maze::kPlusX, r.flags, w);
    r.planar_step[1] = maze::step_cost(0.0, maze::kPlusX, maze::kMinusX, r.flags, w);
    r.h = heuristic(r.cell);
}

// Manhattan distance to the nearest goal, a layer change counting 2.
double Run::heuristic(const Cell& c) const {
    int64_t best = std::numeric_limits<int64_t>::max();
    for (const Cell& t : goal_list_) {
        const int64_t d = std::llabs(int64_t{c.ix} - t.ix) + std::llabs(int64_t{c.iy} - t.iy) + (c.layer != t.layer ? 2 : 0);
        if (d < best) best = d;
    }
    return static_cast<double>(best);
}

void Run::push_start(const Cell& c) {
    const uint32_t rec = record(c, geo_.cell_id(c)) - 1;
    CellRec& r = recs_[rec];
    r.g[maze::kStart] = 0.0;
    queue_.push(r.h, 0.0, r.place + maze::kStart, rec, maze::kStart);
}

// Neighbours in the fixed order: +x, -x, +y, -y, then the via rules in table order.
void Run::expand(uint32_t cur, uint8_t dir, double g) {
    const Cell c = recs_[cur].cell;
    const int64_t id = geo_.cell_id(c);
    struct Planar { int32_t dx, dy; uint8_t d; };
    static constexpr Planar kPlanar[4] = {{1, 0, maze::kPlusX}, {-1, 0, maze::kMinusX},
                                          {0, 1, maze::kPlusY}, {0, -1, maze::kMinusY}};
    for (const Planar& m : kPlanar) {
        const Cell n{c.ix + m.dx, c.iy + m.dy, c.layer};  // c is inside, so no overflow
        if (!geo_.inside(n)) continue;
        relax_planar(cur, dir, g, n, id + m.dx + int64_t{m.dy} * geo_.nx, m.d);
    }
    if (recs_[cur].flags & CellRec::kNoVia) return;
    for (const ViaRule& rule : grid_.via_index()) {
        int32_t target;
        if (rule.layer_a == c.layer) target = rule.layer_b;
        else if (rule.layer_b == c.layer) target = rule.layer_a;
        else continue;
        if (target < 0 || target >= geo_.nz) {
            throw Panic("index out of range: via rule (" + std::to_string(rule.layer_a) + ", " +
                        std::to_string(rule.layer_b) + ") names a layer outside 0.." + std::to_string(geo_.nz - 1));
        }
        const Cell n{c.ix, c.iy, target};
        const int64_t n_id = id + (int64_t{target} - c.layer) * geo_.layer_stride;
        relax_via(cur, dir, g, n, n_id, maze::via_direction(c.layer, target), target == c.layer ? 0.0 : rule.cost);
    }
}

// A same-layer move: its step cost was priced when the cell was first touched.
void Run::relax_planar(uint32_t cur, uint8_t dir, double g, const Cell& next, int64_t next_id, uint8_t d) {
    const uint32_t slot = record(next, next_id);
    if (slot == 0) return;
    const double step = recs_[slot - 1].planar_step[(dir == maze::kStart || dir == d) ? 0 : 1];
    improve(cur, dir, slot - 1, d, g + step);
}

// A via move (or an equal-layer via rule, whose base cost is 0).
void Run::relax_via(uint32_t cur, uint8_t dir, double g, const Cell& next, int64_t next_id, uint8_t d, double base) {
    const uint32_t slot = record(next, next_id);
    if (slot == 0) return;
    improve(cur, dir, slot - 1, d, g + maze::step_cost(base, dir, d, recs_[slot - 1].flags, q_.weights));
}

// Records a better g for state (n, d), reached from (cur, dir), and queues it.
void Run::improve(uint32_t cur, uint8_t dir, uint32_t n, uint8_t d, double new_g) {
    CellRec& r = recs_[n];
    if (!(r.g[d] > new_g + 1e-12)) return;
    r.g[d] = new_g;
    r.pred[d] = (cur << 3) | dir;
    // An expanded state's entry would only be discarded when popped.
    if (r.closed & (1u << d)) return;
    queue_.push(r.h + new_g, new_g, r.place + d, n, d);
}

CellList Run::reconstruct(uint32_t goal, uint8_t dir) const {
    // Each link names a state with a g-score; more links than states means a cycle,
    // which only negative costs can create.
    const std::size_t limit = recs_.size() * maze::kDirs;
    CellList path{recs_[goal].cell};
    for (uint32_t link = recs_[goal].pred[dir]; link != maze::kNoPred;) {
        if (path.size() > limit) throw Panic("came-from cycle in path reconstruction");
        const CellRec& r = recs_[link >> 3];
        path.push_back(r.cell);
        link = r.pred[link & 7];
    }
    std::reverse(path.begin(), path.end());
    return path;
}

}  // namespace

std::optional<CellList> maze_run(const Grid& grid, const MazeQuery& query) {
    Run run(grid, query);
    return run.search();
}

}  // namespace tovrana
