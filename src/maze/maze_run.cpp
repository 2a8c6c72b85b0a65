// The search entry point: the unit-step search here, the track model's in
// track_search.cpp.
#include "grid/per_thread.hpp"
#include "maze/search_run.hpp"

namespace tovrana {
namespace maze::detail {

Scratch& thread_scratch() {
    static PerThread<Scratch> scratch;
    return scratch.get();
}

}  // namespace maze::detail

std::optional<CellList> maze_run(const Grid& grid, const MazeQuery& query) {
    return grid.tracks() ? maze::detail::track_search(grid, query) : maze::detail::run_search<false>(grid, query);
}

}  // namespace tovrana
