// The default store: one SQLite file in the data folder, in WAL mode so queries read while the
// writer commits. One writer connection with its statements prepared once; readers borrow
// connections of their own from a small pool.
#include "store/sqlite_store.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "core/days.h"
#include "core/report_id.h"
#include "store/filter_segments.h"
#include "store/migrations.h"
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

void migrate(sqlite3* db) {
    exec(db, "BEGIN IMMEDIATE");
    try {
        exec(db, "CREATE TABLE IF NOT EXISTS schema_version (version INTEGER PRIMARY KEY, name TEXT NOT NULL,"
                 " applied_ms INTEGER NOT NULL)");
        Stmt current(db, "SELECT COALESCE(MAX(version), 0) FROM schema_version");
        current.step();
        const std::int64_t have = current.i64(0);
        current.reset();
        Stmt record(db, "INSERT INTO schema_version (version, name, applied_ms)"
                        " VALUES (?, ?, CAST((julianday('now') - 2440587.5) * 86400000 AS INTEGER))");
        for (const Migration& m : migrationsFor("sqlite")) {
            if (m.version <= have) continue;
            exec(db, m.sql);
            record.bind(1, m.version).bind(2, std::string(m.name)).run();
        }
        exec(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

constexpr int kInventoryColumns = 9;

// The writer: every statement the rollups need, prepared once.
class SqliteWriter final : public RollupTx {
public:
    explicit SqliteWriter(sqlite3* db)
        : db_(db),
          findString_(db, "SELECT id FROM strings WHERE value = ?"),
          addString_(db, "INSERT INTO strings (value) VALUES (?)"),
          findDevice_(db, "SELECT id FROM devices WHERE deviceid = ?"),
          addDevice_(db, "INSERT INTO devices (deviceid) VALUES (?)"),
          insertReport_(db, "INSERT INTO reports (arrived_ms, app, device, kind, channel, name, content,"
                            " pcosname, mac, pcosversion, pcname, pcusername, windowssid, pccpuid, harddiskid,"
                            " mainboardcode, body, report_id) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)"
                            " ON CONFLICT DO NOTHING"),
          idGone_(db, "SELECT 1 FROM report_ids_gone WHERE app = ? AND report_id = ?"),
          keepErasedIds_(db, "INSERT INTO report_ids_gone SELECT app, report_id, arrived_ms FROM reports"
                             " WHERE app = ? AND device = ? AND report_id IS NOT NULL ON CONFLICT DO NOTHING"),
          saveInventory_(db, "INSERT INTO inventory VALUES (?,?,?,?,?,?,?,?,?,?,?,?) ON CONFLICT (app, device)"
                             " DO UPDATE SET arrived_ms = excluded.arrived_ms, pcosname = excluded.pcosname,"
                             " mac = excluded.mac, pcosversion = excluded.pcosversion, pcname = excluded.pcname,"
                             " pcusername = excluded.pcusername, windowssid = excluded.windowssid,"
                             " pccpuid = excluded.pccpuid, harddiskid = excluded.harddiskid,"
                             " mainboardcode = excluded.mainboardcode WHERE excluded.arrived_ms >= inventory.arrived_ms"),
          lockDevice_(db, "SELECT first_day, first_ms, last_ms, app_events, actions, device_reports FROM app_device"
                          " WHERE app = ? AND device = ? AND chan = ?"),
          saveDevice_(db, "INSERT OR REPLACE INTO app_device VALUES (?,?,?,?,?,?,?,?,?)"),
          updateDeviceDay_(db, "UPDATE device_day SET app_events = app_events + ?, actions = actions + ?,"
                               " device_reports = device_reports + ? WHERE app = ? AND device = ? AND chan = ? AND day = ?"),
          // A conflict here means days counted in another time zone than now: the counts add up
          // rather than the batch failing.
          insertDeviceDay_(db, "INSERT INTO device_day VALUES (?,?,?,?,?,?,?) ON CONFLICT DO UPDATE SET"
                               " app_events = app_events + excluded.app_events, actions = actions + excluded.actions,"
                               " device_reports = device_reports + excluded.device_reports"),
          deviceDayExists_(db, "SELECT 1 FROM device_day WHERE app = ? AND device = ? AND chan = ? AND day = ?"),
          updateValueDay_(db, "UPDATE value_device_day SET reports = reports + ? WHERE app = ? AND device = ?"
                              " AND chan = ? AND dim = ? AND sub = ? AND value = ? AND day = ?"),
          valueBefore_(db, "SELECT MAX(day) FROM value_device_day WHERE app = ? AND device = ? AND chan = ?"
                           " AND dim = ? AND sub = ? AND value = ? AND day < ?"),
          valueAfter_(db, "SELECT MIN(day) FROM value_device_day WHERE app = ? AND device = ? AND chan = ?"
                          " AND dim = ? AND sub = ? AND value = ? AND day > ?"),
          insertValueDay_(db, "INSERT INTO value_device_day VALUES (?,?,?,?,?,?,?,?,?) ON CONFLICT DO UPDATE SET"
                              " reports = reports + excluded.reports"),
          setPrev_(db, "UPDATE value_device_day SET prev_day = ? WHERE app = ? AND device = ? AND chan = ?"
                       " AND dim = ? AND sub = ? AND value = ? AND day = ?"),
          addDaily_(db, "INSERT INTO daily VALUES (?,?,?,?,?,?,?,?) ON CONFLICT (app, chan, day) DO UPDATE SET"
                        " active = active + excluded.active, new_devices = new_devices + excluded.new_devices,"
                        " app_events = app_events + excluded.app_events, actions = actions + excluded.actions,"
                        " device_reports = device_reports + excluded.device_reports"),
          addRetention_(db, "INSERT INTO retention VALUES (?,?,?,?,?) ON CONFLICT (app, chan, day, n)"
                            " DO UPDATE SET devices = devices + excluded.devices"),
          addValueDayCount_(db, "INSERT INTO value_day VALUES (?,?,?,?,?,?,?) ON CONFLICT (app, chan, dim, sub, day, value)"
                                " DO UPDATE SET reports = reports + excluded.reports"),
          addSpan_(db, "INSERT INTO value_span VALUES (?,?,?,?,?,?,?,?) ON CONFLICT"
                       " (app, chan, dim, sub, value, day, prev_day) DO UPDATE SET devices = devices + excluded.devices"),
          deviceRows_(db, "SELECT chan, first_day, first_ms, last_ms, app_events, actions, device_reports FROM app_device"
                          " WHERE app = ? AND device = ?"),
          deviceDays_(db, "SELECT chan, day, app_events, actions, device_reports FROM device_day WHERE app = ? AND device = ?"),
          valueDeviceDays_(db, "SELECT chan, dim, sub, value, day, prev_day, reports FROM value_device_day"
                               " WHERE app = ? AND device = ?"),
          deleteReports_(db, "DELETE FROM reports WHERE app = ? AND device = ?"),
          deleteInventory_(db, "DELETE FROM inventory WHERE app = ? AND device = ?"),
          deleteAppDevice_(db, "DELETE FROM app_device WHERE app = ? AND device = ?"),
          deleteDeviceDays_(db, "DELETE FROM device_day WHERE app = ? AND device = ?"),
          deleteValueDays_(db, "DELETE FROM value_device_day WHERE app = ? AND device = ?"),
          deviceStillUsed_(db, "SELECT 1 FROM app_device WHERE device = ? LIMIT 1"),
          deleteDeviceId_(db, "DELETE FROM devices WHERE id = ?") {}

    // Ids handed out in a transaction that rolls back must not survive it.
    void commit() { for (auto& e : pendingStrings_) strings_.insert(std::move(e)); pendingStrings_.clear(); }
    void rollback() { pendingStrings_.clear(); }

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
    std::int64_t deviceId(const std::string& text) override {
        if (auto found = findDevice(text)) return *found;
        addDevice_.bind(1, text).run();
        return sqlite3_last_insert_rowid(db_);
    }
    std::optional<std::int64_t> findDevice(const std::string& text) override {
        Using u(findDevice_);
        if (!findDevice_.bind(1, text).step()) return std::nullopt;
        return findDevice_.i64(0);
    }

    std::vector<bool> insertReports(const std::vector<ReportRow>& rows) override {
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
    std::optional<DeviceRow> lockDevice(std::int64_t app, std::int64_t device, std::int64_t chan) override {
        Using u(lockDevice_);
        if (!lockDevice_.bind(1, app).bind(2, device).bind(3, chan).step()) return std::nullopt;
        return readDevice(lockDevice_, 0);
    }
    void saveDevice(std::int64_t app, std::int64_t device, std::int64_t chan, const DeviceRow& d) override {
        saveDevice_.bind(1, app).bind(2, device).bind(3, chan).bind(4, d.firstDay).bind(5, d.firstMs)
            .bind(6, d.lastMs).bind(7, d.appEvents).bind(8, d.actions).bind(9, d.deviceReports).run();
    }
    bool addDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day, std::int64_t ae,
                      std::int64_t ac, std::int64_t dr) override {
        updateDeviceDay_.bind(1, ae).bind(2, ac).bind(3, dr).bind(4, app).bind(5, device).bind(6, chan)
            .bind(7, day).run();
        if (updateDeviceDay_.changes() > 0) return false;
        insertDeviceDay_.bind(1, app).bind(2, device).bind(3, chan).bind(4, day).bind(5, ae).bind(6, ac)
            .bind(7, dr).run();
        return true;
    }
    void insertDeviceDay(std::int64_t app, std::int64_t device, std::int64_t chan, int day, std::int64_t ae,
                         std::int64_t ac, std::int64_t dr) override {
        insertDeviceDay_.bind(1, app).bind(2, device).bind(3, chan).bind(4, day).bind(5, ae).bind(6, ac)
            .bind(7, dr).run();
    }
    int valueDayBefore(std::int64_t app, std::int64_t device, const ValueKey& k, int day) override {
        Using u(valueBefore_);
        bindValue(valueBefore_, 1, app, device, k).bind(7, day);
        if (valueBefore_.step() && !valueBefore_.isNull(0)) return static_cast<int>(valueBefore_.i64(0));
        return kNoDay;
    }
    bool deviceDayExists(std::int64_t app, std::int64_t device, std::int64_t chan, int day) override {
        Using u(deviceDayExists_);
        return deviceDayExists_.bind(1, app).bind(2, device).bind(3, chan).bind(4, day).step();
    }
    bool addValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day,
                           std::int64_t reports) override {
        updateValueDay_.bind(1, reports);
        bindValue(updateValueDay_, 2, app, device, k).bind(8, day).run();
        return updateValueDay_.changes() > 0;
    }
    std::optional<std::pair<int, int>> valueDaysAround(std::int64_t app, std::int64_t device, const ValueKey& k,
                                                       int day) override {
        int before = kNoDay, after = kNoDay;
        {
            Using u(valueBefore_);
            bindValue(valueBefore_, 1, app, device, k).bind(7, day);
            if (valueBefore_.step() && !valueBefore_.isNull(0)) before = static_cast<int>(valueBefore_.i64(0));
        }
        {
            Using u(valueAfter_);
            bindValue(valueAfter_, 1, app, device, k).bind(7, day);
            if (valueAfter_.step() && !valueAfter_.isNull(0)) after = static_cast<int>(valueAfter_.i64(0));
        }
        return std::make_pair(before, after);
    }
    void insertValueDeviceDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int prevDay,
                              std::int64_t reports) override {
        bindValue(insertValueDay_, 1, app, device, k).bind(7, day).bind(8, prevDay).bind(9, reports).run();
    }
    void setPrevDay(std::int64_t app, std::int64_t device, const ValueKey& k, int day, int prevDay) override {
        setPrev_.bind(1, prevDay);
        bindValue(setPrev_, 2, app, device, k).bind(8, day).run();
    }
    void addDaily(std::int64_t app, std::int64_t chan, int day, std::int64_t active, std::int64_t fresh,
                  std::int64_t ae, std::int64_t ac, std::int64_t dr) override {
        addDaily_.bind(1, app).bind(2, chan).bind(3, day).bind(4, active).bind(5, fresh).bind(6, ae).bind(7, ac)
            .bind(8, dr).run();
    }
    void addRetention(std::int64_t app, std::int64_t chan, int day, int n, std::int64_t delta) override {
        addRetention_.bind(1, app).bind(2, chan).bind(3, day).bind(4, n).bind(5, delta).run();
    }
    void addValueDay(std::int64_t app, const ValueKey& k, int day, std::int64_t delta) override {
        addValueDayCount_.bind(1, app).bind(2, k.chan).bind(3, k.dim).bind(4, k.sub).bind(5, day).bind(6, k.value)
            .bind(7, delta).run();
    }
    void addSpan(std::int64_t app, const ValueKey& k, int day, int prevDay, std::int64_t delta) override {
        addSpan_.bind(1, app).bind(2, k.chan).bind(3, k.dim).bind(4, k.sub).bind(5, k.value).bind(6, day)
            .bind(7, prevDay).bind(8, delta).run();
    }
    std::vector<std::pair<std::int64_t, DeviceRow>> lockDeviceRows(std::int64_t app, std::int64_t device) override {
        std::vector<std::pair<std::int64_t, DeviceRow>> out;
        Using u(deviceRows_);
        deviceRows_.bind(1, app).bind(2, device);
        while (deviceRows_.step()) out.emplace_back(deviceRows_.i64(0), readDevice(deviceRows_, 1));
        return out;
    }
    std::vector<DeviceDayRow> deviceDays(std::int64_t app, std::int64_t device) override {
        std::vector<DeviceDayRow> out;
        Using u(deviceDays_);
        deviceDays_.bind(1, app).bind(2, device);
        while (deviceDays_.step())
            out.push_back({deviceDays_.i64(0), static_cast<int>(deviceDays_.i64(1)), deviceDays_.i64(2),
                           deviceDays_.i64(3), deviceDays_.i64(4)});
        return out;
    }
    std::vector<ValueDeviceDay> valueDeviceDays(std::int64_t app, std::int64_t device) override {
        std::vector<ValueDeviceDay> out;
        Stmt& s = valueDeviceDays_;
        Using u(s);
        s.bind(1, app).bind(2, device);
        while (s.step())
            out.push_back({ValueKey{s.i64(0), static_cast<int>(s.i64(1)), s.i64(2), s.i64(3)},
                           static_cast<int>(s.i64(4)), static_cast<int>(s.i64(5)), s.i64(6)});
        return out;
    }
    void deleteDevice(std::int64_t app, std::int64_t device) override {
        // The erased reports' ids stay known, so a late repeat of one does not bring it back.
        keepErasedIds_.bind(1, app).bind(2, device).run();
        for (Stmt* s : {&deleteReports_, &deleteInventory_, &deleteAppDevice_, &deleteDeviceDays_, &deleteValueDays_})
            s->bind(1, app).bind(2, device).run();
        bool used;
        {
            Using u(deviceStillUsed_);
            used = deviceStillUsed_.bind(1, device).step();
        }
        if (!used) deleteDeviceId_.bind(1, device).run();
    }

private:
    // False when the report repeats an id the store holds (the unique index) or remembers.
    bool insertReport(const Report& r, std::int64_t app, std::int64_t device) {
        const std::string id = reportIdToBytes(r.reportId);
        if (!id.empty()) {
            Using u(idGone_);
            if (idGone_.bind(1, app).bindBlob(2, id).step()) return false;
        }
        Stmt& s = insertReport_;
        Using u(s);
        s.bind(1, r.arrivedMs).bind(2, app).bind(3, device).bind(4, static_cast<std::int64_t>(r.kind))
            .bind(5, r.channel).bind(6, r.name).bind(7, r.content);
        for (int i = 0; i < kInventoryColumns; ++i) {
            if (r.kind == ReportKind::DeviceInfo) s.bind(8 + i, r.inventory[static_cast<std::size_t>(i)]);
            else s.bindNull(8 + i);
        }
        s.bindBlob(17, r.body);
        if (id.empty()) s.bindNull(18);
        else s.bindBlob(18, id);
        s.step();
        return s.changes() > 0;
    }
    static DeviceRow readDevice(const Stmt& s, int c) {
        return DeviceRow{static_cast<int>(s.i64(c)), s.i64(c + 1), s.i64(c + 2), s.i64(c + 3), s.i64(c + 4), s.i64(c + 5)};
    }
    static Stmt& bindValue(Stmt& s, int first, std::int64_t app, std::int64_t device, const ValueKey& k) {
        return s.bind(first, app).bind(first + 1, device).bind(first + 2, k.chan).bind(first + 3, k.dim)
            .bind(first + 4, k.sub).bind(first + 5, k.value);
    }

    sqlite3* db_;
    std::unordered_map<std::string, std::int64_t> strings_, pendingStrings_;
    Stmt findString_, addString_, findDevice_, addDevice_, insertReport_, idGone_, keepErasedIds_, saveInventory_, lockDevice_, saveDevice_,
        updateDeviceDay_, insertDeviceDay_, deviceDayExists_, updateValueDay_, valueBefore_, valueAfter_,
        insertValueDay_, setPrev_, addDaily_, addRetention_, addValueDayCount_, addSpan_, deviceRows_, deviceDays_,
        valueDeviceDays_, deleteReports_, deleteInventory_, deleteAppDevice_, deleteDeviceDays_, deleteValueDays_,
        deviceStillUsed_, deleteDeviceId_;
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
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            if (const auto* n = std::get_if<std::int64_t>(&params[i])) s.bind(at, *n);
            else s.bind(at, std::get<std::string>(params[i]));
        }
        struct R final : Row {
            explicit R(const Stmt& s) : s(s) {}
            std::int64_t i64(int c) const override { return s.i64(c); }
            bool isNull(int c) const override { return s.isNull(c); }
            std::string text(int c) const override { return s.text(c); }
            const Stmt& s;
        } row(s);
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
        for (std::size_t i = 0; i < params.size(); ++i) {
            const int at = static_cast<int>(i) + 1;
            if (const auto* n = std::get_if<std::int64_t>(&params[i])) s.bind(at, *n);
            else s.bind(at, std::get<std::string>(params[i]));
        }
        SqliteRow row(s);
        while (s.step())
            if (!each(row)) break;
        s.reset();
    }

