-- Pruning finds old reports per application key through reports_by_app_arrival, which the export
-- needs anyway; a second index on the arrival alone cost about 17 bytes a report.
DROP INDEX reports_by_arrival;
