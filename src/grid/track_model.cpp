#include "grid/track_model.hpp"

#include <bit>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

// Coordinates of one axis: one per line, strictly ascending.
void check_axis(const char* name, const char* lines, int32_t n, const std::vector<int64_t>& v) {
    if (v.size() != static_cast<std::size_t>(n < 0 ? 0 : n) || n < 0)
        refuse(std::string(name) + ": expected one coordinate per " + lines + " (" + std::to_string(n) + "), got " +
               std::to_string(v.size()));
    for (std::size_t i = 1; i < v.size(); ++i) {
        if (v[i] <= v[i - 1])
            refuse(std::string(name) + " must be strictly ascending: " + name + "[" + std::to_string(i) + "] = " +
                   std::to_string(v[i]) + " follows " + std::to_string(v[i - 1]));
    }
}

// x_extent + y_extent, the largest distance() of the model, or nothing on overflow.
bool extent_fits(const std::vector<int64_t>& xs, const std::vector<int64_t>& ys) {
    int64_t ex = 0, ey = 0, sum = 0;
    if (!xs.empty() && __builtin_sub_overflow(xs.back(), xs.front(), &ex)) return false;
    if (!ys.empty() && __builtin_sub_overflow(ys.back(), ys.front(), &ey)) return false;
    return !__builtin_add_overflow(ex, ey, &sum);
}

// One bit per listed line, after checking every index against the line count.
void set_lines(std::vector<uint64_t>& masks, std::size_t words, std::size_t layer, const std::vector<int32_t>& lines,
               int32_t n, const std::string& where, const char* what) {
    for (std::size_t k = 0; k < lines.size(); ++k) {
        const int32_t i = lines[k];
        if (i < 0 || i >= n)
            refuse(where + "[" + std::to_string(k) + "] = " + std::to_string(i) + " is not a " + what + " (0 .. " +
                   std::to_string(n - 1) + ")");
        masks[layer * words + (static_cast<uint32_t>(i) >> 6)] |= uint64_t{1} << (static_cast<uint32_t>(i) & 63);
    }
}

// Per layer and gap, gap / unit (times the wrong-way factor on layers whose
// preferred direction crosses the axis): the step costs every search reads.
std::vector<double> gap_costs(const std::vector<int64_t>& coords, int64_t unit, const std::vector<TrackLayerSpec>& layers,
                              bool along_x) {
    const std::size_t gaps = coords.empty() ? 0 : coords.size() - 1;
    std::vector<double> out;
    out.reserve(gaps * layers.size());
    for (const TrackLayerSpec& l : layers) {
        const bool across = along_x == l.vertical;
        for (std::size_t i = 0; i < gaps; ++i) {
            double cost = static_cast<double>(coords[i + 1] - coords[i]) / static_cast<double>(unit);
            if (across) cost *= l.wrong_way;
            out.push_back(cost);
        }
    }
    return out;
}

}  // namespace

// The cheapest chain of via moves between every two layers (each move at least its
// rule's cost + 1, the straight turn term), by Floyd-Warshall over the few layers;
// where no chain exists, 2 (what the plain search counts for any change), which stays
// a lower bound as no path exists then at all. Negative or NaN costs bound nothing: 0.
void TrackModel::bound_layer_changes(const std::vector<TrackLayerSpec>& layers, const std::vector<LayerChange>& changes) {
    const std::size_t n = layers.size();
    const double inf = std::numeric_limits<double>::infinity();
    between_.assign(n * n, inf);
    for (std::size_t l = 0; l < n; ++l) between_[l * n + l] = 0.0;
    for (const LayerChange& c : changes) {
        if (c.a == c.b || c.a < 0 || c.b < 0 || static_cast<std::size_t>(c.a) >= n || static_cast<std::size_t>(c.b) >= n)
            continue;
        const double step = c.cost >= 0.0 ? c.cost + 1.0 : 0.0;  // false for NaN
        double& ab = between_[static_cast<std::size_t>(c.a) * n + static_cast<std::size_t>(c.b)];
        double& ba = between_[static_cast<std::size_t>(c.b) * n + static_cast<std::size_t>(c.a)];
        ab = std::min(ab, step);
        ba = std::min(ba, step);
    }
    for (std::size_t k = 0; k < n; ++k)
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j)
                between_[i * n + j] = std::min(between_[i * n + j], between_[i * n + k] + between_[k * n + j]);
    round_trip_.assign(n, inf);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (i != j) round_trip_[i] = std::min(round_trip_[i], between_[i * n + j] + between_[j * n + i]);
    for (double& v : between_)
        if (v == inf) v = 2.0;
    for (double& v : round_trip_)
        if (v == inf) v = 0.0;
    moves_x_.clear();
    moves_y_.clear();
    for (std::size_t l = 0; l < n; ++l) {
        moves_x_.push_back(!layers[l].y_lines.empty());
        moves_y_.push_back(!layers[l].x_lines.empty());
    }
}

