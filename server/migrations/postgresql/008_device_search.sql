-- Device look-up without a scan. Identifier prefixes, and the short texts' name prefixes, are
-- ranges of lowered values in byte order (the "C" collation, whatever the database's); a B-tree
-- entry has a size limit a hostile value could pass, so the keys are the values' first 64
-- characters. A computer or user name is found by any part of it of three characters or more
-- through pg_trgm's GIN index. pg_trgm ships with PostgreSQL; a role that may not create the
-- extension leaves the names to a scan, and the server says so at each start (it tries again
-- there, so a superuser's CREATE EXTENSION pg_trgm takes effect at the next start).
CREATE INDEX IF NOT EXISTS devices_by_lower_id ON devices ((left(lower(deviceid), 64)) COLLATE "C");
CREATE INDEX IF NOT EXISTS inventory_by_lower_pcname ON inventory (app, (left(lower(pcname), 64)) COLLATE "C");
CREATE INDEX IF NOT EXISTS inventory_by_lower_pcusername ON inventory (app, (left(lower(pcusername), 64)) COLLATE "C");
DO $$
BEGIN
    CREATE EXTENSION IF NOT EXISTS pg_trgm;
    -- Wherever the extension lives (a superuser's may be in a schema off this role's path).
    EXECUTE format('CREATE INDEX IF NOT EXISTS inventory_names_by_trigram ON inventory'
                   ' USING gin (lower(pcname) %1$I.gin_trgm_ops, lower(pcusername) %1$I.gin_trgm_ops)',
                   (SELECT n.nspname FROM pg_extension e JOIN pg_namespace n ON n.oid = e.extnamespace
                    WHERE e.extname = 'pg_trgm'));
EXCEPTION WHEN OTHERS THEN
    RAISE WARNING 'device names will be searched by a scan: %', SQLERRM;
END $$;
