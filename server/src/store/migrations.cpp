#include "store/migrations.h"

#include <algorithm>

namespace tallyscope::server::store {

std::vector<Migration> migrationsFor(const std::string& backend) {
    std::vector<Migration> out;
    for (const Migration& m : embeddedMigrations())
        if (backend == m.backend) out.push_back(m);
    std::sort(out.begin(), out.end(), [](const Migration& a, const Migration& b) { return a.version < b.version; });
    return out;
}

}  // namespace tallyscope::server::store
