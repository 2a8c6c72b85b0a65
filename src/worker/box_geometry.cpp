#include "worker/box_geometry.hpp"

#include <algorithm>

namespace tovrana {

BoxGeometry::BoxGeometry(const Geometry& g, const Box& box, int32_t gc, int32_t margin_halo)
    : box_(box), gc_(gc) {
    // 64-bit throughout: the same bounds as 32-bit arithmetic wherever that does not
    // overflow, and no overflow anywhere.
    const int64_t margin = int64_t{margin_halo} + 1;
    const int64_t x0 = std::max<int64_t>(0, int64_t{gc} * box.gx0 - margin);
    const int64_t y0 = std::max<int64_t>(0, int64_t{gc} * box.gy0 - margin);
    const int64_t x1 = std::min<int64_t>(int64_t{g.nx} - 1,
                                         std::min<int64_t>(int64_t{g.nx} - 1, (int64_t{box.gx1} + 1) * gc - 1) + margin);
    const int64_t y1 = std::min<int64_t>(int64_t{g.ny} - 1,
                                         std::min<int64_t>(int64_t{g.ny} - 1, (int64_t{box.gy1} + 1) * gc - 1) + margin);
    auto clamp32 = [](int64_t v) {
        return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
    };
    region_ = Region{clamp32(x0), clamp32(y0), clamp32(x1), clamp32(y1)};

    const int64_t gx_lo = std::max<int64_t>(box.gx0, 0), gy_lo = std::max<int64_t>(box.gy0, 0);
    const int64_t gx_hi = std::min<int64_t>(box.gx1, (int64_t{g.nx} - 1) / gc);
    const int64_t gy_hi = std::min<int64_t>(box.gy1, (int64_t{g.ny} - 1) / gc);
    for (int64_t gx = gx_lo; gx <= gx_hi; ++gx)
        for (int64_t gy = gy_lo; gy <= gy_hi; ++gy)
            corridor_.insert(gcell_key(static_cast<int32_t>(gx), static_cast<int32_t>(gy)));
}

}  // namespace tovrana
