-- Named tokens with roles, their sessions, read-only share links and the audit log. Secrets of
-- tokens and sessions are kept only as SHA-256 hashes (hex).
CREATE TABLE access_tokens (
    id INTEGER PRIMARY KEY,
    name TEXT NOT NULL UNIQUE,
    role TEXT NOT NULL CHECK (role IN ('admin', 'viewer')),
    secret_hash TEXT NOT NULL UNIQUE,
    created_ms INTEGER NOT NULL,
    last_used_ms INTEGER
);

CREATE TABLE access_sessions (
    secret_hash TEXT PRIMARY KEY,
    token_id INTEGER NOT NULL,
    expires_ms INTEGER NOT NULL
) WITHOUT ROWID;
CREATE INDEX access_sessions_by_token ON access_sessions (token_id);

-- expires_day: the last day (reporting time zone, days since 1970-01-01) the link opens; NULL: until revoked.
CREATE TABLE share_links (
    id TEXT PRIMARY KEY,
    app_key TEXT NOT NULL,
    expires_day INTEGER,
    created_ms INTEGER NOT NULL,
    created_by TEXT NOT NULL
) WITHOUT ROWID;
CREATE INDEX share_links_by_app ON share_links (app_key);

CREATE TABLE audit_log (
    id INTEGER PRIMARY KEY,
    at_ms INTEGER NOT NULL,
    address TEXT NOT NULL,
    actor TEXT NOT NULL,
    action TEXT NOT NULL,
    app_key TEXT NOT NULL,
    target TEXT NOT NULL
);
CREATE INDEX audit_log_by_time ON audit_log (at_ms);
