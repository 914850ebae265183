#include "store/rollups.h"

#include <algorithm>
#include <map>
#include <set>
#include <unordered_map>

#include "core/days.h"
#include "ops/metrics.h"
#include "store/filter_segments.h"
#include "store/sorted_map.h"

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

using KindsByDay = SortedMap<int, Kinds>;

// What a batch adds to one device in one partition. One is filled per partition in turn and
// reused, so a batch allocates for its largest partition only.
struct DeviceAgg {
    KindsByDay days;
    std::int64_t firstMs = INT64_MAX, lastMs = INT64_MIN;
    Kinds total;
    struct Value {
        ValueKey key;
        int day = 0;
        std::int64_t reports = 0;
        bool operator<(const Value& o) const { return key < o.key || (!(o.key < key) && day < o.day); }
        bool sameRow(const Value& o) const {
            return day == o.day && key.value == o.key.value && key.dim == o.key.dim && key.sub == o.key.sub &&
                   key.chan == o.key.chan;
        }
    };
    std::vector<Value> values;  // sorted by value, then day, once `seal` ran
    static constexpr std::size_t kRecentValues = 8;  // an action report adds four

    void clear() {
        days.clear();
        firstMs = INT64_MAX;
        lastMs = INT64_MIN;
        total = {};
        values.clear();
    }
    // A device sends the same few values over and over (its events, its channel): a value that
    // one of its last reports carried is counted in place, so a busy device's batch leaves `seal`
    // few rows to sort instead of several per report.
    void add(std::int64_t chan, int dim, std::int64_t sub, std::int64_t value, int day) {
        const Value v{ValueKey{chan, dim, sub, value}, day, 1};
        const std::size_t recent = std::min<std::size_t>(values.size(), kRecentValues);
        for (std::size_t i = values.size(); i > values.size() - recent; --i)
            if (values[i - 1].sameRow(v)) {
                ++values[i - 1].reports;
                return;
            }
        values.push_back(v);
    }
    void seal() {
        std::sort(values.begin(), values.end());
        std::size_t out = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (out && values[out - 1].sameRow(values[i])) values[out - 1].reports += values[i].reports;
            else values[out++] = values[i];
        }
        values.resize(out);
    }
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

// Changes to value counters, summed per row as they come (a batch's many changes fall on few
// rows: every device active today adds to today's rows), then applied in key order.
class ValueCounters {
public:
    void add(const ValueCounterKey& k, std::int64_t delta) { sums_[k] += delta; }
    template <typename F>
    void forEachInKeyOrder(F&& f) {
        std::vector<std::pair<ValueCounterKey, std::int64_t>> rows(sums_.begin(), sums_.end());
        std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        for (const auto& [k, sum] : rows)
            if (sum) f(k, sum);
    }

private:
    struct Hash {
        std::size_t operator()(const ValueCounterKey& k) const {
            std::uint64_t h = 0;
            for (std::uint64_t v : {std::uint64_t(k.app), std::uint64_t(k.k.chan), std::uint64_t(k.k.dim),
                                    std::uint64_t(k.k.sub), std::uint64_t(k.k.value), std::uint64_t(k.day),
                                    std::uint64_t(k.prev)})
                h = (h ^ v) * 0x9E3779B97F4A7C15ull;
            return static_cast<std::size_t>(h ^ (h >> 32));
        }
    };
    std::unordered_map<ValueCounterKey, std::int64_t, Hash> sums_;
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

// The cohort of `firstDay` gains (sign +1) or loses (-1) this device in its retention counters.
void countCohort(RollupTx& tx, Counters& c, std::int64_t app, std::int64_t device, std::int64_t chan,
                 int firstDay, int sign, const KindsByDay* allDays = nullptr) {
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
    if (segments) {
        std::vector<const Report*> counted;
        std::vector<std::pair<std::int64_t, std::int64_t>> ids;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (stored[i]) {
                counted.push_back(rows[i].report);
                ids.emplace_back(rows[i].app, rows[i].device);
            }
        segments->prepare(tx, counted, ids);
    }
    // Each counted report once: its day and the ids its partitions count it under.
    struct Counted {
        int day = 0;
        ReportKind kind = ReportKind::AppEvent;
        std::int64_t arrivedMs = 0, chan = 0, first = 0, second = 0;  // name and content, or OS and version
    };
    std::vector<Counted> info;
    info.reserve(rows.size());
    // (app, device, partition, report), sorted below: a partition's reports in one run, and the
    // runs in key order, so locks are taken in one order.
    struct Entry {
        std::int64_t app, device, chan;
        std::uint32_t report;
        bool anyChannel;
        bool operator<(const Entry& o) const {
            return std::tie(app, device, chan, report) < std::tie(o.app, o.device, o.chan, o.report);
        }
    };
    std::vector<Entry> entries;
    entries.reserve(rows.size() * (segments ? 8 : 2));
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
        Counted n{span.day, r.kind, r.arrivedMs, tx.stringId(r.channel)};
        if (r.kind == ReportKind::DeviceInfo) {
            const Report*& latest = latestInventory[{app, device}];
            if (!latest || latest->arrivedMs <= r.arrivedMs) latest = &r;
            n.first = tx.stringId(r.inventory[0]);
            n.second = tx.stringId(r.inventory[2]);
        } else {
            n.first = tx.stringId(r.name);
            if (r.kind == ReportKind::Action) n.second = tx.stringId(r.content);
        }
        const auto report = static_cast<std::uint32_t>(info.size());
        entries.push_back({app, device, 0, report, true});
        entries.push_back({app, device, n.chan, report, false});
        if (segments)
            for (const auto& [chan, anyChannel] : segments->of(report)) entries.push_back({app, device, chan, report, anyChannel});
        info.push_back(n);
    }
    for (const auto& [key, r] : latestInventory) tx.saveInventory(key.first, key.second, *r);
    std::sort(entries.begin(), entries.end());

