#include "markers/flexgc_core.hpp"

#include "grid/panic.hpp"

namespace tovrana {

std::vector<Marker> flexgc_core(int32_t, int32_t, std::span<const MarkerNet>, const MarkerParams&) {
    throw Panic("flexgc_core is not built yet");
}

}  // namespace tovrana
