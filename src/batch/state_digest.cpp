#include "batch/state_digest.hpp"

#include <bit>

#include <boost/container_hash/hash.hpp>

namespace tovrana {
namespace {

// boost::hash_combine has no per-process seed, so digests compare across processes.
template <class T>
void mix(std::size_t& seed, const T& value) {
    boost::hash_combine(seed, value);
}

void mix(std::size_t& seed, const Cell& c) {
    mix(seed, c.ix);
    mix(seed, c.iy);
    mix(seed, c.layer);
}

}  // namespace

uint64_t state_digest(const Grid& grid) {
    std::size_t seed = 0;
    const RouteStore& store = grid.routes;
    mix(seed, store.slot_count());
    for (std::size_t s = 0; s < store.slot_count(); ++s) {
        mix(seed, store.net(s));
        mix(seed, store.cells(s).size());
        for (const Cell& c : store.cells(s)) mix(seed, c);
        mix(seed, store.edges(s).size());
        for (const Edge& e : store.edges(s)) {
            mix(seed, e.a);
            mix(seed, e.b);
        }
    }
    mix(seed, occ_signature(grid.occ));
    mix(seed, grid.occ_halos.wire);
    mix(seed, grid.occ_halos.via);
    return seed;
}

uint64_t params_digest(const BoxParams& p) {
    std::size_t seed = 0;
    for (const int32_t v : {p.gc, p.halos.wire, p.halos.via, int32_t{p.ripup_all}, p.maze_end_iter, p.prl_halo, p.prl_len})
        mix(seed, v);
    for (const double v : {p.weights.drc, p.weights.marker, p.weights.fixed, p.marker_decay})
        mix(seed, std::bit_cast<uint64_t>(v));  // bits, so that NaN and -0.0 count as given
    mix(seed, p.vertical.size());
    for (const uint8_t v : p.vertical) mix(seed, v);
    return seed;
}

}  // namespace tovrana
