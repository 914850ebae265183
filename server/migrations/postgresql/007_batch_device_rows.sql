-- A batch's per-device rows in one round trip: its app_device rows locked in key order (a
-- placeholder row created, and so locked, where a device has none yet), then, read after the
-- locks are held, the device-days of those rows and the value-device-days of their devices.
-- Each statement of a PL/pgSQL function reads with a snapshot of its own, so the days read are
-- those the last holder of a lock committed. The devices are locked first, as an erasure locks
-- them: a device id the writer kept from an earlier batch whose device an erasure removed since
-- fails the batch as a serialization failure, and the writer runs it again, resolving the id anew. `what`: 1 an app_device row that existed (day =
-- first_day; n1..n5 first_ms, last_ms, app_events, actions, device_reports), 2 a device-day
-- (n1..n3 the counts per kind), 3 a value-device-day (n1 the reports).
CREATE FUNCTION batch_device_rows(apps BIGINT[], devs BIGINT[], chans BIGINT[])
RETURNS TABLE (what INTEGER, app BIGINT, device BIGINT, chan BIGINT, dim INTEGER, sub BIGINT,
               value BIGINT, day INTEGER, prev_day INTEGER,
               n1 BIGINT, n2 BIGINT, n3 BIGINT, n4 BIGINT, n5 BIGINT)
LANGUAGE plpgsql AS $$
#variable_conflict use_column
DECLARE
    created_app BIGINT[];
    created_device BIGINT[];
    created_chan BIGINT[];
    held INTEGER;
BEGIN
    SELECT count(*) INTO held
    FROM (SELECT 1 FROM devices d WHERE d.id = ANY(devs) ORDER BY d.id FOR KEY SHARE) AS l;
    IF held <> (SELECT count(DISTINCT x) FROM unnest(devs) AS x) THEN
        RAISE EXCEPTION 'a device of the batch was erased meanwhile' USING ERRCODE = 'serialization_failure';
    END IF;

    -- Placeholders first, in key order; a row another transaction created meanwhile makes ours
    -- a no-op and is locked below with the rows that were there.
    WITH added AS (
        INSERT INTO app_device AS a
        SELECT k.app, k.device, k.chan, 0, 0, 0, 0, 0, 0
        FROM unnest(apps, devs, chans) AS k(app, device, chan)
        ORDER BY k.app, k.device, k.chan
        ON CONFLICT DO NOTHING
        RETURNING a.app, a.device, a.chan)
    SELECT array_agg(added.app), array_agg(added.device), array_agg(added.chan)
    INTO created_app, created_device, created_chan FROM added;

    RETURN QUERY
    SELECT 1, a.app, a.device, a.chan, 0, 0::BIGINT, 0::BIGINT, a.first_day, 0,
           a.first_ms, a.last_ms, a.app_events, a.actions, a.device_reports
    FROM app_device a
    JOIN unnest(apps, devs, chans) AS k(app, device, chan)
        ON a.app = k.app AND a.device = k.device AND a.chan = k.chan
    -- NOT IN over the created keys is planned as a hashed subplan whatever size the cached plan
    -- guesses for the arrays; NOT EXISTS became a nested loop, quadratic in an import's batches.
    WHERE (a.app, a.device, a.chan) NOT IN (
        SELECT c.app, c.device, c.chan FROM unnest(created_app, created_device, created_chan) AS c(app, device, chan))
    ORDER BY a.app, a.device, a.chan
    FOR UPDATE OF a;

    RETURN QUERY
    SELECT 2, d.app, d.device, d.chan, 0, 0::BIGINT, 0::BIGINT, d.day, 0,
           d.app_events, d.actions, d.device_reports, 0::BIGINT, 0::BIGINT
    FROM device_day d
    JOIN unnest(apps, devs, chans) AS k(app, device, chan)
        ON d.app = k.app AND d.device = k.device AND d.chan = k.chan;

    RETURN QUERY
    SELECT 3, v.app, v.device, v.chan, v.dim, v.sub, v.value, v.day, v.prev_day,
           v.reports, 0::BIGINT, 0::BIGINT, 0::BIGINT, 0::BIGINT
    FROM value_device_day v
    JOIN (SELECT DISTINCT p.app, p.device FROM unnest(apps, devs) AS p(app, device)) AS k
        ON v.app = k.app AND v.device = k.device;
END
$$;
