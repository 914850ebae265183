// The shared store: any number of server processes write one PostgreSQL database. A batch costs
// a fixed handful of round trips whatever its size: the rows of the batch's devices are locked
// and loaded at once, the rollup arithmetic runs in memory, and every change goes back as one
// multi-row upsert per table. Counters are additive upserts, so concurrent processes never lose
// an update; a transaction aborted by a deadlock or serialization failure is retried.
#include "store/postgres_store.h"

#include <pqxx/pqxx>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "core/days.h"
#include "core/report_id.h"
#include "ops/metrics.h"
#include "store/filter_segments.h"
#include "store/migrations.h"
#include "store/pg_text.h"
#include "store/report_packing.h"
#include "store/rollups.h"
#include "store/store_queries.h"

namespace tallyscope::server::store {

namespace {

constexpr std::size_t kRowsPerStatement = 1000;
constexpr int kDeviceSearchVersion = 8;  // the migration that makes the names' trigram index
constexpr long kMigrationLock = 0x7461'6c6c'7973;  // any constant every process agrees on


// An array parameter in PostgreSQL's text form. Values are escaped into the parameter, never into
// the statement, which stays one fixed text per purpose, prepared once per connection.
class PgArray {
public:
    PgArray& add(std::int64_t v) {
        next();
        text_ += std::to_string(v);
        return *this;
    }
    PgArray& addNull() {
        next();
        text_ += "NULL";
        return *this;
    }
    PgArray& add(const std::string& v) {
        next();
        text_ += '"';
        for (char c : v) {
            if (c == '"' || c == '\\') text_ += '\\';
            text_ += c;
        }
        text_ += '"';
        return *this;
    }
    PgArray& addBytes(const std::string& v) {
        static constexpr char digits[] = "0123456789abcdef";
        next();
        text_ += "\"\\\\x";
        for (char c : v) {
            const auto b = static_cast<unsigned char>(c);
            text_ += digits[b >> 4];
            text_ += digits[b & 0x0f];
        }
        text_ += '"';
        return *this;
    }
    bool empty() const { return count_ == 0; }
    std::string str() const { return text_ + "}"; }

private:
    void next() {
        if (count_++ > 0) text_ += ',';
    }
    std::string text_ = "{";
    std::size_t count_ = 0;
};

// A report's row in a reports insert: its packed values, or, when the template would not rebuild
// its body byte for byte, the body as it came with its decoded texts.
void addPackedReport(const Report& r, const PackedTexts& texts, PgArray& parts, PgArray& body, PgArray& decoded) {
    if (auto packed = packReport(r, texts)) {
        parts.addBytes(*packed);
        body.addNull();
        decoded.addNull();
    } else {
        parts.addNull();
        body.addBytes(r.body);
        decoded.addBytes(packDecodedTexts(r));
    }
}

// Runs a fixed statement, prepared on the transaction's connection the first time it is used
// there (preparing the same text again is a lookup).
template <typename... Args>
pqxx::result run(pqxx::transaction_base& w, const char* name, const char* sql, Args&&... args) {
    w.conn().prepare(name, sql);
    return w.exec_prepared(name, std::forward<Args>(args)...);
}

// The rows of one set-based statement, column by column: each column goes as one array
// parameter, and `unnest` turns them back into rows, so a batch costs one round trip per table.
class ArrayRows {
public:
    explicit ArrayRows(std::size_t columns) : columns_(columns) {}
    template <typename... T>
    void add(const T&... v) {
        std::size_t i = 0;
        (columns_[i++].add(static_cast<std::int64_t>(v)), ...);
        ++rows_;
    }
    bool empty() const { return rows_ == 0; }
    std::vector<std::string> columns() const {
        std::vector<std::string> out;
        out.reserve(columns_.size());
        for (const PgArray& c : columns_) out.push_back(c.str());
        return out;
    }
    pqxx::result run(pqxx::transaction_base& w, const char* name, const char* sql) const {
        const std::vector<std::string> params = columns();
        return store::run(w, name, sql, pqxx::prepare::make_dynamic_params(params));
    }

private:
    std::vector<PgArray> columns_;
    std::size_t rows_ = 0;
};

class PgTx final : public RollupTx {
public:
    using Ids = std::unordered_map<std::string, std::int64_t>;
    PgTx(pqxx::transaction_base& w, Ids& strings, Ids& knownDevices)
        : w_(w), strings_(strings), knownDevices_(knownDevices) {}

    void intern(const std::vector<const std::string*>& strings, const std::vector<const std::string*>& deviceIds) override {
        std::set<std::string> wanted;
        for (const std::string* s : strings)
            if (!strings_.count(*s)) wanted.insert(pgText(*s));
        resolve("strings", "value", wanted, [&](std::string v, std::int64_t id) { pending_[std::move(v)] = id; });
        // A device known from an earlier batch is locked with its rows (prefetch), which also
        // finds out whether an erasure removed it since.
        std::set<std::string> devs;
        for (const std::string* d : deviceIds)
            if (std::string t = pgText(*d); !knownDevices_.count(t)) devs.insert(std::move(t));
        resolve("devices", "deviceid", devs, [&](std::string v, std::int64_t id) { devices_[std::move(v)] = id; });
    }
    // Ids are only trusted by later transactions once this one committed.
    void committed() {
        if (strings_.size() > 200000) strings_.clear();
        for (auto& e : pending_) strings_.insert(std::move(e));
        if (knownDevices_.size() > 200000) knownDevices_.clear();
        for (auto& e : devices_) knownDevices_.insert(std::move(e));
    }

    std::int64_t stringId(const std::string& text) override {
        const std::string t = pgText(text);
        if (auto it = strings_.find(t); it != strings_.end()) return it->second;
        if (auto it = pending_.find(t); it != pending_.end()) return it->second;
        std::set<std::string> one{t};
        resolve("strings", "value", one, [&](std::string v, std::int64_t id) { pending_[std::move(v)] = id; });
        return pending_.at(t);
    }
    std::optional<std::int64_t> findString(const std::string& text) override {
        auto r = run(w_, "find_string", "SELECT id FROM strings WHERE md5(value) = md5($1)", pgText(text));
        if (r.empty()) return std::nullopt;
        return r[0][0].as<std::int64_t>();
    }
    std::int64_t deviceId(const std::string& text) override {
        const std::string t = pgText(text);
        if (auto it = devices_.find(t); it != devices_.end()) return it->second;
        if (auto it = knownDevices_.find(t); it != knownDevices_.end()) return it->second;
        std::set<std::string> one{t};
        resolve("devices", "deviceid", one, [&](std::string v, std::int64_t id) { devices_[std::move(v)] = id; });
        return devices_.at(t);
    }
    std::optional<std::int64_t> findDevice(const std::string& text) override {
        // Only an erasure asks: the row is locked so ingest for the device waits (see resolve).
        auto r = run(w_, "lock_device", "SELECT id FROM devices WHERE md5(deviceid) = md5($1) FOR UPDATE", pgText(text));
        if (r.empty()) return std::nullopt;
        return r[0][0].as<std::int64_t>();
    }

    // While set, the reports a batch counts were stored by an earlier transaction and claimed
    // (they are being settled): the rollups are written and no report row.
    bool reportsStored = false;
    // Set when the transaction changed nothing that should stay: it is rolled back.
    bool rollbackOnly = false;
    // A claimed report's device, as its row names it: the id an erasure may have replaced since
    // an earlier batch is not used for it.
    void knowDevice(const std::string& text, std::int64_t id) { devices_[pgText(text)] = id; }

    // The batch's rows and its mark (store_marked): one statement, committed and synced on its
    // own, after the texts and devices not known yet are added; nothing is counted yet (see
    // claim_unsettled). Gives each report's row id, 0 where it repeats an id stored before,
    // remembered as gone, or earlier in the batch, and the mark's id (0 when nothing was stored).
    std::vector<std::int64_t> storeMarked(const std::vector<Report>& reports, std::int64_t& mark) {
        mark = 0;
        std::vector<const std::string*> strings, devices;
        for (const Report& r : reports) {
            for (const std::string* t : {&r.appKey, &r.channel, &r.name, &r.content, &r.inventory[0], &r.inventory[2]})
                strings.push_back(t);
            devices.push_back(&r.deviceId);
        }
        intern(strings, devices);
        std::vector<std::int64_t> rows(reports.size(), 0);
        std::set<std::pair<std::int64_t, std::string>> idsInBatch;
        PgArray ord, arrived, app, device, kind, id, parts, body, texts;
        for (std::size_t i = 0; i < reports.size(); ++i) {
            const Report& r = reports[i];
            const std::int64_t a = stringId(r.appKey);
            std::string bytes = reportIdToBytes(r.reportId);
            if (!bytes.empty() && !idsInBatch.emplace(a, bytes).second) continue;
            ord.add(static_cast<std::int64_t>(i));
            arrived.add(r.arrivedMs);
            app.add(a);
            device.add(deviceId(r.deviceId));
            kind.add(static_cast<std::int64_t>(r.kind));
            if (bytes.empty()) id.addNull();
            else id.addBytes(bytes);
            addPackedReport(r, packedTexts_, parts, body, texts);
        }
        if (ord.empty()) return rows;
        for (const auto& row : run(w_, "store_marked",
                 "SELECT ord, id, batch FROM store_marked($1::bigint[], $2::bigint[], $3::bigint[], $4::bigint[],"
                 " $5::int[], $6::bytea[], $7::bytea[], $8::bytea[], $9::bytea[])",
                 ord.str(), arrived.str(), app.str(), device.str(), kind.str(), id.str(), parts.str(), body.str(),
                 texts.str())) {
            rows[row[0].as<std::size_t>()] = row[1].as<std::int64_t>();
            mark = row[2].as<std::int64_t>();
        }
        return rows;
    }

