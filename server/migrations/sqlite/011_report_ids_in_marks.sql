-- A report's id reaches the id index late and in large batches. Ids are random, so each one
-- filed alone dirties a leaf page of the index of its own, which the commit writes whole: a
-- page per report, most of a lone report's commit. An acknowledged report's id waits in its
-- mark; when the report is settled the id moves on to waiting_report_ids, in row order (pages
-- filled one after the other); once enough wait, one transaction puts them all into their rows,
-- so leaf pages shared by many ids are written once. Until then the writer looks waiting ids up
-- in memory, loaded from these two tables. Marks made before this step hold no id: their
-- reports' rows already do.
ALTER TABLE unsettled_reports ADD COLUMN app INTEGER;
ALTER TABLE unsettled_reports ADD COLUMN report_id BLOB;
CREATE TABLE waiting_report_ids (
    report INTEGER PRIMARY KEY,
    app INTEGER NOT NULL,
    report_id BLOB NOT NULL
);
