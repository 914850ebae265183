#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tallyscope::server::store {

// The store in `dataDir`/tallyscope.db, created and migrated when needed.
std::unique_ptr<Store> openSqliteStore(const std::string& dataDir, const ReportingDays& days, std::size_t rejectsKept);

}  // namespace tallyscope::server::store