    // A report is kept as its body's values (report_packing.h), or as it came where the template
    // would not rebuild it.
    std::vector<bool> insertReports(const std::vector<ReportRow>& rows) override {
        std::vector<bool> stored(rows.size(), true);
        if (rows.empty() || reportsStored) return stored;
        std::map<std::pair<std::int64_t, std::string>, std::size_t> identified;
        PgArray arrived, app, device, kind, id, parts, body, texts;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const Report& r = *rows[i].report;
            arrived.add(r.arrivedMs);
            app.add(rows[i].app);
            device.add(rows[i].device);
            kind.add(static_cast<std::int64_t>(r.kind));
            addPackedReport(r, packedTexts_, parts, body, texts);
            std::string bytes = reportIdToBytes(r.reportId);
            if (bytes.empty()) {
                id.addNull();
                continue;
            }
            id.addBytes(bytes);
            identified.emplace(std::make_pair(rows[i].app, std::move(bytes)), i);
        }
        if (identified.empty()) {
            // Nothing here can be a repeat, so the rows wait for the batch's one statement
            // (flush) instead of costing a round trip of their own.
            deferredReports_ = {arrived.str(), app.str(), device.str(), kind.str(), parts.str(), body.str(), texts.str()};
            return stored;
        }
        std::set<std::pair<std::int64_t, std::string>> inserted;
        for (const auto& row : run(w_, "insert_reports",
                 "INSERT INTO reports (arrived_ms, app, device, kind, report_id, parts, body, texts)"
                 " SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::int[], $5::bytea[], $6::bytea[],"
                 " $7::bytea[], $8::bytea[]) AS u(arrived_ms, app, device, kind, report_id, parts, body, texts)"
                 // Ids of reports erased or pruned meanwhile. The batch's devices are locked already
                 // (intern), so an erasure of one of them either committed before (its ids are
                 // seen here) or waits for this transaction (and then sees the rows stored here).
                 " WHERE NOT EXISTS (SELECT 1 FROM report_ids_gone g WHERE g.app = u.app AND g.report_id = u.report_id)"
                 " ON CONFLICT (app, report_id) WHERE report_id IS NOT NULL DO NOTHING"
                 " RETURNING app, report_id",
                 arrived.str(), app.str(), device.str(), kind.str(), id.str(), parts.str(), body.str(), texts.str()))
            if (!row[1].is_null()) inserted.emplace(row[0].as<std::int64_t>(), pqxx::binarystring(row[1]).str());
        // An identified row that did not come back met the unique index or a gone id: a repeat.
        for (const auto& [key, i] : identified)
            if (stored[i] && !inserted.count(key)) stored[i] = false;
        return stored;
    }
    void saveInventory(std::int64_t app, std::int64_t device, const Report& r) override {
        inventoryKeys_.add(app, device, r.arrivedMs);
        for (std::size_t k = 0; k < inventoryValues_.size(); ++k) inventoryValues_[k].add(pgText(r.inventory[k]));
    }

    // One round trip (migration 009): the batch's devices' rows locked, placeholders made for the
    // absent ones, then their days read under those locks.
    void prefetch(const std::vector<DeviceKey>& keys) override {
        std::vector<std::pair<std::int64_t, std::int64_t>> wanted;
        for (const auto& [app, device, chan] : keys)
            if (!rows_.count({app, device}) && (wanted.empty() || wanted.back() != std::make_pair(app, device)))
                wanted.emplace_back(app, device);
        load(wanted);
    }

