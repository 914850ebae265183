-- Smaller rows for the same figures and exports. A device-day keeps its reports per value in
-- one packed column (vals) instead of a row per value; the distinct-device spans' previous days
-- follow from the days themselves. A report keeps the values of its body instead of the body
-- and its decoded texts twice (parts); a body the template would not rebuild byte for byte is
-- kept as it came (body) with its decoded texts (texts). The store moves the rows over between
-- this step and the next, which drops the old tables.
ALTER TABLE device_day ADD COLUMN vals BLOB NOT NULL DEFAULT x'';
CREATE TABLE packed_reports (
    id INTEGER PRIMARY KEY,
    arrived_ms INTEGER NOT NULL,
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    kind INTEGER NOT NULL,
    report_id BLOB,
    parts BLOB,
    body BLOB,
    texts BLOB
);
