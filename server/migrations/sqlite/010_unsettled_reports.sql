-- Reports stored and acknowledged whose rollups are not written yet. A lone report commits its
-- own row and this mark durably; the writer counts it into the rollups shortly after, in a
-- transaction that also deletes the mark, so a crash in between leaves the mark and the next
-- start counts the report then, exactly once.
CREATE TABLE unsettled_reports (
    report INTEGER PRIMARY KEY
);
