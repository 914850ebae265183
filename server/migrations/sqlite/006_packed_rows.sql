-- Smaller rows for the same figures and exports. A device's day is one row (device_days) with
-- every partition's counts and reports per value packed in it, instead of a row per partition
-- and one more per value; the distinct-device spans' previous days follow from the days
-- themselves. A report keeps the values of its body instead of the body and its decoded texts
-- twice (parts); a body the template would not rebuild byte for byte is kept as it came (body)
-- with its decoded texts (texts). A device's totals in the partitions other than 0 are packed
-- in its partition-0 row of app_device (parts). The store moves the rows over between this step and the
-- next, which drops the old tables.
CREATE TABLE device_days (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    day INTEGER NOT NULL,
    parts BLOB NOT NULL,
    PRIMARY KEY (app, device, day)
) WITHOUT ROWID;
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
ALTER TABLE app_device ADD COLUMN parts BLOB NOT NULL DEFAULT x'';
