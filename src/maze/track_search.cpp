// The search under a track model, in its own translation unit (see search_run.hpp).
#include "maze/search_run.hpp"

namespace tovrana::maze::detail {

std::optional<CellList> track_search(const Grid& grid, const MazeQuery& query) { return run_search<true>(grid, query); }

}  // namespace tovrana::maze::detail
