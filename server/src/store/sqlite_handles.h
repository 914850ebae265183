// Owners of SQLite's handles, shared by the store and the access store (each on connections of
// its own).
#pragma once

#include <sqlite3.h>

#include <memory>

namespace tallyscope::server::store {

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalize {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

}  // namespace tallyscope::server::store
