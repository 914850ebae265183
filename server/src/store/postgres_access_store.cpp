// The access store in the reports' PostgreSQL database: a few connections of its own, each with
// every statement prepared once; values always travel as bound parameters. A connection that
// broke is dropped, and the next call opens a fresh one, so the store follows a restarted or
// failed-over database by itself.
#include "store/postgres_access_store.h"

#include <pqxx/pqxx>

#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

#include "store/pg_text.h"

namespace tallyscope::server::store {
namespace {

constexpr std::size_t kIdleConnections = 4;


const std::pair<const char*, const char*> kStatements[] = {
    {"token_by_hash", "SELECT id, name, role, created_ms, last_used_ms FROM access_tokens WHERE secret_hash = $1"},
    {"token_create",
     "INSERT INTO access_tokens (name, role, secret_hash, created_ms) VALUES ($1, $2, $3, $4)"
     " ON CONFLICT (name) DO NOTHING RETURNING id, name, role, created_ms, last_used_ms"},
    {"tokens", "SELECT id, name, role, created_ms, last_used_ms FROM access_tokens ORDER BY id"},
    {"token_revoke", "DELETE FROM access_tokens WHERE id = $1 RETURNING id, name, role, created_ms, last_used_ms"},
    {"token_sessions_end", "DELETE FROM access_sessions WHERE token_id = $1"},
    {"token_touch", "UPDATE access_tokens SET last_used_ms = $1 WHERE id = $2"},
    {"admin_find", "SELECT id, secret_hash, role FROM access_tokens WHERE name = $1 FOR UPDATE"},
    {"admin_insert",
     "INSERT INTO access_tokens (name, role, secret_hash, created_ms) VALUES ($1, 'admin', $2, $3)"
     " ON CONFLICT (name) DO NOTHING"},
    {"admin_update", "UPDATE access_tokens SET secret_hash = $1, role = 'admin' WHERE id = $2"},
    {"sessions_sweep", "DELETE FROM access_sessions WHERE expires_ms < $1"},
    {"session_create", "INSERT INTO access_sessions (secret_hash, token_id, expires_ms) VALUES ($1, $2, $3)"},
    {"session_token",
     "SELECT t.id, t.name, t.role, t.created_ms, t.last_used_ms FROM access_sessions s"
     " JOIN access_tokens t ON t.id = s.token_id WHERE s.secret_hash = $1 AND s.expires_ms > $2"},
    {"session_end", "DELETE FROM access_sessions WHERE secret_hash = $1"},
    {"share_create",
     "INSERT INTO share_links (id, app_key, expires_day, created_ms, created_by) VALUES ($1, $2, $3, $4, $5)"},
    {"share", "SELECT id, app_key, expires_day, created_ms, created_by FROM share_links WHERE id = $1"},
    {"shares",
     "SELECT id, app_key, expires_day, created_ms, created_by FROM share_links WHERE app_key = $1"
     " ORDER BY created_ms, id"},
    {"share_revoke", "DELETE FROM share_links WHERE id = $1 AND app_key = $2"},
    {"audit",
     "INSERT INTO audit_log (at_ms, address, actor, action, app_key, target) VALUES ($1, $2, $3, $4, $5, $6)"},
    {"audit_log",
     "SELECT at_ms, address, actor, action, app_key, target FROM audit_log"
     " WHERE at_ms >= $1 AND at_ms < $2 ORDER BY at_ms DESC, id DESC LIMIT $3"},
    {"audit_prune", "DELETE FROM audit_log WHERE at_ms < $1"},
};

NamedToken tokenAt(const pqxx::row& r) {
    NamedToken t;
    t.id = r[0].as<std::int64_t>();
    t.name = r[1].as<std::string>();
    t.role = r[2].as<std::string>();
    t.createdMs = r[3].as<std::int64_t>();
    if (!r[4].is_null()) t.lastUsedMs = r[4].as<std::int64_t>();
    return t;
}

ShareLink shareAt(const pqxx::row& r) {
    ShareLink s;
    s.id = r[0].as<std::string>();
    s.appKey = r[1].as<std::string>();
    if (!r[2].is_null()) s.expiresDay = r[2].as<int>();
    s.createdMs = r[3].as<std::int64_t>();
    s.createdBy = r[4].as<std::string>();
    return s;
}

class PostgresAccessStore final : public AccessStore {
public:
    explicit PostgresAccessStore(std::string url) : url_(std::move(url)) {
        // Fails at start, not at the first request, when the database cannot be reached.
        with([](pqxx::work&) {});
    }

