#pragma once
// Per-run cell records and the index from cell to record.
//
// A run touches only cells of its corridor (plus goals, whose gcells join it), so
// the index is a dense array over the corridor's bounding window of in-grid cells,
// allocated zeroed and lazily by the OS: its cost follows the pages actually
// touched, never the grid. When the window cannot be derived from the gcell keys,
// or would be absurdly large, a hash map from cell id takes its place.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "grid/geometry.hpp"
#include "maze/state.hpp"

namespace tovrana::maze {

inline constexpr uint32_t kClosedSlot = ~uint32_t{0};  // a cell-table slot of a cell no move may enter

// Everything a run knows about one enterable cell; the per-cell inputs of a move's
// cost are looked up once, on first touch. Two cache lines: the first holds what
// expanding the cell and pricing a move into it read, the second the rest of the
// per-direction state. A start state (direction kStart) has g = 0 and no predecessor,
// and no move reaches it, so it needs no slot.
struct alignas(64) CellRec {
    enum Flag : uint8_t {
        kGoal = 1,
        kOutsideGuide = 2, // the net has guides and none holds the cell
        kDrc = 4,          // foreign occupancy, or route_shape without occupancy pricing
        kMarker = 8,
        kFixed = 16,
        kNoVia = 32,       // column listed in via_blocked
        kNoLanding = 64,   // no via may land here: a no-via cell, or off its layer's tracks
    };
    // Sets only the members with a default below; the arrays (step costs, g, pred)
    // stay uninitialised until the run fills them on first touch.
    CellRec() {}
    uint8_t flags = 0;
    uint8_t closed = 0;             // bit per direction: state already expanded
    uint32_t pos = 0;               // the cell's position in a dense cell table
    Cell cell;
    double h = 0.0;                 // heuristic to the nearest goal
    uint64_t place = 0;             // queue tie-break position of the cell (search_queue.hpp)
    double planar_step[2];          // step cost of a same-layer move into the cell: straight on, turning
    double g[kMoveDirs];            // best known g per arrival direction (+inf = none)
    uint32_t pred[kMoveDirs];       // came-from: pack_link of the predecessor state, or kNoPred
};
static_assert(sizeof(CellRec) == 128);

// Inclusive window of in-grid columns, on every layer, with the corridor's gcells
// that hold in-grid cells.
struct Window {
    int32_t x0, y0, x1, y1;
    std::vector<std::pair<int64_t, int64_t>> gcells;  // (gx, gy), possibly repeated
};

// The bounding window of the in-grid cells whose gcell key is in `corridor` or is
// the gcell of one of `anchors` (in-grid cells). Nothing when the keys cannot be
// decoded unambiguously or the window is too large for a dense index.
std::optional<Window> corridor_window(const Geometry& g, int32_t gc, const HashSet<int64_t>& corridor,
                                      std::span<const Cell> anchors);

// Storage for dense slot arrays, kept by one thread across runs. Between runs the
// buffer is all zero: a run notes every slot it sets and `release` clears just
// those, so set-up costs nothing per cell. Windows too large to keep around get a
// fresh zeroed block that `release` frees.
class SlotBuffer {
public:
    // A zeroed array of `cells` slots, valid until release().
    uint32_t* acquire(std::size_t cells);
    void note(uint32_t pos) { touched_.push_back(pos); }
    void release();

private:
    struct FreeDeleter {
        void operator()(uint32_t* p) const { std::free(p); }
    };
    static constexpr std::size_t kKeepLimit = std::size_t{1} << 22;  // 16 MiB of slots
    std::unique_ptr<uint32_t[], FreeDeleter> kept_, once_;
    std::size_t kept_cells_ = 0;
    std::vector<uint32_t> touched_;
};

class CellTable {
public:
    // The dense index, when there is one, lives in `buffer` until buffer.release().
    CellTable(const Geometry& g, int32_t gc, std::optional<Window> window, SlotBuffer& buffer);

    // Whether corridor membership can be read from the window (else: hash the key).
    bool dense() const { return dense_ != nullptr; }
    // Corridor membership of an in-window cell; only when dense().
    bool in_corridor(const Cell& c) const {
        return corridor_[static_cast<std::size_t>(gcol_[c.ix - win_.x0] * gheight_ + grow_[c.iy - win_.y0])] != 0;
    }

    // The record slot of an in-grid cell (0 = not seen yet, kClosedSlot = cannot be
    // entered, else record index + 1), or nullptr for a cell outside the window,
    // which no run can enter.
    uint32_t* slot(const Cell& c, int64_t id) {
        if (!dense_) return &sparse_[id];
        const int64_t x = int64_t{c.ix} - win_.x0, y = int64_t{c.iy} - win_.y0;
        if (x < 0 || x >= width_ || y < 0 || y >= height_) return nullptr;
        return &dense_[position(c)];
    }

    // Dense layout: the position of an in-window cell, and the steps between the
    // positions of neighbours along x, y and layer. Only when dense().
    uint32_t position(const Cell& c) const {
        return static_cast<uint32_t>((int64_t{c.layer} * height_ + (c.iy - win_.y0)) * width_ + (c.ix - win_.x0));
    }
    uint32_t* dense_slots() const { return dense_; }
    const Window& window() const { return win_; }
    uint32_t row_step() const { return static_cast<uint32_t>(width_); }
    uint32_t layer_step() const { return static_cast<uint32_t>(width_ * height_); }

private:
    Window win_{};
    int64_t width_ = 0, height_ = 0;
    std::vector<int32_t> gcol_, grow_;  // gcell offset within the window of each column / row
    int64_t gheight_ = 0;
    std::vector<uint8_t> corridor_;     // per window gcell: in the run's corridor
    uint32_t* dense_ = nullptr;
    HashMap<int64_t, uint32_t> sparse_;
};

}  // namespace tovrana::maze