    // A device's rows of every partition are one app_device row (partition 0's, the others packed
    // in it), locked and read once per batch and written in `flush`.
    std::optional<DeviceRow> lockDevice(std::int64_t app, std::int64_t device, std::int64_t chan) override {
        const auto& rows = deviceOf(app, device).partitions;
        auto it = rows.find(chan);
        if (it == rows.end()) return std::nullopt;
        return it->second;
    }
    void saveDevice(std::int64_t app, std::int64_t device, std::int64_t chan, const DeviceRow& d) override {
        Device& dev = deviceOf(app, device);
        dev.partitions[chan] = d;
        dev.changed = true;
    }
    // A device's days live in memory for the length of a batch: each question below is a lookup
    // there, and `flush` writes the days that changed, one row each.
    bool addDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day, std::int64_t ae,
                      std::int64_t ac, std::int64_t dr) override {
        auto [it, fresh] = deviceOf(app, device).chans[chan].try_emplace(day);
        it->second.ae += ae;
        it->second.ac += ac;
        it->second.dr += dr;
        it->second.changed = true;
        return fresh;
    }
    bool deviceDayExists(std::int64_t app, std::int64_t device, std::int64_t chan, int day) override {
        const auto& chans = deviceOf(app, device).chans;
        auto it = chans.find(chan);
        return it != chans.end() && it->second.count(day);
    }
    bool addValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, std::int64_t reports) override {
        auto& days = deviceOf(app, device).chans[k.chan];
        auto it = days.find(day);
        if (it == days.end()) return false;
        auto value = it->second.values.find(valueOf(k));
        if (value == it->second.values.end()) return false;
        value->second += reports;
        it->second.changed = true;
        addSpanReports(app, k, day, dayBefore(days, k, day), reports);
        return true;
    }
    std::optional<std::pair<int, int>> valueDaysAround(std::int64_t app, std::int64_t device, const ValueKey& k,
                                                       int day) override {
        const auto& days = deviceOf(app, device).chans[k.chan];
        const auto key = valueOf(k);
        const int before = dayBefore(days, k, day);
        int after = kNoDay;
        for (auto it = days.upper_bound(day); it != days.end(); ++it)
            if (it->second.values.count(key)) {
                after = it->first;
                break;
            }
        return std::make_pair(before, after);
    }
    // The previous day is not kept: it is the nearest earlier day holding the value.
    void insertValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int prevDay,
                              std::int64_t reports) override {
        auto& days = deviceOf(app, device).chans[k.chan];
        auto it = days.find(day);
        if (it == days.end()) throw StoreError("postgresql: a value counted on a day its device has no row for");
        it->second.values[valueOf(k)] += reports;
        it->second.changed = true;
        addSpanReports(app, k, day, prevDay, reports);
    }
    // A day inserted before `day`: the reports of `day` move to the span of their new previous day
    // (the days in memory hold the inserted one already).
    void setPrevDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int prevDay) override {
        const auto& days = deviceOf(app, device).chans[k.chan];
        const std::int64_t reports = days.at(day).values.at(valueOf(k));
        addSpanReports(app, k, day, dayBefore(days, k, prevDay), -reports);
        addSpanReports(app, k, day, prevDay, reports);
    }
    void addDaily(std::int64_t app, std::int64_t chan, int day, std::int64_t active, std::int64_t fresh,
                  std::int64_t ae, std::int64_t ac, std::int64_t dr) override {
        daily_.add(app, chan, day, active, fresh, ae, ac, dr);
    }
    void addRetention(std::int64_t app, std::int64_t chan, int day, int n, std::int64_t delta) override {
        retention_.add(app, chan, day, n, delta);
    }
    // The contents of one action (sub set) have no day counts: their spans stand in (migration 013).
    void addValueDay(std::int64_t app, const ValueKey& k, int day, std::int64_t delta) override {
        if (delta && k.sub == 0) valueDays_[{app, k.chan, k.dim, k.sub, day, k.value}] += delta;
    }
    void addSpan(std::int64_t app, const ValueKey& k, int day, int prevDay, std::int64_t delta) override {
        spans_[{app, k.chan, k.dim, k.sub, k.value, day, prevDay}].first += delta;
    }

    std::vector<std::pair<std::int64_t, DeviceRow>> lockDeviceRows(std::int64_t app, std::int64_t device) override {
        const auto& rows = deviceOf(app, device).partitions;
        return {rows.begin(), rows.end()};
    }
    std::vector<DeviceDayRow> deviceDays(std::int64_t app, std::int64_t device) override {
        return deviceDayRowsOf(deviceOf(app, device).chans);
    }
    std::vector<ValueDeviceDay> valueDeviceDays(std::int64_t app, std::int64_t device) override {
        return valueDeviceDaysOf(deviceOf(app, device).chans);
    }
    void deleteDevice(std::int64_t app, std::int64_t device) override {
        for (const ValueDeviceDay& v : valueDeviceDays(app, device)) addSpanReports(app, v.key, v.day, v.prevDay, -v.reports);
        // The erased reports' ids stay known, so a late repeat of one does not bring it back.
        run(w_, "keep_erased_ids",
            "INSERT INTO report_ids_gone SELECT app, report_id, arrived_ms FROM reports"
            " WHERE app = $1 AND device = $2 AND report_id IS NOT NULL ON CONFLICT DO NOTHING",
            app, device);
        run(w_, "erase_reports", "DELETE FROM reports WHERE app = $1 AND device = $2", app, device);
        run(w_, "erase_inventory", "DELETE FROM inventory WHERE app = $1 AND device = $2", app, device);
        run(w_, "erase_app_device", "DELETE FROM app_device WHERE app = $1 AND device = $2", app, device);
        run(w_, "erase_device_days", "DELETE FROM device_days WHERE app = $1 AND device = $2", app, device);
        // Batches being stored hold their devices' ids (store_marked); a report of another key
        // still waiting to be counted holds the device id too.
        run(w_, "hold_device_id", "SELECT pg_advisory_xact_lock(1952740729, $1::int)", device);
        run(w_, "erase_device_id",
            "DELETE FROM devices WHERE id = $1 AND NOT EXISTS (SELECT 1 FROM app_device WHERE device = $1)"
            " AND NOT EXISTS (SELECT 1 FROM unsettled_reports u WHERE $1 = ANY(u.devices) AND EXISTS"
            " (SELECT 1 FROM unnest(u.reports) AS m(id) JOIN reports r ON r.id = m.id WHERE r.device = $1))",
            device);
        rows_.erase({app, device});
    }

    // Every change of the batch in one statement (one round trip): the per-device rows as they
    // now are, then the additive counters, each table's rows in key order.
    void flush() override {
        ArrayRows deviceRows(8), dayRows(3);
        PgArray deviceParts, dayParts;
        for (auto& [key, dev] : rows_) {
            if (dev.changed) {
                auto every = dev.partitions.find(0);
                if (every == dev.partitions.end())
                    throw StoreError("postgresql: a device counted without its every-report partition");
                std::map<std::int64_t, DeviceRow> others = dev.partitions;
                others.erase(0);
                const DeviceRow& d = every->second;
                deviceRows.add(key.first, key.second, d.firstDay, d.firstMs, d.lastMs, d.appEvents, d.actions,
                               d.deviceReports);
                deviceParts.addBytes(packDevicePartitions(d, others));
            }
            std::map<int, DeviceDay> changed;
            for (auto& [chan, days] : dev.chans)
                for (auto& [day, d] : days)
                    if (d.changed) changed.try_emplace(day);
            for (auto& [chan, days] : dev.chans)
                for (auto& [day, d] : days)
                    if (auto it = changed.find(day); it != changed.end()) it->second[chan] = d;
            for (const auto& [day, parts] : changed) {
                dayRows.add(key.first, key.second, day);
                dayParts.addBytes(packDeviceDay(parts));
            }
        }
        rows_.clear();
        if (inventoryKeys_.empty() && deviceRows.empty() && dayRows.empty() && daily_.empty() && retention_.empty() &&
            spans_.empty() && valueDays_.empty() && deferredReports_.empty())
            return;
        std::vector<std::string> params = inventoryKeys_.columns();
        for (const PgArray& c : inventoryValues_) params.push_back(c.str());
        for (std::string& c : deviceRows.columns()) params.push_back(std::move(c));
        params.push_back(deviceParts.str());
        for (std::string& c : dayRows.columns()) params.push_back(std::move(c));
        params.push_back(dayParts.str());
        ArrayRows spanRows(9);
        for (const auto& [key, change] : spans_)
            if (change.first || change.second)
                spanRows.add(std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key), std::get<4>(key),
                             std::get<5>(key), std::get<6>(key), change.first, change.second);
        spans_.clear();
        for (const ArrayRows* rows : {&daily_, &retention_, &spanRows})
            for (std::string& c : rows->columns()) params.push_back(std::move(c));
        if (deferredReports_.empty()) deferredReports_.assign(7, "{}");
        for (std::string& c : deferredReports_) params.push_back(std::move(c));
        deferredReports_.clear();
        ArrayRows valueDayRows(7);
        for (const auto& [key, delta] : valueDays_)
            if (delta)
                valueDayRows.add(std::get<0>(key), std::get<1>(key), std::get<2>(key), std::get<3>(key),
                                 std::get<4>(key), std::get<5>(key), delta);
        valueDays_.clear();
        for (std::string& c : valueDayRows.columns()) params.push_back(std::move(c));
        run(w_, "save_batch",
            // Shared counters (the day's daily row, the values' rows of the day) stay locked from
            // their upsert until the commit, and every server's batches need them, so they are
            // written last: PostgreSQL runs the main statement first, then the WITH parts from
            // the last to the first, so the hot tables lead the text and the per-device ones end it.
            "WITH value_day_rows AS (INSERT INTO value_day AS t SELECT * FROM unnest($55::bigint[], $56::bigint[],"
            " $57::int[], $58::bigint[], $59::int[], $60::bigint[], $61::bigint[])"
            " ON CONFLICT (app, chan, dim, sub, day, value) DO UPDATE SET reports = t.reports + excluded.reports),"
            " span_rows AS (INSERT INTO value_span AS t SELECT * FROM unnest($39::bigint[], $40::bigint[],"
            " $41::int[], $42::bigint[], $43::bigint[], $44::int[], $45::int[], $46::bigint[], $47::bigint[])"
            " ON CONFLICT (app, chan, dim, sub, value, day, prev_day) DO UPDATE SET devices = t.devices + excluded.devices,"
            " reports = t.reports + excluded.reports),"
            " retention_rows AS (INSERT INTO retention AS t SELECT * FROM unnest($34::bigint[], $35::bigint[],"
            " $36::int[], $37::int[], $38::bigint[])"
            " ON CONFLICT (app, chan, day, n) DO UPDATE SET devices = t.devices + excluded.devices),"
            " daily_rows AS (INSERT INTO daily AS t SELECT * FROM unnest($26::bigint[], $27::bigint[], $28::int[],"
            " $29::bigint[], $30::bigint[], $31::bigint[], $32::bigint[], $33::bigint[])"
            " ON CONFLICT (app, chan, day) DO UPDATE SET active = t.active + excluded.active,"
            " new_devices = t.new_devices + excluded.new_devices, app_events = t.app_events + excluded.app_events,"
            " actions = t.actions + excluded.actions, device_reports = t.device_reports + excluded.device_reports),"
            " day_rows AS (INSERT INTO device_days SELECT * FROM unnest($22::bigint[], $23::bigint[], $24::int[],"
            " $25::bytea[]) ON CONFLICT (app, device, day) DO UPDATE SET parts = excluded.parts),"
            " device_rows AS (INSERT INTO app_device (app, device, chan, first_day, first_ms, last_ms, app_events,"
            " actions, device_reports, parts) SELECT u.app, u.device, 0, u.first_day, u.first_ms, u.last_ms,"
            " u.app_events, u.actions, u.device_reports, u.parts FROM unnest($13::bigint[], $14::bigint[], $15::int[],"
            " $16::bigint[], $17::bigint[], $18::bigint[], $19::bigint[], $20::bigint[], $21::bytea[])"
            " AS u(app, device, first_day, first_ms, last_ms, app_events, actions, device_reports, parts)"
            " ON CONFLICT (app, device, chan) DO UPDATE SET first_day = excluded.first_day,"
            " first_ms = excluded.first_ms, last_ms = excluded.last_ms, app_events = excluded.app_events,"
            " actions = excluded.actions, device_reports = excluded.device_reports, parts = excluded.parts),"
            " report_rows AS (INSERT INTO reports (arrived_ms, app, device, kind, parts, body, texts)"
            " SELECT * FROM unnest($48::bigint[], $49::bigint[], $50::bigint[], $51::int[], $52::bytea[],"
            " $53::bytea[], $54::bytea[]))"
            " INSERT INTO inventory AS i SELECT * FROM unnest($1::bigint[], $2::bigint[],"
            " $3::bigint[], $4::text[], $5::text[], $6::text[], $7::text[], $8::text[], $9::text[], $10::text[],"
            " $11::text[], $12::text[])"
            " ON CONFLICT (app, device) DO UPDATE SET arrived_ms = excluded.arrived_ms,"
            " pcosname = excluded.pcosname, mac = excluded.mac, pcosversion = excluded.pcosversion,"
            " pcname = excluded.pcname, pcusername = excluded.pcusername, windowssid = excluded.windowssid,"
            " pccpuid = excluded.pccpuid, harddiskid = excluded.harddiskid,"
            " mainboardcode = excluded.mainboardcode WHERE excluded.arrived_ms >= i.arrived_ms",
            pqxx::prepare::make_dynamic_params(params));
    }

