// `tallyscope-server backup --data DIR FILE`: a consistent copy of a running SQLite store.
#pragma once

#include <cstdint>
#include <string>

namespace tallyscope::server::store {

struct BackupResult {
    std::int64_t pages = 0;
    std::int64_t bytes = 0;
};

// Copies `dataDir`/tallyscope.db to `file` with SQLite's online backup: one read transaction over
// the whole store, so the copy holds exactly the commits made before it began, while the server
// goes on committing (WAL readers never block the writer). The copy is checked, synced and then
// renamed into place, so `file` is either the old file or a whole new copy. Throws StoreError.
BackupResult backupSqlite(const std::string& dataDir, const std::string& file);

}  // namespace tallyscope::server::store
