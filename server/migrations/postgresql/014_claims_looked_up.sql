-- A claim read its reports by joining the claimed ids to `reports`. Planned with the array's real
-- length (about a thousand ids for one settle under load), the planner costed a thousand index
-- look-ups above a scan of a table it believed small, and hashed every report instead: 79 ms a
-- settle at 140 thousand reports, growing with the table until the look-ups won again somewhere
-- near a million. Each id is now looked up on its own (a LATERAL with LIMIT is never turned into
-- a join), which costs the same few pages however many reports are stored.
-- Only the last statement changed; what the claim does, and why in this order, is told in 012.
CREATE OR REPLACE FUNCTION claim_unsettled(wanted BIGINT[], most INTEGER, upto BIGINT)
RETURNS TABLE (report BIGINT, device BIGINT)
LANGUAGE plpgsql
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
    RETURN QUERY
    SELECT f.id, f.device FROM unnest(claimed) AS c(id)
    CROSS JOIN LATERAL (SELECT r.id, r.device::BIGINT AS device FROM reports r JOIN devices d ON d.id = r.device
                        WHERE r.id = c.id LIMIT 1) AS f
    ORDER BY f.id;
END
$$;
