-- Reports stored and acknowledged whose rollups are not written yet. A batch commits its rows
-- and one mark, synced; the writer counts the marked reports into the rollups shortly after, many
-- batches at once, in a transaction that also deletes their marks, so a crash in between leaves
-- the marks and whoever claims them next counts the reports, exactly once. A mark holds the
-- batch's row ids and device ids (one row a batch, not one a report: marks are written and
-- deleted at the rate reports come). Erasure leaves the marks of the rows it deletes: a claim
-- finds their reports gone and drops them.
CREATE TABLE unsettled_reports (
    batch BIGINT GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    reports BIGINT[] NOT NULL,
    devices BIGINT[] NOT NULL
);

-- Claims marks for the caller's transaction: the given ones (`wanted`), or when it is NULL up to
-- `most` of anyone's up to mark `upto`, oldest first (a caller settling what was there when it
-- began stops there, however fast new marks come). Returns the claimed reports that are still stored, with their
-- device ids, read after their devices are locked as an append locks them: an erasure of one of
-- those devices either committed before (its deleted reports are not returned) or waits for the
-- caller's commit (and then subtracts what the caller counted). Each statement of a PL/pgSQL
-- function reads with a snapshot of its own, so the last one sees the erasures the lock waited
-- for.
CREATE FUNCTION claim_unsettled(wanted BIGINT[], most INTEGER, upto BIGINT)
RETURNS TABLE (report BIGINT, device BIGINT)
LANGUAGE plpgsql
-- Planned for its arrays each call: a plan cached while the tables were small scans them whole
-- for every key, and keeps doing so as they grow.
SET plan_cache_mode = force_custom_plan
AS $$
#variable_conflict use_column
DECLARE
    claimed BIGINT[];
    devs BIGINT[];
    held INTEGER;
BEGIN
    IF wanted IS NULL THEN
        WITH c AS (DELETE FROM unsettled_reports u
                   WHERE u.batch IN (SELECT o.batch FROM unsettled_reports o WHERE o.batch <= upto
                                     ORDER BY o.batch LIMIT most)
                   RETURNING u.reports, u.devices)
        SELECT array_agg(r), (SELECT array_agg(DISTINCT d) FROM c, unnest(c.devices) AS d)
        INTO claimed, devs FROM c, unnest(c.reports) AS r;
    ELSE
        WITH c AS (DELETE FROM unsettled_reports u WHERE u.batch = ANY(wanted) RETURNING u.reports, u.devices)
        SELECT array_agg(r), (SELECT array_agg(DISTINCT d) FROM c, unnest(c.devices) AS d)
        INTO claimed, devs FROM c, unnest(c.reports) AS r;
    END IF;
    IF claimed IS NULL THEN
        RETURN;
    END IF;
    SELECT count(*) INTO held
    FROM (SELECT 1 FROM devices d WHERE d.id = ANY(devs) ORDER BY d.id FOR KEY SHARE) AS l;
    -- A look-up per claimed id (as `r.id = ANY(claimed)` a long array made it a scan).
    RETURN QUERY
    SELECT r.id, r.device::BIGINT FROM unnest(claimed) AS c(id)
    JOIN reports r ON r.id = c.id JOIN devices d ON d.id = r.device ORDER BY r.id;
END
$$;

-- A batch's rows and its mark in one statement, so that a batch whose texts and devices the
-- writer knows already costs one round trip and one synced commit, with no transaction around
-- it. Its devices are held by a shared advisory lock per device id, which an erasure takes
-- exclusively before it removes a device's id; a device id the writer kept from an earlier batch
-- whose device an erasure removed since fails the call as a serialization failure, and the
-- writer resolves the ids anew. (A row lock would do the same, but every batch of the same
-- device, from every server, would then share the row's lock, and each new holder would rewrite
-- the list of holders.) Row ids are drawn before the insert, so each
-- comes back beside its report's place in the batch (`ord`), with the mark's `batch`; a report
-- whose id is stored, or remembered as gone, does not come back.
CREATE FUNCTION store_marked(ords BIGINT[], arrived BIGINT[], apps BIGINT[], devs BIGINT[], kinds INTEGER[],
                             ids BYTEA[], parts BYTEA[], bodies BYTEA[], texts BYTEA[])
RETURNS TABLE (ord BIGINT, id BIGINT, batch BIGINT)
LANGUAGE plpgsql
-- Its plans are cached (planning each call would cost more than the call), but never as a scan
-- of a whole table, which a plan made while the store was young would be: every row it looks
-- for has an index.
SET enable_seqscan = off
AS $$
#variable_conflict use_column
DECLARE
    held INTEGER;
    -- Looked up once: as an expression of the row it would read the catalog for every row.
    ids_from REGCLASS := pg_get_serial_sequence('reports', 'id')::REGCLASS;
BEGIN
    PERFORM pg_advisory_xact_lock_shared(1952740729, k.x::INTEGER)
    FROM (SELECT DISTINCT x FROM unnest(devs) AS x ORDER BY x) AS k;
    SELECT count(*) INTO held FROM devices d WHERE d.id = ANY(devs);
    IF held <> (SELECT count(DISTINCT x) FROM unnest(devs) AS x) THEN
        RAISE EXCEPTION 'a device of the batch was erased meanwhile' USING ERRCODE = 'serialization_failure';
    END IF;
    RETURN QUERY
    WITH u AS MATERIALIZED (
        SELECT nextval(ids_from) AS id, v.*
        FROM unnest(ords, arrived, apps, devs, kinds, ids, parts, bodies, texts)
             AS v(ord, arrived_ms, app, device, kind, report_id, parts, body, texts)),
    ins AS (
        INSERT INTO reports AS r (id, arrived_ms, app, device, kind, report_id, parts, body, texts)
        SELECT u.id, u.arrived_ms, u.app, u.device, u.kind, u.report_id, u.parts, u.body, u.texts FROM u
        WHERE u.report_id IS NULL OR NOT EXISTS (SELECT 1 FROM report_ids_gone g
                                                 WHERE g.app = u.app AND g.report_id = u.report_id)
        ON CONFLICT (app, report_id) WHERE report_id IS NOT NULL DO NOTHING
        RETURNING r.id, r.device),
    mark AS (
        INSERT INTO unsettled_reports AS m (reports, devices)
        SELECT array_agg(ins.id), array_agg(DISTINCT ins.device::BIGINT) FROM ins HAVING count(*) > 0
        RETURNING m.batch)
    SELECT u.ord, u.id, (SELECT mark.batch FROM mark) FROM u JOIN ins ON ins.id = u.id;
END
$$;

-- The same for the batch's device rows, which the settles and erasures read (migration 009): it
-- locks devices by an array of ids, and a plan cached on a young store scans every device.
ALTER FUNCTION batch_device_days(BIGINT[], BIGINT[]) SET plan_cache_mode = force_custom_plan;