private:
    struct SqliteRow final : Row {
        explicit SqliteRow(const Stmt& s) : s(s) {}
        std::int64_t i64(int c) const override { return s.i64(c); }
        bool isNull(int c) const override { return s.isNull(c); }
        std::string text(int c) const override { return s.text(c); }
        const Stmt& s;
    };
    sqlite3* db_;
};

class SqliteStore final : public QueryStore {
public:
    SqliteStore(const std::string& path, const ReportingDays& days, std::size_t rejectsKept)
        : QueryStore(Dialect::Sqlite, days), path_(path), rejectsKept_(rejectsKept), db_(openDb(path, true)) {
        migrate(db_.get());
        writer_ = std::make_unique<SqliteWriter>(db_.get());
        filterSql_ = std::make_unique<SqliteTxSql>(db_.get());
        segments_ = std::make_unique<FilterSegments>(*filterSql_);
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
    }

    AppendResult append(const std::vector<Report>& reports) override {
        if (reports.empty()) return {};
        std::lock_guard<std::mutex> lock(writeMutex_);
        AppendResult result;
        inTransaction([&] { result = applyBatch(*writer_, days(), reports, segments_.get()); });
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
            int n = 0;
            inTransaction([&] {
                clearSlice_.run();
                pickSlice_.bind(1, cutoffMs).run();
                keepPrunedIds_.bind(1, idsUntil).run();
                prune_.run();
                n = prune_.changes();
                clearSlice_.run();
                if (n == 0) forgetIds_.bind(1, idsUntil).run();
            });
            total += n;
            if (n == 0) return total;
        }
    }

