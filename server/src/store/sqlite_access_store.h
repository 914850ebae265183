#pragma once

#include <memory>
#include <string>

#include "store/access_store.h"

namespace tallyscope::server::store {

// The access store in `dataDir`/tallyscope.db, which the SQLite store has created and migrated.
std::unique_ptr<AccessStore> openSqliteAccessStore(const std::string& dataDir);

}  // namespace tallyscope::server::store
