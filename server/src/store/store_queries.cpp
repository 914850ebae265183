#include "store/store_queries.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "core/days.h"
#include "core/report_id.h"
#include "store/report_packing.h"
#include "store/rollups.h"

namespace tallyscope::server::store {

namespace {

enum class Statements { One, Several };

// Holds a reader connection for the length of an answer, inside one read-only transaction when
// the answer takes several statements. Id look-ups may run before and outside it: the ids they
// find never change, and one not found yet is an answer as of that earlier moment.
class Snapshot {
public:
    explicit Snapshot(std::unique_ptr<QuerySource> src, Statements n = Statements::Several)
        : src_(std::move(src)), open_(n == Statements::Several) {
        if (open_) src_->begin();
    }
    ~Snapshot() {
        if (open_) src_->end();
    }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    QuerySource* operator->() { return src_.get(); }
    QuerySource& operator*() { return *src_; }

private:
    std::unique_ptr<QuerySource> src_;
    bool open_;
};

std::optional<std::int64_t> single(QuerySource& src, const std::string& sql, const std::vector<Param>& params) {
    std::optional<std::int64_t> out;
    src.query(sql, params, [&](const Row& r) {
        if (!r.isNull(0)) out = r.i64(0);
        return false;
    });
    return out;
}

}  // namespace

// Interned texts are looked up through the same index their uniqueness is kept by.
static std::optional<std::int64_t> stringIdOf(Dialect d, QuerySource& src, const std::string& text) {
    return single(src,
                  d == Dialect::Postgres ? "SELECT id FROM strings WHERE md5(value) = md5(?) AND value = ?"
                                         : "SELECT id FROM strings WHERE value = ? AND value = ?",
                  {text, text});
}

std::optional<std::int64_t> QueryStore::stringId(QuerySource& src, const std::string& text) {
    {
        std::lock_guard<std::mutex> lock(idsMutex_);
        if (auto it = stringIds_.find(text); it != stringIds_.end()) return it->second;
    }
    auto id = stringIdOf(dialect_, src, text);
    if (id) {
        std::lock_guard<std::mutex> lock(idsMutex_);
        if (stringIds_.size() >= kIdsKept) stringIds_.clear();
        stringIds_.emplace(text, *id);
    }
    return id;
}

std::map<std::int64_t, std::string> QueryStore::textsOf(QuerySource& src, const std::vector<std::int64_t>& ids) {
    std::map<std::int64_t, std::string> out;
    std::vector<std::int64_t> missing;
    {
        std::lock_guard<std::mutex> lock(idsMutex_);
        for (std::int64_t id : ids) {
            if (auto it = texts_.find(id); it != texts_.end()) out.emplace(id, it->second);
            else missing.push_back(id);
        }
    }
    // In slices of a fixed size, so there are few statement texts to keep prepared.
    constexpr std::size_t kSlice = 32;
    for (std::size_t at = 0; at < missing.size(); at += kSlice) {
        std::string sql = "SELECT id, value FROM strings WHERE id IN (?";
        std::vector<Param> params{missing[at]};
        for (std::size_t i = 1; i < kSlice; ++i) {
            sql += ",?";
            params.emplace_back(missing[std::min(at + i, missing.size() - 1)]);
        }
        sql += ")";
        src.query(sql, params, [&](const Row& r) {
            out.emplace(r.i64(0), r.text(1));
            return true;
        });
    }
    std::lock_guard<std::mutex> lock(idsMutex_);
    if (texts_.size() + missing.size() >= kIdsKept) texts_.clear();
    for (std::int64_t id : missing)
        if (auto it = out.find(id); it != out.end()) texts_.emplace(id, it->second);
    return out;
}

void QueryStore::forgetIds() {
    std::lock_guard<std::mutex> lock(idsMutex_);
    stringIds_.clear();
    segmentIds_.clear();
    texts_.clear();
}

// The rollup partition holding the figures of the reports the filters pass: 0 (every report), a
// channel's id, or a filter segment's negated id; nothing when no report can pass.
std::optional<std::int64_t> QueryStore::partitionOf(QuerySource& src, std::int64_t app, const Filters& f) {
    std::int64_t ids[3] = {0, 0, 0};
    const std::optional<std::string>* given[3] = {&f.channel, &f.os, &f.osversion};
    for (int i = 0; i < 3; ++i) {
        if (!*given[i]) continue;
        auto id = stringId(src, **given[i]);
        if (!id) return std::nullopt;
        ids[i] = *id;
    }
    if (!f.byOs()) return ids[0];
    const auto key = std::make_tuple(app, ids[0], ids[1], ids[2]);
    {
        std::lock_guard<std::mutex> lock(idsMutex_);
        if (auto it = segmentIds_.find(key); it != segmentIds_.end()) return -it->second;
    }
    auto segment = single(src, "SELECT id FROM filter_segments WHERE app = ? AND chan = ? AND os = ? AND osver = ?",
                          {app, ids[0], ids[1], ids[2]});
    if (!segment) return std::nullopt;
    std::lock_guard<std::mutex> lock(idsMutex_);
    if (segmentIds_.size() >= kIdsKept) segmentIds_.clear();
    segmentIds_.emplace(key, *segment);
    return -*segment;
}

std::vector<Rejected> QueryStore::rejects(int limit) {
    Snapshot s(borrow(), Statements::One);
    std::vector<Rejected> out;
    s->query("SELECT arrived_ms, reason, body FROM rejects ORDER BY id DESC LIMIT ?", {std::int64_t{limit}},
             [&](const Row& r) {
                 out.push_back({r.i64(0), r.text(1), r.text(2)});
                 return true;
             });
    return out;
}

std::vector<AppSummary> QueryStore::apps() {
    Snapshot s(borrow(), Statements::One);
    std::vector<AppSummary> out;
    // PostgreSQL finds the keys by skipping through the daily rows' index one key at a time (the
    // rows of every other partition are never read), sums each key's own rows, then looks up
    // each key's text (a join is planned as a walk over every text); SQLite walks the texts in order through their index and finds each key's rows.
    s->query(dialect_ == Dialect::Postgres
                 ? "WITH RECURSIVE k(app) AS (SELECT MIN(app) FROM daily UNION ALL"
                   " SELECT (SELECT MIN(d.app) FROM daily d WHERE d.app > k.app) FROM k WHERE k.app IS NOT NULL)"
                   " SELECT * FROM (SELECT (SELECT s.value FROM strings s WHERE s.id = k.app) AS value, t.devices,"
                   " t.reports, t.first, t.last FROM k CROSS JOIN LATERAL (SELECT SUM(new_devices) AS devices,"
                   " SUM(app_events + actions + device_reports) AS reports, MIN(day) AS first, MAX(day) AS last"
                   " FROM daily WHERE app = k.app AND chan = 0 AND active > 0) t WHERE t.first IS NOT NULL) a"
                   " ORDER BY a.value COLLATE \"C\""
                 : "SELECT s.value, SUM(d.new_devices), SUM(d.app_events + d.actions + d.device_reports),"
                   " MIN(d.day), MAX(d.day) FROM daily d JOIN strings s ON s.id = d.app"
                   " WHERE d.chan = 0 AND d.active > 0 GROUP BY s.value ORDER BY s.value",
             {}, [&](const Row& r) {
                 out.push_back({r.text(0), r.i64(1), r.i64(2), static_cast<int>(r.i64(3)), static_cast<int>(r.i64(4))});
                 return true;
             });
    return out;
}

bool QueryStore::hasApp(const std::string& appKey) {
    auto shown = [&](std::unique_ptr<QuerySource> source) {
        Snapshot s(std::move(source), Statements::One);
        auto app = stringId(*s, appKey);
        return app && single(*s, "SELECT 1 FROM daily WHERE app = ? AND chan = 0 AND active > 0 LIMIT 1", {*app});
    };
    // Reports waiting to be counted can only add an app, so they are counted (a settle under
    // ingest; on PostgreSQL also a round trip to ask whether any wait) only when it is not found.
    return shown(borrowAsCounted()) || shown(borrow());
}

std::vector<DayFigures> QueryStore::daily(const std::string& appKey, int fromDay, int toDay,
                                          const std::optional<std::string>& channel) {
    return daily(appKey, fromDay, toDay, Filters{channel, std::nullopt, std::nullopt});
}

std::vector<DayFigures> QueryStore::daily(const std::string& appKey, int fromDay, int toDay, const Filters& filters) {
    std::vector<DayFigures> out;
    for (int d = fromDay; d <= toDay; ++d) out.push_back(DayFigures{d});
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, appKey);
    if (!app) return out;
    auto chan = partitionOf(*s, *app, filters);
    if (!chan) return out;
    s->query("SELECT day, active, new_devices, app_events, actions, device_reports FROM daily"
             " WHERE app = ? AND chan = ? AND day BETWEEN ? AND ?",
             {*app, *chan, std::int64_t{fromDay}, std::int64_t{toDay}}, [&](const Row& r) {
                 DayFigures& f = out[static_cast<std::size_t>(r.i64(0) - fromDay)];
                 f.activeDevices = r.i64(1);
                 f.newDevices = r.i64(2);
                 f.appEvents = r.i64(3);
                 f.actions = r.i64(4);
                 f.deviceReports = r.i64(5);
                 return true;
             });
    return out;
}

