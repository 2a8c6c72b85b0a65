#pragma once
// The design-rule marker engine: cover markers (cells under the halo footprints of
// two or more nets, in first-touch order) then parallel-run-length markers.
#include <optional>
#include <span>
#include <vector>

#include "grid/types.hpp"
#include "occ/footprint.hpp"

namespace tovrana {

struct Marker {
    CellList cells;
    int32_t layer = 0;
    std::vector<NetId> nets;
};

struct MarkerParams {
    FootprintRule footprints;  // with a spacing rule, a cover marker also needs a route cell on its cell
    std::optional<Region> region;
    int32_t prl_halo = 0;
    int32_t prl_len = 0;
    std::span<const uint8_t> vertical;  // per layer; a missing layer is horizontal
};

std::vector<Marker> flexgc_core(int32_t nx, int32_t ny, std::span<const NetRouteView> nets,
                                const MarkerParams& params);

// Whether flexgc_core leaves out the nets whose bounds cannot reach params.region
// (it does for a region on a plane whose cell ids cannot wrap): only then may a
// caller hand it those nets alone.
bool culls_by_region(int32_t nx, int32_t ny, const MarkerParams& params);

}  // namespace tovrana
