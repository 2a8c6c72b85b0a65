#include "occ/spacing_rule.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

// The most lines within distance d (exclusive) of any line, on one side: a window
// of lines whose end-to-end distance is below d, slid over the axis.
int32_t widest(std::span<const int64_t> coords, int64_t d) {
    if (d <= 0) return 0;
    int32_t best = 0;
    std::size_t lo = 0;
    for (std::size_t hi = 0; hi < coords.size(); ++hi) {
        while (coords[hi] - coords[lo] >= d) ++lo;
        best = std::max(best, static_cast<int32_t>(hi - lo));
    }
    return best;
}

// Lines [lo, hi] whose coordinate lies closer than d > 0 to that of line i.
void lines_within(std::span<const int64_t> coords, int32_t i, int64_t d, int64_t& lo, int64_t& hi) {
    const int64_t at = coords[static_cast<std::size_t>(i)];
    // Differences within the axis fit 64 bits (TrackModel::build checks the extent).
    const auto first = std::partition_point(coords.begin(), coords.begin() + i, [&](int64_t v) { return at - v >= d; });
    const auto last = std::partition_point(coords.begin() + i, coords.end(), [&](int64_t v) { return v - at < d; });
    lo = first - coords.begin();
    hi = (last - coords.begin()) - 1;
}

}  // namespace

std::optional<SpacingRule::Lines> SpacingRule::footprint(const Cell& c, bool via) const {
    const TrackModel& t = *tracks_;
    if (c.ix < 0 || c.ix >= t.nx() || c.iy < 0 || c.iy >= t.ny() || c.layer < 0 ||
        static_cast<std::size_t>(c.layer) >= layers_.size())
        return std::nullopt;
    const SpacingBox& b = box(c.layer, via);
    Lines out{c.ix, c.ix, c.iy, c.iy};
    if (b.dx > 0 && b.dy > 0) {
        lines_within(t.xs(), c.ix, b.dx, out.x_lo, out.x_hi);
        lines_within(t.ys(), c.iy, b.dy, out.y_lo, out.y_hi);
    }
    return out;
}

std::shared_ptr<const SpacingRule> SpacingRule::build(std::shared_ptr<const TrackModel> tracks,
                                                      std::vector<SpacingLayer> layers) {
    const std::size_t nz = tracks->layer_count();
    if (layers.size() != nz)
        throw std::invalid_argument("layers: expected one entry per layer (" + std::to_string(nz) + "), got " +
                                    std::to_string(layers.size()));
    std::shared_ptr<SpacingRule> r(new SpacingRule);
    uint64_t h = hash_mix64(tracks->digest(), layers.size());
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const SpacingLayer& s = layers[l];
        const char* names[] = {"wire_dx", "wire_dy", "via_dx", "via_dy"};
        const int64_t values[] = {s.wire.dx, s.wire.dy, s.via.dx, s.via.dy};
        for (int k = 0; k < 4; ++k) {
            if (values[k] < 0)
                throw std::invalid_argument("layers[" + std::to_string(l) + "]: " + names[k] +
                                            " must not be negative, got " + std::to_string(values[k]));
            h = hash_mix64(h, static_cast<uint64_t>(values[k]));
        }
        // A box with a zero side covers its cell alone.
        for (const SpacingBox& b : {s.wire, s.via}) {
            if (b.dx <= 0 || b.dy <= 0) continue;
            r->reach_ = std::max({r->reach_, widest(tracks->xs(), b.dx), widest(tracks->ys(), b.dy)});
        }
    }
    r->tracks_ = std::move(tracks);
    r->layers_ = std::move(layers);
    r->digest_ = h;
    return r;
}

}  // namespace tovrana
