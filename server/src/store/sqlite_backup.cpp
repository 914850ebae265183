#include "store/sqlite_backup.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <thread>

#include "store/store.h"

namespace tallyscope::server::store {
namespace {

struct DbClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Db = std::unique_ptr<sqlite3, DbClose>;

struct BackupFinish {
    void operator()(sqlite3_backup* backup) const { sqlite3_backup_finish(backup); }
};

struct Fd {
    explicit Fd(int fd) : fd(fd) {}
    ~Fd()
    {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int fd;
};

[[noreturn]] void fail(sqlite3* db, const std::string& what)
{
    throw StoreError(what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

Db open(const std::string& path, int flags)
{
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) fail(raw, "cannot open " + path);
    sqlite3_busy_timeout(db.get(), 10000);
    return db;
}

void syncPath(const std::filesystem::path& path, int flags)
{
    Fd fd(::open(path.c_str(), flags | O_CLOEXEC));
    if (fd.fd < 0 || ::fsync(fd.fd) != 0) throw StoreError("cannot sync " + path.string());
}

// Removes the partial copy when the backup ends without renaming it into place.
struct PartialFile {
    std::filesystem::path path;
    bool kept = false;
    ~PartialFile()
    {
        std::error_code ignored;
        if (!kept) std::filesystem::remove(path, ignored);
    }
};

}  // namespace

BackupResult backupSqlite(const std::string& dataDir, const std::string& file)
{
    const std::filesystem::path source = std::filesystem::path(dataDir) / "tallyscope.db";
    if (!std::filesystem::exists(source)) throw StoreError("no SQLite store at " + source.string());
    const std::filesystem::path target = std::filesystem::absolute(file);
    const std::filesystem::path partial = target.string() + ".partial";
    std::error_code ignored;
    std::filesystem::remove(partial, ignored);

    // Read-write without create: a reader of a WAL store maps its -shm file, and a wrong path must
    // not leave an empty store behind.
    Db from = open(source.string(), SQLITE_OPEN_READWRITE);
    PartialFile cleanup{partial};
    BackupResult result;
    {
        Db to = open(partial.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
        std::unique_ptr<sqlite3_backup, BackupFinish> backup(sqlite3_backup_init(to.get(), "main", from.get(), "main"));
        if (!backup) fail(to.get(), "cannot start the backup");
        // All pages in one step: one read transaction, one snapshot. Copying in slices would
        // restart at every commit of the running server and might never finish under load.
        int rc;
        while ((rc = sqlite3_backup_step(backup.get(), -1)) == SQLITE_BUSY || rc == SQLITE_LOCKED)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        result.pages = sqlite3_backup_pagecount(backup.get());
        backup.reset();
        if (rc != SQLITE_DONE) fail(to.get(), "backup failed");
        // The copy is one self-contained file, whatever journal the store uses.
        char* error = nullptr;
        if (sqlite3_exec(to.get(), "PRAGMA journal_mode=DELETE", nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "";
            sqlite3_free(error);
            throw StoreError("cannot finish the copy: " + message);
        }
        sqlite3_stmt* raw = nullptr;
        if (sqlite3_prepare_v2(to.get(), "PRAGMA quick_check", -1, &raw, nullptr) != SQLITE_OK) fail(to.get(), "check");
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> check(raw, sqlite3_finalize);
        if (sqlite3_step(check.get()) != SQLITE_ROW ||
            std::string(reinterpret_cast<const char*>(sqlite3_column_text(check.get(), 0))) != "ok")
            throw StoreError("the copy fails SQLite's check");
    }
    syncPath(partial, O_RDONLY);
    std::filesystem::rename(partial, target);
    cleanup.kept = true;
    syncPath(target.parent_path(), O_RDONLY | O_DIRECTORY);
    result.bytes = static_cast<std::int64_t>(std::filesystem::file_size(target));
    return result;
}

}  // namespace tallyscope::server::store