    std::optional<NamedToken> tokenByHash(const std::string& hash) override {
        return read([&](pqxx::nontransaction& w) -> std::optional<NamedToken> {
            auto r = w.exec_prepared("token_by_hash", hash);
            if (r.empty()) return std::nullopt;
            return tokenAt(r[0]);
        });
    }

    std::optional<NamedToken> createToken(const std::string& name, const std::string& role, const std::string& hash,
                                          std::int64_t nowMs) override {
        return with([&](pqxx::work& w) -> std::optional<NamedToken> {
            auto r = w.exec_prepared("token_create", pgText(name), role, hash, nowMs);
            if (r.empty()) return std::nullopt;
            return tokenAt(r[0]);
        });
    }

    std::vector<NamedToken> tokens() override {
        return read([&](pqxx::nontransaction& w) {
            std::vector<NamedToken> out;
            for (const auto& row : w.exec_prepared("tokens")) out.push_back(tokenAt(row));
            return out;
        });
    }

    std::optional<NamedToken> revokeToken(std::int64_t id) override {
        return with([&](pqxx::work& w) -> std::optional<NamedToken> {
            auto r = w.exec_prepared("token_revoke", id);
            w.exec_prepared("token_sessions_end", id);
            if (r.empty()) return std::nullopt;
            return tokenAt(r[0]);
        });
    }

    void touchToken(std::int64_t id, std::int64_t nowMs) override {
        with([&](pqxx::work& w) { w.exec_prepared("token_touch", nowMs, id); });
    }

    bool ensureAdmin(const std::string& name, const std::string& hash, std::int64_t nowMs) override {
        return with([&](pqxx::work& w) {
            // Servers starting together: one inserts, the others then find and lock its row.
            if (w.exec_prepared("admin_insert", pgText(name), hash, nowMs).affected_rows() == 1) return true;
            auto r = w.exec_prepared("admin_find", pgText(name));
            if (r.empty()) throw StoreError("postgresql access store: token \"" + name + "\" vanished");
            const auto id = r[0][0].as<std::int64_t>();
            if (r[0][1].as<std::string>() == hash && r[0][2].as<std::string>() == "admin") return false;
            w.exec_prepared("admin_update", hash, id);
            w.exec_prepared("token_sessions_end", id);
            return true;
        });
    }

    void createSession(const std::string& hash, std::int64_t tokenId, std::int64_t expiresMs) override {
        with([&](pqxx::work& w) {
            // Sessions nobody ended go when they expire; one sweep per sign-in keeps the table small.
            w.exec_prepared("sessions_sweep", expiresMs - 86400000);
            w.exec_prepared("session_create", hash, tokenId, expiresMs);
        });
    }

    std::optional<NamedToken> sessionToken(const std::string& hash, std::int64_t nowMs) override {
        return read([&](pqxx::nontransaction& w) -> std::optional<NamedToken> {
            auto r = w.exec_prepared("session_token", hash, nowMs);
            if (r.empty()) return std::nullopt;
            return tokenAt(r[0]);
        });
    }

    void endSession(const std::string& hash) override {
        with([&](pqxx::work& w) { w.exec_prepared("session_end", hash); });
    }

    void createShare(const ShareLink& s) override {
        with([&](pqxx::work& w) {
            w.exec_prepared("share_create", s.id, pgText(s.appKey), s.expiresDay, s.createdMs, pgText(s.createdBy));
        });
    }

    std::optional<ShareLink> share(const std::string& id) override {
        return read([&](pqxx::nontransaction& w) -> std::optional<ShareLink> {
            auto r = w.exec_prepared("share", pgText(id));
            if (r.empty()) return std::nullopt;
            return shareAt(r[0]);
        });
    }

    std::vector<ShareLink> shares(const std::string& appKey) override {
        return read([&](pqxx::nontransaction& w) {
            std::vector<ShareLink> out;
            for (const auto& row : w.exec_prepared("shares", pgText(appKey))) out.push_back(shareAt(row));
            return out;
        });
    }

    bool revokeShare(const std::string& appKey, const std::string& id) override {
        return with([&](pqxx::work& w) {
            return w.exec_prepared("share_revoke", pgText(id), pgText(appKey)).affected_rows() > 0;
        });
    }

    void audit(const AuditEntry& e) override {
        with([&](pqxx::work& w) {
            w.exec_prepared("audit", e.atMs, pgText(e.address), pgText(e.actor), pgText(e.action), pgText(e.appKey),
                            pgText(e.target));
        });
    }

