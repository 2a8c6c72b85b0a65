#include "batch/box_results.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <tuple>

#include <boost/crc.hpp>


namespace tovrana {
namespace {

constexpr uint8_t kMagic[4] = {'T', 'V', 'B', 'R'};
constexpr std::size_t kChecksumBytes = 4;

uint32_t crc32(std::span<const uint8_t> bytes) {
    boost::crc_32_type crc;
    crc.process_bytes(bytes.data(), bytes.size());
    return crc.checksum();
}

uint64_t zigzag(int64_t v) { return (static_cast<uint64_t>(v) << 1) ^ static_cast<uint64_t>(v >> 63); }
int64_t unzigzag(uint64_t u) { return static_cast<int64_t>(u >> 1) ^ -static_cast<int64_t>(u & 1); }

class Writer {
public:
    void bytes(std::span<const uint8_t> b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void fixed(uint64_t v, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void varint(uint64_t v) {
        for (; v >= 0x80; v >>= 7) out_.push_back(static_cast<uint8_t>(v | 0x80));
        out_.push_back(static_cast<uint8_t>(v));
    }
    void sint(int64_t v) { varint(zigzag(v)); }
    // A strictly ascending run: its first value, then each one's distance from the one
    // before less one, so that no value can repeat.
    void ascending(int64_t value, const std::optional<int64_t>& before) {
        if (before) varint(static_cast<uint64_t>(value) - static_cast<uint64_t>(*before) - 1);
        else sint(value);
    }
    void cell(const Cell& c, const Cell& ref) {
        sint(int64_t{c.ix} - ref.ix);
        sint(int64_t{c.iy} - ref.iy);
        sint(int64_t{c.layer} - ref.layer);
    }
    // Appends the checksum of everything written and hands the bytes over.
    std::vector<uint8_t> finish() {
        fixed(crc32(out_), kChecksumBytes);
        return std::move(out_);
    }

private:
    std::vector<uint8_t> out_;
};

std::string corners(const Box& b) {
    return "(" + std::to_string(b.gx0) + ", " + std::to_string(b.gy0) + ", " + std::to_string(b.gx1) + ", " +
           std::to_string(b.gy1) + ")";
}

class Reader {
public:
    Reader(std::span<const uint8_t> bytes, const std::string& label) : bytes_(bytes), label_(label) {}

    [[noreturn]] void fail(const std::string& what) const {
        throw std::invalid_argument(label_ + ": " + what + " (at byte " + std::to_string(pos_) + ")");
    }
    std::size_t left() const { return bytes_.size() - pos_; }

    uint8_t byte() {
        if (pos_ >= bytes_.size()) fail("the bytes end early");
        return bytes_[pos_++];
    }
    uint64_t fixed(std::size_t n) {
        uint64_t v = 0;
        for (std::size_t i = 0; i < n; ++i) v |= uint64_t{byte()} << (8 * i);
        return v;
    }
    uint64_t varint() {
        uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const uint8_t b = byte();
            if (shift == 63 && b > 1) fail("a number exceeds 64 bits");
            v |= uint64_t{b & 0x7Fu} << shift;
            if (!(b & 0x80)) return v;
        }
        fail("a number exceeds 64 bits");
    }
    int64_t sint() { return unzigzag(varint()); }
    int32_t int32(const char* what) { return in_int32(sint(), what); }
    int32_t in_int32(int64_t v, const char* what) const {
        if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
            fail(std::string(what) + " " + std::to_string(v) + " is out of the 32-bit range");
        return static_cast<int32_t>(v);
    }
    // A count of items of at least `item_bytes` bytes each: never more than fit.
    std::size_t count(std::size_t item_bytes, const char* what) {
        const uint64_t n = varint();
        if (n > left() / item_bytes) fail(std::string(what) + " count " + std::to_string(n) + " exceeds the bytes left");
        return static_cast<std::size_t>(n);
    }
    Cell cell(const Cell& ref) {
        return Cell{coordinate(ref.ix), coordinate(ref.iy), coordinate(ref.layer)};
    }
    // The next value of a strictly ascending run (see Writer::ascending).
    int64_t ascending(const std::optional<int64_t>& before, const char* what) {
        if (!before) return sint();
        const uint64_t gap = varint();
        if (gap >= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - static_cast<uint64_t>(*before))
            fail(std::string(what) + " exceeds 64 bits");
        return static_cast<int64_t>(static_cast<uint64_t>(*before) + gap + 1);
    }

private:
    int32_t coordinate(int32_t ref) {
        const int64_t step = sint();
        constexpr int64_t kSpan = int64_t{1} << 33;  // larger than any step between two 32-bit values
        if (step < -kSpan || step > kSpan) fail("a cell coordinate is out of the 32-bit range");
        return in_int32(ref + step, "cell coordinate");
    }

    std::span<const uint8_t> bytes_;
    const std::string& label_;
    std::size_t pos_ = 0;
};

void write_route(Writer& w, const NetRoute& route) {
    w.sint(route.net);
    w.varint(route.cells.size());
    Cell ref;
    for (const Cell& c : route.cells) w.cell(c, std::exchange(ref, c));
    w.varint(route.edges.size());
    ref = Cell{};
    for (const Edge& e : route.edges) {
        w.cell(e.a, std::exchange(ref, e.a));
        w.cell(e.b, e.a);
    }
}

NetRoute read_route(Reader& r) {
    NetRoute route;
    route.net = r.int32("net id");
    route.cells.resize(r.count(3, "cell"));
    Cell ref;
    for (Cell& c : route.cells) ref = c = r.cell(ref);
    route.edges.resize(r.count(6, "edge"));
    ref = Cell{};
    for (Edge& e : route.edges) {
        ref = e.a = r.cell(ref);
        e.b = r.cell(e.a);
    }
    return route;
}

// Changes by ascending (cell, net), grouped by cell: the bytes do not depend on the
// delta's hash order.
void write_changes(Writer& w, const std::vector<OccChange>& changes) {
    std::size_t n_cells = 0;
    for (std::size_t i = 0; i < changes.size(); ++i) n_cells += i == 0 || changes[i].cell != changes[i - 1].cell;
    w.varint(n_cells);
    std::optional<int64_t> cell_before;
    for (std::size_t i = 0; i < changes.size();) {
        std::size_t end = i;
        while (end < changes.size() && changes[end].cell == changes[i].cell) ++end;
        w.ascending(changes[i].cell, std::exchange(cell_before, changes[i].cell));
        w.varint(end - i);
        std::optional<int64_t> net_before;
        for (; i < end; ++i) {
            w.ascending(changes[i].net, std::exchange(net_before, changes[i].net));
            w.sint(changes[i].d);
        }
    }
}

std::vector<OccChange> read_changes(Reader& r) {
    std::vector<OccChange> changes;
    const std::size_t n_cells = r.count(2, "delta cell");
    std::optional<int64_t> cell;
    for (std::size_t i = 0; i < n_cells; ++i) {
        cell = r.ascending(cell, "a delta cell id");
        const std::size_t n_nets = r.count(2, "delta net");
        std::optional<int64_t> net;
        for (std::size_t k = 0; k < n_nets; ++k) {
            net = r.ascending(net, "a delta net id");
            const int32_t id = r.in_int32(*net, "delta net id");
            changes.push_back({*cell, id, r.int32("count change")});
        }
    }
    return changes;
}

}  // namespace

std::vector<uint8_t> encode_box_results(const BatchHeader& header, const std::vector<Box>& boxes,
                                        const std::vector<BoxOutcome>& results) {
    Writer w;
    w.bytes(kMagic);
    w.varint(kBoxResultsVersion);
    w.fixed(header.state, 8);
    w.fixed(header.params, 8);
    w.sint(header.gc);
    w.varint(boxes.size());
    for (std::size_t i = 0; i < boxes.size(); ++i) {
        const Box& b = boxes[i];
        const BoxOutcome& result = results.at(i);
        for (const int32_t v : {b.gx0, b.gy0, b.gx1, b.gy1}) w.sint(v);
        w.fixed(result.accepted ? 1 : 0, 1);
        if (!result.accepted) continue;
        w.varint(result.routes.size());
        for (const NetRoute& route : result.routes) write_route(w, route);
        write_changes(w, result.changes);
    }
    return w.finish();
}

DecodedResults decode_box_results(std::span<const uint8_t> bytes, const std::string& label) {
    Reader r(bytes, label);
    if (bytes.size() < sizeof kMagic + kChecksumBytes || !std::equal(kMagic, kMagic + sizeof kMagic, bytes.begin()))
        r.fail("not box results of this module (no \"TVBR\" at the start)");
    const auto body = bytes.first(bytes.size() - kChecksumBytes);
    Reader in(body, label);
    in.fixed(sizeof kMagic);
    const uint64_t version = in.varint();
    if (version != kBoxResultsVersion)
        in.fail("box results of format version " + std::to_string(version) + "; this module reads version " +
                std::to_string(kBoxResultsVersion));
    uint32_t stored_crc = 0;
    for (std::size_t i = 0; i < kChecksumBytes; ++i) stored_crc |= uint32_t{bytes[body.size() + i]} << (8 * i);
    if (stored_crc != crc32(body)) r.fail("checksum mismatch: the bytes are truncated or corrupted");

    DecodedResults out;
    out.header.state = in.fixed(8);
    out.header.params = in.fixed(8);
    out.header.gc = in.int32("gc");
    out.boxes.resize(in.count(5, "box"));
    for (WorkedBox& worked : out.boxes) {
        worked.box = Box{in.int32("box corner"), in.int32("box corner"), in.int32("box corner"), in.int32("box corner")};
        const uint8_t accepted = in.byte();
        if (accepted > 1) in.fail("an accepted flag of " + std::to_string(accepted));
        worked.result.accepted = accepted == 1;
        if (!worked.result.accepted) continue;
        worked.result.routes.resize(in.count(3, "route"));
        for (NetRoute& route : worked.result.routes) route = read_route(in);
        worked.result.changes = read_changes(in);
    }
    if (in.left() != 0) in.fail(std::to_string(in.left()) + " trailing bytes");
    return out;
}

std::vector<BoxOutcome> match_to_batch(const std::vector<Box>& batch, std::vector<WorkedBox> worked) {
    auto key = [](const Box& b) { return std::tuple(b.gx0, b.gy0, b.gx1, b.gy1); };
    std::vector<std::size_t> order(batch.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(batch[a]) < key(batch[b]); });
    std::stable_sort(worked.begin(), worked.end(),
                     [&](const WorkedBox& a, const WorkedBox& b) { return key(a.box) < key(b.box); });

    std::vector<BoxOutcome> out(batch.size());
    std::size_t i = 0, j = 0;
    while (i < order.size() || j < worked.size()) {
        if (j == worked.size() || (i < order.size() && key(batch[order[i]]) < key(worked[j].box)))
            throw std::invalid_argument("box " + std::to_string(order[i]) + " " + corners(batch[order[i]]) +
                                        " of the batch has no result");
        if (i == order.size() || key(worked[j].box) < key(batch[order[i]])) {
            const bool twice = j > 0 && key(worked[j - 1].box) == key(worked[j].box);
            throw std::invalid_argument(twice ? "box " + corners(worked[j].box) + " has more than one result"
                                              : "a result for box " + corners(worked[j].box) +
                                                    ", which the batch does not hold");
        }
        out[order[i++]] = std::move(worked[j++].result);
    }
    return out;
}

}  // namespace tovrana
