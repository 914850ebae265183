-- A value's reports of a day ride in its distinct-device spans: a span row also sums the reports
-- of the device-days it counts, so the reports per value and day, a row more per value and day
-- with a key of its own, become a view summing them. The store fills the new column from the
-- device days right after this step.
ALTER TABLE value_span ADD COLUMN reports INTEGER NOT NULL DEFAULT 0;
ALTER TABLE value_span DROP CONSTRAINT value_span_pkey,
    ADD PRIMARY KEY (app, chan, dim, sub, value, day, prev_day) INCLUDE (devices, reports);
DROP TABLE value_day;
CREATE VIEW value_day AS
    SELECT app, chan, dim, sub, day, value, SUM(reports) AS reports FROM value_span WHERE dim <> 0
    GROUP BY app, chan, dim, sub, day, value;