private:
    struct Day : PartitionDay {  // dimension 0 included while in memory
        bool changed = false;
    };
    // A device's rows while a batch runs: its partitions' totals and its days per partition.
    struct Device {
        std::map<std::int64_t, DeviceRow> partitions;
        std::map<std::int64_t, std::map<int, Day>> chans;
        bool changed = false;  // partitions to write
    };
    static DayValues::key_type valueOf(const ValueKey& k) { return {k.dim, k.sub, k.value}; }
    // The device's nearest day before `day` holding the value.
    static int dayBefore(const std::map<int, Day>& days, const ValueKey& k, int day) {
        const auto key = valueOf(k);
        for (auto it = std::make_reverse_iterator(days.lower_bound(day)); it != days.rend(); ++it)
            if (it->second.values.count(key)) return it->first;
        return kNoDay;
    }
    // Every report is counted in the daily rows already, so the any-report spans carry none.
    void addSpanReports(std::int64_t app, const ValueKey& k, int day, int prevDay, std::int64_t reports) {
        if (k.dim != 0) spans_[{app, k.chan, k.dim, k.sub, k.value, day, prevDay}].second += reports;
    }

    Device& deviceOf(std::int64_t app, std::int64_t device) {
        auto it = rows_.find({app, device});
        if (it != rows_.end()) return it->second;
        load({{app, device}});
        return rows_.at({app, device});
    }
    // Locks and reads the rows of devices not read yet in this transaction (sorted, distinct).
    void load(const std::vector<std::pair<std::int64_t, std::int64_t>>& keys) {
        if (keys.empty()) return;
        ArrayRows all(2);
        for (const auto& [app, device] : keys) {
            all.add(app, device);
            rows_[{app, device}];
        }
        for (const auto& row : all.run(w_, "batch_device_days",
                 "SELECT what, app, device, day, n1, n2, n3, n4, n5, parts FROM batch_device_days($1::bigint[], $2::bigint[])")) {
            Device& dev = rows_.at({row[1].as<std::int64_t>(), row[2].as<std::int64_t>()});
            const int day = row[3].as<int>();
            const std::string parts = pqxx::binarystring(row[9]).str();
            if (row[0].as<int>() == 1) {
                const DeviceRow every{day, row[4].as<std::int64_t>(), row[5].as<std::int64_t>(),
                                      row[6].as<std::int64_t>(), row[7].as<std::int64_t>(), row[8].as<std::int64_t>()};
                dev.partitions = unpackDevicePartitions(every, parts);
                dev.partitions[0] = every;
            } else {
                for (auto& [chan, d] : unpackDeviceDay(parts)) static_cast<PartitionDay&>(dev.chans[chan][day]) = std::move(d);
            }
        }
    }
    // Inserts the texts that are new (no-op for those another process added meanwhile), then
    // reads every id. Devices are read with a key-share lock: an erasure of one of them (which
    // takes the row for update first) then waits for this transaction, or has committed before
    // and its deleted row is created again here, so no row of this batch can point at a device
    // id that an erasure removed.
    template <typename F>
    void resolve(const char* table, const char* /*column*/, const std::set<std::string>& texts, F&& store) {
        if (texts.empty()) return;
        const bool devices = std::string(table) == "devices";
        std::set<std::string> missing = texts;
        for (int round = 0; !missing.empty(); ++round) {
            if (round == 10) throw pqxx::transaction_rollback("devices kept disappearing under erasures");
            PgArray values;
            for (const std::string& t : missing) values.add(t);
            const std::string list = values.str();
            // One round trip: the new texts are inserted (and come back from the insert), the
            // others are read; a text another process inserted meanwhile is in neither and is
            // read by the next round.
            const pqxx::result found = devices
                ? run(w_, "resolve_devices",
                      "WITH wanted AS (SELECT unnest($1::text[]) AS t),"
                      " added AS (INSERT INTO devices (deviceid) SELECT t FROM wanted ON CONFLICT DO NOTHING"
                      " RETURNING deviceid, id),"
                      " kept AS (SELECT deviceid, id FROM devices WHERE md5(deviceid) IN (SELECT md5(t) FROM wanted)"
                      " ORDER BY id FOR KEY SHARE)"
                      " SELECT deviceid, id FROM added UNION ALL SELECT deviceid, id FROM kept", list)
                : run(w_, "resolve_strings",
                      "WITH wanted AS (SELECT unnest($1::text[]) AS t),"
                      " added AS (INSERT INTO strings (value) SELECT t FROM wanted ON CONFLICT DO NOTHING"
                      " RETURNING value, id)"
                      " SELECT value, id FROM added UNION ALL"
                      " SELECT value, id FROM strings WHERE md5(value) IN (SELECT md5(t) FROM wanted)", list);
            for (const auto& row : found) {
                std::string v = row[0].as<std::string>();
                missing.erase(v);
                store(std::move(v), row[1].as<std::int64_t>());
            }
        }
    }

    pqxx::transaction_base& w_;
    Ids& strings_;
    Ids& knownDevices_;
    Ids pending_, devices_;
    std::map<std::pair<std::int64_t, std::int64_t>, Device> rows_;  // (app, device), for one transaction
    ArrayRows inventoryKeys_{3};
    std::array<PgArray, 9> inventoryValues_;
    ArrayRows daily_{8}, retention_{5};
    // Span rows' changes in key order: (app, chan, dim, sub, value, day, prev_day) -> (devices, reports).
    std::map<std::tuple<std::int64_t, std::int64_t, int, std::int64_t, std::int64_t, int, int>,
             std::pair<std::int64_t, std::int64_t>> spans_;
    // Values' reports per day in key order: (app, chan, dim, sub, day, value) -> reports.
    std::map<std::tuple<std::int64_t, std::int64_t, int, std::int64_t, int, std::int64_t>, std::int64_t> valueDays_;
    std::vector<std::string> deferredReports_;  // the raw rows' columns, when flush writes them
    // A text holding NUL is interned as PostgreSQL can keep it (pg_text.h), not as the body has it.
    const PackedTexts packedTexts_{[this](const std::string& t) -> std::optional<std::int64_t> {
                                       if (t.find('\0') != std::string::npos) return std::nullopt;
                                       return stringId(t);
                                   },
                                   nullptr};
};

// The shared statements are written with `?`; PostgreSQL numbers its placeholders $1, $2, …
std::string numberedPlaceholders(const std::string& sql) {
    std::string text;
    int next = 0;
    for (char c : sql) {
        if (c == '?') text += "$" + std::to_string(++next);
        else text += c;
    }
    return text;
}

// The values of a shared statement as the text parameters libpq sends beside it.
std::vector<std::string> parameterTexts(const std::vector<Param>& params) {
    std::vector<std::string> values;
    values.reserve(params.size());
    for (const Param& p : params) {
        if (const auto* n = std::get_if<std::int64_t>(&p)) values.push_back(std::to_string(*n));
        else values.push_back(pgText(std::get<std::string>(p)));
    }
    return values;
}

// Shared statements (readers', filter rollups'), each prepared once per connection under a name every connection
// gives the same text; so a figure costs one round trip and no parsing or planning from
// scratch. Texts past the limit (there is a bounded handful) run unnamed.
class ReadStatements {
public:
    explicit ReadStatements(std::string prefix) : prefix_(std::move(prefix)) {}
    std::string nameOf(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (auto it = names_.find(text); it != names_.end()) return it->second;
        if (names_.size() >= kKept) return {};
        std::string name = prefix_ + std::to_string(names_.size());
        names_.emplace(text, name);
        return name;
    }

private:
    static constexpr std::size_t kKept = 500;
    const std::string prefix_;
    std::mutex mutex_;
    std::unordered_map<std::string, std::string> names_;
};

// Runs a shared statement prepared (when it has a name) on the transaction's connection. A
// statement that groups rows (a ranking, a breakdown) is planned for its values every time
// instead: a plan made once for any values takes a day range for a few rows and sorts what a
// hash would group, up to several times slower on a busy dimension (twice as slow on a
// breakdown by OS at 10 M reports), while planning it again costs a fraction of a millisecond.
pqxx::result runShared(pqxx::transaction_base& t, ReadStatements& statements, const std::string& sql,
                       const std::vector<Param>& params) {
    const std::string text = numberedPlaceholders(sql);
    const std::vector<std::string> values = parameterTexts(params);
    const auto bound = pqxx::prepare::make_dynamic_params(values);
    const bool grouping = text.find("GROUP BY") != std::string::npos;
    const std::string name = grouping ? std::string() : statements.nameOf(text);
    if (name.empty()) return t.exec_params(text, bound);
    t.conn().prepare(name, text);
    return t.exec_prepared(name, bound);
}

// The filter rollups' statements in the writer's current transaction, values bound as
// parameters. It lives as long as the store, so the segment ids the filter rollups keep between
// batches survive; each batch points it at its transaction.
class PgTxSql final : public TxSql {
public:
    void use(pqxx::work* w) { w_ = w; }
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<bool(const Row&)>& each) override {
        const pqxx::result result = runShared(*w_, statements_, sql, params);
        for (const auto& row : result) {
            struct R final : Row {
                explicit R(const pqxx::row& r) : r(r) {}
                std::int64_t i64(int c) const override { return r[c].as<std::int64_t>(); }
                bool isNull(int c) const override { return r[c].is_null(); }
                std::string text(int c) const override { return r[c].is_null() ? std::string() : r[c].c_str(); }
                const pqxx::row& r;
            } wrapped(row);
            if (!each(wrapped)) break;
        }
    }

private:
    pqxx::work* w_ = nullptr;
    ReadStatements statements_{"tx_"};
};

// A several-statement answer runs in a repeatable-read, read-only transaction, a one-statement
// answer on its own; an export's rows come through a cursor, so an export of any size holds one
// slice of rows at a time.
class PgReader final : public QuerySource {
public:
    PgReader(pqxx::connection& c, ReadStatements& statements) : conn_(c), statements_(statements) {}
    void begin() override { tx_ = std::make_unique<pqxx::transaction<pqxx::repeatable_read, pqxx::read_only>>(conn_); }
    void end() override {
        if (!tx_) return;
        try {
            tx_->commit();
        } catch (...) {
        }
        tx_.reset();
    }
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<bool(const Row&)>& each, bool stream) override {
        if (!stream) {
            std::optional<pqxx::nontransaction> alone;
            pqxx::transaction_base& t = tx_ ? static_cast<pqxx::transaction_base&>(*tx_) : alone.emplace(conn_);
            const pqxx::result result = runShared(t, statements_, sql, params);
            if (alone) alone->commit();
            for (const auto& row : result) {
                PgRow wrapped(row);
                if (!each(wrapped)) break;
            }
            return;
        }
        const std::string text = numberedPlaceholders(sql);
        const std::vector<std::string> values = parameterTexts(params);
        const auto bound = pqxx::prepare::make_dynamic_params(values);
        const std::string cursor = "c" + std::to_string(++cursors_);
        tx_->exec_params("DECLARE " + cursor + " NO SCROLL CURSOR FOR " + text, bound);
        bool more = true;
        while (more) {
            pqxx::result r = tx_->exec("FETCH 2000 FROM " + cursor);
            for (const auto& row : r) {
                PgRow wrapped(row);
                if (!each(wrapped)) {
                    more = false;
                    break;
                }
            }
            if (r.size() < 2000) more = false;
        }
        tx_->exec("CLOSE " + cursor);
    }

private:
    struct PgRow final : Row {
        explicit PgRow(const pqxx::row& r) : r(r) {}
        std::int64_t i64(int c) const override { return r[c].as<std::int64_t>(); }
        bool isNull(int c) const override { return r[c].is_null(); }
        std::string text(int c) const override {
            if (r[c].is_null()) return {};
            if (r[c].type() == bytea) return pqxx::binarystring(r[c]).str();
            return std::string(r[c].c_str(), r[c].size());
        }
        const pqxx::row& r;
    };
    static constexpr pqxx::oid bytea = 17;
    pqxx::connection& conn_;
    ReadStatements& statements_;
    std::unique_ptr<pqxx::transaction<pqxx::repeatable_read, pqxx::read_only>> tx_;
    unsigned cursors_ = 0;
};

// A database machine that dies without a word (power, network) answers nothing: without a time
// limit a connection attempt, or a commit waiting for its answer, would hang the writer for the
// kernel's whole retransmission time (about 15 minutes) instead of failing over. The URL's own
// settings win; these only fill in what it leaves open (--store takes postgresql:// URLs only).
std::string withConnectionDefaults(const std::string& url) {
    static constexpr std::pair<std::string_view, std::string_view> kDefaults[] = {
        {"connect_timeout", "5"}, {"tcp_user_timeout", "10000"}, {"keepalives_idle", "10"},
        {"keepalives_interval", "5"}, {"keepalives_count", "3"}};
    std::string out = url;
    for (const auto& [name, value] : kDefaults) {
        if (url.find(std::string(name) + "=") != std::string::npos) continue;
        if (out.find('?') == std::string::npos) out += '?';
        else if (out.back() != '?' && out.back() != '&') out += '&';
        out += std::string(name) + "=" + std::string(value);
    }
    return out;
}

