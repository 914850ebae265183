// The report path and the health check: POST /stat/pc.php and GET /healthz.
#pragma once

#include <string>
#include <vector>

#include "http/routes.h"
#include "ingest/report_writer.h"

namespace tallyscope::server {

struct IngestOptions {
    std::string legacyCharset = "WINDOWS-1252";
    std::vector<std::string> allowedApps;  // empty: every app key is taken
};

// Registers both paths. The writer must outlive the routes' use.
void addIngestRoutes(http::Routes& routes, ReportWriter& writer, IngestOptions options);

}  // namespace tallyscope::server
