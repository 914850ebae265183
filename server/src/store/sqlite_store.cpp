// The default store: one SQLite file in the data folder, in WAL mode so queries read while the
// writer commits. One writer connection with its statements prepared once; readers borrow
// connections of their own from a small pool.
#include "store/sqlite_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "core/days.h"
#include "core/report_id.h"
#include "store/filter_segments.h"
#include "store/migrations.h"
#include "store/report_packing.h"
#include "store/sorted_map.h"
#include "store/sqlite_handles.h"
#include "store/rollups.h"
#include "store/store_queries.h"

namespace tallyscope::server::store {

namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw StoreError("sqlite: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

void exec(sqlite3* db, const std::string& sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : sqlite3_errmsg(db);
        sqlite3_free(err);
        throw StoreError("sqlite: " + msg);
    }
}

// A prepared statement that resets itself after each use, so a kept statement never holds a
// read snapshot open between uses.
class Stmt {
public:
    Stmt() = default;
    Stmt(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK)
            fail(db, std::string("prepare ") + sql);
        stmt_.reset(s);
    }
    Stmt& bind(int i, std::int64_t v) { check(sqlite3_bind_int64(stmt_.get(), i, v)); return *this; }
    Stmt& bind(int i, const std::string& v) {
        check(sqlite3_bind_text(stmt_.get(), i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Stmt& bindBlob(int i, const std::string& v) {
        check(sqlite3_bind_blob(stmt_.get(), i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Stmt& bindNull(int i) { check(sqlite3_bind_null(stmt_.get(), i)); return *this; }
    // True while a row is available.
    bool step() {
        int rc = sqlite3_step(stmt_.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        std::string msg = sqlite3_errmsg(db_);
        reset();
        throw StoreError("sqlite: " + msg);
    }
    void run() { step(); reset(); }
    std::int64_t i64(int col) const { return sqlite3_column_int64(stmt_.get(), col); }
    bool isNull(int col) const { return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }
    std::string text(int col) const {
        const void* p = sqlite3_column_blob(stmt_.get(), col);
        int n = sqlite3_column_bytes(stmt_.get(), col);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    void reset() {
        sqlite3_reset(stmt_.get());
        sqlite3_clear_bindings(stmt_.get());
    }
    int changes() const { return sqlite3_changes(db_); }

private:
    void check(int rc) { if (rc != SQLITE_OK) fail(db_, "bind"); }
    sqlite3* db_ = nullptr;
    std::unique_ptr<sqlite3_stmt, StmtFinalize> stmt_;
};

// Resets a statement when a scope using it ends, also on an exception.
struct Using {
    explicit Using(Stmt& s) : s(s) {}
    ~Using() { s.reset(); }
    Stmt& s;
};

Db openDb(const std::string& path, bool writer) {
    sqlite3* raw = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) fail(raw, "open " + path);
    sqlite3_busy_timeout(db.get(), 10000);
    sqlite3_extended_result_codes(db.get(), 1);
    // FULL: the WAL is synced at every commit, so an acknowledged report survives a power cut,
    // not only a crash of the process.
    exec(db.get(), "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=OFF;"
                   "PRAGMA temp_store=MEMORY;");
    // The page cache is bounded so the server's resident size levels off within seconds; the
    // operating system's file cache holds the rest of a large store.
    exec(db.get(), writer ? "PRAGMA cache_size=-65536" : "PRAGMA cache_size=-16384");
    return db;
}

constexpr int kInventoryColumns = 9;

// The schema version that adds the packed tables; the rows move over right after it, before the
// next version drops the old tables.
constexpr std::int64_t kPackedRowsVersion = 6;

// Texts of an interned id, looked up once each while one connection reads.
class StringTexts {
public:
    explicit StringTexts(sqlite3* db) : lookup_(db, "SELECT value FROM strings WHERE id = ?") {}
    const std::string& text(std::int64_t id) {
        auto it = cache_.find(id);
        if (it != cache_.end()) return it->second;
        Using u(lookup_);
        if (!lookup_.bind(1, id).step()) throw StoreError("sqlite: a report refers to string " + std::to_string(id) +
                                                          ", which the store does not hold");
        if (cache_.size() > 100000) cache_.clear();
        return cache_.emplace(id, lookup_.text(0)).first->second;
    }

private:
    Stmt lookup_;
    std::unordered_map<std::int64_t, std::string> cache_;
};

void bindPacked(Stmt& s, int first, const Report& r, const PackedTexts& texts) {
    if (auto parts = packReport(r, texts)) {
        s.bindBlob(first, *parts).bindNull(first + 1).bindNull(first + 2);
    } else {
        s.bindNull(first).bindBlob(first + 1, r.body).bindBlob(first + 2, packDecodedTexts(r));
    }
}

// Moves a store of the earlier layout over: each report packed from its stored columns, each
// device's days and partitions from their rows. Runs inside the migration's transaction.
void movePackedRows(sqlite3* db) {
    Stmt findString(db, "SELECT id FROM strings WHERE value = ?");
    const PackedTexts texts{[&](const std::string& t) -> std::optional<std::int64_t> {
                                Using u(findString);
                                if (!findString.bind(1, t).step()) return std::nullopt;
                                return findString.i64(0);
                            },
                            nullptr};
    Stmt old(db, "SELECT r.id, r.arrived_ms, r.app, r.device, r.kind, r.report_id, d.deviceid, s.value, r.channel,"
                 " r.name, r.content, r.pcosname, r.mac, r.pcosversion, r.pcname, r.pcusername, r.windowssid,"
                 " r.pccpuid, r.harddiskid, r.mainboardcode, r.body FROM reports r"
                 " LEFT JOIN devices d ON d.id = r.device LEFT JOIN strings s ON s.id = r.app");
    Stmt add(db, "INSERT INTO packed_reports VALUES (?,?,?,?,?,?,?,?,?)");
    {
        Using u(old);
        Report r;
        while (old.step()) {
            r.arrivedMs = old.i64(1);
            r.kind = static_cast<ReportKind>(old.i64(4));
            r.deviceId = old.text(6);
            r.appKey = old.text(7);
            r.channel = old.text(8);
            r.name = old.text(9);
            r.content = old.text(10);
            for (int i = 0; i < kInventoryColumns; ++i) r.inventory[static_cast<std::size_t>(i)] = old.text(11 + i);
            r.body = old.text(20);
            Using a(add);
            for (int c = 0; c < 4; ++c) add.bind(1 + c, old.i64(c));
            add.bind(5, old.i64(4));
            if (old.isNull(5)) add.bindNull(6);
            else add.bindBlob(6, old.text(5));
            bindPacked(add, 7, r, texts);
            add.step();
        }
    }
    Stmt devices(db, "SELECT app, device FROM app_device WHERE chan = 0");
    Stmt days(db, "SELECT chan, day, app_events, actions, device_reports FROM device_day WHERE app = ? AND device = ?");
    Stmt values(db, "SELECT chan, day, dim, sub, value, reports FROM value_device_day WHERE app = ? AND device = ?"
                    " AND dim <> 0");
    Stmt save(db, "INSERT INTO device_days VALUES (?,?,?,?)");
    Stmt partitions(db, "SELECT chan, first_day, first_ms, last_ms, app_events, actions, device_reports FROM app_device"
                        " WHERE app = ? AND device = ?");
    Stmt savePartitions(db, "UPDATE app_device SET parts = ? WHERE app = ? AND device = ? AND chan = 0");
    // The devices first: their rows change below.
    std::vector<std::pair<std::int64_t, std::int64_t>> keys;
    {
        Using u(devices);
        while (devices.step()) keys.emplace_back(devices.i64(0), devices.i64(1));
    }
    for (const auto& [app, device] : keys) {
        std::map<std::int64_t, DeviceDay> byDay;
        {
            Using d(days);
            days.bind(1, app).bind(2, device);
            while (days.step()) {
                PartitionDay& p = byDay[days.i64(1)][days.i64(0)];
                p.ae = days.i64(2);
                p.ac = days.i64(3);
                p.dr = days.i64(4);
            }
        }
        {
            Using v(values);
            values.bind(1, app).bind(2, device);
            while (values.step())
                byDay[values.i64(1)][values.i64(0)].values[{static_cast<int>(values.i64(2)), values.i64(3),
                                                             values.i64(4)}] = values.i64(5);
        }
        for (const auto& [day, parts] : byDay) save.bind(1, app).bind(2, device).bind(3, day).bindBlob(4, packDeviceDay(parts)).run();
        std::map<std::int64_t, DeviceRow> others;
        {
            Using p(partitions);
            partitions.bind(1, app).bind(2, device);
            while (partitions.step())
                others[partitions.i64(0)] = DeviceRow{static_cast<int>(partitions.i64(1)), partitions.i64(2),
                                                      partitions.i64(3), partitions.i64(4), partitions.i64(5),
                                                      partitions.i64(6)};
        }
        const DeviceRow every = others.at(0);
        others.erase(0);
        savePartitions.bindBlob(1, packDevicePartitions(every, others)).bind(2, app).bind(3, device).run();
    }
}

void migrate(sqlite3* db) {
    std::int64_t have = 0;
    exec(db, "BEGIN IMMEDIATE");
    try {
        exec(db, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, name TEXT NOT NULL,"
                 " applied_ms INTEGER NOT NULL)");
        Stmt current(db, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
        current.step();
        have = current.i64(0);
        current.reset();
        Stmt record(db, "INSERT INTO schema_version (version, name, applied_ms)"
                        " VALUES (?, ?, CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER))");
        for (const Migration& m : migrationsFor("sqlite")) {
            if (m.version <= have) continue;
            exec(db, m.sql);
            if (m.version == kPackedRowsVersion) movePackedRows(db);
            record.bind(1, m.version).bind(2, std::string(m.name)).run();
        }
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // A store moved over to the packed rows hands the pages of the old tables back to the file
    // system, once. It needs room for a copy of the store meanwhile; without it the pages stay
    // free in the file and the store works as well.
    if (have > 0 && have < kPackedRowsVersion) sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr);
}

// Rows for one table collected during a batch and written at its end, many to a statement: one
// statement run per row costs about as much again as the row itself. A statement is prepared once
// per row count, the counts halving from kMaxRows, so a batch of any size needs few of them.
class RowWriter {
public:
    // A string is bound as a blob, monostate as NULL.
    using Value = std::variant<std::int64_t, std::string, std::monostate>;
    RowWriter(sqlite3* db, std::string head, int columns, std::string tail)
        : db_(db), head_(std::move(head)), tail_(std::move(tail)), columns_(columns) {}
    void add(std::initializer_list<Value> row) { values_.insert(values_.end(), row.begin(), row.end()); }
    void write() {
        std::size_t at = 0;
        while (at < values_.size()) {
            std::size_t rows = kMaxRows;
            while (rows > 1 && rows * static_cast<std::size_t>(columns_) > values_.size() - at) rows /= 2;
            Stmt& s = statement(rows);
            Using u(s);
            for (std::size_t i = 0; i < rows * static_cast<std::size_t>(columns_); ++i, ++at) {
                const int param = static_cast<int>(i) + 1;
                if (const auto* n = std::get_if<std::int64_t>(&values_[at])) s.bind(param, *n);
                else if (const auto* b = std::get_if<std::string>(&values_[at])) s.bindBlob(param, *b);
                else s.bindNull(param);
            }
            s.step();
        }
        values_.clear();
    }
    void clear() { values_.clear(); }
    bool empty() const { return values_.empty(); }

private:
    static constexpr std::size_t kMaxRows = 64;
    Stmt& statement(std::size_t rows) {
        auto it = statements_.find(rows);
        if (it != statements_.end()) return it->second;
        std::string row = "(?";
        for (int c = 1; c < columns_; ++c) row += ",?";
        row += ")";
        std::string sql = head_ + " VALUES " + row;
        for (std::size_t r = 1; r < rows; ++r) sql += "," + row;
        return statements_.emplace(rows, Stmt(db_, (sql + " " + tail_).c_str())).first->second;
    }
    sqlite3* db_;
    std::string head_, tail_;
    int columns_;
    std::vector<Value> values_;
    std::map<std::size_t, Stmt> statements_;
};

// The writer: every statement the rollups need, prepared once.
class SqliteWriter final : public RollupTx {
public:
    explicit SqliteWriter(sqlite3* db)
        : db_(db),
          findString_(db, "SELECT id FROM strings WHERE value = ?"),
          addString_(db, "INSERT INTO strings (value) VALUES (?)"),
          findDevice_(db, "SELECT id FROM devices WHERE deviceid = ?"),
          addDevice_(db, "INSERT INTO devices (deviceid) VALUES (?)"),
          insertReport_(db, "INSERT INTO reports (arrived_ms, app, device, kind, report_id, parts, body, texts)"
                            " VALUES (?,?,?,?,?,?,?,?) ON CONFLICT DO NOTHING"),
          lastReportRow_(db, "SELECT COALESCE(MAX(id), 0) FROM reports"),
          markedReports_(db, "INSERT INTO reports (id, arrived_ms, app, device, kind, report_id, parts, body, texts)",
                         9, ""),
          idGone_(db, "SELECT 1 FROM report_ids_gone WHERE app = ? AND report_id = ?"),
          idStored_(db, "SELECT 1 FROM reports WHERE app = ? AND report_id = ?"),
          listMarkedIds_(db, "SELECT app, report_id FROM unsettled_reports WHERE report_id IS NOT NULL"
                             " UNION ALL SELECT app, report_id FROM waiting_report_ids"),
          keepErasedIds_(db, "INSERT INTO report_ids_gone SELECT app, report_id, arrived_ms FROM reports"
                             " WHERE app = ? AND device = ? AND report_id IS NOT NULL ON CONFLICT DO NOTHING"),
          saveInventory_(db, "INSERT INTO inventory VALUES (?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT (app, device)"
                             " DO UPDATE SET arrived_ms = excluded.arrived_ms, pcosname = excluded.pcosname,"
                             " mac = excluded.mac, pcosversion = excluded.pcosversion, pcname = excluded.pcname,"
                             " pcusername = excluded.pcusername, windowssid = excluded.windowssid,"
                             " pccpuid = excluded.pccpuid, harddiskid = excluded.harddiskid,"
                             " mainboardcode = excluded.mainboardcode WHERE excluded.arrived_ms >= inventory.arrived_ms"),
          lockDevice_(db, "SELECT first_day, first_ms, last_ms, app_events, actions, device_reports, parts FROM app_device"
                          " WHERE app = ? AND device = ? AND chan = 0"),
          saveDevice_(db, "INSERT OR REPLACE INTO app_device (app, device, chan, first_day, first_ms, last_ms,"
                          " app_events, actions, device_reports, parts)", 10, ""),
          loadDays_(db, "SELECT day, parts FROM device_days WHERE app = ? AND device = ? AND day >= ? AND day < ?"),
          loadOlderDays_(db, "SELECT day, parts FROM device_days WHERE app = ? AND device = ? AND day < ?"
                             " ORDER BY day DESC LIMIT 32"),
          saveDay_(db, "INSERT OR REPLACE INTO device_days (app, device, day, parts)", 4, ""),
          addDaily_(db, "INSERT INTO daily (app, chan, day, active, new_devices, app_events, actions, device_reports)", 8,
                    "ON CONFLICT (app, chan, day) DO UPDATE SET"
                    " active = active + excluded.active, new_devices = new_devices + excluded.new_devices,"
                    " app_events = app_events + excluded.app_events, actions = actions + excluded.actions,"
                    " device_reports = device_reports + excluded.device_reports"),
          addRetention_(db, "INSERT INTO retention (app, chan, day, n, devices)", 5,
                        "ON CONFLICT (app, chan, day, n) DO UPDATE SET devices = devices + excluded.devices"),
          addValueDayCount_(db, "INSERT INTO value_day (app, chan, dim, sub, day, value, reports)", 7,
                            "ON CONFLICT (app, chan, dim, sub, day, value) DO UPDATE SET reports = reports + excluded.reports"),
          addSpan_(db, "INSERT INTO value_span (app, chan, dim, sub, value, day, prev_day, devices)", 8,
                   "ON CONFLICT (app, chan, dim, sub, value, day, prev_day) DO UPDATE SET devices = devices + excluded.devices"),
          deleteReports_(db, "DELETE FROM reports WHERE app = ? AND device = ?"),
          deleteInventory_(db, "DELETE FROM inventory WHERE app = ? AND device = ?"),
          deleteAppDevice_(db, "DELETE FROM app_device WHERE app = ? AND device = ?"),
          deleteDeviceDays_(db, "DELETE FROM device_days WHERE app = ? AND device = ?"),
          deviceStillUsed_(db, "SELECT 1 FROM app_device WHERE device = ? LIMIT 1"),
          deleteDeviceId_(db, "DELETE FROM devices WHERE id = ?"),
          anyIdGone_(db, "SELECT EXISTS (SELECT 1 FROM report_ids_gone)") {
        checkIdsGone();
    }

    // Ids are remembered as gone only after an erasure or pruning, which most stores never see:
    // until then a report's id needs no look-up besides the unique index.
    void checkIdsGone() {
        Using u(anyIdGone_);
        idsGone_ = anyIdGone_.step() && anyIdGone_.i64(0) != 0;
    }
    void mayHoldIdsGone() { idsGone_ = true; }

    // Ids handed out in a transaction that rolls back must not survive it.
    void commit() {
        markedIds_.merge(pendingMarkedIds_);
        pendingMarkedIds_.clear();
        nextReportRow_.reset();
        for (auto& e : pendingStrings_) strings_.insert(std::move(e));
        pendingStrings_.clear();
        if (deviceIds_.size() + pendingDeviceIds_.size() > 200000) deviceIds_.clear();
        deviceIds_.merge(pendingDeviceIds_);
        pendingDeviceIds_.clear();
        newDevices_.clear();
        changedDevices_.clear();
        // The devices' rows and days in memory are the store's as committed: the next batch from
        // the same devices starts from them instead of reading and unpacking them again.
        if (devices_.size() > kKeptDevices || keptDays_ > kKeptDays) forgetDevices();
    }
    void forgetKept() {
        checkIdsGone();  // another process may have erased or pruned
        reloadMarkedIds();  // or stored or settled reports of its own
        deviceIds_.clear();
        pendingDeviceIds_.clear();
        forgetDevices();
    }
    void rollback() {
        for (RowWriter* w : {&markedReports_, &saveDevice_, &saveDay_, &addDaily_, &addRetention_, &addValueDayCount_,
                             &addSpan_})
            w->clear();
        nextReportRow_.reset();
        pendingMarkedIds_.clear();
        pendingStrings_.clear();
        pendingDeviceIds_.clear();
        newDevices_.clear();
        changedDevices_.clear();
        forgetDevices();
    }

    std::int64_t stringId(const std::string& text) override {
        if (auto it = strings_.find(text); it != strings_.end()) return it->second;
        if (auto it = pendingStrings_.find(text); it != pendingStrings_.end()) return it->second;
        std::int64_t id;
        if (auto found = findString(text)) {
            id = *found;
        } else {
            addString_.bind(1, text).run();
            id = sqlite3_last_insert_rowid(db_);
        }
        if (strings_.size() > 200000) strings_.clear();
        pendingStrings_.emplace(text, id);
        return id;
    }
    std::optional<std::int64_t> findString(const std::string& text) override {
        Using u(findString_);
        if (!findString_.bind(1, text).step()) return std::nullopt;
        return findString_.i64(0);
    }
    // Ids are kept across batches as strings are (an erasure that removes one forgets them all).
    std::int64_t deviceId(const std::string& text) override {
        if (auto it = deviceIds_.find(text); it != deviceIds_.end()) return it->second;
        if (auto it = pendingDeviceIds_.find(text); it != pendingDeviceIds_.end()) return it->second;
        std::int64_t id;
        if (auto found = findDevice(text)) {
            id = *found;
        } else {
            addDevice_.bind(1, text).run();
            id = sqlite3_last_insert_rowid(db_);
            newDevices_.insert(id);
        }
        pendingDeviceIds_.emplace(text, id);
        return id;
    }
    std::optional<std::int64_t> findDevice(const std::string& text) override {
        Using u(findDevice_);
        if (!findDevice_.bind(1, text).step()) return std::nullopt;
        return findDevice_.i64(0);
    }

    std::vector<bool> insertReports(const std::vector<ReportRow>& rows) override {
        if (reportsStored) return std::vector<bool>(rows.size(), true);
        std::vector<bool> stored;
        stored.reserve(rows.size());
        for (const ReportRow& row : rows) stored.push_back(insertReport(*row.report, row.app, row.device));
        return stored;
    }
    void saveInventory(std::int64_t app, std::int64_t device, const Report& r) override {
        Stmt& s = saveInventory_;
        Using u(s);
        s.bind(1, app).bind(2, device).bind(3, r.arrivedMs);
        for (int i = 0; i < kInventoryColumns; ++i) s.bind(4 + i, r.inventory[static_cast<std::size_t>(i)]);
        s.step();
    }
    // A device's rows of every partition are one app_device row (partition 0's, the others packed
    // in it), read once per batch and written in `flush`.
    std::optional<DeviceRow> lockDevice(std::int64_t app, std::int64_t device, std::int64_t chan) override {
        auto& rows = partitionsOf(app, device);
        auto it = rows.find(chan);
        if (it == rows.end()) return std::nullopt;
        return it->second;
    }
    void saveDevice(std::int64_t app, std::int64_t device, std::int64_t chan, const DeviceRow& d) override {
        partitionsOf(app, device)[chan] = d;
        changedDevices_.insert({app, device});
    }
    // A device's days in one partition live in memory: each question below is a lookup there,
    // and `flush` writes the days that changed, one row each.
    bool addDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day, std::int64_t ae,
                      std::int64_t ac, std::int64_t dr) override {
        DeviceDays& dev = deviceOf(app, device, day);
        auto [it, fresh] = dev.chans[chan].try_emplace(day);
        it->second.ae += ae;
        it->second.ac += ac;
        it->second.dr += dr;
        keptDays_ += fresh && chan == 0;
        changed(app, device, dev, day);
        return fresh;
    }
    bool deviceDayExists(std::int64_t app, std::int64_t device, std::int64_t chan, int day) override {
        return history(app, device, chan, day).count(day) > 0;
    }
    bool addValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day,
                           std::int64_t reports) override {
        DeviceDays& dev = deviceOf(app, device, day);
        auto& days = dev.chans[k.chan];
        auto it = days.find(day);
        if (it == days.end()) return false;
        auto value = it->second.values.find(valueOf(k));
        if (value == it->second.values.end()) return false;
        value->second += reports;
        changed(app, device, dev, day);
        return true;
    }
    std::optional<std::pair<int, int>> valueDaysAround(std::int64_t app, std::int64_t device, const ValueKey& k,
                                                       int day) override {
        const auto& days = history(app, device, k.chan, day);
        const auto key = valueOf(k);
        int before = kNoDay, after = kNoDay;
        // Older days are read only as far back as the value's last one: most values of a day were
        // there the day before.
        DeviceDays& dev = devices_.at({app, device});
        for (int below = day;;) {
            const auto stop = days.lower_bound(dev.loadedFrom);
            for (auto it = std::make_reverse_iterator(days.lower_bound(below)); it.base() != stop; ++it)
                if (it->second.values.count(key)) {
                    before = it->first;
                    break;
                }
            if (before != kNoDay || dev.complete) break;
            below = dev.loadedFrom;
            loadOlder(app, device, dev);
        }
        for (auto it = days.upper_bound(day); it != days.end(); ++it)
            if (it->second.values.count(key)) {
                after = it->first;
                break;
            }
        return std::make_pair(before, after);
    }
    // The previous day is not kept: it is the nearest earlier day holding the value.
    void insertValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int /*prevDay*/,
                              std::int64_t reports) override {
        DeviceDays& dev = deviceOf(app, device, day);
        auto& days = dev.chans[k.chan];
        auto it = days.find(day);
        if (it == days.end()) throw StoreError("sqlite: a value counted on a day its device has no row for");
        it->second.values[valueOf(k)] += reports;
        changed(app, device, dev, day);
    }
    void setPrevDay(std::int64_t, std::int64_t, const ValueKey&, int, int) override {}
    // Writes every day that changed, all its partitions in one row, and so each device's rows.
    void flush() override {
        for (const auto& key : changedDevices_) {
            auto& rows = appDevices_.at(key);
            auto every = rows.find(0);
            if (every == rows.end()) throw StoreError("sqlite: a device counted without its every-report partition");
            const DeviceRow& d = every->second;
            saveDevice_.add({key.first, key.second, std::int64_t{0}, std::int64_t{d.firstDay}, d.firstMs, d.lastMs,
                             d.appEvents, d.actions, d.deviceReports, packDevicePartitions(d, rows)});
        }
        changedDevices_.clear();
        std::vector<std::pair<std::int64_t, const PartitionDay*>> parts;
        for (const auto& key : touched_) {
            auto found = devices_.find(key);
            if (found == devices_.end()) continue;  // erased since
            std::vector<int>& changed = found->second.changedDays;
            std::sort(changed.begin(), changed.end());
            changed.erase(std::unique(changed.begin(), changed.end()), changed.end());
            for (const int day : changed) {
                parts.clear();
                for (const auto& [chan, days] : found->second.chans)
                    if (auto it = days.find(day); it != days.end()) parts.emplace_back(chan, &it->second);
                saveDay_.add({key.first, key.second, std::int64_t{day}, packDeviceDay(parts)});
            }
            changed.clear();
        }
        touched_.clear();
        for (RowWriter* w : {&markedReports_, &saveDevice_, &saveDay_, &addDaily_, &addRetention_, &addValueDayCount_,
                             &addSpan_})
            w->write();
    }
    void addDaily(std::int64_t app, std::int64_t chan, int day, std::int64_t active, std::int64_t fresh,
                  std::int64_t ae, std::int64_t ac, std::int64_t dr) override {
        addDaily_.add({app, chan, std::int64_t{day}, active, fresh, ae, ac, dr});
    }
    void addRetention(std::int64_t app, std::int64_t chan, int day, int n, std::int64_t delta) override {
        addRetention_.add({app, chan, std::int64_t{day}, std::int64_t{n}, delta});
    }
    void addValueDay(std::int64_t app, const ValueKey& k, int day, std::int64_t delta) override {
        addValueDayCount_.add({app, k.chan, std::int64_t{k.dim}, k.sub, std::int64_t{day}, k.value, delta});
    }
    void addSpan(std::int64_t app, const ValueKey& k, int day, int prevDay, std::int64_t delta) override {
        addSpan_.add({app, k.chan, std::int64_t{k.dim}, k.sub, k.value, std::int64_t{day}, std::int64_t{prevDay}, delta});
    }
    std::vector<std::pair<std::int64_t, DeviceRow>> lockDeviceRows(std::int64_t app, std::int64_t device) override {
        const auto& rows = partitionsOf(app, device);
        return {rows.begin(), rows.end()};
    }
    std::vector<DeviceDayRow> deviceDays(std::int64_t app, std::int64_t device) override {
        return deviceDayRowsOf(deviceOf(app, device, INT_MIN).chans);
    }
    std::vector<ValueDeviceDay> valueDeviceDays(std::int64_t app, std::int64_t device) override {
        return valueDeviceDaysOf(deviceOf(app, device, INT_MIN).chans);
    }
    void deleteDevice(std::int64_t app, std::int64_t device) override {
        // The erased reports' ids stay known, so a late repeat of one does not bring it back.
        keepErasedIds_.bind(1, app).bind(2, device).run();
        idsGone_ = true;
        lastDevice_ = nullptr;
        lastPartitions_ = nullptr;
        devices_.erase({app, device});
        appDevices_.erase({app, device});
        changedDevices_.erase({app, device});
        for (Stmt* s : {&deleteReports_, &deleteInventory_, &deleteAppDevice_, &deleteDeviceDays_})
            s->bind(1, app).bind(2, device).run();
        bool used;
        {
            Using u(deviceStillUsed_);
            used = deviceStillUsed_.bind(1, device).step();
        }
        if (!used) {
            deleteDeviceId_.bind(1, device).run();
            deviceIds_.clear();
            pendingDeviceIds_.clear();
        }
    }

    // While set, the reports a batch counts were stored by an earlier transaction (they are being
    // settled): the rollups are written and no report row.
    bool reportsStored = false;

    // The stored report's row id, its id left out of the row for the caller's mark to keep
    // (`idBytes`); 0 when it repeats an id.
    std::int64_t storeMarkedReport(const Report& r, std::int64_t app, std::int64_t device, std::string& idBytes) {
        idBytes = reportIdToBytes(r.reportId);
        if (!idBytes.empty()) {
            if (repeatsKnownId(app, idBytes)) return 0;
            Using u(idStored_);
            if (idStored_.bind(1, app).bindBlob(2, idBytes).step()) return 0;
            pendingMarkedIds_.insert(markedKey(app, idBytes));
        }
        return queueMarkedRow(r, app, device);
    }
    // The ids marks and waiting_report_ids hold, as the store has them now.
    void reloadMarkedIds() {
        markedIds_.clear();
        Using u(listMarkedIds_);
        while (listMarkedIds_.step()) markedIds_.insert(markedKey(listMarkedIds_.i64(0), listMarkedIds_.text(1)));
    }
    // Once filed, the ids are in their rows, where the unique index sees them.
    void forgetMarkedIds() { markedIds_.clear(); }
    std::size_t idsWaiting() const { return markedIds_.size(); }

private:
    // False when the report repeats an id the store holds (the unique index, or a mark) or remembers.
    bool insertReport(const Report& r, std::int64_t app, std::int64_t device) {
        const std::string id = reportIdToBytes(r.reportId);
        if (!id.empty() && repeatsKnownId(app, id)) return false;
        return insertRow(r, app, device, id);
    }
    // Ids gone from the rows (erased or pruned reports') and ids waiting in marks.
    bool repeatsKnownId(std::int64_t app, const std::string& id) {
        if (idsGone_) {
            Using u(idGone_);
            if (idGone_.bind(1, app).bindBlob(2, id).step()) return true;
        }
        if (markedIds_.empty() && pendingMarkedIds_.empty()) return false;
        const MarkedKey key = markedKey(app, id);
        return markedIds_.count(key) > 0 || pendingMarkedIds_.count(key) > 0;
    }
    // An id with its application, held without an allocation of its own.
    struct MarkedKey {
        std::int64_t app = 0;
        std::array<char, kReportIdBytes> id{};
        bool operator==(const MarkedKey& o) const { return app == o.app && id == o.id; }
    };
    struct MarkedKeyHash {  // the id's random bits are a hash already
        std::size_t operator()(const MarkedKey& k) const {
            std::uint64_t h = 0;
            std::memcpy(&h, k.id.data() + kReportIdBytes - sizeof h, sizeof h);
            return static_cast<std::size_t>(h ^ static_cast<std::uint64_t>(k.app) * 0x9E3779B97F4A7C15ull);
        }
    };
    static MarkedKey markedKey(std::int64_t app, std::string_view id) {
        MarkedKey k;
        k.app = app;
        std::memcpy(k.id.data(), id.data(), std::min(id.size(), k.id.size()));
        return k;
    }
    // A marked report's row waits for `flush`, to be written with the batch's others many to a
    // statement (one statement a row cost about as much again as the row). Its id is the one
    // SQLite would have given it, one past the largest, handed out here so its mark can name it.
    std::int64_t queueMarkedRow(const Report& r, std::int64_t app, std::int64_t device) {
        if (!nextReportRow_) {
            Using u(lastReportRow_);
            lastReportRow_.step();
            if (lastReportRow_.i64(0) == INT64_MAX) throw StoreError("sqlite: no report row id is left");
            nextReportRow_ = lastReportRow_.i64(0) + 1;
        }
        const std::int64_t row = (*nextReportRow_)++;
        const RowWriter::Value none{std::monostate{}}, kind{static_cast<std::int64_t>(r.kind)};
        if (auto parts = packReport(r, packedTexts_))
            markedReports_.add({row, r.arrivedMs, app, device, kind, none, std::move(*parts), none, none});
        else
            markedReports_.add({row, r.arrivedMs, app, device, kind, none, none, r.body, packDecodedTexts(r)});
        return row;
    }
    bool insertRow(const Report& r, std::int64_t app, std::int64_t device, const std::string& id) {
        // Queued rows first, so that SQLite's next id is the one after theirs.
        if (!markedReports_.empty()) markedReports_.write();
        nextReportRow_.reset();
        Stmt& s = insertReport_;
        Using u(s);
        s.bind(1, r.arrivedMs).bind(2, app).bind(3, device).bind(4, static_cast<std::int64_t>(r.kind));
        if (id.empty()) s.bindNull(5);
        else s.bindBlob(5, id);
        bindPacked(s, 6, r, packedTexts_);
        s.step();
        return s.changes() > 0;
    }
    static DeviceRow readDevice(const Stmt& s, int c) {
        return DeviceRow{static_cast<int>(s.i64(c)), s.i64(c + 1), s.i64(c + 2), s.i64(c + 3), s.i64(c + 4), s.i64(c + 5)};
    }
    struct Day : PartitionDay {};  // dimension 0 included while in memory
    using History = SortedMap<int, Day>;  // day -> the device's figures in one partition
    // A device's days in every partition, read newest first: every day from `loadedFrom` on is
    // in memory (INT_MIN once all of them are: `complete`).
    struct DeviceDays {
        std::map<std::int64_t, History> chans;
        int loadedFrom = INT_MAX;
        bool complete = false;
        std::vector<int> changedDays;  // days to write at the end of the batch
    };
    void changed(std::int64_t app, std::int64_t device, DeviceDays& dev, int day) {
        if (dev.changedDays.empty()) touched_.emplace_back(app, device);
        if (dev.changedDays.empty() || dev.changedDays.back() != day) dev.changedDays.push_back(day);
    }
    void forgetDevices() {
        lastDevice_ = nullptr;
        lastPartitions_ = nullptr;
        devices_.clear();
        appDevices_.clear();
        touched_.clear();
        keptDays_ = 0;
    }
    static DayValues::key_type valueOf(const ValueKey& k) { return {k.dim, k.sub, k.value}; }
    void keepDay(DeviceDays& dev, const Stmt& s) {
        const int day = static_cast<int>(s.i64(0));
        for (auto& [chan, d] : unpackDeviceDay(s.text(1))) static_cast<PartitionDay&>(dev.chans[chan][day]) = std::move(d);
        ++keptDays_;
    }
    // The device with at least its days from `from` on read.
    DeviceDays& deviceOf(std::int64_t app, std::int64_t device, int from) {
        // The rollups ask about one device many times in a row.
        if (!lastDevice_ || lastDeviceKey_ != std::make_pair(app, device)) {
            lastDevice_ = &devices_[{app, device}];
            lastDeviceKey_ = {app, device};
        }
        DeviceDays& dev = *lastDevice_;
        if (dev.complete || from >= dev.loadedFrom) return dev;
        if (newDevices_.count(device)) {  // no rows to read
            dev.complete = true;
            dev.loadedFrom = INT_MIN;
            return dev;
        }
        Using u(loadDays_);
        loadDays_.bind(1, app).bind(2, device).bind(3, from).bind(4, dev.loadedFrom);
        while (loadDays_.step()) keepDay(dev, loadDays_);
        dev.loadedFrom = from;
        dev.complete = from == INT_MIN;
        return dev;
    }
    void loadOlder(std::int64_t app, std::int64_t device, DeviceDays& dev) {
        Using u(loadOlderDays_);
        loadOlderDays_.bind(1, app).bind(2, device).bind(3, dev.loadedFrom);
        int rows = 0, oldest = dev.loadedFrom;
        for (; loadOlderDays_.step(); ++rows) {
            keepDay(dev, loadOlderDays_);
            oldest = static_cast<int>(loadOlderDays_.i64(0));
        }
        dev.complete = rows < 32;
        dev.loadedFrom = dev.complete ? INT_MIN : oldest;
    }
    History& history(std::int64_t app, std::int64_t device, std::int64_t chan, int day) {
        return deviceOf(app, device, day).chans[chan];
    }
    std::map<std::int64_t, DeviceRow>& partitionsOf(std::int64_t app, std::int64_t device) {
        if (lastPartitions_ && lastPartitionsKey_ == std::make_pair(app, device)) return *lastPartitions_;
        auto [it, fresh] = appDevices_.try_emplace({app, device});
        lastPartitions_ = &it->second;
        lastPartitionsKey_ = {app, device};
        if (!fresh || newDevices_.count(device)) return it->second;
        Using u(lockDevice_);
        if (lockDevice_.bind(1, app).bind(2, device).step()) {
            const DeviceRow every = readDevice(lockDevice_, 0);
            it->second = unpackDevicePartitions(every, lockDevice_.text(6));
            it->second[0] = every;
        }
        return it->second;
    }

    sqlite3* db_;
    std::unordered_map<std::string, std::int64_t> strings_, pendingStrings_, deviceIds_, pendingDeviceIds_;
    // (app, device): kept from batch to batch up to kKeptDevices devices or kKeptDays device-days
    // (a device-day holds every partition's figures of that day, a kilobyte or two), so the
    // writer's memory stays within a few tens of megabytes whatever the fleet.
    static constexpr std::size_t kKeptDevices = 10000, kKeptDays = 20000;
    std::map<std::pair<std::int64_t, std::int64_t>, DeviceDays> devices_;
    std::vector<std::pair<std::int64_t, std::int64_t>> touched_;  // devices with days to write
    DeviceDays* lastDevice_ = nullptr;
    std::pair<std::int64_t, std::int64_t> lastDeviceKey_;
    std::map<std::int64_t, DeviceRow>* lastPartitions_ = nullptr;
    std::pair<std::int64_t, std::int64_t> lastPartitionsKey_;
    std::size_t keptDays_ = 0;
    std::map<std::pair<std::int64_t, std::int64_t>, std::map<std::int64_t, DeviceRow>> appDevices_;
    std::set<std::pair<std::int64_t, std::int64_t>> changedDevices_;
    // Devices whose id this transaction created: they have no rows anywhere yet.
    std::unordered_set<std::int64_t> newDevices_;
    Stmt findString_, addString_, findDevice_, addDevice_, insertReport_, lastReportRow_;
    RowWriter markedReports_;
    std::optional<std::int64_t> nextReportRow_;  // while a transaction queues marked reports
    Stmt idGone_, idStored_, listMarkedIds_, keepErasedIds_,
        saveInventory_, lockDevice_;
    // (app, id) of reports whose ids are not in their rows yet (in their marks or waiting).
    std::unordered_set<MarkedKey, MarkedKeyHash> markedIds_, pendingMarkedIds_;
    RowWriter saveDevice_;
    Stmt loadDays_, loadOlderDays_;
    RowWriter saveDay_, addDaily_, addRetention_, addValueDayCount_, addSpan_;
    Stmt deleteReports_, deleteInventory_, deleteAppDevice_, deleteDeviceDays_, deviceStillUsed_, deleteDeviceId_;
    Stmt anyIdGone_;
    bool idsGone_ = true;
    const PackedTexts packedTexts_{[this](const std::string& t) -> std::optional<std::int64_t> { return stringId(t); },
                                   nullptr};
};

// A shared statement's `?` values bound in order, and its rows as the shared query code reads them.
void bindParams(Stmt& s, const std::vector<Param>& params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        const int at = static_cast<int>(i) + 1;
        if (const auto* n = std::get_if<std::int64_t>(&params[i])) s.bind(at, *n);
        else s.bind(at, std::get<std::string>(params[i]));
    }
}
struct SqliteRow final : Row {
    explicit SqliteRow(const Stmt& s) : s(s) {}
    std::int64_t i64(int c) const override { return s.i64(c); }
    bool isNull(int c) const override { return s.isNull(c); }
    std::string text(int c) const override { return s.text(c); }
    const Stmt& s;
};

// The filter rollups' statements on the writer connection, each prepared once.
class SqliteTxSql final : public TxSql {
public:
    explicit SqliteTxSql(sqlite3* db) : db_(db) {}
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<bool(const Row&)>& each) override {
        auto it = kept_.find(sql);
        if (it == kept_.end()) it = kept_.emplace(sql, Stmt(db_, sql.c_str())).first;
        Stmt& s = it->second;
        Using u(s);
        bindParams(s, params);
        SqliteRow row(s);
        while (s.step())
            if (!each(row)) break;
    }

private:
    sqlite3* db_;
    std::unordered_map<std::string, Stmt> kept_;
};

// Read side: plain SQL over a reader connection.
class SqliteReader final : public QuerySource {
public:
    explicit SqliteReader(sqlite3* db) : db_(db) {}
    void begin() override { exec(db_, "BEGIN"); }
    void end() override { sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr); }
    void query(const std::string& sql, const std::vector<Param>& params,
               const std::function<bool(const Row&)>& each, bool /*stream: SQLite steps row by row anyway*/) override {
        Stmt s(db_, sql.c_str());
        bindParams(s, params);
        SqliteRow row(s);
        while (s.step())
            if (!each(row)) break;
        s.reset();
    }

private:
    sqlite3* db_;
};

class SqliteStore final : public QueryStore {
public:
    SqliteStore(const std::string& path, const ReportingDays& days, std::size_t rejectsKept)
        : QueryStore(Dialect::Sqlite, days), path_(path), rejectsKept_(rejectsKept), db_(openDb(path, true)) {
        migrate(db_.get());
        writer_ = std::make_unique<SqliteWriter>(db_.get());
        filterSql_ = std::make_unique<SqliteTxSql>(db_.get());
        segments_ = std::make_unique<FilterSegments>(*filterSql_, true);
        begin_ = Stmt(db_.get(), "BEGIN IMMEDIATE");
        dataVersion_ = Stmt(db_.get(), "PRAGMA data_version");
        commit_ = Stmt(db_.get(), "COMMIT");
        insertReject_ = Stmt(db_.get(), "INSERT INTO rejects (arrived_ms, reason, body) VALUES (?, ?, ?)");
        trimRejects_ = Stmt(db_.get(), "DELETE FROM rejects WHERE id <= (SELECT MAX(id) FROM rejects) - ?");
        pruneSlice_ = Stmt(db_.get(), "CREATE TEMP TABLE IF NOT EXISTS prune_slice (id INTEGER PRIMARY KEY)");
        pruneSlice_.run();
        // Every key with reports has daily rows, so the per-key arrival index finds the slice.
        pickSlice_ = Stmt(db_.get(), "INSERT INTO prune_slice SELECT id FROM reports"
                                     " WHERE app IN (SELECT DISTINCT app FROM daily) AND arrived_ms < ? LIMIT 20000");
        keepPrunedIds_ = Stmt(db_.get(), "INSERT INTO report_ids_gone SELECT app, report_id, arrived_ms FROM reports"
                                         " WHERE id IN (SELECT id FROM prune_slice) AND report_id IS NOT NULL"
                                         " AND arrived_ms >= ? ON CONFLICT DO NOTHING");
        prune_ = Stmt(db_.get(), "DELETE FROM reports WHERE id IN (SELECT id FROM prune_slice)");
        clearSlice_ = Stmt(db_.get(), "DELETE FROM prune_slice");
        forgetIds_ = Stmt(db_.get(), "DELETE FROM report_ids_gone WHERE arrived_ms < ?");
        marks_ = std::make_unique<RowWriter>(db_.get(), "INSERT INTO unsettled_reports (report, app, report_id)", 3, "");
        listUnsettled_ = Stmt(db_.get(), "SELECT report FROM unsettled_reports ORDER BY report");
        loadUnsettled_ = Stmt(db_.get(), "SELECT r.arrived_ms, r.kind, d.deviceid, s.value, r.parts, r.body, r.texts"
                                         " FROM reports r JOIN devices d ON d.id = r.device"
                                         " JOIN strings s ON s.id = r.app WHERE r.id = ?");
        clearUnsettled_ = Stmt(db_.get(), "DELETE FROM unsettled_reports");
        keepWaitingIds_ = Stmt(db_.get(), "INSERT INTO waiting_report_ids SELECT report, app, report_id"
                                          " FROM unsettled_reports WHERE report_id IS NOT NULL");
        // Every waiting id was checked against the rows when its report came, so none collides
        // here; were one ever to, the rest would still be filed rather than wait for ever.
        fileIds_ = Stmt(db_.get(), "UPDATE OR IGNORE reports SET report_id = (SELECT w.report_id"
                                   " FROM waiting_report_ids w WHERE w.report = reports.id)"
                                   " WHERE id IN (SELECT report FROM waiting_report_ids)");
        clearWaitingIds_ = Stmt(db_.get(), "DELETE FROM waiting_report_ids");
        // Reports a crash left unsettled are counted before anything else reads or writes.
        settleLocked();
    }
    ~SqliteStore() override {
        try {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked();
        } catch (const std::exception&) {
            // Left marked: the next open settles them.
        }
    }

    // Only the report rows and their marks are written and synced: a report counted into the
    // rollups of every partition it belongs to dirties several pages per partition, which a
    // lone report would otherwise pay for in its own commit.
    AppendResult appendUnsettled(std::vector<Report> reports) override {
        if (reports.empty()) return {};
        std::lock_guard<std::mutex> lock(writeMutex_);
        if (unsettled_.size() >= kMaxUnsettled) settleLocked(true);
        AppendResult result;
        std::vector<std::pair<std::int64_t, Report*>> stored;
        inTransaction([&] {
            result = {};
            stored.clear();
            marks_->clear();
            for (Report& r : reports) {
                const std::int64_t app = writer_->stringId(r.appKey);
                std::string id;  // a repeat within the batch is found among the ids it marked
                const std::int64_t row = writer_->storeMarkedReport(r, app, writer_->deviceId(r.deviceId), id);
                if (row == 0) {
                    ++result.repeats;
                    continue;
                }
                const RowWriter::Value markedId = id.empty() ? RowWriter::Value{std::monostate{}} : RowWriter::Value{id};
                marks_->add({row, app, markedId});
                stored.emplace_back(row, &r);
                ++result.stored;
            }
            marks_->write();
        });
        // Kept without their ids: the marks hold them, and the rollups need none.
        for (const auto& [row, r] : stored) {
            Report& kept = unsettled_.emplace(row, std::move(*r)).first->second;
            kept.reportId.clear();
        }
        unsettledCount_.store(unsettled_.size());
        return result;
    }
    std::size_t unsettled() const override { return unsettledCount_.load(); }
    void settle() override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        settleLocked(true);
    }

    AppendResult append(const std::vector<Report>& reports) override {
        if (reports.empty()) return {};
        std::lock_guard<std::mutex> lock(writeMutex_);
        AppendResult result;
        inTransaction([&] { result = applyBatch(*writer_, days(), reports, filterRollups()); });
        return result;
    }

    void reject(const Rejected& r) override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        inTransaction([&] {
            insertReject_.bind(1, r.arrivedMs).bind(2, r.reason).bindBlob(3, r.body).run();
            trimRejects_.bind(1, static_cast<std::int64_t>(rejectsKept_)).run();
        });
    }

