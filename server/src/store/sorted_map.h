// A map kept as one sorted vector, for the rollups' small per-device maps (a device's days in a
// batch, a day's values): they hold a handful of entries each and are built, copied and walked
// eight times per device and batch, where a tree's node per entry costs more than the entries.
// Inserting is linear in the size, so it is no map for thousands of entries.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <utility>
#include <vector>

namespace tallyscope::server::store {

template <class K, class V>
class SortedMap {
public:
    using key_type = K;
    using mapped_type = V;
    using value_type = std::pair<K, V>;
    using iterator = typename std::vector<value_type>::iterator;
    using const_iterator = typename std::vector<value_type>::const_iterator;

    SortedMap() = default;
    SortedMap(std::initializer_list<value_type> items) {
        for (const value_type& item : items) (*this)[item.first] = item.second;
    }

    iterator begin() { return items_.begin(); }
    iterator end() { return items_.end(); }
    const_iterator begin() const { return items_.begin(); }
    const_iterator end() const { return items_.end(); }
    std::size_t size() const { return items_.size(); }
    bool empty() const { return items_.empty(); }
    void clear() { items_.clear(); }

    iterator lower_bound(const K& k) {
        return std::lower_bound(items_.begin(), items_.end(), k, [](const value_type& a, const K& b) { return a.first < b; });
    }
    const_iterator lower_bound(const K& k) const {
        return std::lower_bound(items_.begin(), items_.end(), k, [](const value_type& a, const K& b) { return a.first < b; });
    }
    iterator upper_bound(const K& k) {
        return std::upper_bound(items_.begin(), items_.end(), k, [](const K& a, const value_type& b) { return a < b.first; });
    }
    const_iterator upper_bound(const K& k) const {
        return std::upper_bound(items_.begin(), items_.end(), k, [](const K& a, const value_type& b) { return a < b.first; });
    }
    iterator find(const K& k) {
        auto it = lower_bound(k);
        return it != items_.end() && !(k < it->first) ? it : items_.end();
    }
    const_iterator find(const K& k) const {
        auto it = lower_bound(k);
        return it != items_.end() && !(k < it->first) ? it : items_.end();
    }
    std::size_t count(const K& k) const { return find(k) != items_.end() ? 1 : 0; }

    std::pair<iterator, bool> try_emplace(const K& k) {
        // Entries mostly arrive in order (days, sorted values): check the end first.
        if (items_.empty() || items_.back().first < k) {
            items_.emplace_back(k, V());
            return {std::prev(items_.end()), true};
        }
        auto it = lower_bound(k);
        if (it != items_.end() && !(k < it->first)) return {it, false};
        return {items_.emplace(it, k, V()), true};
    }
    V& operator[](const K& k) { return try_emplace(k).first->second; }
    const V& at(const K& k) const {
        auto it = find(k);
        if (it == items_.end()) throw std::out_of_range("no such entry");
        return it->second;
    }
    iterator erase(const_iterator it) { return items_.erase(it); }
    std::size_t erase(const K& k) {
        auto it = find(k);
        if (it == items_.end()) return 0;
        items_.erase(it);
        return 1;
    }

    bool operator==(const SortedMap& o) const { return items_ == o.items_; }
    bool operator!=(const SortedMap& o) const { return items_ != o.items_; }

private:
    std::vector<value_type> items_;
};

}  // namespace tallyscope::server::store
