#include "worker/extract_box.hpp"

#include <algorithm>

#include "grid/sort_unique.hpp"

namespace tovrana {

Extraction extract_box(const CellList& cells, const EdgeList& edges, const TermSets* termsets,
                       const BoxGeometry& box) {
    Extraction out;
    for (const Cell& c : cells)
        if (!box.contains(c)) out.fixed_cells.push_back(c);

    CellList crossings;
    for (const Edge& e : edges) {
        const bool a_in = box.contains(e.a), b_in = box.contains(e.b);
        if (a_in && b_in) continue;  // rerouted
        if (a_in) crossings.push_back(e.a);
        if (b_in) crossings.push_back(e.b);
        out.kept_edges.push_back(e);
    }
    sort_unique(crossings);
    out.fixed_cells.insert(out.fixed_cells.end(), crossings.begin(), crossings.end());
    sort_unique(out.fixed_cells);

    for (const Cell& c : crossings) out.targets.push_back(CellList{c});
    if (termsets) {
        for (const CellList& set : *termsets) {
            if (std::any_of(set.begin(), set.end(), [&](const Cell& c) { return box.contains(c); }))
                out.targets.push_back(set);
        }
    }
    return out;
}

}  // namespace tovrana
