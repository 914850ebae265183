#include "store/filter_segments.h"

#include <algorithm>

namespace tallyscope::server::store {

std::int64_t FilterSegments::segment(std::int64_t app, std::int64_t chan, std::int64_t os, std::int64_t osver) {
    const auto key = std::make_tuple(app, chan, os, osver);
    if (auto it = segments_.find(key); it != segments_.end()) return it->second;
    if (auto it = pending_.find(key); it != pending_.end()) return it->second;
    const std::vector<Param> params{app, chan, os, osver};
    std::int64_t id = 0;
    auto read = [&](const Row& r) {
        id = r.i64(0);
        return false;
    };
    const std::string find = "SELECT id FROM filter_segments WHERE app = ? AND chan = ? AND os = ? AND osver = ?";
    sql_.query(find, params, read);
    if (id == 0) {
        sql_.run("INSERT INTO filter_segments (app, chan, os, osver) VALUES (?, ?, ?, ?)"
                 " ON CONFLICT (app, chan, os, osver) DO NOTHING",
                 params);
        sql_.query(find, params, read);
        if (id == 0) throw StoreError("a filter segment could not be created");
    }
    pending_.emplace(key, id);
    return id;
}

void FilterSegments::committed() {
    if (segments_.size() + pending_.size() > 100000) segments_.clear();
    segments_.merge(pending_);
    pending_.clear();
}

void FilterSegments::prepare(RollupTx& tx, const std::vector<const Report*>& reports,
                             const std::vector<std::pair<std::int64_t, std::int64_t>>& ids) {
    parts_.resize(reports.size());
    pending_.clear();  // ids of a batch that rolled back must not outlive it
    // Each device's reports in arrival order, so a device-information report sets the OS of the
    // reports after it within the batch as well.
    struct Ordered {
        std::int64_t app, device, arrivedMs;
        std::size_t index;
        bool operator<(const Ordered& o) const {
            return std::tie(app, device, arrivedMs, index) < std::tie(o.app, o.device, o.arrivedMs, o.index);
        }
    };
    std::vector<Ordered> order;
    order.reserve(reports.size());
    for (std::size_t i = 0; i < reports.size(); ++i)
        order.push_back({ids[i].first, ids[i].second, reports[i]->arrivedMs, i});
    std::sort(order.begin(), order.end());
    const std::int64_t none = tx.stringId("");

    // The OS histories of the batch's devices; with keepHistories_ only those not yet in memory
    // are read, and the batch's own changes below keep the ones in memory current.
    if (!keepHistories_ || histories_.size() > 100000) histories_.clear();
    {
        std::vector<std::pair<std::int64_t, std::int64_t>> unknown;
        for (std::size_t at = 0; at < order.size(); ++at) {
            const std::pair<std::int64_t, std::int64_t> key{order[at].app, order[at].device};
            const bool first = at == 0 || order[at - 1].app != key.first || order[at - 1].device != key.second;
            if (first && !histories_.count(key)) unknown.push_back(key);
        }
        readHistories(unknown, histories_);
    }
    Histories& histories = histories_;

    // The OS changes the batch brings, the last one per moment kept, written together below.
    std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::pair<std::int64_t, std::int64_t>> changes;
    std::tuple<std::int64_t, std::int64_t, std::int64_t, std::int64_t> lastKey;
    std::array<Partition, kPartitions> lastParts;
    bool haveLast = false;
    std::vector<OsPoint>* history = nullptr;
    for (std::size_t at = 0; at < order.size(); ++at) {
        const std::int64_t app = order[at].app, device = order[at].device;
        if (at == 0 || app != order[at - 1].app || device != order[at - 1].device) history = &histories[{app, device}];
        {
            const std::size_t i = order[at].index;
            const Report& r = *reports[i];
            // The latest point at or before the report.
            auto after = std::upper_bound(history->begin(), history->end(), r.arrivedMs,
                                          [](std::int64_t ms, const OsPoint& p) { return ms < p.fromMs; });
            std::int64_t os = none, osver = none;
            if (after != history->begin()) {
                os = std::prev(after)->os;
                osver = std::prev(after)->osver;
            }
            if (r.kind == ReportKind::DeviceInfo) {
                const std::int64_t newOs = tx.stringId(r.inventory[0]), newVer = tx.stringId(r.inventory[2]);
                if (newOs != os || newVer != osver) {
                    changes[{app, device, r.arrivedMs}] = {newOs, newVer};
                    if (after != history->begin() && std::prev(after)->fromMs == r.arrivedMs)
                        *std::prev(after) = {r.arrivedMs, newOs, newVer};
                    else
                        history->insert(after, {r.arrivedMs, newOs, newVer});
                }
                os = newOs;
                osver = newVer;
            }
            // The batch's reports mostly share channel and OS: their segments are looked up once.
            const std::int64_t chan = tx.stringId(r.channel);
            const auto key = std::make_tuple(app, chan, os, osver);
            if (!haveLast || key != lastKey) {
                std::size_t p = 0;
                for (std::int64_t c : {std::int64_t{0}, chan}) {
                    lastParts[p++] = {-segment(app, c, os, 0), c == 0};
                    lastParts[p++] = {-segment(app, c, 0, osver), c == 0};
                    lastParts[p++] = {-segment(app, c, os, osver), c == 0};
                }
                lastKey = key;
                haveLast = true;
            }
            parts_[i] = lastParts;
        }
    }
    writeChanges(changes);
}

void FilterSegments::readHistories(const std::vector<std::pair<std::int64_t, std::int64_t>>& devices, Histories& into) {
    // A slice of one key's devices per statement, the slice the smallest of a few sizes that holds
    // what is left (the last id repeated to fill it), so few statements are prepared and a batch
    // from one device does not pay for 64 places.
    constexpr std::size_t kSlices[] = {64, 16, 4, 1};
    static const auto texts = [&] {
        std::map<std::size_t, std::string> out;
        for (std::size_t n : kSlices) {
            std::string sql = "SELECT device, from_ms, os, osver FROM device_os WHERE app = ? AND device IN (?";
            for (std::size_t i = 1; i < n; ++i) sql += ", ?";
            out[n] = sql + ") ORDER BY device, from_ms";
        }
        return out;
    }();
    auto it = devices.begin();
    while (it != devices.end()) {
        const std::int64_t app = it->first;
        auto end = it;
        while (end != devices.end() && end->first == app && static_cast<std::size_t>(end - it) < kSlices[0]) ++end;
        const auto count = static_cast<std::size_t>(end - it);
        std::size_t slice = kSlices[0];
        for (std::size_t n : kSlices)
            if (n >= count) slice = n;
        std::vector<Param> params{app};
        for (; it != end; ++it) {
            params.emplace_back(it->second);
            into[*it];  // a device without points has an empty history, known all the same
        }
        while (params.size() <= slice) params.push_back(params.back());
        sql_.query(texts.at(slice), params, [&](const Row& r) {
            into[{app, r.i64(0)}].push_back({r.i64(1), r.i64(2), r.i64(3)});
            return true;
        });
    }
}

void FilterSegments::writeChanges(
    const std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, std::pair<std::int64_t, std::int64_t>>& changes) {
    // Up to kRows points per statement: one statement text per row count, so few are prepared.
    constexpr std::size_t kRows = 64;
    auto it = changes.begin();
    while (it != changes.end()) {
        std::vector<Param> params;
        std::string sql = "INSERT INTO device_os (app, device, from_ms, os, osver) VALUES ";
        for (std::size_t n = 0; n < kRows && it != changes.end(); ++n, ++it) {
            sql += n ? ", (?, ?, ?, ?, ?)" : "(?, ?, ?, ?, ?)";
            const auto& [app, device, fromMs] = it->first;
            params.insert(params.end(), {Param{app}, Param{device}, Param{fromMs}, Param{it->second.first},
                                         Param{it->second.second}});
        }
        sql_.run(sql + " ON CONFLICT (app, device, from_ms) DO UPDATE SET os = excluded.os, osver = excluded.osver",
                 params);
    }
}

void FilterSegments::erase(std::int64_t app, std::int64_t device) {
    histories_.erase({app, device});
    sql_.run("DELETE FROM device_os WHERE app = ? AND device = ?", {app, device});
}

}  // namespace tallyscope::server::store
