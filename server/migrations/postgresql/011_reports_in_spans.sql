-- A value's reports of a day ride in its distinct-device spans: a span row also sums the reports
-- of the device-days it counts, so the reports per value and day, a row more per value and day
-- with a key of its own, become a view summing them. Adding the column in place and updating
-- every row would write each row and its key entry twice, in one transaction, for hours on a
-- large store; instead the spans are written once more into value_span_next, with the reports
-- the store sums from the device days right after this step. It loads the new table in key
-- order, keys it once loaded and puts it in value_span's place (the view below follows the table
-- through the rename).
DROP TABLE value_day;
CREATE TABLE value_span_next (
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    dim SMALLINT NOT NULL,
    sub INTEGER NOT NULL,
    value INTEGER NOT NULL,
    day INTEGER NOT NULL,
    prev_day INTEGER NOT NULL,
    devices INTEGER NOT NULL,
    reports INTEGER NOT NULL DEFAULT 0
);
CREATE VIEW value_day AS
    SELECT app, chan, dim, sub, day, value, SUM(reports) AS reports FROM value_span_next WHERE dim <> 0
    GROUP BY app, chan, dim, sub, day, value;