    std::vector<AuditEntry> auditLog(std::int64_t fromMs, std::int64_t toMs, int limit) override {
        return read([&](pqxx::nontransaction& w) {
            std::vector<AuditEntry> out;
            for (const auto& r : w.exec_prepared("audit_log", fromMs, toMs, limit))
                out.push_back({r[0].as<std::int64_t>(), r[1].as<std::string>(), r[2].as<std::string>(),
                               r[3].as<std::string>(), r[4].as<std::string>(), r[5].as<std::string>()});
            return out;
        });
    }

    std::int64_t prune(std::int64_t cutoffMs) override {
        return with([&](pqxx::work& w) {
            auto dropped = static_cast<std::int64_t>(w.exec_prepared("audit_prune", cutoffMs).affected_rows());
            w.exec_prepared("sessions_sweep", cutoffMs);
            return dropped;
        });
    }

private:
    // Runs `body` in one transaction on a pooled connection and commits it. The transaction is
    // gone before its connection goes back to the pool. A read of one statement runs as
    // `pqxx::nontransaction`: the statement is its own transaction, one round trip instead of
    // three (BEGIN, the statement, COMMIT) on every request that checks a token.
    template <typename Tx = pqxx::work, typename F>
    std::invoke_result_t<F&, Tx&> with(F&& body) {
        constexpr bool alone = std::is_same_v<Tx, pqxx::nontransaction>;
        bool pooled = false;
        std::unique_ptr<pqxx::connection> c = take(pooled);
        std::optional<Tx> w;
        // An idle connection to a server that went away fails at its first step (BEGIN, or the
        // one statement of a read), before anything ran: start over on a fresh one (after a
        // failover, to the host taking writes now).
        auto retried = [&](const auto& step) -> decltype(auto) {
            try {
                return step();
            } catch (const pqxx::broken_connection&) {
                if (!pooled) throw;
                w.reset();
                forgetIdle();
                c = take(pooled);
                return step();
            }
        };
        try {
            if constexpr (alone) w.emplace(*c);
            else retried([&] { w.emplace(*c); });
            auto step = [&]() -> decltype(auto) {
                if constexpr (alone) {
                    if (!w) w.emplace(*c);
                }
                return body(*w);
            };
            if constexpr (std::is_void_v<decltype(body(*w))>) {
                if constexpr (alone) retried(step);
                else step();
                w->commit();
                w.reset();
                give(std::move(c));
            } else {
                auto result = alone ? retried(step) : step();
                w->commit();
                w.reset();
                give(std::move(c));
                return result;
            }
        } catch (const pqxx::broken_connection& e) {
            w.reset();
            forgetIdle();
            throw StoreError(std::string("postgresql access store: connection lost: ") + e.what());
        } catch (const pqxx::sql_error& e) {
            // After a failed statement the connection is fine once the transaction is rolled back.
            w.reset();
            if (c->is_open()) give(std::move(c));
            else forgetIdle();
            throw StoreError(std::string("postgresql access store: ") + e.what());
        } catch (const pqxx::failure& e) {
            w.reset();
            forgetIdle();
            throw StoreError(std::string("postgresql access store: ") + e.what());
        } catch (...) {
            w.reset();
            throw;
        }
    }
    template <typename F>
    std::invoke_result_t<F&, pqxx::nontransaction&> read(F&& body) {
        return with<pqxx::nontransaction>(std::forward<F>(body));
    }

    // A lost connection says the server went away: the idle ones went to it too.
    void forgetIdle() {
        std::lock_guard lock(mutex_);
        idle_.clear();
    }

    std::unique_ptr<pqxx::connection> take(bool& pooled) {
        {
            std::lock_guard lock(mutex_);
            pooled = !idle_.empty();
            if (pooled) {
                auto c = std::move(idle_.back());
                idle_.pop_back();
                return c;
            }
        }
        try {
            auto c = std::make_unique<pqxx::connection>(url_);
            for (const auto& [name, sql] : kStatements) c->prepare(name, sql);
            return c;
        } catch (const pqxx::failure& e) {
            throw StoreError(std::string("postgresql access store: ") + e.what());
        }
    }

    void give(std::unique_ptr<pqxx::connection> c) {
        std::lock_guard lock(mutex_);
        if (idle_.size() < kIdleConnections) idle_.push_back(std::move(c));
    }

    const std::string url_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<pqxx::connection>> idle_;
};

}  // namespace

std::unique_ptr<AccessStore> openPostgresAccessStore(const std::string& url) {
    return std::make_unique<PostgresAccessStore>(url);
}

}  // namespace tallyscope::server::store
