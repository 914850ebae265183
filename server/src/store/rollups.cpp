#include "store/rollups.h"

#include <algorithm>
#include <map>
#include <set>

#include "core/days.h"
#include "ops/metrics.h"
#include "store/filter_segments.h"

namespace tallyscope::server::store {

namespace {

constexpr int kRetentionOffsets[] = {1, 7, 30};
constexpr int kAnyReport = 0;

struct Kinds {
    std::int64_t ae = 0, ac = 0, dr = 0;
    void add(ReportKind k) {
        if (k == ReportKind::AppEvent) ++ae;
        else if (k == ReportKind::Action) ++ac;
        else ++dr;
    }
};

struct DeviceAgg {
    std::map<int, Kinds> days;
    std::int64_t firstMs = INT64_MAX, lastMs = INT64_MIN;
    Kinds total;
    std::map<ValueKey, std::map<int, std::int64_t>> values;
};

struct DailyDelta {
    std::int64_t active = 0, fresh = 0, ae = 0, ac = 0, dr = 0;
};

// A value counter's row: (app, value, day) for value_day, with the previous active day for
// value_span (0 for value_day).
struct ValueCounterKey {
    std::int64_t app = 0;
    ValueKey k;
    int day = 0, prev = 0;
    auto tied() const { return std::make_tuple(app, k.chan, k.dim, k.sub, k.value, day, prev); }
    bool operator==(const ValueCounterKey& o) const { return tied() == o.tied(); }
    bool operator<(const ValueCounterKey& o) const { return tied() < o.tied(); }
};

// Changes to value counters, appended as they come and summed per row once, in key order: far
// cheaper than a lookup per change, as every filter partition adds its own.
class ValueCounters {
public:
    void add(const ValueCounterKey& k, std::int64_t delta) { changes_.emplace_back(k, delta); }
    template <typename F>
    void forEachInKeyOrder(F&& f) {
        std::sort(changes_.begin(), changes_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (std::size_t i = 0; i < changes_.size();) {
            std::int64_t sum = 0;
            std::size_t j = i;
            for (; j < changes_.size() && changes_[j].first == changes_[i].first; ++j) sum += changes_[j].second;
            if (sum) f(changes_[i].first, sum);
            i = j;
        }
    }

private:
    std::vector<std::pair<ValueCounterKey, std::int64_t>> changes_;
};

// Every counter change of one transaction, applied at its end in key order so concurrent
// transactions take the counter rows' locks in the same order.
struct Counters {
    std::map<std::tuple<std::int64_t, std::int64_t, int>, DailyDelta> daily;
    std::map<std::tuple<std::int64_t, std::int64_t, int, int>, std::int64_t> retention;
    ValueCounters valueDay, span;

