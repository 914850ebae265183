-- Reports stored and acknowledged whose rollups are not written yet. A batch commits its rows
-- and a mark per row, synced; the writer counts the marked reports into the rollups shortly
-- after, many batches at once, in a transaction that also deletes their marks, so a crash in
-- between leaves the marks and whoever claims them next counts the reports, exactly once.
-- Erasure leaves the marks of the rows it deletes: a claim finds their reports gone and drops
-- them.
CREATE TABLE unsettled_reports (
    report BIGINT PRIMARY KEY
);

-- Claims marks for the caller's transaction: the given reports' (`wanted`), or when it is NULL
-- up to `most` of anyone's, oldest first. Returns the claimed reports that are still stored,
-- with their device ids, read after their devices are locked as an append locks them: an
-- erasure of one of those devices either committed before (its deleted reports are not
-- returned) or waits for the caller's commit (and then subtracts what the caller counted). Each
-- statement of a PL/pgSQL function reads with a snapshot of its own, so the last one sees the
-- erasures the lock waited for.
CREATE FUNCTION claim_unsettled(wanted BIGINT[], most INTEGER)
RETURNS TABLE (report BIGINT, device BIGINT)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
    claimed BIGINT[];
    held INTEGER;
BEGIN
    IF wanted IS NULL THEN
        WITH c AS (DELETE FROM unsettled_reports u
                   WHERE u.report IN (SELECT o.report FROM unsettled_reports o ORDER BY o.report LIMIT most)
                   RETURNING u.report)
        SELECT array_agg(c.report) INTO claimed FROM c;
    ELSE
        WITH c AS (DELETE FROM unsettled_reports u WHERE u.report = ANY(wanted) RETURNING u.report)
        SELECT array_agg(c.report) INTO claimed FROM c;
    END IF;
    IF claimed IS NULL THEN
        RETURN;
    END IF;
    SELECT count(*) INTO held
    FROM (SELECT 1 FROM devices d
          WHERE d.id IN (SELECT r.device FROM reports r WHERE r.id = ANY(claimed))
          ORDER BY d.id FOR KEY SHARE) AS l;
    RETURN QUERY
    SELECT r.id, r.device::BIGINT FROM reports r JOIN devices d ON d.id = r.device
    WHERE r.id = ANY(claimed) ORDER BY r.id;
END
$$;
