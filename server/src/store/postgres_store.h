#pragma once

#include <memory>
#include <string>

#include "store/store.h"

namespace tallyscope::server::store {

// The store in the PostgreSQL database `url` names, migrated when needed; several processes
// may share it.
std::unique_ptr<Store> openPostgresStore(const std::string& url, const ReportingDays& days, std::size_t rejectsKept);

}  // namespace tallyscope::server::store
