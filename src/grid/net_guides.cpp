#include "grid/net_guides.hpp"

#include <bit>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <string>

#include "grid/hash_mix.hpp"

namespace tovrana {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw std::invalid_argument(message); }

std::string text_of(const GuideRect& r) {
    std::ostringstream s;
    s << "(" << r.layer << ", " << r.x0 << ", " << r.y0 << ", " << r.x1 << ", " << r.y1 << ")";
    return s.str();
}

void check_rect(const Geometry& g, const GuideRect& r, std::size_t entry, std::size_t k) {
    const bool fits = 0 <= r.layer && r.layer < g.nz && 0 <= r.x0 && r.x0 <= r.x1 && r.x1 < g.nx && 0 <= r.y0 &&
                      r.y0 <= r.y1 && r.y1 < g.ny;
    if (!fits)
        refuse("guides[" + std::to_string(entry) + "]: rects[" + std::to_string(k) + "] = " + text_of(r) +
               " is not a rectangle of the grid: layer 0 .. " + std::to_string(g.nz - 1) + ", 0 <= ix0 <= ix1 <= " +
               std::to_string(g.nx - 1) + ", 0 <= iy0 <= iy1 <= " + std::to_string(g.ny - 1));
}

void check_cost(const char* name, double v, double least) {
    if (v >= least) return;
    std::ostringstream text;
    text << name << " must be at least " << least << ", got " << v;
    refuse(text.str());
}

}  // namespace

std::shared_ptr<const NetGuides> NetGuides::build(const Geometry& g, std::vector<NetGuideEntry> guides,
                                                  double outside_factor, double outside_via) {
    check_cost("outside_factor", outside_factor, 1.0);
    check_cost("outside_via", outside_via, 0.0);
    for (std::size_t e = 0; e < guides.size(); ++e)
        for (std::size_t k = 0; k < guides[e].rects.size(); ++k) check_rect(g, guides[e].rects[k], e, k);

    // The last entry of each net, nets ascending.
    std::vector<std::size_t> last(guides.size());
    for (std::size_t e = 0; e < guides.size(); ++e) last[e] = e;
    std::stable_sort(last.begin(), last.end(), [&](std::size_t a, std::size_t b) { return guides[a].net < guides[b].net; });
    std::shared_ptr<NetGuides> out(new NetGuides);
    out->begin_.push_back(0);
    for (std::size_t i = 0; i < last.size(); ++i) {
        if (i + 1 < last.size() && guides[last[i + 1]].net == guides[last[i]].net) continue;
        std::vector<GuideRect>& rects = guides[last[i]].rects;
        if (rects.empty()) continue;
        std::sort(rects.begin(), rects.end());
        rects.erase(std::unique(rects.begin(), rects.end()), rects.end());
        if (rects.size() > std::numeric_limits<uint32_t>::max() - out->rects_.size())
            refuse("guides: more than 2^32 - 1 rectangles in all");
        out->nets_.push_back(guides[last[i]].net);
        out->rects_.insert(out->rects_.end(), rects.begin(), rects.end());
        out->begin_.push_back(static_cast<uint32_t>(out->rects_.size()));
        std::vector<GuideRect>().swap(rects);  // now held by rects_: free the entry early
    }
    if (out->nets_.empty()) return nullptr;
    out->nets_.shrink_to_fit();
    out->begin_.shrink_to_fit();
    out->rects_.shrink_to_fit();
    out->outside_factor_ = outside_factor;
    out->outside_via_ = outside_via + 0.0;  // -0.0 counts as 0

    uint64_t h = hash_mix64(hash_mix64(0, out->nets_.size()), out->rects_.size());
    h = hash_mix64(hash_mix64(h, std::bit_cast<uint64_t>(out->outside_factor_)), std::bit_cast<uint64_t>(out->outside_via_));
    for (std::size_t i = 0; i < out->nets_.size(); ++i) h = hash_mix(hash_mix(h, static_cast<uint32_t>(out->nets_[i])), out->begin_[i + 1]);
    for (const GuideRect& r : out->rects_) {
        for (const int32_t v : {r.layer, r.x0, r.y0, r.x1, r.y1}) h = hash_mix(h, static_cast<uint32_t>(v));
    }
    out->digest_ = h;
    return out;
}

std::span<const GuideRect> NetGuides::of(NetId net) const {
    const auto it = std::lower_bound(nets_.begin(), nets_.end(), net);
    if (it == nets_.end() || *it != net) return {};
    const auto i = static_cast<std::size_t>(it - nets_.begin());
    return std::span<const GuideRect>(rects_).subspan(begin_[i], begin_[i + 1] - begin_[i]);
}

}  // namespace tovrana