// The schema version that adds the packed tables; the rows move over right after it, before the
// next version drops the old tables.
constexpr int kPackedRowsVersion = 9;

// Moves a store of the earlier layout over: each report packed from its stored columns (its id
// kept, so the export's order stays), each device's days and partitions from their rows. Runs in
// the migration's transaction, in slices, so a store of any size moves with bounded memory.
void movePackedRows(pqxx::work& w) {
    constexpr int kSlice = 5000;
    std::unordered_map<std::string, std::int64_t> ids;  // interned texts, by their stored text
    const PackedTexts texts{[&](const std::string& t) -> std::optional<std::int64_t> {
                                if (t.find('\0') != std::string::npos) return std::nullopt;
                                auto it = ids.find(t);
                                if (it == ids.end()) return std::nullopt;
                                return it->second;
                            },
                            nullptr};
    for (std::int64_t after = 0;;) {
        const pqxx::result rows = w.exec_params(
            "SELECT r.id, r.arrived_ms, r.app, r.device, r.kind, r.report_id, d.deviceid, s.value, r.channel, r.name,"
            " r.content, r.pcosname, r.mac, r.pcosversion, r.pcname, r.pcusername, r.windowssid, r.pccpuid,"
            " r.harddiskid, r.mainboardcode, r.body FROM reports r LEFT JOIN devices d ON d.id = r.device"
            " LEFT JOIN strings s ON s.id = r.app WHERE r.id > $1 ORDER BY r.id LIMIT $2",
            after, kSlice);
        if (rows.empty()) break;
        const auto text = [](const pqxx::field& f) { return f.is_null() ? std::string() : std::string(f.c_str(), f.size()); };
        if (ids.size() > 200000) ids.clear();
        PgArray wanted;
        for (const auto& row : rows)
            for (int c : {8, 9, 10, 11, 13})
                if (!row[c].is_null() && !ids.count(text(row[c]))) wanted.add(text(row[c]));
        if (!wanted.empty())
            for (const auto& row : w.exec_params("SELECT value, id FROM strings WHERE md5(value) IN"
                                                 " (SELECT md5(t) FROM unnest($1::text[]) AS t)", wanted.str()))
                ids[text(row[0])] = row[1].as<std::int64_t>();
        PgArray id, arrived, app, device, kind, reportId, parts, body, decoded;
        Report r;
        for (const auto& row : rows) {
            r.arrivedMs = row[1].as<std::int64_t>();
            r.kind = static_cast<ReportKind>(row[4].as<int>());
            r.deviceId = text(row[6]);
            r.appKey = text(row[7]);
            r.channel = text(row[8]);
            r.name = text(row[9]);
            r.content = text(row[10]);
            for (std::size_t i = 0; i < r.inventory.size(); ++i) r.inventory[i] = text(row[11 + static_cast<int>(i)]);
            r.body = pqxx::binarystring(row[20]).str();
            id.add(row[0].as<std::int64_t>());
            arrived.add(r.arrivedMs);
            app.add(row[2].as<std::int64_t>());
            device.add(row[3].as<std::int64_t>());
            kind.add(static_cast<std::int64_t>(r.kind));
            if (row[5].is_null()) reportId.addNull();
            else reportId.addBytes(pqxx::binarystring(row[5]).str());
            addPackedReport(r, texts, parts, body, decoded);
            after = row[0].as<std::int64_t>();
        }
        w.exec_params("INSERT INTO packed_reports (id, arrived_ms, app, device, kind, report_id, parts, body, texts)"
                      " SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::bigint[], $4::bigint[], $5::int[],"
                      " $6::bytea[], $7::bytea[], $8::bytea[], $9::bytea[])",
                      id.str(), arrived.str(), app.str(), device.str(), kind.str(), reportId.str(), parts.str(),
                      body.str(), decoded.str());
    }
    w.exec("SELECT setval(pg_get_serial_sequence('packed_reports', 'id'), GREATEST(1, (SELECT MAX(id) FROM packed_reports)))");

    using Key = std::pair<std::int64_t, std::int64_t>;
    for (Key after{0, 0};;) {
        const pqxx::result keys = w.exec_params(
            "SELECT app, device FROM app_device WHERE chan = 0 AND (app, device) > ($1, $2) ORDER BY app, device LIMIT $3",
            after.first, after.second, kSlice / 5);
        if (keys.empty()) break;
        PgArray apps, devs;
        for (const auto& k : keys) {
            apps.add(k[0].as<std::int64_t>());
            devs.add(k[1].as<std::int64_t>());
            after = {k[0].as<std::int64_t>(), k[1].as<std::int64_t>()};
        }
        const std::string in = " WHERE (app, device) IN (SELECT * FROM unnest($1::bigint[], $2::bigint[]))";
        std::map<Key, std::map<std::int64_t, DeviceRow>> partitions;
        for (const auto& row : w.exec_params("SELECT app, device, chan, first_day, first_ms, last_ms, app_events, actions,"
                                             " device_reports FROM app_device" + in, apps.str(), devs.str()))
            partitions[{row[0].as<std::int64_t>(), row[1].as<std::int64_t>()}][row[2].as<std::int64_t>()] =
                DeviceRow{row[3].as<int>(), row[4].as<std::int64_t>(), row[5].as<std::int64_t>(),
                          row[6].as<std::int64_t>(), row[7].as<std::int64_t>(), row[8].as<std::int64_t>()};
        std::map<Key, std::map<int, DeviceDay>> days;
        for (const auto& row : w.exec_params("SELECT app, device, chan, day, app_events, actions, device_reports"
                                             " FROM device_day" + in, apps.str(), devs.str())) {
            PartitionDay& p = days[{row[0].as<std::int64_t>(), row[1].as<std::int64_t>()}][row[3].as<int>()]
                                  [row[2].as<std::int64_t>()];
            p.ae = row[4].as<std::int64_t>();
            p.ac = row[5].as<std::int64_t>();
            p.dr = row[6].as<std::int64_t>();
        }
        for (const auto& row : w.exec_params("SELECT app, device, chan, day, dim, sub, value, reports"
                                             " FROM value_device_day" + in + " AND dim <> 0", apps.str(), devs.str()))
            days[{row[0].as<std::int64_t>(), row[1].as<std::int64_t>()}][row[3].as<int>()][row[2].as<std::int64_t>()]
                .values[{row[4].as<int>(), row[5].as<std::int64_t>(), row[6].as<std::int64_t>()}] = row[7].as<std::int64_t>();
        PgArray dayApps, dayDevs, dayDays, dayParts, rowApps, rowDevs, rowParts;
        for (const auto& [key, byDay] : days)
            for (const auto& [day, parts] : byDay) {
                dayApps.add(key.first);
                dayDevs.add(key.second);
                dayDays.add(std::int64_t{day});
                dayParts.addBytes(packDeviceDay(parts));
            }
        for (auto& [key, rows] : partitions) {
            const DeviceRow every = rows.at(0);
            rows.erase(0);
            rowApps.add(key.first);
            rowDevs.add(key.second);
            rowParts.addBytes(packDevicePartitions(every, rows));
        }
        if (!dayApps.empty())
            w.exec_params("INSERT INTO device_days SELECT * FROM unnest($1::bigint[], $2::bigint[], $3::int[], $4::bytea[])",
                          dayApps.str(), dayDevs.str(), dayDays.str(), dayParts.str());
        w.exec_params("UPDATE app_device a SET parts = u.parts FROM unnest($1::bigint[], $2::bigint[], $3::bytea[])"
                      " AS u(app, device, parts) WHERE a.app = u.app AND a.device = u.device AND a.chan = 0",
                      rowApps.str(), rowDevs.str(), rowParts.str());
    }
}

// The migration that folds the reports per value and day into the spans; the spans are written
// anew with their reports right after it.
constexpr int kReportsInSpansVersion = 11;
constexpr int kValueDayCountsVersion = 13;

// A span's reports as the migration sums them: the span's key as the table holds it (four-byte
// ids and days), ordered as its primary key is.
struct SpanSum {
    std::int32_t app, chan;
    std::int16_t dim;
    std::int32_t sub, value, day, prevDay;
    std::int64_t reports;
    auto key() const { return std::tie(app, chan, dim, sub, value, day, prevDay); }
};

// A closure, not a function pointer, so the sorts and merges below inline the comparison.
constexpr auto bySpan = [](const SpanSum& a, const SpanSum& b) { return a.key() < b.key(); };

// Adds up the sums of one span, in place, in sums sorted by span.
void combineSums(std::vector<SpanSum>& sums) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (kept > 0 && sums[kept - 1].key() == sums[i].key()) sums[kept - 1].reports += sums[i].reports;
        else sums[kept++] = sums[i];
    }
    sums.resize(kept);
}

