-- Device look-up without a scan. A computer or user name is found by any part of it of three
-- characters or more through a trigram index (case folded); the index holds no copy of the names,
-- so a candidate is checked against the inventory, which stays the one record of them. The
-- triggers keep it in step with the inventory as device information arrives and as a device is
-- erased. An index row needs an integer id, and the inventory is keyed by application and
-- device, hence device_names.
CREATE TABLE device_names (
    id INTEGER PRIMARY KEY,
    app INTEGER NOT NULL,
    device INTEGER NOT NULL,
    UNIQUE (app, device)
);
CREATE VIRTUAL TABLE device_name_trigrams USING fts5(
    pcname, pcusername, tokenize = 'trigram', content = '', detail = 'none');

INSERT INTO device_names (app, device) SELECT app, device FROM inventory;
INSERT INTO device_name_trigrams (rowid, pcname, pcusername)
    SELECT n.id, i.pcname, i.pcusername FROM device_names n JOIN inventory i ON i.app = n.app AND i.device = n.device;

CREATE TRIGGER inventory_names_added AFTER INSERT ON inventory BEGIN
    INSERT OR IGNORE INTO device_names (app, device) VALUES (new.app, new.device);
    INSERT INTO device_name_trigrams (rowid, pcname, pcusername)
        SELECT id, new.pcname, new.pcusername FROM device_names WHERE app = new.app AND device = new.device;
END;
-- A contentless index forgets a row only when told the values it was given.
CREATE TRIGGER inventory_names_changed AFTER UPDATE OF pcname, pcusername ON inventory
    WHEN old.pcname IS NOT new.pcname OR old.pcusername IS NOT new.pcusername BEGIN
    INSERT INTO device_name_trigrams (device_name_trigrams, rowid, pcname, pcusername)
        SELECT 'delete', id, old.pcname, old.pcusername FROM device_names WHERE app = old.app AND device = old.device;
    INSERT INTO device_name_trigrams (rowid, pcname, pcusername)
        SELECT id, new.pcname, new.pcusername FROM device_names WHERE app = new.app AND device = new.device;
END;
CREATE TRIGGER inventory_names_removed AFTER DELETE ON inventory BEGIN
    INSERT INTO device_name_trigrams (device_name_trigrams, rowid, pcname, pcusername)
        SELECT 'delete', id, old.pcname, old.pcusername FROM device_names WHERE app = old.app AND device = old.device;
    DELETE FROM device_names WHERE app = old.app AND device = old.device;
END;

-- Identifier prefixes and the short texts' name prefixes, in any case, by range.
CREATE INDEX devices_by_lower_id ON devices (lower(deviceid));
CREATE INDEX inventory_by_lower_pcname ON inventory (app, lower(pcname));
CREATE INDEX inventory_by_lower_pcusername ON inventory (app, lower(pcusername));