    bool eraseDevice(const std::string& appKey, const std::string& deviceId) override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        settleLocked();
        fileIdsLocked();
        bool found = false;
        inTransaction([&] { found = store::eraseDevice(*writer_, appKey, deviceId, segments_.get()); });
        return found;
    }

    std::int64_t prune(std::int64_t cutoffMs) override {
        const std::int64_t idsUntil = reportIdsKeptFrom();
        // In slices, so ingest waits for one slice at most.
        std::int64_t total = 0;
        for (;;) {
            std::lock_guard<std::mutex> lock(writeMutex_);
            settleLocked();
            fileIdsLocked();
            int n = 0;
            inTransaction([&] {
                clearSlice_.run();
                writer_->mayHoldIdsGone();
                pickSlice_.bind(1, cutoffMs).run();
                keepPrunedIds_.bind(1, idsUntil).run();
                prune_.run();
                n = prune_.changes();
                clearSlice_.run();
                if (n == 0) forgetIds_.bind(1, idsUntil).run();
            });
            total += n;
            if (n == 0) {
                writer_->checkIdsGone();
                return total;
            }
        }
    }

    // Packed reports are rebuilt here, the texts they refer to read in the same snapshot.
    void exportReports(const std::string& appKey, int fromDay, int toDay, const ReportSink& sink) override {
        exportReports(appKey, fromDay, toDay, Filters{}, sink);
    }
    void exportReports(const std::string& appKey, int fromDay, int toDay, const Filters& filters,
                       const ReportSink& sink) override {
        if (fromDay > toDay) return;
        struct Reading {
            Reading(SqliteStore& owner) : owner(owner), db(owner.takeReader()) { exec(db.get(), "BEGIN"); }
            ~Reading() {
                sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
                owner.giveBack(std::move(db));
            }
            SqliteStore& owner;
            Db db;
        } reading(*this);
        sqlite3* db = reading.db.get();
        Stmt find(db, "SELECT id FROM strings WHERE value = ?");
        auto idOf = [&](const std::string& text) -> std::optional<std::int64_t> {
            Using u(find);
            if (!find.bind(1, text).step()) return std::nullopt;
            return find.i64(0);
        };
        const auto app = idOf(appKey);
        if (!app) return;
        // A report's OS is its device's latest change point at or before it; a device without one
        // counts under "", as the rollups count it. The channel is in the packed values.
        std::string passes;
        std::vector<std::int64_t> osParams;
        const std::int64_t noOs = filters.byOs() ? idOf("").value_or(0) : 0;
        const std::pair<const std::optional<std::string>*, const char*> osFilters[] = {{&filters.os, "os"},
                                                                                       {&filters.osversion, "osver"}};
        for (const auto& [given, column] : osFilters) {
            if (!*given) continue;
            const auto wanted = (*given)->empty() ? std::optional<std::int64_t>(noOs) : idOf(**given);
            if (!wanted) return;  // a text never stored: no report has it
            passes += std::string(" AND COALESCE((SELECT o.") + column +
                      " FROM device_os o WHERE o.app = r.app AND o.device = r.device AND o.from_ms <= r.arrived_ms"
                      " ORDER BY o.from_ms DESC LIMIT 1), ?) = ?";
            osParams.insert(osParams.end(), {noOs, *wanted});
        }
        StringTexts strings(db);
        const PackedTexts texts{nullptr, [&](std::int64_t id) { return strings.text(id); }};
        // A report's id may still be in its mark or waiting to be filed.
        const std::string sql = "SELECT r.arrived_ms, r.kind, d.deviceid, r.parts, r.body, r.texts,"
                                " COALESCE(r.report_id, (SELECT u.report_id FROM unsettled_reports u WHERE u.report = r.id),"
                                " (SELECT w.report_id FROM waiting_report_ids w WHERE w.report = r.id))"
                                " FROM reports r JOIN devices d ON d.id = r.device"
                                " WHERE r.app = ? AND r.arrived_ms >= ? AND r.arrived_ms < ?" +
                                passes + " ORDER BY r.arrived_ms, r.id";
        Stmt rows(db, sql.c_str());
        Using u(rows);
        rows.bind(1, *app).bind(2, days().startOf(fromDay)).bind(3, days().startOf(toDay + 1));
        for (std::size_t i = 0; i < osParams.size(); ++i) rows.bind(4 + static_cast<int>(i), osParams[i]);
        Report rep;
        rep.appKey = appKey;
        while (rows.step()) {
            rep.arrivedMs = rows.i64(0);
            rep.kind = static_cast<ReportKind>(rows.i64(1));
            rep.deviceId = rows.text(2);
            if (!rows.isNull(3)) {
                unpackReport(rows.text(3), rep, texts);
            } else {
                rep.body = rows.text(4);
                unpackDecodedTexts(rows.text(5), rep);
            }
            rep.reportId = rows.isNull(6) ? std::string() : reportIdFromBytes(rows.text(6));
            if (filters.channel && rep.channel != *filters.channel) continue;
            if (!sink(rep)) break;
        }
    }

    // An import inserts out of key order and leaves pages part-filled (about a tenth of the file);
    // rewriting the file packs them.
    void compact() override {
        std::lock_guard<std::mutex> lock(writeMutex_);
        useSync(Sync::Now);
        exec(db_.get(), "VACUUM");
    }

