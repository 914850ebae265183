// What `--version` says about the storage this build can use.
#pragma once

#include <string>

namespace tallyscope::server::store {

// One line per backend built in, with the library version it runs on, e.g.
// "sqlite (SQLite 3.40.1)".
std::string describeBackends();

}  // namespace tallyscope::server::store