std::int64_t QueryStore::activeDevices(const std::string& appKey, int fromDay, int toDay,
                                       const std::optional<std::string>& channel) {
    return activeDevices(appKey, fromDay, toDay, Filters{channel, std::nullopt, std::nullopt});
}

std::int64_t QueryStore::activeDevices(const std::string& appKey, int fromDay, int toDay, const Filters& filters) {
    if (fromDay > toDay) return 0;
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, appKey);
    if (!app) return 0;
    auto chan = partitionOf(*s, *app, filters);
    if (!chan) return 0;
    // Dimension 0, value 0 spans every report: each device counts once, on its first day in range.
    return single(*s,
                  "SELECT SUM(devices) FROM value_span WHERE app = ? AND chan = ? AND dim = 0 AND sub = 0"
                  " AND value = 0 AND day BETWEEN ? AND ? AND prev_day < ?",
                  {*app, *chan, std::int64_t{fromDay}, std::int64_t{toDay}, std::int64_t{fromDay}})
        .value_or(0);
}

std::vector<TopRow> QueryStore::top(const TopQuery& q) {
    std::vector<TopRow> out;
    if (q.limit <= 0 || q.fromDay > q.toDay) return out;
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, q.appKey);
    if (!app) return out;
    // Channel values are kept in partitions over every channel only; a channel's own channel
    // ranking is its row there.
    Filters filters{q.channel, q.os, q.osversion};
    std::optional<std::int64_t> onlyValue;
    if (q.channel && q.dimension == Dimension::Channel) {
        onlyValue = stringId(*s, *q.channel);
        if (!onlyValue) return out;
        filters.channel.reset();
    }
    auto chan = partitionOf(*s, *app, filters);
    if (!chan) return out;
    std::int64_t sub = 0;
    if (q.dimension == Dimension::Content && q.action) {
        auto a = stringId(*s, *q.action);
        if (!a) return out;
        sub = *a;
    }
    const std::int64_t dim = dimensionCode(q.dimension);
    const std::int64_t from = q.fromDay, to = q.toDay;

    std::string sql;
    std::vector<Param> params;
    if (dialect_ == Dialect::Postgres && sub != 0) {
        // PostgreSQL keeps no day counts for the contents of one action (nearly every such
        // value has one span a day, so they would repeat the spans), but its spans carry their
        // reports and lie in value order under the key: one pass over them sums each value's
        // reports and counts its devices (each device once, on its first day in range).
        sql = "SELECT t.value, s.value, t.r, t.d FROM (SELECT value, SUM(reports) AS r,"
              " SUM(CASE WHEN prev_day < ? THEN devices ELSE 0 END) AS d FROM value_span"
              " WHERE app = ? AND chan = ? AND dim = ? AND sub = ? AND day BETWEEN ? AND ?";
        params = {from, *app, *chan, dim, sub, from, to};
        if (onlyValue) {
            sql += " AND value = ?";
            params.emplace_back(*onlyValue);
        }
        sql += " GROUP BY value HAVING SUM(reports) > 0) t JOIN strings s ON s.id = t.value"
               " ORDER BY t.r DESC, s.value COLLATE \"C\" LIMIT ?";
        params.emplace_back(std::int64_t{q.limit});
    } else {
        // Reports per value from the daily value counts pick the rows (summed before the texts
        // are joined, so only the picked values' texts are read); the distinct devices are then
        // counted for those values only, in the same statement. Ties go by the texts' bytes on
        // both backends (PostgreSQL's default collation follows the locale).
        const std::string byBytes = dialect_ == Dialect::Postgres ? " COLLATE \"C\"" : "";
        sql = "WITH picked AS (SELECT t.value AS id, s.value AS text, t.r AS r FROM"
              " (SELECT value, SUM(reports) AS r FROM value_day"
              " WHERE app = ? AND chan = ? AND dim = ? AND sub = ? AND day BETWEEN ? AND ?";
        params = {*app, *chan, dim, sub, from, to};
        if (onlyValue) {
            sql += " AND value = ?";
            params.emplace_back(*onlyValue);
        }
        sql += " GROUP BY value HAVING SUM(reports) > 0) t JOIN strings s ON s.id = t.value"
               " ORDER BY t.r DESC, s.value" + byBytes + " LIMIT ?)"
               " SELECT p.id, p.text, p.r, (SELECT SUM(devices) FROM value_span WHERE app = ? AND chan = ? AND dim = ?"
               " AND sub = ? AND value = p.id AND day BETWEEN ? AND ? AND prev_day < ?)"
               " FROM picked p ORDER BY p.r DESC, p.text" + byBytes;
        params.insert(params.end(), {Param{std::int64_t{q.limit}}, Param{*app}, Param{*chan}, Param{dim}, Param{sub},
                                     Param{from}, Param{to}, Param{from}});
    }
    s->query(sql, params, [&](const Row& r) {
        out.push_back({r.text(1), r.i64(2), r.isNull(3) ? 0 : r.i64(3)});
        return true;
    });
    return out;
}

