// Versioned schema changes, one SQL file per version and backend under server/migrations,
// compiled into the binary. A store applies, in one transaction each, every version above the
// highest one recorded in its schema_version table.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace tallyscope::server::store {

struct Migration {
    const char* backend;  // "sqlite" or "postgresql"
    int version;
    const char* name;
    const char* sql;
};

const std::vector<Migration>& embeddedMigrations();

// The migrations of one backend, oldest first.
std::vector<Migration> migrationsFor(const std::string& backend);

}  // namespace tallyscope::server::store
