#pragma once
// Footprints from spacing distances on the track model: a route cell of layer L
// keeps other nets off every cell of L whose centre lies closer than (dx, dy) to
// its own, per axis, where (dx, dy) is the layer's via box on the net's via cells
// and its wire box elsewhere. Immutable once built, like the track model it reads.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "grid/track_model.hpp"

namespace tovrana {

struct SpacingBox {
    int64_t dx = 0, dy = 0;  // database units; a distance must be below both to conflict
};

struct SpacingLayer {
    SpacingBox wire, via;
};

class SpacingRule {
public:
    // One entry per layer of the track model, every distance non-negative; throws
    // std::invalid_argument naming the argument otherwise.
    static std::shared_ptr<const SpacingRule> build(std::shared_ptr<const TrackModel> tracks,
                                                    std::vector<SpacingLayer> layers);

    const TrackModel& tracks() const { return *tracks_; }
    const std::vector<SpacingLayer>& layers() const { return layers_; }
    // The box of a route cell on an in-grid layer.
    const SpacingBox& box(int32_t layer, bool via) const {
        const SpacingLayer& l = layers_[static_cast<std::size_t>(layer)];
        return via ? l.via : l.wire;
    }

    // The footprint of a route cell (ix, iy, layer), a via cell of its net or not: the
    // columns [x_lo, x_hi] and rows [y_lo, y_hi] closer than the layer's box, the
    // cell alone for a box with a zero side; nothing for a cell outside the grid.
    struct Lines {
        int64_t x_lo, x_hi, y_lo, y_hi;
    };
    std::optional<Lines> footprint(const Cell& c, bool via) const;

    // The most lines any footprint reaches from its route cell along either axis.
    int32_t reach() const { return reach_; }
    uint64_t digest() const { return digest_; }

private:
    SpacingRule() = default;
    std::shared_ptr<const TrackModel> tracks_;
    std::vector<SpacingLayer> layers_;
    int32_t reach_ = 0;
    uint64_t digest_ = 0;
};

}  // namespace tovrana
