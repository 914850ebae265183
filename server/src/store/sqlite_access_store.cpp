// The access store on the SQLite file of the reports: connections of its own (one to read, one to
// write, so a lookup never waits behind a write waiting for the ingest writer's lock).
#include "store/sqlite_access_store.h"

#include <sqlite3.h>

#include <filesystem>
#include <mutex>

namespace tallyscope::server::store {
namespace {

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw StoreError("sqlite access store: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// One statement for one use: prepared, bound, stepped, finalised when it goes out of scope.
class Query {
public:
    Query(sqlite3* db, const char* sql) : db_(db) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) fail(db, std::string("prepare ") + sql);
        stmt_.reset(s);
    }
    Query& bind(std::int64_t v) { return check(sqlite3_bind_int64(stmt_.get(), ++at_, v)); }
    Query& bind(const std::string& v) {
        return check(sqlite3_bind_text(stmt_.get(), ++at_, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT));
    }
    Query& bind(const std::optional<int>& v) {
        return check(v ? sqlite3_bind_int64(stmt_.get(), ++at_, *v) : sqlite3_bind_null(stmt_.get(), ++at_));
    }
    bool step() {
        int rc = sqlite3_step(stmt_.get());
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, "step");
    }
    int run() {
        step();
        return sqlite3_changes(db_);
    }
    std::int64_t i64(int col) const { return sqlite3_column_int64(stmt_.get(), col); }
    bool isNull(int col) const { return sqlite3_column_type(stmt_.get(), col) == SQLITE_NULL; }
    std::string text(int col) const {
        const unsigned char* p = sqlite3_column_text(stmt_.get(), col);
        return p ? std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(sqlite3_column_bytes(stmt_.get(), col)))
                 : std::string();
    }

private:
    Query& check(int rc) {
        if (rc != SQLITE_OK) fail(db_, "bind");
        return *this;
    }
    sqlite3* db_;
    std::unique_ptr<sqlite3_stmt, StmtFinalize> stmt_;
    int at_ = 0;
};

void exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail(db, sql);
}

Db openDb(const std::string& path) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) fail(raw, "open " + path);
    sqlite3_busy_timeout(db.get(), 10000);
    exec(db.get(), "PRAGMA synchronous=FULL");
    return db;
}

constexpr const char* kTokenColumns = "id, name, role, created_ms, last_used_ms";

NamedToken tokenAt(const Query& q, int first = 0) {
    NamedToken t;
    t.id = q.i64(first);
    t.name = q.text(first + 1);
    t.role = q.text(first + 2);
    t.createdMs = q.i64(first + 3);
    if (!q.isNull(first + 4)) t.lastUsedMs = q.i64(first + 4);
    return t;
}

ShareLink shareAt(const Query& q) {
    ShareLink s;
    s.id = q.text(0);
    s.appKey = q.text(1);
    if (!q.isNull(2)) s.expiresDay = static_cast<int>(q.i64(2));
    s.createdMs = q.i64(3);
    s.createdBy = q.text(4);
    return s;
}

class SqliteAccessStore final : public AccessStore {
public:
    explicit SqliteAccessStore(const std::string& path) : reader_(openDb(path)), writer_(openDb(path)) {}

