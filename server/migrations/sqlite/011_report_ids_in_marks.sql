-- Report ids cost little to file. Ids are random, so each one filed alone dirties a leaf page
-- of the id index of its own, which the commit writes whole: a page per report, most of a lone
-- report's commit.
-- - An acknowledged report's id waits in its mark; when the report is settled the id moves on
--   to waiting_report_ids, in row order (pages filled one after the other); once enough wait,
--   one transaction puts them all into their rows, so leaf pages shared by many ids are written
--   once. Until then the writer looks waiting ids up in memory, loaded from these two tables.
--   Marks made before this step hold no id: their reports' rows already do.
-- - The index leads with the id's first 8 bytes as an integer (id_key), which compares in a few
--   instructions where the application's id and then a blob took hundreds per step down the
--   tree. The store fills id_key for the ids stored before this step.
ALTER TABLE unsettled_reports ADD COLUMN app INTEGER;
ALTER TABLE unsettled_reports ADD COLUMN report_id BLOB;
ALTER TABLE unsettled_reports ADD COLUMN id_key INTEGER;
CREATE TABLE waiting_report_ids (
    report INTEGER PRIMARY KEY,
    app INTEGER NOT NULL,
    report_id BLOB NOT NULL,
    id_key INTEGER NOT NULL
);
ALTER TABLE reports ADD COLUMN id_key INTEGER;
DROP INDEX reports_by_report_id;
CREATE UNIQUE INDEX reports_by_id_key ON reports (id_key, app, report_id) WHERE id_key IS NOT NULL;
