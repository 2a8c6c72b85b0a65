#pragma once
// A map that keeps its entries in the order their keys were first stored: the
// values live in an array, with a hash index beside it for look-up only, so
// everything that walks the map is independent of hashing.
#include <cstddef>
#include <utility>
#include <vector>

#include "grid/types.hpp"

namespace tovrana {

template <class K, class V>
class InsertionOrderedMap {
public:
    using Entries = std::vector<std::pair<K, V>>;

    V* find(const K& key) {
        const auto it = index_.find(key);
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }
    const V* find(const K& key) const {
        const auto it = index_.find(key);
        return it == index_.end() ? nullptr : &entries_[it->second].second;
    }
    // Replaces the key's value in place, or appends it when the key is new.
    void store(const K& key, V value) {
        const auto [it, fresh] = index_.try_emplace(key, entries_.size());
        if (fresh) entries_.emplace_back(key, std::move(value));
        else entries_[it->second].second = std::move(value);
    }
    const Entries& in_order() const { return entries_; }
    // The entries in order; the map is left empty.
    Entries take() {
        index_.clear();
        return std::exchange(entries_, {});
    }

private:
    Entries entries_;
    HashMap<K, std::size_t> index_;
};

}  // namespace tovrana
