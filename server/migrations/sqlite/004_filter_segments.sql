-- Filters by OS. A segment is one combination of channel, OS name and OS version (each a string
-- id, or 0 for "any") with at least the OS name or version given; its figures live in the
-- rollup tables under chan = -id, kept exactly like a channel's own. A device's OS over time is
-- kept as the points where its device information changed it.
CREATE TABLE filter_segments (
    id INTEGER PRIMARY KEY,
    app INTEGER NOT NULL,
    chan INTEGER NOT NULL,
    os INTEGER NOT NULL,
    osver INTEGER NOT NULL,
    UNIQUE (app, chan, os, osver)
);
CREATE TABLE device_os (
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    from_ms INTEGER NOT NULL,
    os INTEGER NOT NULL,
    osver INTEGER NOT NULL,
    PRIMARY KEY (app, device, from_ms)
) WITHOUT ROWID;
