-- The sender's report ids. A stored report keeps its id (the export writes it back, and the
-- unique index makes a repeat a no-op, also between servers); once the report leaves (erasure,
-- retention) its id is remembered in report_ids_gone until the repeat window is over.
-- report_ids_gone holds no device, so an erasure leaves nothing of the device.
ALTER TABLE reports ADD COLUMN report_id BYTEA;
CREATE UNIQUE INDEX reports_by_report_id ON reports (app, report_id) WHERE report_id IS NOT NULL;
CREATE TABLE report_ids_gone (
    app BIGINT NOT NULL,
    report_id BYTEA NOT NULL,
    arrived_ms BIGINT NOT NULL,
    PRIMARY KEY (app, report_id)
);
