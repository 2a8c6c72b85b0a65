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

}  // namespace

uint64_t state_digest(const Grid& grid) {
    // Both parts are kept current by the calls that change them, so a digest costs
    // the same on any state.
    std::size_t seed = 0;
    mix(seed, grid.routes.digest());
    mix(seed, grid.occ.signature());
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