std::vector<Cohort> QueryStore::retention(const std::string& appKey, int fromDay, int toDay, int today,
                                          const std::optional<std::string>& channel) {
    return retention(appKey, fromDay, toDay, today, Filters{channel, std::nullopt, std::nullopt});
}

std::vector<Cohort> QueryStore::retention(const std::string& appKey, int fromDay, int toDay, int today,
                                          const Filters& filters) {
    std::vector<Cohort> out;
    for (int d = fromDay; d <= toDay; ++d) {
        out.emplace_back();
        out.back().day = d;
    }
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, appKey);
    std::optional<std::int64_t> chan;
    if (app) chan = partitionOf(*s, *app, filters);
    std::map<std::pair<int, int>, std::int64_t> kept;
    if (app && chan) {
        // The cohorts' sizes (n = 0) and their returns, in one statement.
        const std::int64_t from = fromDay, to = toDay;
        s->query("SELECT day, 0, new_devices FROM daily WHERE app = ? AND chan = ? AND day BETWEEN ? AND ?"
                 " UNION ALL SELECT day, n, devices FROM retention WHERE app = ? AND chan = ? AND day BETWEEN ? AND ?",
                 {*app, *chan, from, to, *app, *chan, from, to}, [&](const Row& r) {
                     const int n = static_cast<int>(r.i64(1));
                     if (n == 0) out[static_cast<std::size_t>(r.i64(0) - fromDay)].newDevices = r.i64(2);
                     else kept[{static_cast<int>(r.i64(0)), n}] = r.i64(2);
                     return true;
                 });
    }
    for (Cohort& c : out) {
        if (c.newDevices <= 0) continue;
        auto share = [&](int n) -> std::optional<double> {
            if (c.day + n >= today) return std::nullopt;  // that day has not come yet
            auto it = kept.find({c.day, n});
            return static_cast<double>(it == kept.end() ? 0 : it->second) / static_cast<double>(c.newDevices);
        };
        c.d1 = share(1);
        c.d7 = share(7);
        c.d30 = share(30);
    }
    return out;
}

