#include "worker/route_box_plan.hpp"

namespace tovrana {

BoxResult route_box_plan(const Grid&, const Box&, const BoxParams&) { throw Panic("route_box_plan is not built yet"); }

}  // namespace tovrana
