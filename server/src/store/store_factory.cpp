#include "store/postgres_store.h"
#include "store/sqlite_store.h"
#include "store/store.h"

namespace tallyscope::server {

std::unique_ptr<Store> openStore(const StoreOptions& options, const ReportingDays& days) {
    if (!options.url.empty()) {
        if (options.url.rfind("postgresql://", 0) != 0 && options.url.rfind("postgres://", 0) != 0)
            throw StoreError("--store takes a postgresql:// URL");
        return store::openPostgresStore(options.url, days, options.rejectsKept);
    }
    return store::openSqliteStore(options.dataDir, days, options.rejectsKept);
}

}  // namespace tallyscope::server
