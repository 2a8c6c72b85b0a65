#pragma once
// Argument records of the Grid methods that exist only at the Python boundary.
#include "grid/box.hpp"
#include "module/convert.hpp"

namespace tovrana::py {

// (net id, route cells, via cells) as occ_init and flexgc take them.
struct NetCells {
    NetId net;
    CellList cells;
    CellList vias;
};
struct TermsetEntry {
    NetId net;
    std::vector<CellList> sets;
};
struct RankEntry {
    NetId net;
    int32_t rank;
};
struct GcellColumn {
    int32_t gx, gy;
};

template <> struct TupleShape<NetCells> { using type = std::tuple<int32_t, CellList, CellList>; };
template <> struct TupleShape<TermsetEntry> { using type = std::tuple<int32_t, std::vector<CellList>>; };
template <> struct TupleShape<RankEntry> { using type = std::tuple<int32_t, int32_t>; };
template <> struct TupleShape<GcellColumn> { using type = std::tuple<int32_t, int32_t>; };
template <> struct TupleShape<Box> { using type = std::tuple<int32_t, int32_t, int32_t, int32_t>; };

}  // namespace tovrana::py
