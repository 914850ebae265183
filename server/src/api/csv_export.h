// The export file: one row per stored report, UTF-8, a header row, fields quoted as RFC 4180 asks
// (only when they hold a comma, a quote or a line break), rows ending in CRLF. Values a
// spreadsheet would run as a formula start with a ' there; the body column is always exact. The
// import command reads the same file back, so the columns and their order are a compatibility
// promise.
#pragma once

#include "store/store.h"

#include <string>
#include <string_view>

namespace tallyscope::server::api {

// "arrived,kind,deviceid,appkey,channel,name,content,pcosname,…,mainboardcode,body,report_id" + CRLF
// (report_id last, so readers of the older file find every earlier column where it was)
void appendCsvHeader(std::string& out);

void appendCsvRow(std::string& out, const Report& report);

// The kind's name in the export and in the API: "app_event", "action", "device_info".
std::string_view kindName(ReportKind kind);

// The body bytes as a UTF-8 field: valid UTF-8 (and so every body the library sends, which is
// ASCII) stays byte for byte; any byte that is not part of valid UTF-8 is written as %XX, which
// the body parser decodes back to the same byte, so an imported row yields the same values.
std::string bodyAsUtf8(std::string_view body);

}  // namespace tallyscope::server::api
