#include "store/store_queries.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "core/days.h"
#include "core/report_id.h"
#include "store/rollups.h"

namespace tallyscope::server::store {

namespace {

// Holds a reader connection inside one read-only transaction for the length of an answer.
class Snapshot {
public:
    explicit Snapshot(std::unique_ptr<QuerySource> src) : src_(std::move(src)) { src_->begin(); }
    ~Snapshot() { src_->end(); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    QuerySource* operator->() { return src_.get(); }
    QuerySource& operator*() { return *src_; }

private:
    std::unique_ptr<QuerySource> src_;
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

static std::optional<std::int64_t> deviceIdOf(Dialect d, QuerySource& src, const std::string& text) {
    return single(src,
                  d == Dialect::Postgres ? "SELECT id FROM devices WHERE md5(deviceid) = md5(?) AND deviceid = ?"
                                         : "SELECT id FROM devices WHERE deviceid = ? AND deviceid = ?",
                  {text, text});
}

// The rollup partition holding the figures of the reports the filters pass: 0 (every report), a
// channel's id, or a filter segment's negated id; nothing when no report can pass.
static std::optional<std::int64_t> partitionOf(Dialect d, QuerySource& src, std::int64_t app, const Filters& f) {
    std::int64_t ids[3] = {0, 0, 0};
    const std::optional<std::string>* given[3] = {&f.channel, &f.os, &f.osversion};
    for (int i = 0; i < 3; ++i) {
        if (!*given[i]) continue;
        auto id = stringIdOf(d, src, **given[i]);
        if (!id) return std::nullopt;
        ids[i] = *id;
    }
    if (!f.byOs()) return ids[0];
    auto segment = single(src, "SELECT id FROM filter_segments WHERE app = ? AND chan = ? AND os = ? AND osver = ?",
                          {app, ids[0], ids[1], ids[2]});
    if (!segment) return std::nullopt;
    return -*segment;
}

std::vector<Rejected> QueryStore::rejects(int limit) {
    Snapshot s(borrow());
    std::vector<Rejected> out;
    s->query("SELECT arrived_ms, reason, body FROM rejects ORDER BY id DESC LIMIT ?", {std::int64_t{limit}},
             [&](const Row& r) {
                 out.push_back({r.i64(0), r.text(1), r.text(2)});
                 return true;
             });
    return out;
}

std::vector<AppSummary> QueryStore::apps() {
    Snapshot s(borrow());
    std::vector<AppSummary> out;
    const char* order = dialect_ == Dialect::Postgres ? " ORDER BY s.value COLLATE \"C\"" : " ORDER BY s.value";
    s->query(std::string("SELECT s.value, SUM(d.new_devices), SUM(d.app_events + d.actions + d.device_reports),"
                         " MIN(d.day), MAX(d.day) FROM daily d JOIN strings s ON s.id = d.app"
                         " WHERE d.chan = 0 AND d.active > 0 GROUP BY s.value") + order,
             {}, [&](const Row& r) {
                 out.push_back({r.text(0), r.i64(1), r.i64(2), static_cast<int>(r.i64(3)), static_cast<int>(r.i64(4))});
                 return true;
             });
    return out;
}

bool QueryStore::hasApp(const std::string& appKey) {
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    return app && single(*s, "SELECT 1 FROM daily WHERE app = ? AND chan = 0 AND active > 0 LIMIT 1", {*app});
}

std::vector<DayFigures> QueryStore::daily(const std::string& appKey, int fromDay, int toDay,
                                          const std::optional<std::string>& channel) {
    return daily(appKey, fromDay, toDay, Filters{channel, std::nullopt, std::nullopt});
}

std::vector<DayFigures> QueryStore::daily(const std::string& appKey, int fromDay, int toDay, const Filters& filters) {
    std::vector<DayFigures> out;
    for (int d = fromDay; d <= toDay; ++d) out.push_back(DayFigures{d});
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    if (!app) return out;
    auto chan = partitionOf(dialect_, *s, *app, filters);
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
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    if (!app) return 0;
    auto chan = partitionOf(dialect_, *s, *app, filters);
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
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, q.appKey);
    if (!app) return out;
    // Channel values are kept in partitions over every channel only; a channel's own channel
    // ranking is its row there.
    Filters filters{q.channel, q.os, q.osversion};
    std::optional<std::int64_t> onlyValue;
    if (q.channel && q.dimension == Dimension::Channel) {
        onlyValue = stringIdOf(dialect_, *s, *q.channel);
        if (!onlyValue) return out;
        filters.channel.reset();
    }
    auto chan = partitionOf(dialect_, *s, *app, filters);
    if (!chan) return out;
    std::int64_t sub = 0;
    if (q.dimension == Dimension::Content && q.action) {
        auto a = stringIdOf(dialect_, *s, *q.action);
        if (!a) return out;
        sub = *a;
    }
    const std::int64_t dim = dimensionCode(q.dimension);
    const std::int64_t from = q.fromDay, to = q.toDay;

    // Reports per value from the daily value counts pick the rows; the distinct devices are then
    // counted for those values only.
    std::string sql =
        "SELECT v.value, s.value, SUM(v.reports) AS r FROM value_day v JOIN strings s ON s.id = v.value"
        " WHERE v.app = ? AND v.chan = ? AND v.dim = ? AND v.sub = ? AND v.day BETWEEN ? AND ?";
    std::vector<Param> params{*app, *chan, dim, sub, from, to};
    if (onlyValue) {
        sql += " AND v.value = ?";
        params.emplace_back(*onlyValue);
    }
    sql += " GROUP BY v.value, s.value HAVING SUM(v.reports) > 0 ORDER BY r DESC, s.value";
    if (dialect_ == Dialect::Postgres) sql += " COLLATE \"C\"";
    sql += " LIMIT ?";
    params.emplace_back(std::int64_t{q.limit});
    std::vector<std::int64_t> ids;
    s->query(sql, params, [&](const Row& r) {
        ids.push_back(r.i64(0));
        out.push_back({r.text(1), r.i64(2), 0});
        return true;
    });
    if (ids.empty()) return out;
    // The distinct devices of the picked values, in one statement.
    std::string spans = "SELECT value, SUM(devices) FROM value_span WHERE app = ? AND chan = ? AND dim = ? AND sub = ?"
                        " AND day BETWEEN ? AND ? AND prev_day < ? AND value IN (";
    std::vector<Param> spanParams{*app, *chan, dim, sub, from, to, from};
    for (std::size_t i = 0; i < ids.size(); ++i) {
        spans += i ? ",?" : "?";
        spanParams.emplace_back(ids[i]);
    }
    spans += ") GROUP BY value";
    s->query(spans, spanParams, [&](const Row& r) {
        for (std::size_t i = 0; i < ids.size(); ++i)
            if (ids[i] == r.i64(0)) out[i].devices = r.i64(1);
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
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    std::optional<std::int64_t> chan;
    if (app) chan = partitionOf(dialect_, *s, *app, filters);
    std::map<std::pair<int, int>, std::int64_t> kept;
    if (app && chan) {
        s->query("SELECT day, new_devices FROM daily WHERE app = ? AND chan = ? AND day BETWEEN ? AND ?",
                 {*app, *chan, std::int64_t{fromDay}, std::int64_t{toDay}}, [&](const Row& r) {
                     out[static_cast<std::size_t>(r.i64(0) - fromDay)].newDevices = r.i64(1);
                     return true;
                 });
        s->query("SELECT day, n, devices FROM retention WHERE app = ? AND chan = ? AND day BETWEEN ? AND ?",
                 {*app, *chan, std::int64_t{fromDay}, std::int64_t{toDay}}, [&](const Row& r) {
                     kept[{static_cast<int>(r.i64(0)), static_cast<int>(r.i64(1))}] = r.i64(2);
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
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    auto dev = deviceIdOf(dialect_, *s, deviceId);
    if (!app || !dev) return std::nullopt;
    std::optional<DeviceSummary> out;
    s->query("SELECT first_ms, last_ms, app_events, actions, device_reports FROM app_device"
             " WHERE app = ? AND device = ? AND chan = 0",
             {*app, *dev}, [&](const Row& r) {
                 out = DeviceSummary{deviceId, r.i64(0), r.i64(1), r.i64(2), r.i64(3), r.i64(4), std::nullopt};
                 return false;
             });
    if (!out) return out;
    out->daysActive = single(*s, "SELECT COUNT(*) FROM device_day WHERE app = ? AND device = ? AND chan = 0", {*app, *dev})
                          .value_or(0);
    s->query("SELECT pcosname, mac, pcosversion, pcname, pcusername, windowssid, pccpuid, harddiskid, mainboardcode"
             " FROM inventory WHERE app = ? AND device = ?",
             {*app, *dev}, [&](const Row& r) {
                 std::array<std::string, 9> inv;
                 for (int i = 0; i < 9; ++i) inv[static_cast<std::size_t>(i)] = r.text(i);
                 out->inventory = inv;
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
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, q.appKey);
    if (!app) return out;

    // Every value's per-day figures, keyed by the value's id (event, action) or partition.
    struct Value {
        std::string text;
        std::vector<BreakdownDay> days;
        std::int64_t reports = 0, devices = 0;
    };
    std::map<std::int64_t, Value> values;
    auto at = [&](std::int64_t key, const std::string& text) -> Value& {
        Value& v = values[key];
        if (v.days.empty()) {
            v.text = text;
            v.days.assign(length, {});
        }
        return v;
    };
    const bool byName = q.dimension == Dimension::Event || q.dimension == Dimension::Action;
    const std::int64_t dim = dimensionCode(q.dimension);
    std::optional<std::int64_t> part;  // event, action: the filters' partition
    if (byName) {
        part = partitionOf(dialect_, *s, *app, q.filters);
        if (!part) return out;
        s->query("SELECT v.value, s.value, v.day, SUM(v.reports) FROM value_day v JOIN strings s ON s.id = v.value"
                 " WHERE v.app = ? AND v.chan = ? AND v.dim = ? AND v.sub = 0 AND v.day BETWEEN ? AND ?"
                 " GROUP BY v.value, s.value, v.day",
                 {*app, *part, dim, from, to}, [&](const Row& r) {
                     Value& v = at(r.i64(0), r.text(1));
                     v.days[static_cast<std::size_t>(r.i64(2) - from)].reports = r.i64(3);
                     v.reports += r.i64(3);
                     return true;
                 });
        s->query("SELECT value, day, SUM(devices) FROM value_span WHERE app = ? AND chan = ? AND dim = ? AND sub = 0"
                 " AND day BETWEEN ? AND ? GROUP BY value, day",
                 {*app, *part, dim, from, to}, [&](const Row& r) {
                     if (auto it = values.find(r.i64(0)); it != values.end())
                         it->second.days[static_cast<std::size_t>(r.i64(1) - from)].devices = r.i64(2);
                     return true;
                 });
    } else if (q.dimension == Dimension::Channel || q.dimension == Dimension::Os ||
               q.dimension == Dimension::OsVersion) {
        // A value's figures are those of the partition the filters and that value pick.
        std::int64_t fixed[3] = {0, 0, 0};
        const std::optional<std::string>* given[3] = {&q.filters.channel, &q.filters.os, &q.filters.osversion};
        for (int i = 0; i < 3; ++i) {
            if (!*given[i]) continue;
            auto id = stringIdOf(dialect_, *s, **given[i]);
            if (!id) return out;
            fixed[i] = *id;
        }
        const int varying = q.dimension == Dimension::Channel ? 0 : q.dimension == Dimension::Os ? 1 : 2;
        static const char* const columns[3] = {"chan", "os", "osver"};
        auto add = [&](const Row& r) {
            Value& v = at(r.i64(0), r.text(1));
            BreakdownDay& d = v.days[static_cast<std::size_t>(r.i64(2) - from)];
            d.devices = r.i64(3);
            d.reports = r.i64(4);
            v.reports += d.reports;
            return true;
        };
        if (varying == 0 && !q.filters.byOs()) {
            std::string sql = "SELECT d.chan, s.value, d.day, d.active, d.app_events + d.actions + d.device_reports"
                              " FROM daily d JOIN strings s ON s.id = d.chan"
                              " WHERE d.app = ? AND d.chan > 0 AND d.day BETWEEN ? AND ?";
            std::vector<Param> params{*app, from, to};
            if (fixed[0]) {
                sql += " AND d.chan = ?";
                params.emplace_back(fixed[0]);
            }
            s->query(sql, params, add);
        } else {
            std::string sql = std::string("SELECT -g.id, s.value, d.day, d.active, d.app_events + d.actions + d.device_reports"
                                          " FROM filter_segments g JOIN daily d ON d.app = g.app AND d.chan = -g.id"
                                          " JOIN strings s ON s.id = g.") + columns[varying] +
                              " WHERE g.app = ? AND d.day BETWEEN ? AND ?";
            std::vector<Param> params{*app, from, to};
            for (int i = 0; i < 3; ++i) {
                if (i == varying) {
                    sql += std::string(" AND g.") + columns[i] + (fixed[i] ? " = ?" : " <> 0");
                    if (fixed[i]) params.emplace_back(fixed[i]);
                } else {
                    sql += std::string(" AND g.") + columns[i] + " = ?";
                    params.emplace_back(fixed[i]);
                }
            }
            s->query(sql, params, add);
        }
    } else {
        throw StoreError("contents have no breakdown");
    }

    std::vector<std::pair<std::int64_t, const Value*>> ranked;
    for (const auto& [key, v] : values)
        if (v.reports > 0) ranked.emplace_back(key, &v);
    std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
        if (a.second->reports != b.second->reports) return a.second->reports > b.second->reports;
        return a.second->text < b.second->text;
    });
    const std::size_t kept = std::min(ranked.size(), static_cast<std::size_t>(q.limit));
    for (std::size_t i = kept; i < ranked.size(); ++i)
        for (std::size_t d = 0; d < length; ++d) {
            out.other[d].reports += ranked[i].second->days[d].reports;
            out.other[d].devices += ranked[i].second->days[d].devices;
        }
    if (kept == 0) return out;

    // Distinct devices over the whole range, for the kept values only.
    std::string sql = byName ? "SELECT value, SUM(devices) FROM value_span WHERE app = ? AND chan = ? AND dim = ?"
                               " AND sub = 0 AND day BETWEEN ? AND ? AND prev_day < ? AND value IN ("
                             : "SELECT chan, SUM(devices) FROM value_span WHERE app = ? AND dim = 0 AND sub = 0"
                               " AND value = 0 AND day BETWEEN ? AND ? AND prev_day < ? AND chan IN (";
    std::vector<Param> params{*app};
    if (byName) {
        params.emplace_back(*part);
        params.emplace_back(dim);
    }
    params.insert(params.end(), {Param{from}, Param{to}, Param{from}});
    std::map<std::int64_t, std::int64_t> distinct;
    for (std::size_t i = 0; i < kept; ++i) {
        sql += i ? ",?" : "?";
        params.emplace_back(ranked[i].first);
    }
    sql += byName ? ") GROUP BY value" : ") GROUP BY chan";
    s->query(sql, params, [&](const Row& r) {
        distinct[r.i64(0)] = r.i64(1);
        return true;
    });
    for (std::size_t i = 0; i < kept; ++i) {
        const Value& v = *ranked[i].second;
        out.series.push_back({v.text, v.days, v.reports, distinct[ranked[i].first]});
    }
    return out;
}

std::vector<DeviceMatch> QueryStore::findDevices(const std::string& appKey, const std::string& text, int limit) {
    std::vector<DeviceMatch> out;
    if (text.empty() || limit <= 0) return out;
    Snapshot s(borrow());
    auto app = stringIdOf(dialect_, *s, appKey);
    if (!app) return out;
    std::string escaped;
    for (char c : text) {
        if (c == '!' || c == '%' || c == '_') escaped += '!';
        escaped += c;
    }
    // Both sides lowered by the same function, so "any case" means the same on both backends. The
    // candidates come from the identifiers and the key's inventory (one row per device each), and
    // only they are looked up among the key's devices.
    s->query("SELECT d.deviceid, COALESCE(i.pcname, ''), COALESCE(i.pcusername, ''), COALESCE(i.pcosname, ''), a.last_ms"
             " FROM app_device a JOIN devices d ON d.id = a.device"
             " LEFT JOIN inventory i ON i.app = a.app AND i.device = a.device"
             " WHERE a.app = ? AND a.chan = 0 AND a.device IN ("
             "SELECT id FROM devices WHERE lower(deviceid) LIKE lower(?) ESCAPE '!' UNION"
             " SELECT device FROM inventory WHERE app = ? AND (lower(pcname) LIKE lower(?) ESCAPE '!'"
             " OR lower(pcusername) LIKE lower(?) ESCAPE '!'))"
             " ORDER BY a.last_ms DESC, d.deviceid LIMIT ?",
             {*app, escaped + "%", *app, "%" + escaped + "%", "%" + escaped + "%", std::int64_t{limit}},
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
    if (filters.channel) {
        passes += " AND r.channel = ?";
        params.emplace_back(*filters.channel);
    }
    // A report's OS is its device's latest change point at or before it; a device without one
    // counts under "", as the rollups count it.
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
    Report rep;
    rep.appKey = appKey;
    s->query("SELECT r.arrived_ms, r.kind, d.deviceid, r.channel, r.name, r.content, r.pcosname, r.mac,"
             " r.pcosversion, r.pcname, r.pcusername, r.windowssid, r.pccpuid, r.harddiskid, r.mainboardcode, r.body,"
             " r.report_id FROM reports r JOIN devices d ON d.id = r.device"
             " WHERE r.app = ? AND r.arrived_ms >= ? AND r.arrived_ms < ?" + passes + " ORDER BY r.arrived_ms, r.id",
             params, [&](const Row& r) {
                 rep.arrivedMs = r.i64(0);
                 rep.kind = static_cast<ReportKind>(r.i64(1));
                 rep.deviceId = r.text(2);
                 rep.channel = r.text(3);
                 rep.name = r.text(4);
                 rep.content = r.text(5);
                 for (int i = 0; i < 9; ++i) rep.inventory[static_cast<std::size_t>(i)] = r.text(6 + i);
                 rep.body = r.text(15);
                 rep.reportId = r.isNull(16) ? std::string() : reportIdFromBytes(r.text(16));
                 return sink(rep);
             },
             true);
}

}  // namespace tallyscope::server::store