    std::optional<NamedToken> tokenByHash(const std::string& hash) override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(), "SELECT id, name, role, created_ms, last_used_ms FROM access_tokens WHERE secret_hash = ?");
        if (!q.bind(hash).step()) return std::nullopt;
        return tokenAt(q);
    }

    std::optional<NamedToken> createToken(const std::string& name, const std::string& role, const std::string& hash,
                                          std::int64_t nowMs) override {
        std::lock_guard lock(writeMutex_);
        Query q(writer_.get(),
                "INSERT INTO access_tokens (name, role, secret_hash, created_ms) VALUES (?, ?, ?, ?)"
                " ON CONFLICT (name) DO NOTHING RETURNING id, name, role, created_ms, last_used_ms");
        if (!q.bind(name).bind(role).bind(hash).bind(nowMs).step()) return std::nullopt;
        return tokenAt(q);
    }

    std::vector<NamedToken> tokens() override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(), "SELECT id, name, role, created_ms, last_used_ms FROM access_tokens ORDER BY id");
        std::vector<NamedToken> out;
        while (q.step()) out.push_back(tokenAt(q));
        return out;
    }

    std::optional<NamedToken> revokeToken(std::int64_t id) override {
        std::lock_guard lock(writeMutex_);
        std::optional<NamedToken> gone;
        inTransaction([&] {
            Query q(writer_.get(), "DELETE FROM access_tokens WHERE id = ? RETURNING id, name, role, created_ms, last_used_ms");
            if (q.bind(id).step()) gone = tokenAt(q);
            while (q.step()) {
            }
            Query(writer_.get(), "DELETE FROM access_sessions WHERE token_id = ?").bind(id).run();
        });
        return gone;
    }

    void touchToken(std::int64_t id, std::int64_t nowMs) override {
        std::lock_guard lock(writeMutex_);
        Query(writer_.get(), "UPDATE access_tokens SET last_used_ms = ? WHERE id = ?").bind(nowMs).bind(id).run();
    }

    bool ensureAdmin(const std::string& name, const std::string& hash, std::int64_t nowMs) override {
        std::lock_guard lock(writeMutex_);
        bool changed = false;
        inTransaction([&] {
            Query find(writer_.get(), "SELECT id, secret_hash, role FROM access_tokens WHERE name = ?");
            if (!find.bind(name).step()) {
                Query(writer_.get(), "INSERT INTO access_tokens (name, role, secret_hash, created_ms) VALUES (?, 'admin', ?, ?)")
                    .bind(name).bind(hash).bind(nowMs).run();
                changed = true;
                return;
            }
            const std::int64_t id = find.i64(0);
            if (find.text(1) == hash && find.text(2) == "admin") return;
            Query(writer_.get(), "UPDATE access_tokens SET secret_hash = ?, role = 'admin' WHERE id = ?").bind(hash).bind(id).run();
            Query(writer_.get(), "DELETE FROM access_sessions WHERE token_id = ?").bind(id).run();
            changed = true;
        });
        return changed;
    }

    void createSession(const std::string& hash, std::int64_t tokenId, std::int64_t expiresMs) override {
        std::lock_guard lock(writeMutex_);
        inTransaction([&] {
            // Sessions nobody ended go when they expire; one sweep per sign-in keeps the table small.
            Query(writer_.get(), "DELETE FROM access_sessions WHERE expires_ms < ?").bind(expiresMs - kDayMs).run();
            Query(writer_.get(), "INSERT INTO access_sessions (secret_hash, token_id, expires_ms) VALUES (?, ?, ?)")
                .bind(hash).bind(tokenId).bind(expiresMs).run();
        });
    }

    std::optional<NamedToken> sessionToken(const std::string& hash, std::int64_t nowMs) override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(),
                "SELECT t.id, t.name, t.role, t.created_ms, t.last_used_ms FROM access_sessions s"
                " JOIN access_tokens t ON t.id = s.token_id WHERE s.secret_hash = ? AND s.expires_ms > ?");
        if (!q.bind(hash).bind(nowMs).step()) return std::nullopt;
        return tokenAt(q);
    }

    void endSession(const std::string& hash) override {
        std::lock_guard lock(writeMutex_);
        Query(writer_.get(), "DELETE FROM access_sessions WHERE secret_hash = ?").bind(hash).run();
    }

    void createShare(const ShareLink& s) override {
        std::lock_guard lock(writeMutex_);
        Query(writer_.get(),
              "INSERT INTO share_links (id, app_key, expires_day, created_ms, created_by) VALUES (?, ?, ?, ?, ?)")
            .bind(s.id).bind(s.appKey).bind(s.expiresDay).bind(s.createdMs).bind(s.createdBy).run();
    }

    std::optional<ShareLink> share(const std::string& id) override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(), "SELECT id, app_key, expires_day, created_ms, created_by FROM share_links WHERE id = ?");
        if (!q.bind(id).step()) return std::nullopt;
        return shareAt(q);
    }

    std::vector<ShareLink> shares(const std::string& appKey) override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(),
                "SELECT id, app_key, expires_day, created_ms, created_by FROM share_links WHERE app_key = ?"
                " ORDER BY created_ms, id");
        q.bind(appKey);
        std::vector<ShareLink> out;
        while (q.step()) out.push_back(shareAt(q));
        return out;
    }

    bool revokeShare(const std::string& appKey, const std::string& id) override {
        std::lock_guard lock(writeMutex_);
        return Query(writer_.get(), "DELETE FROM share_links WHERE id = ? AND app_key = ?").bind(id).bind(appKey).run() > 0;
    }

    void audit(const AuditEntry& e) override {
        std::lock_guard lock(writeMutex_);
        Query(writer_.get(),
              "INSERT INTO audit_log (at_ms, address, actor, action, app_key, target) VALUES (?, ?, ?, ?, ?, ?)")
            .bind(e.atMs).bind(e.address).bind(e.actor).bind(e.action).bind(e.appKey).bind(e.target).run();
    }

    std::vector<AuditEntry> auditLog(std::int64_t fromMs, std::int64_t toMs, int limit) override {
        std::lock_guard lock(readMutex_);
        Query q(reader_.get(),
                "SELECT at_ms, address, actor, action, app_key, target FROM audit_log"
                " WHERE at_ms >= ? AND at_ms < ? ORDER BY at_ms DESC, id DESC LIMIT ?");
        q.bind(fromMs).bind(toMs).bind(static_cast<std::int64_t>(limit));
        std::vector<AuditEntry> out;
        while (q.step()) out.push_back({q.i64(0), q.text(1), q.text(2), q.text(3), q.text(4), q.text(5)});
        return out;
    }

    std::int64_t prune(std::int64_t cutoffMs) override {
        std::lock_guard lock(writeMutex_);
        std::int64_t dropped = 0;
        inTransaction([&] {
            dropped = Query(writer_.get(), "DELETE FROM audit_log WHERE at_ms < ?").bind(cutoffMs).run();
            Query(writer_.get(), "DELETE FROM access_sessions WHERE expires_ms < ?").bind(cutoffMs).run();
        });
        return dropped;
    }

private:
    static constexpr std::int64_t kDayMs = 86400000;

    template <typename F>
    void inTransaction(F&& body) {
        exec(writer_.get(), "BEGIN IMMEDIATE");
        try {
            body();
            exec(writer_.get(), "COMMIT");
        } catch (...) {
            sqlite3_exec(writer_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
    }

    std::mutex readMutex_, writeMutex_;
    Db reader_, writer_;
};

}  // namespace

std::unique_ptr<AccessStore> openSqliteAccessStore(const std::string& dataDir) {
    return std::make_unique<SqliteAccessStore>((std::filesystem::path(dataDir) / "tallyscope.db").string());
}

}  // namespace tallyscope::server::store