// Fills value_span_next (made by the migration) from value_span and the device days, then puts
// it in value_span's place. Each device-day's reports of a value go to the span of that day and
// the value's previous day for the device, as the writer counts them. The device days are read
// once in key order, so only the current device's last days are held; the sums are sorted by
// span in memory (a few tens of bytes per span). The spans are then read in key order, each
// written once into the new table with its sum (by COPY), and the key is built once over the
// loaded rows: no row is written twice, nor any index entry.
void fillSpanReports(pqxx::work& w) {
    using Clock = std::chrono::steady_clock;
    const auto started = Clock::now();
    const auto seconds = [&] { return std::chrono::duration<double>(Clock::now() - started).count(); };
    w.exec("SET LOCAL maintenance_work_mem = '1GB'");
    std::vector<SpanSum> sums, added;
    const auto fold = [&] {
        std::sort(added.begin(), added.end(), bySpan);
        combineSums(added);
        std::vector<SpanSum> both;
        both.reserve(sums.size() + added.size());
        std::merge(sums.begin(), sums.end(), added.begin(), added.end(), std::back_inserter(both), bySpan);
        combineSums(both);
        sums.swap(both);
        added.clear();
    };
    constexpr std::size_t kAddedHeld = 4'000'000;
    added.reserve(kAddedHeld + 100'000);
    w.exec("DECLARE span_days NO SCROLL CURSOR FOR SELECT app, device, day, parts FROM device_days"
           " ORDER BY app, device, day");
    std::pair<std::int64_t, std::int64_t> device{-1, -1};
    std::map<std::int64_t, std::map<DayValues::key_type, int>> last;  // the device's chan -> value -> day
    std::size_t days = 0;
    for (;;) {
        const pqxx::result rows = w.exec("FETCH 20000 FROM span_days");
        if (rows.empty()) break;
        days += rows.size();
        for (const auto& row : rows) {
            const std::pair<std::int64_t, std::int64_t> of{row[0].as<std::int64_t>(), row[1].as<std::int64_t>()};
            if (of != device) {
                device = of;
                last.clear();
            }
            const int day = row[2].as<int>();
            for (const auto& [chan, d] : unpackDeviceDay(pqxx::binarystring(row[3]).str())) {
                auto& seen = last[chan];
                for (const auto& [v, reports] : d.values) {
                    auto prev = seen.try_emplace(v, kNoDay).first;
                    if (std::get<0>(v) != 0)
                        added.push_back({static_cast<std::int32_t>(device.first), static_cast<std::int32_t>(chan),
                                         static_cast<std::int16_t>(std::get<0>(v)), static_cast<std::int32_t>(std::get<1>(v)),
                                         static_cast<std::int32_t>(std::get<2>(v)), day, prev->second, reports});
                    prev->second = day;
                }
            }
        }
        if (added.size() >= kAddedHeld) fold();
    }
    w.exec("CLOSE span_days");
    fold();
    const double summed = seconds();

    w.exec("DECLARE old_spans NO SCROLL CURSOR FOR SELECT app, chan, dim, sub, value, day, prev_day, devices"
           " FROM value_span ORDER BY app, chan, dim, sub, value, day, prev_day");
    std::size_t spans = 0;
    // A COPY holds the connection while it runs, so each slice read goes in by a COPY of its own.
    for (auto sum = sums.cbegin();;) {
        const pqxx::result rows = w.exec("FETCH 100000 FROM old_spans");
        if (rows.empty()) break;
        pqxx::stream_to out(w, "value_span_next");
        for (const auto& row : rows) {
            const SpanSum s{row[0].as<std::int32_t>(), row[1].as<std::int32_t>(), row[2].as<std::int16_t>(),
                            row[3].as<std::int32_t>(), row[4].as<std::int32_t>(), row[5].as<std::int32_t>(),
                            row[6].as<std::int32_t>(), 0};
            while (sum != sums.cend() && bySpan(*sum, s)) ++sum;
            const std::int64_t reports = sum != sums.cend() && sum->key() == s.key() ? sum->reports : 0;
            out << std::make_tuple(s.app, s.chan, s.dim, s.sub, s.value, s.day, s.prevDay, row[7].as<std::int32_t>(),
                                   reports);
        }
        out.complete();
        spans += rows.size();
    }
    w.exec("CLOSE old_spans");
    sums = {};
    const double loaded = seconds();
    w.exec("ALTER TABLE value_span_next ADD CONSTRAINT value_span_next_pkey"
           " PRIMARY KEY (app, chan, dim, sub, value, day, prev_day) INCLUDE (devices, reports)");
    w.exec("DROP TABLE value_span");
    w.exec("ALTER TABLE value_span_next RENAME TO value_span");
    w.exec("ALTER TABLE value_span RENAME CONSTRAINT value_span_next_pkey TO value_span_pkey");
    w.exec("ANALYZE value_span");
    spdlog::info("event=spans_rewritten device_days={} spans={} summed_s={:.1f} loaded_s={:.1f} seconds={:.1f}", days,
                 spans, summed, loaded - summed, seconds());
}

void migrate(pqxx::connection& c) {
    pqxx::work w(c);
    w.exec_params("SELECT pg_advisory_xact_lock($1)", kMigrationLock);
    w.exec("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, name TEXT NOT NULL,"
           " applied_ms BIGINT NOT NULL)");
    bool spansRewritten = false, valueDaysLoaded = false;
    const int have = w.exec("SELECT COALESCE(MAX(version), 0) FROM schema_version")[0][0].as<int>();
    for (const Migration& m : migrationsFor("postgresql")) {
        if (m.version <= have) continue;
        w.exec(m.sql);
        if (m.version == kPackedRowsVersion) movePackedRows(w);
        if (m.version == kReportsInSpansVersion) {
            fillSpanReports(w);
            spansRewritten = true;
        }
        if (m.version == kValueDayCountsVersion) valueDaysLoaded = true;
        w.exec_params("INSERT INTO schema_version VALUES ($1, $2, (extract(epoch from clock_timestamp()) * 1000)::bigint)",
                      m.version, std::string(m.name));
    }
    // Names are searched through pg_trgm's index, which a role that may not create the extension
    // goes without (migration 008 then leaves it out); the migration is tried again at each start,
    // so one a superuser has created since is used.
    const auto noTrigrams = [&] { return w.exec("SELECT to_regclass('inventory_names_by_trigram') IS NULL")[0][0].as<bool>(); };
    if (noTrigrams()) {
        for (const Migration& m : migrationsFor("postgresql"))
            if (m.version == kDeviceSearchVersion) w.exec(m.sql);
        if (noTrigrams())
            spdlog::warn("event=device_search_scans reason=\"pg_trgm is missing and this role may not create it\""
                         " fix=\"CREATE EXTENSION pg_trgm; as a superuser in this database, then restart\"");
    }
    w.commit();
    // The figures are read from the rollups' keys alone once their pages are marked all-visible;
    // a table written anew has none marked until a vacuum, which cannot run in a transaction.
    if (spansRewritten || valueDaysLoaded) {
        pqxx::nontransaction n(c);
        if (spansRewritten) n.exec("VACUUM value_span");
        if (valueDaysLoaded) n.exec("VACUUM value_day");
    }
}

class PostgresStore final : public QueryStore {
public:
    PostgresStore(const std::string& url, const ReportingDays& days, std::size_t rejectsKept)
        : QueryStore(Dialect::Postgres, days), url_(withConnectionDefaults(url)), rejectsKept_(rejectsKept) {
        try {
            migrate(writerConnection());
        } catch (const pqxx::failure& e) {
            throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
        }
        // Reports another process left unsettled (it crashed, or its primary died before its
        // rollups were written) are counted before anything reads.
        {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked(true);
        }
        settler_ = std::thread([this] { settleWhenAsked(); });
    }
    ~PostgresStore() override {
        {
            std::lock_guard<std::mutex> lock(settlerMutex_);
            stopping_ = true;
        }
        settlerWake_.notify_one();
        if (settler_.joinable()) settler_.join();
        try {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked(false);
        } catch (const std::exception&) {
            // Left marked: the next store to open, or any query, settles them.
        }
    }

    AppendResult append(const std::vector<Report>& reports) override {
        if (reports.empty()) return {};
        AppendResult result;
        write([&](pqxx::work&, PgTx& tx) {
            result = applyBatch(tx, days(), reports, segments_.get());
        });
        return result;
    }

    // Only the report rows and their marks are written and synced. Counting a report into the
    // rollups updates rows every batch of the same devices (and every server) shares; done for
    // many batches at once, each shared row is updated, locked and logged once per settle
    // instead of once per batch, and that transaction need not wait for its log to be synced.
    // Appends have a connection of their own, so they go on while a settle runs.
    AppendResult appendUnsettled(std::vector<Report> reports) override {
        if (reports.empty()) return {};
        if (unsettledCount_.load() >= kMaxUnsettled) {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked(false);
        }
        Appender& a = appender_;
        std::lock_guard<std::mutex> lock(a.mutex);
        std::vector<std::int64_t> rows;
        std::int64_t mark = 0;
        for (int attempt = 1;; ++attempt) {
            try {
                // No transaction around it: what the batch adds to `strings` and `devices` commits
                // as it goes (another batch would add the same), and the one statement that stores
                // the rows is the synced commit.
                pqxx::nontransaction n(appendConnection(a));
                PgTx tx(n, a.strings, a.devices);
                rows = tx.storeMarked(reports, mark);
                tx.committed();
                break;
            } catch (const pqxx::transaction_rollback& e) {
                // A device kept from an earlier batch was erased meanwhile: resolve them anew.
                a.devices.clear();
                if (attempt >= 5) throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
            } catch (const pqxx::broken_connection& e) {
                // The rows may or may not be stored: the senders are told they are not, and try
                // again (their report ids make that safe).
                a.conn.reset();
                throw StoreError(std::string("postgresql: outcome unknown: ") + firstLine(e.what()));
            } catch (const pqxx::failure& e) {
                throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
            }
        }
        AppendResult result;
        std::lock_guard<std::mutex> held(unsettledMutex_);
        std::vector<std::int64_t>& marked = marks_[mark];
        for (std::size_t i = 0; i < reports.size(); ++i) {
            if (rows[i] == 0) {
                ++result.repeats;
                continue;
            }
            ++result.stored;
            marked.push_back(rows[i]);
            Report& kept = unsettled_.emplace(rows[i], std::move(reports[i])).first->second;
            kept.reportId.clear();  // stored already: the rollups need none
        }
        if (mark == 0) marks_.erase(mark);
        unsettledCount_.store(unsettled_.size());
        return result;
    }
    std::size_t unsettled() const override { return unsettledCount_.load() + (sweep_.load() ? 1 : 0); }
    // The settle runs on the store's own thread, so the writer's next batch need not wait for it.
    void settle() override {
        {
            std::lock_guard<std::mutex> lock(settlerMutex_);
            settleAsked_ = true;
        }
        settlerWake_.notify_one();
    }
    void reject(const Rejected& r) override {
        write([&](pqxx::work& w, PgTx&) {
            run(w, "add_reject", "INSERT INTO rejects (arrived_ms, reason, body) VALUES ($1, $2, $3)", r.arrivedMs,
                pgText(r.reason), pqxx::binarystring(r.body.data(), r.body.size()));
            run(w, "trim_rejects", "DELETE FROM rejects WHERE id <= (SELECT MAX(id) FROM rejects) - $1",
                static_cast<std::int64_t>(rejectsKept_));
        });
    }
    bool eraseDevice(const std::string& appKey, const std::string& deviceId) override {
        bool found = false;
        std::lock_guard<std::mutex> lock(writeMutex_);
        // The device's reports still being counted, by any server, are counted first, so the
        // erasure finds the device by them; one that arrives after this has come after the
        // erasure.
        settleLocked(false, &deviceId);
        writeLocked([&](pqxx::work&, PgTx& tx) {
            found = store::eraseDevice(tx, appKey, deviceId, segments_.get());
            // Finding the device's rows made a placeholder row where the key had none (the
            // device is known through another key, or through reports still being counted):
            // nothing of it may stay.
            tx.rollbackOnly = !found;
        });
        devices_.erase(pgText(deviceId));
        return found;
    }
    std::int64_t prune(std::int64_t cutoffMs) override {
        const std::int64_t idsUntil = reportIdsKeptFrom();
        {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked(true);  // a pruned report is counted first, whoever stored it
        }
        std::int64_t total = 0;
        for (;;) {
            std::int64_t n = 0;
            write([&](pqxx::work& w, PgTx&) {
                // Ids of pruned reports still inside the repeat window are remembered.
                n = run(w, "prune_slice",
                        // Every key with reports has daily rows, so the per-key arrival index finds the slice.
                        "WITH slice AS (DELETE FROM reports WHERE id IN (SELECT r.id FROM (SELECT DISTINCT app FROM daily) k"
                        " CROSS JOIN LATERAL (SELECT id FROM reports WHERE app = k.app AND arrived_ms < $1 LIMIT 20000) r"
                        " LIMIT 20000) RETURNING app, report_id, arrived_ms),"
                        " kept AS (INSERT INTO report_ids_gone SELECT app, report_id, arrived_ms FROM slice"
                        " WHERE report_id IS NOT NULL AND arrived_ms >= $2 ON CONFLICT DO NOTHING)"
                        " SELECT count(*) FROM slice",
                        cutoffMs, idsUntil)[0][0].as<std::int64_t>();
                if (n == 0) run(w, "forget_ids", "DELETE FROM report_ids_gone WHERE arrived_ms < $1", idsUntil);
            });
            total += n;
            if (n == 0) return total;
        }
    }

protected:
    std::unique_ptr<QuerySource> borrow() override {
        std::unique_ptr<pqxx::connection> c = takeReadConnection();
        // A figure asked for after a report was acknowledged, by this server or another, includes
        // it: reports still unsettled anywhere are counted first.
        if (unsettledCount_.load() > 0 || sweep_.load() || marksWaiting(*c)) {
            try {
                std::lock_guard<std::mutex> lock(writeMutex_);
                settleLocked(true);
            } catch (const StoreError&) {
                // The figures lag while the store cannot write; the writers try again.
            }
        }
        return lease(std::move(c));
    }
    std::unique_ptr<QuerySource> borrowAsCounted() override { return lease(takeReadConnection()); }

private:
    std::unique_ptr<QuerySource> lease(std::unique_ptr<pqxx::connection> c) {
        struct Lease final : QuerySource {
            Lease(PostgresStore& owner, std::unique_ptr<pqxx::connection> c) : owner(owner) { open(std::move(c)); }
            ~Lease() override {
                reader->end();
                owner.giveBackReadConnection(std::move(conn));
            }
            // A pooled connection may lead to a primary that has died since: nothing of this read
            // has happened before its first step (BEGIN, or the one statement of a one-statement
            // answer), so that step starts again once on a fresh connection (to whichever host
            // takes writes now).
            void begin() override { first([&] { reader->begin(); }); }
            void end() override { reader->end(); }
            void query(const std::string& sql, const std::vector<Param>& params,
                       const std::function<bool(const Row&)>& each, bool stream) override {
                first([&] { reader->query(sql, params, each, stream); });
            }
            void first(const std::function<void()>& step) {
                if (started) return guard(step);
                started = true;
                try {
                    step();
                } catch (const pqxx::broken_connection&) {
                    owner.dropReadConnections();
                    open(owner.takeReadConnection());
                    guard(step);
                } catch (const pqxx::failure& e) {
                    throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
                }
            }
            void open(std::unique_ptr<pqxx::connection> c) {
                reader.reset();
                conn = std::move(c);
                reader = std::make_unique<PgReader>(*conn, owner.readStatements_);
            }
            static void guard(const std::function<void()>& f) {
                try {
                    f();
                } catch (const pqxx::failure& e) {
                    throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
                }
            }
            PostgresStore& owner;
            std::unique_ptr<pqxx::connection> conn;
            std::unique_ptr<PgReader> reader;
            bool started = false;
        };
        return std::make_unique<Lease>(*this, std::move(c));
    }
    static std::string firstLine(const std::string& s) { return s.substr(0, s.find('\n')); }

    // Whether any process's reports wait to be counted. A connection that fails here is left for
    // the query's own first step, which reconnects.
    static bool marksWaiting(pqxx::connection& c) {
        try {
            pqxx::nontransaction n(c);
            return run(n, "marks_waiting", "SELECT EXISTS (SELECT 1 FROM unsettled_reports)")[0][0].as<bool>();
        } catch (const pqxx::failure&) {
            return false;
        }
    }

    // Counts claimed reports into the rollups and deletes their marks, in one transaction that
    // does not wait for its log to be synced: if it is lost, the marks' deletions are lost with
    // it and the reports are claimed and counted again. Own reports are counted from the copies
    // kept since their append; `everyone` also claims every other process's (a query, pruning,
    // a start, a new primary), read back from their rows. A claim finds reports an erasure
    // deleted meanwhile gone, and they are dropped.
    // `ofDevice`: only the marks, anyone's, of batches holding that device's reports.
    void settleLocked(bool everyone, const std::string* ofDevice = nullptr) {
        everyone = (everyone || sweep_.load()) && !ofDevice;
        std::int64_t upto = -1;  // everyone's marks as far as they went when this began
        for (;;) {
            std::vector<std::int64_t> mine;  // own marks as they are before the claim
            {
                std::lock_guard<std::mutex> lock(unsettledMutex_);
                for (const auto& entry : marks_) mine.push_back(entry.first);
            }
            if (!everyone && !ofDevice && mine.empty()) return;
            std::vector<std::int64_t> claimedIds;
            writeLocked([&](pqxx::work& w, PgTx& tx) {
                w.exec("SET LOCAL synchronous_commit = off");
                if (everyone && upto < 0)
                    upto = run(w, "last_mark", "SELECT COALESCE(MAX(batch), 0) FROM unsettled_reports")[0][0]
                               .as<std::int64_t>();
                PgArray wanted;
                for (std::int64_t mark : mine) wanted.add(mark);
                const pqxx::result claimed =
                    everyone ? run(w, "claim_unsettled_any", "SELECT report, device FROM claim_unsettled(NULL, $1, $2)",
                                   static_cast<std::int64_t>(kMarksAtOnce), upto)
                    : ofDevice
                        ? run(w, "claim_unsettled_device",
                              "SELECT report, device FROM claim_unsettled(ARRAY(SELECT u.batch FROM unsettled_reports u"
                              " JOIN devices d ON d.id = ANY(u.devices) WHERE md5(d.deviceid) = md5($1)), 0, 0)",
                              pgText(*ofDevice))
                        : run(w, "claim_unsettled_own",
                              "SELECT report, device FROM claim_unsettled($1::bigint[], 0, 0)", wanted.str());
                claimedIds.clear();
                std::vector<Report> reports;
                std::vector<std::int64_t> stored;
                reports.reserve(claimed.size());
                {
                    std::lock_guard<std::mutex> lock(unsettledMutex_);
                    for (const auto& row : claimed) {
                        const std::int64_t id = row[0].as<std::int64_t>();
                        claimedIds.push_back(id);
                        if (auto it = unsettled_.find(id); it != unsettled_.end()) {
                            tx.knowDevice(it->second.deviceId, row[1].as<std::int64_t>());
                            reports.push_back(it->second);
                        } else {
                            stored.push_back(id);
                        }
                    }
                }
                loadStored(w, tx, stored, reports);
                tx.reportsStored = true;
                applyBatch(tx, days(), reports, segments_.get());
            });
            if (ofDevice) {
                std::lock_guard<std::mutex> lock(unsettledMutex_);
                for (std::int64_t id : claimedIds) unsettled_.erase(id);
                unsettledCount_.store(unsettled_.size());
                return;
            }
            const bool done = !everyone || claimedIds.empty();
            {
                std::lock_guard<std::mutex> lock(unsettledMutex_);
                for (std::int64_t id : claimedIds) unsettled_.erase(id);
                // Claimed now, or by another process, or their reports were erased: either way
                // no mark of those is left.
                if (done)
                    for (std::int64_t mark : mine) {
                        for (std::int64_t id : marks_[mark]) unsettled_.erase(id);
                        marks_.erase(mark);
                    }
                unsettledCount_.store(unsettled_.size());
            }
            if (done) {
                if (everyone) sweep_.store(false);
                return;
            }
        }
    }
    void settleWhenAsked() {
        for (;;) {
            {
                std::unique_lock<std::mutex> lock(settlerMutex_);
                settlerWake_.wait(lock, [this] { return settleAsked_ || stopping_; });
                if (stopping_) return;
                settleAsked_ = false;
            }
            try {
                std::lock_guard<std::mutex> lock(writeMutex_);
                settleLocked(false);
            } catch (const std::exception& e) {
                // The marks stay: the next settle, a query or the next start counts the reports.
                metrics::global().storeErrors.fetch_add(1, std::memory_order_relaxed);
                spdlog::error("event=settle_failed error=\"{}\"", e.what());
            }
        }
    }
    // Reports another process stored, rebuilt from their rows as the export rebuilds them, the
    // texts their values refer to read at once.
    void loadStored(pqxx::work& w, PgTx& tx, const std::vector<std::int64_t>& ids, std::vector<Report>& out) {
        if (ids.empty()) return;
        PgArray wanted;
        for (std::int64_t id : ids) wanted.add(id);
        const pqxx::result rows = run(w, "load_unsettled",
            // A look-up per id, which a LATERAL with LIMIT keeps: as `r.id = ANY(…)`, or as a join
            // the planner may hash, a long array is read by scanning every report.
            "SELECT r.device, r.deviceid, s.value, r.arrived_ms, r.kind, r.parts, r.body, r.texts"
            " FROM unnest($1::bigint[]) AS w(id) CROSS JOIN LATERAL (SELECT r.*, d.deviceid FROM reports r"
            " JOIN devices d ON d.id = r.device WHERE r.id = w.id LIMIT 1) r JOIN strings s ON s.id = r.app ORDER BY r.id",
            wanted.str());
        std::set<std::int64_t> textIds;
        const PackedTexts listing{nullptr, [&](std::int64_t id) {
                                      textIds.insert(id);
                                      return std::string();
                                  }};
        std::vector<Report> loaded(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[static_cast<pqxx::result::size_type>(i)];
            Report& r = loaded[i];
            tx.knowDevice(row[1].as<std::string>(), row[0].as<std::int64_t>());
            r.deviceId = row[1].as<std::string>();
            r.appKey = row[2].as<std::string>();
            r.arrivedMs = row[3].as<std::int64_t>();
            r.kind = static_cast<ReportKind>(row[4].as<int>());
            if (!row[5].is_null()) unpackReport(pqxx::binarystring(row[5]).str(), r, listing);
        }
        std::map<std::int64_t, std::string> texts;
        if (!textIds.empty()) {
            PgArray list;
            for (std::int64_t id : textIds) list.add(id);
            for (const auto& row : run(w, "load_unsettled_texts",
                                       "SELECT s.id, s.value FROM unnest($1::bigint[]) AS w(id)"
                                       " JOIN strings s ON s.id = w.id",
                                       list.str()))
                texts.emplace(row[0].as<std::int64_t>(), row[1].as<std::string>());
        }
        const PackedTexts lookup{nullptr, [&](std::int64_t id) {
                                     auto it = texts.find(id);
                                     if (it == texts.end())
                                         throw StoreError("a report refers to string " + std::to_string(id) +
                                                          ", which the store does not hold");
                                     return it->second;
                                 }};
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const auto& row = rows[static_cast<pqxx::result::size_type>(i)];
            Report& r = loaded[i];
            if (!row[5].is_null()) {
                unpackReport(pqxx::binarystring(row[5]).str(), r, lookup);
            } else {
                r.body = pqxx::binarystring(row[6]).str();
                unpackDecodedTexts(pqxx::binarystring(row[7]).str(), r);
            }
            out.push_back(std::move(r));
        }
    }

    template <typename F>
    void write(F&& body) {
        std::lock_guard<std::mutex> lock(writeMutex_);
        writeLocked(std::forward<F>(body));
    }
    template <typename F>
    void writeLocked(F&& body) {
        for (int attempt = 1;; ++attempt) {
            // Segment ids a transaction created are kept only once it committed.
            struct Outcome {
                FilterSegments* segments = nullptr;
                bool committed = false;
                ~Outcome() {
                    if (segments && !committed) segments->rolledBack();
                }
            } outcome;
            try {
                pqxx::work w(writerConnection());
                outcome.segments = segments_.get();
                filterSql_.use(&w);
                PgTx tx(w, strings_, devices_);
                body(w, tx);
                if (tx.rollbackOnly) {
                    w.abort();
                    return;
                }
                w.commit();
                outcome.committed = true;
                segments_->committed();
                tx.committed();
                return;
            } catch (const pqxx::transaction_rollback& e) {
                // Another process held rows this batch needed, or erased a device whose id was
                // kept: run it again on fresh state.
                devices_.clear();
                if (attempt >= 5) throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
            } catch (const pqxx::in_doubt_error& e) {
                throw StoreError(std::string("postgresql: commit outcome unknown: ") + firstLine(e.what()));
            } catch (const pqxx::broken_connection& e) {
                writer_.reset();
                if (attempt >= 2) throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
            } catch (const pqxx::failure& e) {
                throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
            }
        }
    }

    // -- connections: which host, when to try again, what is kept between requests ---------------
    //
    // The URL may name several hosts (h1:p1,h2:p2 with target_session_attrs=read-write): libpq
    // tries them in turn and keeps the first that takes writes, so a promoted standby is found by
    // simply connecting again. While none takes writes every write fails at once (the caller
    // answers 503), and a failed attempt is not repeated for kRetryPause, so a burst of requests
    // during an outage costs one round of connection attempts, not one per batch.
    static constexpr auto kRetryPause = std::chrono::milliseconds(100);

    std::unique_ptr<pqxx::connection> connect() {
        {
            std::lock_guard<std::mutex> lock(connectMutex_);
            if (std::chrono::steady_clock::now() < retryAfter_)
                throw pqxx::broken_connection("no writable PostgreSQL host (last attempt: " + lastConnectError_ + ")");
        }
        try {
            return std::make_unique<pqxx::connection>(url_);
        } catch (const pqxx::broken_connection& e) {
            std::lock_guard<std::mutex> lock(connectMutex_);
            lastConnectError_ = firstLine(e.what());
            retryAfter_ = std::chrono::steady_clock::now() + kRetryPause;
            throw;
        }
    }

    // The appends' connection and what it keeps from batch to batch.
    struct Appender {
        std::mutex mutex;
        std::unique_ptr<pqxx::connection> conn;
        std::unordered_map<std::string, std::int64_t> strings, devices;
    };
    // Called with the appender's mutex held; as writerConnection.
    pqxx::connection& appendConnection(Appender& a) {
        if (!a.conn || !a.conn->is_open()) {
            a.conn.reset();
            a.conn = connect();
            a.strings.clear();
            a.devices.clear();
        }
        return *a.conn;
    }
    // Called with writeMutex_ held. A new connection may lead to another primary than the last
    // one (a promoted standby), so ids cached from the old one are not trusted there.
    pqxx::connection& writerConnection() {
        if (!writer_ || !writer_->is_open()) {
            writer_.reset();
            writer_ = connect();
            strings_.clear();
            devices_.clear();
            // Settles the old primary did not pass on may be missing here: their marks are back.
            if (connectedBefore_) sweep_.store(true);
            connectedBefore_ = true;
            segments_ = std::make_unique<FilterSegments>(filterSql_);
        }
        return *writer_;
    }

    std::unique_ptr<pqxx::connection> takeReadConnection() {
        std::unique_ptr<pqxx::connection> c;
        {
            std::lock_guard<std::mutex> lock(poolMutex_);
            if (!pool_.empty()) {
                c = std::move(pool_.back());
                pool_.pop_back();
            }
        }
        if (c && c->is_open()) return c;
        try {
            c = connect();
            // An answer reads a few thousand key entries: starting parallel workers for it costs
            // more than they save (several times more on a busy machine), and the server runs
            // several answers at once anyway.
            c->set_variable("max_parallel_workers_per_gather", "0");
            return c;
        } catch (const pqxx::failure& e) {
            throw StoreError(std::string("postgresql: ") + firstLine(e.what()));
        }
    }
    void giveBackReadConnection(std::unique_ptr<pqxx::connection> c) {
        std::lock_guard<std::mutex> lock(poolMutex_);
        if (c && c->is_open() && pool_.size() < 8) pool_.push_back(std::move(c));
    }
    // One broken connection says the host is gone: the others in the pool lead there too, and
    // the host now taking writes may lack the last commits of the old one, ids included.
    void dropReadConnections() {
        {
            std::lock_guard<std::mutex> lock(poolMutex_);
            pool_.clear();
        }
        forgetIds();
    }

    std::string url_;
    std::size_t rejectsKept_;
    std::mutex connectMutex_;
    std::chrono::steady_clock::time_point retryAfter_;
    std::string lastConnectError_;
    std::mutex writeMutex_;
    std::unique_ptr<pqxx::connection> writer_;
    std::unordered_map<std::string, std::int64_t> strings_;
    std::unordered_map<std::string, std::int64_t> devices_;  // device ids committed batches used
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<pqxx::connection>> pool_;
    ReadStatements readStatements_{"read_"};
    PgTxSql filterSql_;
    std::unique_ptr<FilterSegments> segments_;
    // Own unsettled reports by row id, as they came, and their batches' marks; past
    // kMaxUnsettled the next append settles first. A settle of everyone's claims kMarksAtOnce
    // marks per transaction.
    static constexpr std::size_t kMaxUnsettled = 5000;
    static constexpr std::size_t kMarksAtOnce = 1000;
    // One: a second one, taking the next batch while one commits, made commits smaller and
    // the database's work per report larger.
    Appender appender_;
    std::mutex unsettledMutex_;  // the copies and marks below
    std::unordered_map<std::int64_t, Report> unsettled_;
    std::map<std::int64_t, std::vector<std::int64_t>> marks_;  // own marks and their rows
    std::atomic<std::size_t> unsettledCount_{0};
    std::atomic<bool> sweep_{false};  // a settle must claim everyone's marks (a new primary)
    bool connectedBefore_ = false;
    std::mutex settlerMutex_;
    std::condition_variable settlerWake_;
    bool settleAsked_ = false, stopping_ = false;
    std::thread settler_;  // last: started once everything above exists
};

}  // namespace

std::unique_ptr<Store> openPostgresStore(const std::string& url, const ReportingDays& days, std::size_t rejectsKept) {
    return std::make_unique<PostgresStore>(url, days, rejectsKept);
}

}  // namespace tallyscope::server::store
