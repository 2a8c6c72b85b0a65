#pragma once
// A box: the rectangle of gcells one worker of a batch reroutes.
#include <cstdint>

namespace tovrana {

// Gcells (gx, gy) with gx0 <= gx <= gx1 and gy0 <= gy <= gy1, both corners
// inclusive; a cell (ix, iy, layer) is in it when its gcell (ix / gc, iy / gc) is.
struct Box {
    int32_t gx0 = 0, gy0 = 0, gx1 = 0, gy1 = 0;
};

}  // namespace tovrana
