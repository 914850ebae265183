-- The sender's report ids. A stored report keeps its id (the export writes it back, and the
-- unique index makes a repeat a no-op); once the report leaves (erasure, retention) its id is
-- remembered in report_ids_gone until the repeat window is over, so a late repeat still finds it.
-- Ids are 16 bytes; report_ids_gone holds no device, so an erasure leaves nothing of the device.
ALTER TABLE reports ADD COLUMN report_id BLOB;
CREATE UNIQUE INDEX reports_by_report_id ON reports (app, report_id) WHERE report_id IS NOT NULL;
CREATE TABLE report_ids_gone (
    app INTEGER NOT NULL,
    report_id BLOB NOT NULL,
    arrived_ms INTEGER NOT NULL,
    PRIMARY KEY (app, report_id)
) WITHOUT ROWID;
