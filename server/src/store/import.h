// Loads an export CSV (header row; only the `arrived`, `body` and, when present, `report_id`
// columns are read) into a store
// as if each report had arrived at its `arrived` time: every body is parsed again, rollups are
// kept as for live reports, and rows go in in large batches. Every row is stored once however
// often the file is imported: by its report id, or, for a row without one, by an id derived from
// its arrival and body (kept as the stored report's id).
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "store/store.h"

namespace tallyscope::server {

class TextDecoder;

struct ImportResult {
    std::int64_t imported = 0;
    std::int64_t repeats = 0;            // rows already stored (an earlier import), left as they were
    std::int64_t skipped = 0;            // rows whose time, body or report id could not be read
    std::vector<std::string> problems;   // the first few, "line N: reason"
};

// Throws StoreError when the file has no `arrived` or `body` column or the store fails.
ImportResult importCsv(Store& store, std::istream& in, TextDecoder& decoder, std::size_t batchSize = 20000,
                       const std::function<void(std::int64_t imported)>& progress = {});

// Walks an export in arrival order and recognises the ids `importCsv` derived for rows that had
// none, so that the export writes them as the file it came from did: empty. Export, import and
// export again then give the same bytes, and a sender's own ids are always written.
class DerivedIdRecognizer {
public:
    bool derived(const Report& report);

private:
    std::int64_t lastArrived_ = -1;
    std::map<std::string, std::int64_t> bodiesThisMs_;
};

// "2026-12-08T21:33:49Z" (optionally with fractional seconds) as ms since the Unix epoch.
std::optional<std::int64_t> parseUtcTimestamp(const std::string& text);

}  // namespace tallyscope::server