std::shared_ptr<const TrackModel> TrackModel::build(const Geometry& g, std::vector<int64_t> xs, std::vector<int64_t> ys,
                                                    int64_t unit, const std::vector<TrackLayerSpec>& layers,
                                                    const std::vector<LayerChange>& changes) {
    check_axis("xs", "column, nx", g.nx, xs);
    check_axis("ys", "row, ny", g.ny, ys);
    if (!extent_fits(xs, ys))
        refuse("xs, ys: the grid's extent (xs[-1] - xs[0]) + (ys[-1] - ys[0]) does not fit in a signed 64-bit integer");
    if (unit <= 0) refuse("unit must be positive, got " + std::to_string(unit));
    if (layers.size() != static_cast<std::size_t>(g.nz < 0 ? 0 : g.nz) || g.nz < 0)
        refuse("layers: expected one entry per layer (" + std::to_string(g.nz) + "), got " + std::to_string(layers.size()));

    std::shared_ptr<TrackModel> m(new TrackModel);
    m->x_words_ = (static_cast<std::size_t>(g.nx) + 63) / 64;
    m->y_words_ = (static_cast<std::size_t>(g.ny) + 63) / 64;
    m->x_masks_.assign(m->x_words_ * layers.size(), 0);
    m->y_masks_.assign(m->y_words_ * layers.size(), 0);
    for (std::size_t l = 0; l < layers.size(); ++l) {
        const std::string where = "layers[" + std::to_string(l) + "]";
        const double ww = layers[l].wrong_way, stack = layers[l].stack;
        if (!(ww >= 1.0)) {
            std::ostringstream text;
            text << where << ": wrong_way must be at least 1, got " << ww;
            refuse(text.str());
        }
        if (!(stack >= 0.0)) {
            std::ostringstream text;
            text << where << ": stack must be at least 0, got " << stack;
            refuse(text.str());
        }
        set_lines(m->x_masks_, m->x_words_, l, layers[l].x_lines, g.nx, where + ": x_lines", "column");
        set_lines(m->y_masks_, m->y_words_, l, layers[l].y_lines, g.ny, where + ": y_lines", "row");
    }
    for (const TrackLayerSpec& l : layers) {
        m->vertical_.push_back(l.vertical);
        m->stack_.push_back(l.stack + 0.0);  // -0.0 counts as 0
    }
    m->bound_layer_changes(layers, changes);
    m->x_costs_ = gap_costs(xs, unit, layers, true);
    m->y_costs_ = gap_costs(ys, unit, layers, false);
    m->unit_ = unit;
    m->layers_ = layers.size();
    m->xs_ = std::move(xs);
    m->ys_ = std::move(ys);

    uint64_t h = hash_mix64(hash_mix64(hash_mix64(0, m->xs_.size()), m->ys_.size()), layers.size());
    h = hash_mix64(h, static_cast<uint64_t>(unit));
    for (const int64_t v : m->xs_) h = hash_mix64(h, static_cast<uint64_t>(v));
    for (const int64_t v : m->ys_) h = hash_mix64(h, static_cast<uint64_t>(v));
    for (std::size_t l = 0; l < layers.size(); ++l) {
        h = hash_mix64(hash_mix(h, layers[l].vertical), std::bit_cast<uint64_t>(layers[l].wrong_way));
        h = hash_mix64(h, std::bit_cast<uint64_t>(m->stack_[l]));
    }
    for (const uint64_t w : m->x_masks_) h = hash_mix64(h, w);
    for (const uint64_t w : m->y_masks_) h = hash_mix64(h, w);
    m->digest_ = h;
    return m;
}

}  // namespace tovrana
