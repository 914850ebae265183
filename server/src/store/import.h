// Loads an export CSV (header row; only the `arrived`, `body` and, when present, `report_id`
// columns are read) into a store
// as if each report had arrived at its `arrived` time: every body is parsed again, rollups are
// kept as for live reports, and rows go in in large batches.
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

namespace tallyscope::server {

class TextDecoder;

struct ImportResult {
    std::int64_t imported = 0;
    std::int64_t repeats = 0;            // rows already stored (same report id), left as they were
    std::int64_t skipped = 0;            // rows whose time, body or report id could not be read
    std::vector<std::string> problems;   // the first few, "line N: reason"
};

// Throws StoreError when the file has no `arrived` or `body` column or the store fails.
ImportResult importCsv(Store& store, std::istream& in, TextDecoder& decoder, std::size_t batchSize = 20000,
                       const std::function<void(std::int64_t imported)>& progress = {});

// "2026-12-08T21:33:49Z" (optionally with fractional seconds) as ms since the Unix epoch.
std::optional<std::int64_t> parseUtcTimestamp(const std::string& text);

}  // namespace tallyscope::server
