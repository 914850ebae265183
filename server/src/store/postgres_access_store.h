#pragma once

#include <memory>
#include <string>

#include "store/access_store.h"

namespace tallyscope::server::store {

// The access store in the PostgreSQL database `url` names, which the PostgreSQL store has migrated.
std::unique_ptr<AccessStore> openPostgresAccessStore(const std::string& url);

}  // namespace tallyscope::server::store