protected:
    Db takeReader() {
        {
            std::lock_guard<std::mutex> lock(poolMutex_);
            if (!pool_.empty()) {
                Db db = std::move(pool_.back());
                pool_.pop_back();
                return db;
            }
        }
        return openDb(path_, false);
    }
    void giveBack(Db db) {
        std::lock_guard<std::mutex> lock(poolMutex_);
        if (pool_.size() < 8) pool_.push_back(std::move(db));
    }

    std::unique_ptr<QuerySource> borrow() override {
        // A figure asked for after a report was acknowledged includes it.
        if (unsettledCount_.load() > 0) {
            try {
                std::lock_guard<std::mutex> lock(writeMutex_);
                settleLocked();
            } catch (const StoreError&) {
                // The figures lag while the store cannot write; the writer tries again.
            }
        }
        return borrowAsCounted();
    }
    std::unique_ptr<QuerySource> borrowAsCounted() override {
        struct Lease final : QuerySource {
            Lease(SqliteStore& owner, Db db) : owner(owner), db(std::move(db)), reader(this->db.get()) {}
            ~Lease() override { owner.giveBack(std::move(db)); }
            void begin() override { reader.begin(); }
            void end() override { reader.end(); }
            void query(const std::string& sql, const std::vector<Param>& params,
                       const std::function<bool(const Row&)>& each, bool stream) override {
                reader.query(sql, params, each, stream);
            }
            SqliteStore& owner;
            Db db;
            SqliteReader reader;
        };
        return std::make_unique<Lease>(*this, takeReader());
    }