std::optional<DeviceSummary> QueryStore::device(const std::string& appKey, const std::string& deviceId) {
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, appKey);
    if (!app) return std::nullopt;
    // A device's id is not kept: an erasure removes it, and a later report makes a new one. So
    // it is looked up in the statement that reads the device's figures and inventory.
    std::optional<DeviceSummary> out;
    // A device's day is one row for every partition.
    s->query(std::string("SELECT a.first_ms, a.last_ms, a.app_events, a.actions, a.device_reports,"
                         " (SELECT COUNT(*) FROM device_days y WHERE y.app = a.app AND y.device = a.device),") +
                 " CASE WHEN i.device IS NULL THEN 0 ELSE 1 END, i.pcosname, i.mac, i.pcosversion, i.pcname, i.pcusername, i.windowssid,"
                         " i.pccpuid, i.harddiskid, i.mainboardcode"
                         " FROM devices d JOIN app_device a ON a.app = ? AND a.device = d.id AND a.chan = 0"
                         " LEFT JOIN inventory i ON i.app = a.app AND i.device = a.device WHERE " +
                 (dialect_ == Dialect::Postgres ? "md5(d.deviceid) = md5(?) AND d.deviceid = ?"
                                                : "d.deviceid = ? AND d.deviceid = ?"),
             {*app, deviceId, deviceId}, [&](const Row& r) {
                 out = DeviceSummary{deviceId, r.i64(0), r.i64(1), r.i64(2), r.i64(3), r.i64(4), std::nullopt};
                 out->daysActive = r.i64(5);
                 if (r.i64(6)) {
                     std::array<std::string, 9> inv;
                     for (int i = 0; i < 9; ++i) inv[static_cast<std::size_t>(i)] = r.text(7 + i);
                     out->inventory = inv;
                 }
                 return false;
             });
    return out;
}

