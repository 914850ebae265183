-- The figures' counters ride in the keys of the two largest rollups, so a figure is read from
-- the index alone. A table's rows lie in the order they were first written, one day's values
-- scattered over as many pages as rows; the key keeps them together, as a clustered table does.
ALTER TABLE value_span DROP CONSTRAINT value_span_pkey,
    ADD PRIMARY KEY (app, chan, dim, sub, value, day, prev_day) INCLUDE (devices);
ALTER TABLE value_day DROP CONSTRAINT value_day_pkey,
    ADD PRIMARY KEY (app, chan, dim, sub, day, value) INCLUDE (reports);
