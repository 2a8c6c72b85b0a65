#pragma once
// The physical track model a flow may lay over the grid: the coordinate of every
// column and row (uneven spacing allowed), the length that costs 1, and per layer
// its preferred direction, its wrong-way factor and the lines its wires may run on.
// Built and checked once per setter call, then immutable: searches on several
// threads read it without locks, and an occupancy map built with it may keep it.
// Also carries the per-layer cost of a via stacked on a via (see stack_cost).
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "grid/geometry.hpp"

namespace tovrana {

// One layer as the caller describes it: wires run along y on the columns of
// x_lines and along x on the rows of y_lines (indices, any order, repeats allowed).
// A layer change the grid allows, both ways (its via rule).
struct LayerChange {
    int32_t a = 0, b = 0;
    double cost = 0.0;
};

struct TrackLayerSpec {
    bool vertical = false;
    double wrong_way = 1.0;
    std::vector<int32_t> x_lines;
    std::vector<int32_t> y_lines;
    double stack = 0.0;  // extra cost of a via out of a pad on this layer that a via entered
};

class TrackModel {
public:
    // Checks every argument against the grid and throws std::invalid_argument,
    // naming the argument, for the first fault: wrong lengths, coordinates not
    // strictly ascending, an extent that does not fit 64 bits, unit <= 0, a wrong-way
    // factor below 1 (or NaN), a stack cost below 0 (or NaN), a line index outside
    // the grid.
    // `changes`: the grid's layer changes (layer_a, layer_b, cost), for the search's
    // lower bounds on what reaching a layer costs.
    static std::shared_ptr<const TrackModel> build(const Geometry& g, std::vector<int64_t> xs, std::vector<int64_t> ys,
                                                   int64_t unit, const std::vector<TrackLayerSpec>& layers,
                                                   const std::vector<LayerChange>& changes);

    int32_t nx() const { return static_cast<int32_t>(xs_.size()); }
    int32_t ny() const { return static_cast<int32_t>(ys_.size()); }
    std::size_t layer_count() const { return layers_; }
    int64_t x(int32_t ix) const { return xs_[static_cast<std::size_t>(ix)]; }
    int64_t y(int32_t iy) const { return ys_[static_cast<std::size_t>(iy)]; }
    std::span<const int64_t> xs() const { return xs_; }
    std::span<const int64_t> ys() const { return ys_; }
    int64_t unit() const { return unit_; }

    // Whether a wire on `layer` may run along x on row iy / along y on column ix.
    bool runs_x(int32_t layer, int32_t iy) const { return bit(y_masks_, y_words_, layer, iy); }
    bool runs_y(int32_t layer, int32_t ix) const { return bit(x_masks_, x_words_, layer, ix); }
    // On a line of the layer's preferred direction: where a via may land on it. A
    // point on another layer's track only (or on this layer's wrong-way lines) would
    // put the via off the layer's real tracks.
    bool on_preferred(int32_t layer, int32_t ix, int32_t iy) const {
        return vertical_[static_cast<std::size_t>(layer)] ? runs_y(layer, ix) : runs_x(layer, iy);
    }
    // Added to a via move out of a state on `layer` that a via move entered: its pad
    // there carries no wire (0 on every layer unless the caller gave costs).
    double stack_cost(int32_t layer) const { return stack_[static_cast<std::size_t>(layer)]; }

    // Length cost of the step between column i and i + 1 (row i and i + 1) on a
    // layer: gap / unit, times the wrong-way factor across the preferred direction.
    const double* x_step_costs(int32_t layer) const { return x_costs_.data() + gap_offset(layer, nx()); }
    const double* y_step_costs(int32_t layer) const { return y_costs_.data() + gap_offset(layer, ny()); }

    // A lower bound on what the layer changes of a path from a point on layer `from`
    // to one on layer `to`, dx and dy apart (in lines, 0 or not), cost: the cheapest
    // chain of via moves between the layers (each at least its rule's cost + 1), and on
    // one layer, a way off it and back where the layer cannot move along an axis the
    // points differ on.
    double change_bound(int32_t from, int32_t to, bool dx, bool dy) const {
        const std::size_t n = layers_;
        if (from != to) return between_[static_cast<std::size_t>(from) * n + static_cast<std::size_t>(to)];
        const std::size_t l = static_cast<std::size_t>(from);
        return ((dx && !moves_x_[l]) || (dy && !moves_y_[l])) ? round_trip_[l] : 0.0;
    }

    // Manhattan distance between two in-grid points in database units; fits 64 bits
    // (build() checks the grid's extent).
    int64_t distance(int32_t ix, int32_t iy, int32_t jx, int32_t jy) const {
        const int64_t dx = x(ix) - x(jx), dy = y(iy) - y(jy);
        return (dx < 0 ? -dx : dx) + (dy < 0 ? -dy : dy);
    }

    // Equal for equal models, in every process.
    uint64_t digest() const { return digest_; }

private:
    TrackModel() = default;
    void bound_layer_changes(const std::vector<TrackLayerSpec>& layers, const std::vector<LayerChange>& changes);
    static bool bit(const std::vector<uint64_t>& masks, std::size_t words, int32_t layer, int32_t i) {
        const std::size_t at = static_cast<std::size_t>(layer) * words + (static_cast<uint32_t>(i) >> 6);
        return (masks[at] >> (static_cast<uint32_t>(i) & 63)) & 1;
    }
    static std::size_t gap_offset(int32_t layer, int32_t lines) {
        return static_cast<std::size_t>(layer) * static_cast<std::size_t>(lines > 0 ? lines - 1 : 0);
    }

    std::vector<int64_t> xs_, ys_;
    int64_t unit_ = 1;
    std::size_t layers_ = 0;
    std::size_t x_words_ = 0, y_words_ = 0;  // mask words per layer
    std::vector<uint64_t> x_masks_, y_masks_;
    std::vector<double> x_costs_, y_costs_;  // per layer, one per gap
    std::vector<uint8_t> vertical_;          // per layer
    std::vector<double> stack_;              // per layer
    std::vector<double> between_;            // change_bound between layers, nz x nz
    std::vector<double> round_trip_;         // per layer: off it and back
    std::vector<uint8_t> moves_x_, moves_y_;  // per layer: has lines along x / along y
    uint64_t digest_ = 0;
};

}  // namespace tovrana