Breakdown QueryStore::breakdown(const BreakdownQuery& q) {
    Breakdown out;
    if (q.limit < 0 || q.fromDay > q.toDay) return out;
    const std::size_t length = static_cast<std::size_t>(q.toDay - q.fromDay + 1);
    out.other.assign(length, {});
    const std::int64_t from = q.fromDay, to = q.toDay;
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, q.appKey);
    if (!app) return out;

    // Every value's per-day figures, keyed by the value's id (event, action) or partition, and
    // its distinct devices over the whole range.
    struct Value {
        std::int64_t textId = 0;
        std::vector<BreakdownDay> days;
        std::int64_t reports = 0, devices = 0;
    };
    std::map<std::int64_t, Value> values;
    auto at = [&](std::int64_t key, std::int64_t textId) -> Value& {
        Value& v = values[key];
        if (v.days.empty()) {
            v.textId = textId;
            v.days.assign(length, {});
        }
        return v;
    };
    std::map<std::int64_t, std::int64_t> distinct;
    const bool byName = q.dimension == Dimension::Event || q.dimension == Dimension::Action;
    const std::int64_t dim = dimensionCode(q.dimension);
    // One statement, so no transaction. Texts are joined afterwards, for the values shown only.
    enum : std::int64_t { kReports = 0, kDevices = 1, kDistinct = 2, kBoth = 3 };
    if (byName) {
        auto part = partitionOf(*s, *app, q.filters);
        if (!part) return out;
        std::vector<std::tuple<std::int64_t, std::size_t, std::int64_t>> devices;
        // Rows of (what, value, day, reports, devices, devices new in the range). A value has one
        // value_day row a day (sub 0): nothing to sum there. PostgreSQL's spans carry the value's
        // reports as well, so there one pass over them gives a row of both kinds (kBoth) per
        // value and day: half the rows to send and convert, which is most of this answer's time.
        const std::string sql =
            dialect_ == Dialect::Postgres
                ? "SELECT 3, value, day, SUM(reports), SUM(devices), SUM(CASE WHEN prev_day < ? THEN devices ELSE 0 END)"
                  " FROM value_span WHERE app = ? AND chan = ? AND dim = ? AND sub = 0 AND day BETWEEN ? AND ?"
                  " GROUP BY value, day"
                : "SELECT 0, value, day, reports, 0, 0 FROM value_day"
                  " WHERE app = ? AND chan = ? AND dim = ? AND sub = 0 AND day BETWEEN ? AND ?"
                  " UNION ALL SELECT 1, value, day, 0, SUM(devices), SUM(CASE WHEN prev_day < ? THEN devices ELSE 0 END)"
                  " FROM value_span WHERE app = ? AND chan = ? AND dim = ? AND sub = 0 AND day BETWEEN ? AND ?"
                  " GROUP BY value, day";
        const std::vector<Param> params =
            dialect_ == Dialect::Postgres
                ? std::vector<Param>{from, *app, *part, dim, from, to}
                : std::vector<Param>{*app, *part, dim, from, to, from, *app, *part, dim, from, to};
        s->query(sql, params, [&](const Row& r) {
                     const std::int64_t what = r.i64(0), value = r.i64(1);
                     const std::size_t day = static_cast<std::size_t>(r.i64(2) - from);
                     if (what != kDevices) {
                         Value& v = at(value, value);
                         v.days[day].reports = r.i64(3);
                         v.reports += r.i64(3);
                     }
                     if (what != kReports) {
                         devices.emplace_back(value, day, r.i64(4));
                         distinct[value] += r.i64(5);
                     }
                     return true;
                 });
        // The two halves' rows may come in any order; devices count for values with reports.
        for (const auto& [value, day, n] : devices)
            if (auto it = values.find(value); it != values.end()) it->second.days[day].devices = n;
    } else if (q.dimension == Dimension::Channel || q.dimension == Dimension::Os ||
               q.dimension == Dimension::OsVersion) {
        // A value's figures are those of the partition the filters and that value pick.
        std::int64_t fixed[3] = {0, 0, 0};
        const std::optional<std::string>* given[3] = {&q.filters.channel, &q.filters.os, &q.filters.osversion};
        for (int i = 0; i < 3; ++i) {
            if (!*given[i]) continue;
            auto id = stringId(*s, **given[i]);
            if (!id) return out;
            fixed[i] = *id;
        }
        const int varying = q.dimension == Dimension::Channel ? 0 : q.dimension == Dimension::Os ? 1 : 2;
        static const char* const columns[3] = {"chan", "os", "osver"};
        // The partitions in question, as (partition, text id) rows, and those partitions' days.
        // A channel's partition is its text id, so its days are read from the daily rows alone:
        // joined to a list of channels, PostgreSQL guesses the list long and scans every day of
        // every partition.
        std::string parts, days;
        std::vector<Param> partParams, dayParams{*app, from, to};
        if (varying == 0 && !q.filters.byOs()) {
            parts = "SELECT DISTINCT chan AS part FROM daily WHERE app = ? AND chan > 0 AND day BETWEEN ? AND ?";
            days = "SELECT 0, chan, chan, day, active, app_events + actions + device_reports FROM daily"
                   " WHERE app = ? AND chan > 0 AND day BETWEEN ? AND ?";
            partParams = {*app, from, to};
            if (fixed[0]) {
                parts += " AND chan = ?";
                days += " AND chan = ?";
                partParams.emplace_back(fixed[0]);
                dayParams.emplace_back(fixed[0]);
            }
        } else {
            parts = std::string("SELECT -id AS part, ") + columns[varying] + " AS text FROM filter_segments WHERE app = ?";
            days = "SELECT 0, d.chan, p.text, d.day, d.active, d.app_events + d.actions + d.device_reports"
                   " FROM parts p JOIN daily d ON d.app = ? AND d.chan = p.part AND d.day BETWEEN ? AND ?";
            partParams = {*app};
            for (int i = 0; i < 3; ++i) {
                if (i == varying) {
                    parts += std::string(" AND ") + columns[i] + (fixed[i] ? " = ?" : " <> 0");
                    if (fixed[i]) partParams.emplace_back(fixed[i]);
                } else {
                    parts += std::string(" AND ") + columns[i] + " = ?";
                    partParams.emplace_back(fixed[i]);
                }
            }
        }
        std::vector<Param> params = partParams;
        params.insert(params.end(), dayParams.begin(), dayParams.end());
        params.insert(params.end(), {Param{*app}, Param{from}, Param{to}, Param{from}});
        s->query("WITH parts AS (" + parts + ") " + days +
                 " UNION ALL SELECT 2, v.chan, 0, 0, SUM(v.devices), 0 FROM value_span v"
                 " WHERE v.app = ? AND v.chan IN (SELECT part FROM parts) AND v.dim = 0 AND v.sub = 0 AND v.value = 0"
                 " AND v.day BETWEEN ? AND ? AND v.prev_day < ? GROUP BY v.chan",
                 params,
                 [&](const Row& r) {
                     if (r.i64(0) == kDistinct) {
                         distinct[r.i64(1)] = r.i64(4);
                         return true;
                     }
                     Value& v = at(r.i64(1), r.i64(2));
                     BreakdownDay& d = v.days[static_cast<std::size_t>(r.i64(3) - from)];
                     d.devices = r.i64(4);
                     d.reports = r.i64(5);
                     v.reports += d.reports;
                     return true;
                 });
    } else {
        throw StoreError("contents have no breakdown");
    }

    std::vector<std::int64_t> textIds;
    for (const auto& [key, v] : values)
        if (v.reports > 0) textIds.push_back(v.textId);
    const std::map<std::int64_t, std::string> texts = textsOf(*s, textIds);
    struct Ranked {
        std::int64_t key;
        const std::string* text;
        const Value* value;
    };
    std::vector<Ranked> ranked;
    for (const auto& [key, v] : values)
        if (v.reports > 0) ranked.push_back({key, &texts.at(v.textId), &v});
    std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
        if (a.value->reports != b.value->reports) return a.value->reports > b.value->reports;
        return *a.text < *b.text;
    });
    const std::size_t kept = std::min(ranked.size(), static_cast<std::size_t>(q.limit));
    for (std::size_t i = kept; i < ranked.size(); ++i)
        for (std::size_t d = 0; d < length; ++d) {
            out.other[d].reports += ranked[i].value->days[d].reports;
            out.other[d].devices += ranked[i].value->days[d].devices;
        }
    for (std::size_t i = 0; i < kept; ++i) {
        const Value& v = *ranked[i].value;
        out.series.push_back({*ranked[i].text, v.days, v.reports, distinct[ranked[i].key]});
    }
    return out;
}