    void apply(RollupTx& tx) {
        for (const auto& [k, d] : daily)
            if (d.active || d.fresh || d.ae || d.ac || d.dr)
                tx.addDaily(std::get<0>(k), std::get<1>(k), std::get<2>(k), d.active, d.fresh, d.ae, d.ac, d.dr);
        for (const auto& [k, d] : retention)
            if (d) tx.addRetention(std::get<0>(k), std::get<1>(k), std::get<2>(k), std::get<3>(k), d);
        valueDay.forEachInKeyOrder([&](const ValueCounterKey& k, std::int64_t d) { tx.addValueDay(k.app, k.k, k.day, d); });
        span.forEachInKeyOrder([&](const ValueCounterKey& k, std::int64_t d) { tx.addSpan(k.app, k.k, k.day, k.prev, d); });
    }
};

void addValue(DeviceAgg& agg, std::int64_t chan, int dim, std::int64_t sub, std::int64_t value, int day) {
    ++agg.values[ValueKey{chan, dim, sub, value}][day];
}

// The cohort of `firstDay` gains (sign +1) or loses (-1) this device in its retention counters.
void countCohort(RollupTx& tx, Counters& c, std::int64_t app, std::int64_t device, std::int64_t chan,
                 int firstDay, int sign, const std::map<int, Kinds>* allDays = nullptr) {
    for (int n : kRetentionOffsets)
        if (allDays ? allDays->count(firstDay + n) > 0 : tx.deviceDayExists(app, device, chan, firstDay + n))
            c.retention[{app, chan, firstDay, n}] += sign;
}

}  // namespace

int dimensionCode(Dimension d) {
    switch (d) {
    case Dimension::Event: return 1;
    case Dimension::Action: return 2;
    case Dimension::Content: return 3;
    case Dimension::Channel: return 4;
    case Dimension::Os: return 5;
    case Dimension::OsVersion: return 6;
    }
    return 0;
}

AppendResult applyBatch(RollupTx& tx, const ReportingDays& days, const std::vector<Report>& reports,
                        FilterSegments* segments) {
    metrics::global().rollupBatches.fetch_add(1, std::memory_order_relaxed);
    metrics::ScopedMicros timed(metrics::global().rollupMicros);
    // (app, device, chan) -> what this batch adds; ordered, so locks are taken in one order.
    std::map<std::tuple<std::int64_t, std::int64_t, std::int64_t>, DeviceAgg> devices;
    std::map<std::pair<std::int64_t, std::int64_t>, const Report*> latestInventory;

    RollupTx::DaySpan& span = tx.lastDay;
    if (span.days != &days) span = RollupTx::DaySpan{&days};
    const int event = dimensionCode(Dimension::Event), action = dimensionCode(Dimension::Action),
              content = dimensionCode(Dimension::Content), channel = dimensionCode(Dimension::Channel),
              os = dimensionCode(Dimension::Os), osVersion = dimensionCode(Dimension::OsVersion);

    {
        std::vector<const std::string*> strings, deviceIds;
        for (const Report& r : reports) {
            for (const std::string* t : {&r.appKey, &r.channel, &r.name, &r.content, &r.inventory[0], &r.inventory[2]})
                strings.push_back(t);
            deviceIds.push_back(&r.deviceId);
        }
        tx.intern(strings, deviceIds);
    }
    // Raw rows first: the store tells which ids it already holds, and only the rest is counted.
    AppendResult result;
    std::vector<RollupTx::ReportRow> rows;
    rows.reserve(reports.size());
    {
        std::set<std::pair<std::int64_t, std::string>> idsInBatch;
        for (const Report& r : reports) {
            const std::int64_t app = tx.stringId(r.appKey);
            if (!r.reportId.empty() && !idsInBatch.emplace(app, r.reportId).second) {
                ++result.repeats;
                continue;
            }
            rows.push_back({&r, app, tx.deviceId(r.deviceId)});
        }
    }
    const std::vector<bool> stored = tx.insertReports(rows);
    std::vector<const Report*> counted;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (stored[i]) counted.push_back(rows[i].report);
    if (segments) segments->prepare(tx, counted);
    std::vector<Partition> partitions;
    std::size_t index = 0;  // into `counted`
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!stored[i]) {
            ++result.repeats;
            continue;
        }
        ++result.stored;
        const Report& r = *rows[i].report;
        const std::int64_t app = rows[i].app, device = rows[i].device;
        if (r.arrivedMs < span.startMs || r.arrivedMs >= span.endMs) {
            span.day = days.dayOf(r.arrivedMs);
            span.startMs = days.startOf(span.day);
            span.endMs = days.startOf(span.day + 1);
        }
        const int day = span.day;
        const std::int64_t chanId = tx.stringId(r.channel);
        if (r.kind == ReportKind::DeviceInfo) {
            const Report*& latest = latestInventory[{app, device}];
            if (!latest || latest->arrivedMs <= r.arrivedMs) latest = &r;
        }
        partitions.assign({Partition{0, true}, Partition{chanId, false}});
        if (segments) partitions.insert(partitions.end(), segments->of(index).begin(), segments->of(index).end());
        ++index;
        for (const auto& [chan, anyChannel] : partitions) {
            DeviceAgg& agg = devices[{app, device, chan}];
            agg.days[day].add(r.kind);
            agg.total.add(r.kind);
            agg.firstMs = std::min(agg.firstMs, r.arrivedMs);
            agg.lastMs = std::max(agg.lastMs, r.arrivedMs);
            addValue(agg, chan, kAnyReport, 0, 0, day);
            if (anyChannel) addValue(agg, chan, channel, 0, chanId, day);
            switch (r.kind) {
            case ReportKind::AppEvent:
                addValue(agg, chan, event, 0, tx.stringId(r.name), day);
                break;
            case ReportKind::Action: {
                const std::int64_t name = tx.stringId(r.name), value = tx.stringId(r.content);
                addValue(agg, chan, action, 0, name, day);
                addValue(agg, chan, content, 0, value, day);
                addValue(agg, chan, content, name, value, day);
                break;
            }
            case ReportKind::DeviceInfo:
                addValue(agg, chan, os, 0, tx.stringId(r.inventory[0]), day);
                addValue(agg, chan, osVersion, 0, tx.stringId(r.inventory[2]), day);
                break;
            }
        }
    }
    for (const auto& [key, r] : latestInventory) tx.saveInventory(key.first, key.second, *r);