private:
    // The benchmark alone builds a server without the OS filters' rollups
    // (-DTALLYSCOPE_BENCH_WITHOUT_FILTER_ROLLUPS), to weigh what they add to ingest.
    FilterSegments* filterRollups() {
#ifdef TALLYSCOPE_BENCH_WITHOUT_FILTER_ROLLUPS
        return nullptr;
#else
        return segments_.get();
#endif
    }

    // Counts every marked report into the rollups and drops the marks, in one transaction. The
    // marks, not the reports kept in memory, say what is unsettled: another process opening the
    // store (an import) may have settled some already. The transaction is not synced on its own:
    // if it is lost, so are the marks' deletions, and the reports are settled again at the next
    // open; the next acknowledged report's sync makes it durable with it. The writer's own
    // settles (`fileDueIds`) also file the waiting ids once enough wait; a query that settles
    // first does so only past four times as many, so it seldom waits for the filing and the ids
    // in memory stay bounded however often queries come.
    void settleLocked(bool fileDueIds = false) {
        std::vector<std::int64_t> marked;
        {
            Using u(listUnsettled_);
            while (listUnsettled_.step()) marked.push_back(listUnsettled_.i64(0));
        }
        if (marked.empty()) {
            unsettled_.clear();
            unsettledCount_.store(0);
            return;
        }
        struct Stored {  // also after a failure
            ~Stored() { writer->reportsStored = false; }
            SqliteWriter* writer;
        } stored{writer_.get()};
        // Not synced: lost in a power cut, the rollups are written again from the marks.
        inTransaction([&] {
            std::vector<Report> reports;
            reports.reserve(marked.size());
            std::optional<StringTexts> strings;
            for (std::int64_t row : marked) {
                // Taken, not copied: should the transaction fail, the next settle reads the
                // report back from its row.
                if (auto kept = unsettled_.extract(row)) {
                    reports.push_back(std::move(kept.mapped()));
                    continue;
                }
                if (!strings) strings.emplace(db_.get());
                if (auto r = loadReport(row, *strings)) reports.push_back(std::move(*r));
            }
            writer_->reportsStored = true;
            applyBatch(*writer_, days(), reports, filterRollups());
            writer_->reportsStored = false;
            keepWaitingIds_.run();
            clearUnsettled_.run();
        }, Sync::Later);
        unsettled_.clear();
        unsettledCount_.store(0);
        if (writer_->idsWaiting() >= (fileDueIds ? kIdsFiledAt : 4 * kIdsFiledAt)) fileIdsLocked();
    }
    // Puts every waiting id into its report's row, in one transaction, so the index pages many
    // ids share are written once. Runs right after a settle (no mark holds an id then), and before
    // an erasure or pruning, which keep the ids of the rows they delete. Losing the transaction
    // in a crash loses nothing: the ids still wait and are filed again.
    void fileIdsLocked() {
        inTransaction([&] {
            fileIds_.run();
            clearWaitingIds_.run();
        });
        writer_->forgetMarkedIds();
    }
    // A stored report rebuilt from its row, as the export rebuilds it.
    std::optional<Report> loadReport(std::int64_t row, StringTexts& strings) {
        Stmt& s = loadUnsettled_;
        Using u(s);
        if (!s.bind(1, row).step()) return std::nullopt;  // erased by another process meanwhile
        Report r;
        r.arrivedMs = s.i64(0);
        r.kind = static_cast<ReportKind>(s.i64(1));
        r.deviceId = s.text(2);
        r.appKey = s.text(3);
        if (!s.isNull(4)) {
            unpackReport(s.text(4), r, PackedTexts{nullptr, [&](std::int64_t id) { return strings.text(id); }});
        } else {
            r.body = s.text(5);
            unpackDecodedTexts(s.text(6), r);
        }
        return r;  // without its id: stored already, there is nothing to check it against
    }

    // Now: the commit syncs the log before it returns. Later: it does not, and what it wrote is
    // durable once a later commit or checkpoint syncs the log (a power cut in between loses the
    // transaction whole, never part of it).
    enum class Sync { Now, Later };
    template <typename F>
    void inTransaction(F&& body, Sync sync = Sync::Now) {
        useSync(sync);
        begin_.run();
        try {
            // What the writer keeps in memory between batches holds only while no other process
            // (an import into the same folder) has written to the store.
            {
                Using u(dataVersion_);
                dataVersion_.step();
                if (dataVersion_.i64(0) != dataVersionSeen_) {
                    dataVersionSeen_ = dataVersion_.i64(0);
                    writer_->forgetKept();
                    segments_->forgetHistories();
                }
            }
            body();
            writer_->flush();
            commit_.run();
            writer_->commit();
            segments_->committed();
        } catch (...) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            writer_->rollback();
            segments_->rolledBack();
            throw;
        }
    }

    void useSync(Sync sync) {
        if ((sync == Sync::Later) == syncsLater_) return;
        // Made anew each time: a pragma's setting is made while it is prepared, so a kept
        // statement would apply it once and never again.
        exec(db_.get(), sync == Sync::Later ? "PRAGMA synchronous=NORMAL" : "PRAGMA synchronous=FULL");
        syncsLater_ = sync == Sync::Later;
    }

    std::string path_;
    bool syncsLater_ = false;  // the writer connection's synchronous setting: NORMAL, not FULL
    std::size_t rejectsKept_;
    Db db_;
    std::mutex writeMutex_;
    std::unique_ptr<SqliteWriter> writer_;
    std::unique_ptr<SqliteTxSql> filterSql_;
    std::unique_ptr<FilterSegments> segments_;
    std::int64_t dataVersionSeen_ = -1;
    // Unsettled reports by row id, as they came; past kMaxUnsettled the next append settles first.
    static constexpr std::size_t kMaxUnsettled = 5000;
    // Waiting ids filed at once: the more, the more of them share each index page written; they
    // are looked up in memory meanwhile.
    static constexpr std::size_t kIdsFiledAt = 20000;
    std::unordered_map<std::int64_t, Report> unsettled_;
    std::atomic<std::size_t> unsettledCount_{0};
    std::unique_ptr<RowWriter> marks_;  // the batch's marks, written many to a statement
    Stmt listUnsettled_, loadUnsettled_, clearUnsettled_, keepWaitingIds_, fileIds_, clearWaitingIds_;
    Stmt begin_, commit_, dataVersion_, insertReject_, trimRejects_, pruneSlice_, pickSlice_, keepPrunedIds_, prune_, clearSlice_, forgetIds_;
    std::mutex poolMutex_;
    std::vector<Db> pool_;
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& dataDir, const ReportingDays& days, std::size_t rejectsKept) {
    std::error_code ec;
    std::filesystem::create_directories(dataDir, ec);
    if (ec) throw StoreError("cannot create data folder " + dataDir + ": " + ec.message());
    if (sqlite3_threadsafe() == 0) throw StoreError("sqlite: library built without thread support");
    return std::make_unique<SqliteStore>((std::filesystem::path(dataDir) / "tallyscope.db").string(), days, rejectsKept);
}

}  // namespace tallyscope::server::store