namespace {

// A text this long (in characters) holds a trigram, so its names are found through the trigram
// index; a shorter one through the names' and identifiers' prefixes, the first this many of each.
constexpr std::size_t kTrigram = 3;
constexpr int kShortTextCandidates = 1000;

std::size_t characters(const std::string& utf8) {
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Every trigram of the text, each a quoted term, all required: the index keeps no positions
// (a third of the size), so a row holding them all is a candidate the inventory then confirms.
std::string trigramQuery(const std::string& text) {
    std::vector<std::size_t> starts;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
    starts.push_back(text.size());
    std::string out;
    for (std::size_t k = 0; k + kTrigram < starts.size(); ++k) {
        if (!out.empty()) out += " AND ";
        out += '"';
        for (std::size_t i = starts[k]; i < starts[k + kTrigram]; ++i) {
            if (text[i] == '"') out += '"';
            out += text[i];
        }
        out += '"';
    }
    return out;
}

}  // namespace

std::vector<DeviceMatch> QueryStore::findDevices(const std::string& appKey, const std::string& text, int limit) {
    std::vector<DeviceMatch> out;
    if (text.empty() || limit <= 0) return out;
    Snapshot s(borrow(), Statements::One);
    auto app = stringId(*s, appKey);
    if (!app) return out;
    std::string escaped;
    for (char c : text) {
        if (c == '!' || c == '%' || c == '_') escaped += '!';
        escaped += c;
    }
    const bool pg = dialect_ == Dialect::Postgres;
    // Lowered by the same function on both sides, so "any case" means what it means to the
    // backend. Candidates come through indexes only: identifiers by the range of their prefix,
    // names through the trigram index or, for a text too short for one, by the range of their
    // prefix; each candidate is then checked against the inventory itself. PostgreSQL keys its
    // ranges by the values' first 64 characters (see its migration 008).
    auto range = [&](const char* column) {
        return pg ? std::string("left(lower(") + column + "), 64) COLLATE \"C\" >= left(lower(?), 64) AND left(lower(" +
                        column + "), 64) COLLATE \"C\" < left(lower(?), 64) || chr(1114111)"
                  : std::string("lower(") + column + ") >= lower(?) AND lower(" + column + ") < lower(?) || char(1114111)";
    };
    const bool shortText = characters(text) < kTrigram;
    const std::string cap = shortText ? " LIMIT " + std::to_string(kShortTextCandidates) : std::string();
    std::string candidates = "SELECT id FROM (SELECT id FROM devices WHERE " + range("deviceid") + cap + ") ids";
    std::vector<Param> params{text, text};
    const std::string prefix = escaped + "%", part = shortText ? prefix : "%" + escaped + "%";
    if (shortText) {
        for (const char* column : {"pcname", "pcusername"}) {
            candidates += std::string(" UNION SELECT device FROM (SELECT device FROM inventory WHERE app = ? AND ") +
                          range(column) + cap + ") by_" + column;
            params.insert(params.end(), {*app, text, text});
        }
    } else if (pg) {
        // Served by the trigram index when pg_trgm is there, by a scan of the key's names when not.
        candidates += " UNION SELECT device FROM inventory WHERE app = ? AND (lower(pcname) LIKE lower(?) ESCAPE '!'"
                      " OR lower(pcusername) LIKE lower(?) ESCAPE '!')";
        params.insert(params.end(), {*app, part, part});
    } else {
        // CROSS JOIN keeps this order: one walk of the index, not one index look-up per device of the key.
        candidates += " UNION SELECT n.device FROM device_name_trigrams t CROSS JOIN device_names n ON n.id = t.rowid"
                      " WHERE device_name_trigrams MATCH ? AND n.app = ?";
        params.insert(params.end(), {trigramQuery(text), *app});
    }
    std::string sql = "SELECT d.deviceid, COALESCE(i.pcname, ''), COALESCE(i.pcusername, ''), COALESCE(i.pcosname, ''),"
                      " a.last_ms FROM ";
    if (pg) {
        // A plan made for the values guesses the candidates as many as the key's devices (a short
        // text's prefix holds them all) and hashes them against every row of app_device; each is
        // looked up by its keys instead (OFFSET 0 keeps the look-ups apart from the join order).
        sql += "(" + candidates + ") c"
               " JOIN LATERAL (SELECT last_ms FROM app_device WHERE app = ? AND device = c.id AND chan = 0 OFFSET 0) a ON true"
               " JOIN LATERAL (SELECT deviceid FROM devices WHERE id = c.id OFFSET 0) d ON true"
               " LEFT JOIN LATERAL (SELECT pcname, pcusername, pcosname FROM inventory WHERE app = ? AND device = c.id"
               " OFFSET 0) i ON true WHERE";
        params.insert(params.end(), {*app, *app});
    } else {
        sql += "app_device a JOIN devices d ON d.id = a.device LEFT JOIN inventory i ON i.app = a.app AND i.device = a.device"
               " WHERE a.app = ? AND a.chan = 0 AND a.device IN (" + candidates + ") AND";
        params.insert(params.begin(), Param{*app});
    }
    params.insert(params.end(), {prefix, part, part, std::int64_t{limit}});
    s->query(sql + " (lower(d.deviceid) LIKE lower(?) ESCAPE '!' OR lower(i.pcname) LIKE lower(?) ESCAPE '!'"
                   " OR lower(i.pcusername) LIKE lower(?) ESCAPE '!') ORDER BY a.last_ms DESC, d.deviceid LIMIT ?",
             params,
             [&](const Row& r) {
                 out.push_back({r.text(0), r.text(1), r.text(2), r.text(3), r.i64(4)});
                 return true;
             });
    return out;
}

std::int64_t reportIdsKeptFrom() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() - kReportIdWindowMs;
}

