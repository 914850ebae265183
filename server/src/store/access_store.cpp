#include "store/access_store.h"

#include "store/postgres_access_store.h"
#include "store/sqlite_access_store.h"

namespace tallyscope::server {

std::unique_ptr<AccessStore> openAccessStore(const StoreOptions& options) {
    if (!options.url.empty()) return store::openPostgresAccessStore(options.url);
    return store::openSqliteAccessStore(options.dataDir);
}

}  // namespace tallyscope::server
