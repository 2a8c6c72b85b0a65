#include "batch/route_boxes.hpp"

namespace tovrana {

void validate_batch(const std::vector<Box>&, int32_t) {}

std::vector<BoxResult> run_boxes(const Grid&, const std::vector<Box>&, const BoxParams&, int32_t) {
    throw Panic("route_boxes is not built yet");
}

std::vector<NetRoute> merge_batch(Grid&, const std::vector<Box>&, std::vector<BoxResult>, int32_t) { return {}; }

}  // namespace tovrana