void QueryStore::exportReports(const std::string& appKey, int fromDay, int toDay, const ReportSink& sink) {
    exportReports(appKey, fromDay, toDay, Filters{}, sink);
}

void QueryStore::exportReports(const std::string& appKey, int fromDay, int toDay, const Filters& filters,
                               const ReportSink& sink) {
    if (fromDay > toDay) return;
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    if (!app) return;
    const std::int64_t fromMs = days_.startOf(fromDay), toMs = days_.startOf(toDay + 1);
    std::vector<Param> params{*app, fromMs, toMs};
    std::string passes;
    // A report's OS is its device's latest change point at or before it; a device without one
    // counts under "", as the rollups count it. The channel is in the packed values.
    const std::int64_t noOs = filters.byOs() ? stringIdOf(dialect_, *s, "").value_or(0) : 0;
    const std::pair<const std::optional<std::string>*, const char*> osFilters[] = {{&filters.os, "os"},
                                                                                   {&filters.osversion, "osver"}};
    for (const auto& [given, column] : osFilters) {
        if (!*given) continue;
        std::optional<std::int64_t> wanted = (*given)->empty() ? noOs : stringIdOf(dialect_, *s, **given);
        if (!wanted) return;  // a text never stored: no report has it
        passes += std::string(" AND COALESCE((SELECT o.") + column +
                  " FROM device_os o WHERE o.app = r.app AND o.device = r.device AND o.from_ms <= r.arrived_ms"
                  " ORDER BY o.from_ms DESC LIMIT 1), ?) = ?";
        params.insert(params.end(), {Param{noOs}, Param{*wanted}});
    }
    // Rows are rebuilt a slice at a time, the texts their values refer to read for the whole
    // slice at once in the same snapshot.
    struct Stored {
        Report report;
        std::string parts, texts;
        bool packed = false;
    };
    std::vector<Stored> slice;
    std::map<std::int64_t, std::string> known;
    bool more = true;
    const auto rebuild = [&] {
        std::vector<std::int64_t> wanted;
        const PackedTexts listing{nullptr, [&](std::int64_t id) {
                                      if (!known.count(id)) wanted.push_back(id);
                                      return std::string();
                                  }};
        Report scratch;
        for (const Stored& row : slice)
            if (row.packed) {
                scratch = row.report;
                unpackReport(row.parts, scratch, listing);
            }
        if (!wanted.empty()) {
            if (known.size() > 100000) known.clear();
            std::sort(wanted.begin(), wanted.end());
            wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
            known.merge(textsOf(*s, wanted));
        }
        const PackedTexts texts{nullptr, [&](std::int64_t id) {
                                    auto it = known.find(id);
                                    if (it == known.end())
                                        throw StoreError("a report refers to string " + std::to_string(id) +
                                                         ", which the store does not hold");
                                    return it->second;
                                }};
        for (Stored& row : slice) {
            if (row.packed) unpackReport(row.parts, row.report, texts);
            else unpackDecodedTexts(row.texts, row.report);
            if (filters.channel && row.report.channel != *filters.channel) continue;
            if (!sink(row.report)) {
                more = false;
                break;
            }
        }
        slice.clear();
    };
    s->query("SELECT r.arrived_ms, r.kind, d.deviceid, r.parts, r.body, r.texts, r.report_id"
             " FROM reports r JOIN devices d ON d.id = r.device"
             " WHERE r.app = ? AND r.arrived_ms >= ? AND r.arrived_ms < ?" + passes + " ORDER BY r.arrived_ms, r.id",
             params, [&](const Row& r) {
                 Stored& row = slice.emplace_back();
                 row.report.appKey = appKey;
                 row.report.arrivedMs = r.i64(0);
                 row.report.kind = static_cast<ReportKind>(r.i64(1));
                 row.report.deviceId = r.text(2);
                 row.packed = !r.isNull(3);
                 if (row.packed) {
                     row.parts = r.text(3);
                 } else {
                     row.report.body = r.text(4);
                     row.texts = r.text(5);
                 }
                 row.report.reportId = r.isNull(6) ? std::string() : reportIdFromBytes(r.text(6));
                 if (slice.size() >= 2000) rebuild();
                 return more;
             },
             true);
    if (more && !slice.empty()) rebuild();
}

}  // namespace tallyscope::server::store
