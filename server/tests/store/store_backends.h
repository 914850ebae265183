// Opens fresh stores of either backend for the store tests. PostgreSQL runs as a throwaway cluster
// (tests/support/pg_cluster.py), started once per test process on first use and stopped at exit;
// every store gets a database of its own in it.
#pragma once

#include <gtest/gtest.h>

#include <pqxx/pqxx>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include <sys/stat.h>

#include "core/days.h"
#include "store/store.h"

namespace tallyscope::server::testing {

class PostgresForTests {
public:
    static PostgresForTests& instance() {
        static PostgresForTests pg;
        return pg;
    }
    const std::string& url() const { return url_; }
    // A new empty database and its URL.
    std::string freshDatabase() {
        if (url_.empty()) throw std::runtime_error("the PostgreSQL test cluster did not start");
        const std::string name = "store_test_" + std::to_string(++databases_);
        pqxx::connection c(url_);
        pqxx::nontransaction w(c);
        w.exec("DROP DATABASE IF EXISTS " + name);
        w.exec("CREATE DATABASE " + name);
        return url_.substr(0, url_.rfind('/') + 1) + name;
    }
    ~PostgresForTests() {
        if (!dir_.empty()) std::system(("/usr/bin/python3 " + script() + " stop " + dir_ + " >/dev/null 2>&1").c_str());
    }

private:
    PostgresForTests() {
        char tmpl[] = "/tmp/tallyscope-store-test-XXXXXX";
        if (!::mkdtemp(tmpl)) return;
        ::chmod(tmpl, 0755);  // the cluster's own folder below belongs to the postgres user
        dir_ = std::string(tmpl) + "/cluster";
        std::FILE* p = ::popen(("/usr/bin/python3 " + script() + " start " + dir_).c_str(), "r");
        if (!p) return;
        char line[512] = {};
        if (std::fgets(line, sizeof line, p)) url_ = line;
        ::pclose(p);
        while (!url_.empty() && (url_.back() == '\n' || url_.back() == '\r')) url_.pop_back();
    }
    static std::string script() { return std::string(TALLYSCOPE_SERVER_TESTS_DIR) + "/support/pg_cluster.py"; }
    std::string dir_, url_;
    int databases_ = 0;
};

enum class Backend { Sqlite, Postgres };

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Sqlite ? "SQLite" : "PostgreSQL";
}

// Where one test's store lives; reopening the same location is a server restart.
struct StoreLocation {
    Backend backend;
    StoreOptions options;

    explicit StoreLocation(Backend b, std::size_t rejectsKept = 10000) : backend(b) {
        options.rejectsKept = rejectsKept;
        if (b == Backend::Sqlite) {
            char tmpl[] = "/tmp/tallyscope-sqlite-test-XXXXXX";
            options.dataDir = ::mkdtemp(tmpl) ? tmpl : "";
        } else {
            options.url = PostgresForTests::instance().freshDatabase();
        }
    }
    ~StoreLocation() {
        if (backend == Backend::Sqlite && !options.dataDir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(options.dataDir, ec);
        }
    }
    std::unique_ptr<Store> open(const ReportingDays& days) const { return openStore(options, days); }
};

}  // namespace tallyscope::server::testing