    {
        std::vector<DeviceKey> keys;
        keys.reserve(devices.size());
        for (const auto& entry : devices) keys.push_back(entry.first);
        tx.prefetch(keys);
    }
    Counters c;
    for (const auto& [key, agg] : devices) {
        const auto [app, device, chan] = key;
        const int batchFirst = agg.days.begin()->first;
        std::optional<DeviceRow> row = tx.lockDevice(app, device, chan);
        // Every row the device has in the partition lies on or before the day of its last arrival
        // there, so a later day is new to it, and so is every day of a device new to it: those
        // need no look-up of rows that cannot exist.
        const int lastDay = row ? days.dayOf(row->lastMs) : kNoDay;
        DeviceRow updated;
        bool recountCohort = false;
        if (!row) {
            updated.firstDay = batchFirst;
            updated.firstMs = agg.firstMs;
            updated.lastMs = agg.lastMs;
            c.daily[{app, chan, batchFirst}].fresh += 1;
            recountCohort = true;
        } else {
            updated = *row;
            updated.firstMs = std::min(updated.firstMs, agg.firstMs);
            updated.lastMs = std::max(updated.lastMs, agg.lastMs);
            if (batchFirst < row->firstDay) {
                // Reports older than any seen before (an import of older data): the device
                // moves to an earlier cohort.
                c.daily[{app, chan, row->firstDay}].fresh -= 1;
                countCohort(tx, c, app, device, chan, row->firstDay, -1);
                c.daily[{app, chan, batchFirst}].fresh += 1;
                updated.firstDay = batchFirst;
                recountCohort = true;
            }
        }
        updated.appEvents += agg.total.ae;
        updated.actions += agg.total.ac;
        updated.deviceReports += agg.total.dr;
        tx.saveDevice(app, device, chan, updated);

        for (const auto& [day, k] : agg.days) {
            DailyDelta& d = c.daily[{app, chan, day}];
            d.ae += k.ae;
            d.ac += k.ac;
            d.dr += k.dr;
            bool fresh = day > lastDay;
            if (fresh) tx.insertDeviceDay(app, device, chan, day, k.ae, k.ac, k.dr);
            else fresh = tx.addDeviceDay(app, device, chan, day, k.ae, k.ac, k.dr);
            if (fresh) {
                d.active += 1;
                if (!recountCohort)
                    for (int n : kRetentionOffsets)
                        if (day - updated.firstDay == n) c.retention[{app, chan, updated.firstDay, n}] += 1;
            }
        }
        if (recountCohort) countCohort(tx, c, app, device, chan, updated.firstDay, +1, row ? nullptr : &agg.days);

        for (const auto& [vk, perDay] : agg.values) {
            int newPrev = kNoDay;  // the value's previous day when it is one of this batch's new days
            for (const auto& [day, n] : perDay) {
                if (vk.dim != kAnyReport) c.valueDay.add({app, vk, day, 0}, n);
                if (day > lastDay) {
                    const int prev = newPrev != kNoDay ? newPrev : row ? tx.valueDayBefore(app, device, vk, day) : kNoDay;
                    tx.insertValueDeviceDay(app, device, vk, day, prev, n);
                    c.span.add({app, vk, day, prev}, 1);
                    newPrev = day;
                    continue;
                }
                if (tx.addValueDeviceDay(app, device, vk, day, n)) continue;
                int prev = kNoDay, next = kNoDay;
                if (auto around = tx.valueDaysAround(app, device, vk, day)) std::tie(prev, next) = *around;
                tx.insertValueDeviceDay(app, device, vk, day, prev, n);
                c.span.add({app, vk, day, prev}, 1);
                if (next != kNoDay) {
                    // A day inserted before a later one: the later day's previous day is now this one.
                    tx.setPrevDay(app, device, vk, next, day);
                    c.span.add({app, vk, next, prev}, -1);
                    c.span.add({app, vk, next, day}, 1);
                }
            }
        }
    }
    c.apply(tx);
    tx.flush();
    return result;
}

bool eraseDevice(RollupTx& tx, const std::string& appKey, const std::string& deviceId,
                 FilterSegments* segments) {
    const auto app = tx.findString(appKey);
    const auto device = tx.findDevice(deviceId);
    if (!app || !device) return false;
    const auto rows = tx.lockDeviceRows(*app, *device);
    if (rows.empty()) return false;
    {
        std::vector<DeviceKey> keys;
        for (const auto& entry : rows) keys.emplace_back(*app, *device, entry.first);
        tx.prefetch(keys);
    }
    Counters c;
    for (const auto& [chan, row] : rows) {
        c.daily[{*app, chan, row.firstDay}].fresh -= 1;
        countCohort(tx, c, *app, *device, chan, row.firstDay, -1);
    }
    for (const DeviceDayRow& d : tx.deviceDays(*app, *device)) {
        DailyDelta& dd = c.daily[{*app, d.chan, d.day}];
        dd.active -= 1;
        dd.ae -= d.appEvents;
        dd.ac -= d.actions;
        dd.dr -= d.deviceReports;
    }
    for (const ValueDeviceDay& v : tx.valueDeviceDays(*app, *device)) {
        if (v.key.dim != kAnyReport) c.valueDay.add({*app, v.key, v.day, 0}, -v.reports);
        c.span.add({*app, v.key, v.day, v.prevDay}, -1);
    }
    tx.deleteDevice(*app, *device);
    if (segments) segments->erase(*app, *device);
    c.apply(tx);
    tx.flush();
    return true;
}

}  // namespace tallyscope::server::store
