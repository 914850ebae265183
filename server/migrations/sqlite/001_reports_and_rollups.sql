-- Raw reports (kept for export and rebuilding) and the rollups every figure is read from.
-- Application keys, channels and values are interned in `strings`; device identifiers in
-- `devices`, so an erasure can remove the identifier itself.
CREATE TABLE strings (
    id INTEGER PRIMARY KEY,
    value TEXT NOT NULL UNIQUE
);
CREATE TABLE devices (
    id INTEGER PRIMARY KEY,
    deviceid TEXT NOT NULL UNIQUE
);
CREATE TABLE reports (
    id INTEGER PRIMARY KEY,
    arrived_ms INTEGER NOT NULL,
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    channel TEXT NOT NULL,
    name TEXT NOT NULL,
    content TEXT NOT NULL,
    pcosname TEXT, mac TEXT, pcosversion TEXT, pcname TEXT, pcusername TEXT,
    windowssid TEXT, pccpuid TEXT, harddiskid TEXT, mainboardcode TEXT,
    body BLOB NOT NULL
);
CREATE INDEX reports_by_app_arrival ON reports (app, arrived_ms);
CREATE INDEX reports_by_device ON reports (app, device);
CREATE INDEX reports_by_arrival ON reports (arrived_ms);

CREATE TABLE inventory (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    arrived_ms INTEGER NOT NULL,
    pcosname TEXT NOT NULL, mac TEXT NOT NULL, pcosversion TEXT NOT NULL, pcname TEXT NOT NULL,
    pcusername TEXT NOT NULL, windowssid TEXT NOT NULL, pccpuid TEXT NOT NULL,
    harddiskid TEXT NOT NULL, mainboardcode TEXT NOT NULL,
    PRIMARY KEY (app, device)
) WITHOUT ROWID;

CREATE TABLE app_device (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    first_day INTEGER NOT NULL,
    first_ms INTEGER NOT NULL,
    last_ms INTEGER NOT NULL,
    app_events INTEGER NOT NULL,
    actions INTEGER NOT NULL,
    device_reports INTEGER NOT NULL,
    PRIMARY KEY (app, device, chan)
) WITHOUT ROWID;

CREATE TABLE device_day (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    day INTEGER NOT NULL,
    app_events INTEGER NOT NULL,
    actions INTEGER NOT NULL,
    device_reports INTEGER NOT NULL,
    PRIMARY KEY (app, device, chan, day)
) WITHOUT ROWID;

CREATE TABLE daily (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    day INTEGER NOT NULL,
    active INTEGER NOT NULL,
    new_devices INTEGER NOT NULL,
    app_events INTEGER NOT NULL,
    actions INTEGER NOT NULL,
    device_reports INTEGER NOT NULL,
    PRIMARY KEY (app, chan, day)
) WITHOUT ROWID;

CREATE TABLE retention (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    day INTEGER NOT NULL,
    n INTEGER NOT NULL,
    devices INTEGER NOT NULL,
    PRIMARY KEY (app, chan, day, n)
) WITHOUT ROWID;

CREATE TABLE value_day (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    dim INTEGER NOT NULL,
    sub INTEGER NOT NULL,
    day INTEGER NOT NULL,
    value INTEGER NOT NULL,
    reports INTEGER NOT NULL,
    PRIMARY KEY (app, chan, dim, sub, day, value)
) WITHOUT ROWID;

CREATE TABLE value_device_day (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    dim INTEGER NOT NULL,
    sub INTEGER NOT NULL,
    value INTEGER NOT NULL,
    day INTEGER NOT NULL,
    prev_day INTEGER NOT NULL,
    reports INTEGER NOT NULL,
    PRIMARY KEY (app, device, chan, dim, sub, value, day)
) WITHOUT ROWID;

CREATE TABLE value_span (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    dim INTEGER NOT NULL,
    sub INTEGER NOT NULL,
    value INTEGER NOT NULL,
    day INTEGER NOT NULL,
    prev_day INTEGER NOT NULL,
    devices INTEGER NOT NULL,
    PRIMARY KEY (app, chan, dim, sub, value, day, prev_day)
) WITHOUT ROWID;

CREATE TABLE rejects (
    id INTEGER PRIMARY KEY,
    arrived_ms INTEGER NOT NULL,
    reason TEXT NOT NULL,
    body BLOB NOT NULL
);
