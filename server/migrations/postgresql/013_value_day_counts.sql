-- A value's reports per day are kept in a row of their own again (migration 011 made them a view
-- summing the spans). The top values of a range are picked from these sums, one row per value and
-- day, and only the picked values' spans are read for their devices: through the view, a top list
-- read every span of the dimension in the range, near ninety thousand rows at ten million reports
-- to show ten values. The rows cost one more upsert per value and day in each settle, off the
-- answer path. The contents of one action (sub set) are left out: nearly each of those values has
-- one span a day, so their day counts would repeat the spans, seven in ten of all such rows at
-- ten million reports, and their top lists read the spans as before. The table is loaded before
-- it is keyed, so a large store builds the key once.
DROP VIEW value_day;
CREATE TABLE value_day (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    dim SMALLINT NOT NULL,
    sub INTEGER NOT NULL,
    day INTEGER NOT NULL,
    value INTEGER NOT NULL,
    reports BIGINT NOT NULL
);
INSERT INTO value_day
    SELECT app, chan, dim, sub, day, value, SUM(reports) FROM value_span WHERE dim <> 0 AND sub = 0
    GROUP BY app, chan, dim, sub, day, value HAVING SUM(reports) <> 0
    ORDER BY app, chan, dim, sub, day, value;
ALTER TABLE value_day ADD PRIMARY KEY (app, chan, dim, sub, day, value) INCLUDE (reports);
ANALYZE value_day;