protected:
    std::unique_ptr<QuerySource> borrow() override {
        Db db;
        {
            std::lock_guard<std::mutex> lock(poolMutex_);
            if (!pool_.empty()) {
                db = std::move(pool_.back());
                pool_.pop_back();
            }
        }
        if (!db) db = openDb(path_, false);
        struct Lease final : QuerySource {
            Lease(SqliteStore& owner, Db db) : owner(owner), db(std::move(db)), reader(this->db.get()) {}
            ~Lease() override {
                std::lock_guard<std::mutex> lock(owner.poolMutex_);
                if (owner.pool_.size() < 8) owner.pool_.push_back(std::move(db));
            }
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
        return std::make_unique<Lease>(*this, std::move(db));
    }

private:
    template <typename F>
    void inTransaction(F&& body) {
        exec(db_.get(), "BEGIN IMMEDIATE");
        try {
            body();
            exec(db_.get(), "COMMIT");
            writer_->commit();
            segments_->committed();
        } catch (...) {
            sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            writer_->rollback();
            segments_->rolledBack();
            throw;
        }
    }

    std::string path_;
    std::size_t rejectsKept_;
    Db db_;
    std::mutex writeMutex_;
    std::unique_ptr<SqliteWriter> writer_;
    std::unique_ptr<SqliteTxSql> filterSql_;
    std::unique_ptr<FilterSegments> segments_;
    Stmt insertReject_, trimRejects_, pruneSlice_, pickSlice_, keepPrunedIds_, prune_, clearSlice_, forgetIds_;
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