    {
        std::vector<DeviceKey> keys;
        for (const Entry& e : entries)
            if (keys.empty() || keys.back() != DeviceKey{e.app, e.device, e.chan}) keys.emplace_back(e.app, e.device, e.chan);
        tx.prefetch(keys);
    }
    Counters c;
    DeviceAgg agg;
    for (std::size_t from = 0; from < entries.size();) {
        const std::int64_t app = entries[from].app, device = entries[from].device, chan = entries[from].chan;
        agg.clear();
        std::size_t to = from;
        for (; to < entries.size() && entries[to].app == app && entries[to].device == device && entries[to].chan == chan; ++to) {
            const Counted& r = info[entries[to].report];
            const int day = r.day;
            agg.days[day].add(r.kind);
            agg.total.add(r.kind);
            agg.firstMs = std::min(agg.firstMs, r.arrivedMs);
            agg.lastMs = std::max(agg.lastMs, r.arrivedMs);
            agg.add(chan, kAnyReport, 0, 0, day);
            if (entries[to].anyChannel) agg.add(chan, channel, 0, r.chan, day);
            switch (r.kind) {
            case ReportKind::AppEvent:
                agg.add(chan, event, 0, r.first, day);
                break;
            case ReportKind::Action:
                agg.add(chan, action, 0, r.first, day);
                agg.add(chan, content, 0, r.second, day);
                agg.add(chan, content, r.first, r.second, day);
                break;
            case ReportKind::DeviceInfo:
                agg.add(chan, os, 0, r.first, day);
                agg.add(chan, osVersion, 0, r.second, day);
                break;
            }
        }
        from = to;
        agg.seal();
        const int batchFirst = agg.days.begin()->first;
        std::optional<DeviceRow> row = tx.lockDevice(app, device, chan);
        // Every row the device has in the partition lies on or before the day of its last arrival
        // there, so a later day is new to it, and so is every day of a device new to it: those
        // need no look-up of rows that cannot exist.
        const int lastDay = !row                                                     ? kNoDay
                            : row->lastMs >= span.startMs && row->lastMs < span.endMs ? span.day
                                                                                      : days.dayOf(row->lastMs);
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

        for (std::size_t v = 0; v < agg.values.size();) {
            const ValueKey& vk = agg.values[v].key;
            int newPrev = kNoDay;  // the value's previous day when it is one of this batch's new days
            for (; v < agg.values.size() && !(vk < agg.values[v].key) && !(agg.values[v].key < vk); ++v) {
                const int day = agg.values[v].day;
                const std::int64_t n = agg.values[v].reports;
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
