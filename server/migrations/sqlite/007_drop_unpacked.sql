-- The rows moved over by the step before: the old tables go, the packed reports take the name.
DROP TABLE value_device_day;
DROP TABLE device_day;
DROP TABLE reports;
ALTER TABLE packed_reports RENAME TO reports;
CREATE INDEX reports_by_app_arrival ON reports (app, arrived_ms);
CREATE INDEX reports_by_device ON reports (app, device);
CREATE UNIQUE INDEX reports_by_report_id ON reports (app, report_id) WHERE report_id IS NOT NULL;
DELETE FROM app_device WHERE chan <> 0;
