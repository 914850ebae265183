#include "store/backends_info.h"

#include <sqlite3.h>

#include <pqxx/version>

namespace tallyscope::server::store {

std::string describeBackends()
{
    return std::string("sqlite (SQLite ") + sqlite3_libversion() + ")\npostgresql (libpqxx " + PQXX_VERSION + ")";
}

}  // namespace tallyscope::server::store
