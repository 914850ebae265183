// Who may do what, kept where every server sharing the store sees it at once: named tokens with
// their role (only a hash of each secret), the sessions signed in with them, the read-only share
// links of single applications, and the audit log. A store of its own beside the reports' Store,
// on the same SQLite file or PostgreSQL database (schema migration 005), so revoking a token, ending
// a session or withdrawing a share link takes effect on the next request any server answers.
//
// Threads: every method may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

namespace tallyscope::server {

struct NamedToken {
    std::int64_t id = 0;
    std::string name;
    std::string role;  // "admin" or "viewer"
    std::int64_t createdMs = 0;
    std::optional<std::int64_t> lastUsedMs;
};

struct ShareLink {
    std::string id;  // also the secret part of its URL
    std::string appKey;
    std::optional<int> expiresDay;  // the last day it opens (reporting time zone); none: until revoked
    std::int64_t createdMs = 0;
    std::string createdBy;  // name of the token that made it
};

struct AuditEntry {
    std::int64_t atMs = 0;
    std::string address;  // the client's address
    std::string actor;    // name of the token that acted ("" when none was valid)
    std::string action;   // "erase", "token_create", "signin_failed", ...
    std::string appKey;   // "" when not about one application
    std::string target;   // the device, token name or share link acted on
};

class AccessStore {
public:
    virtual ~AccessStore() = default;

    // The token whose secret has this hash.
    virtual std::optional<NamedToken> tokenByHash(const std::string& secretHash) = 0;
    // nullopt when the name is taken.
    virtual std::optional<NamedToken> createToken(const std::string& name, const std::string& role,
                                                   const std::string& secretHash, std::int64_t nowMs) = 0;
    virtual std::vector<NamedToken> tokens() = 0;
    // Removes the token and every session signed in with it; the removed token, if there was one.
    virtual std::optional<NamedToken> revokeToken(std::int64_t id) = 0;
    virtual void touchToken(std::int64_t id, std::int64_t nowMs) = 0;
    // Makes `name` an admin token with this secret hash: created when missing; when its secret
    // changed, the old secret's sessions end. True when anything changed.
    virtual bool ensureAdmin(const std::string& name, const std::string& secretHash, std::int64_t nowMs) = 0;

    virtual void createSession(const std::string& sessionHash, std::int64_t tokenId, std::int64_t expiresMs) = 0;
    // The token of a session that has not expired nor ended.
    virtual std::optional<NamedToken> sessionToken(const std::string& sessionHash, std::int64_t nowMs) = 0;
    virtual void endSession(const std::string& sessionHash) = 0;

    virtual void createShare(const ShareLink& share) = 0;
    virtual std::optional<ShareLink> share(const std::string& id) = 0;
    virtual std::vector<ShareLink> shares(const std::string& appKey) = 0;
    virtual bool revokeShare(const std::string& appKey, const std::string& id) = 0;

    virtual void audit(const AuditEntry& entry) = 0;
    // Entries from `fromMs` (inclusive) to `toMs` (exclusive), newest first, at most `limit`.
    virtual std::vector<AuditEntry> auditLog(std::int64_t fromMs, std::int64_t toMs, int limit) = 0;
    // Drops entries older than `cutoffMs` and sessions expired by then; returns entries dropped.
    virtual std::int64_t prune(std::int64_t cutoffMs) = 0;
};

// Opens the access store of the store `options` name, which must already be open (it applied
// the migrations). Throws StoreError.
std::unique_ptr<AccessStore> openAccessStore(const StoreOptions& options);

}  // namespace tallyscope::server
