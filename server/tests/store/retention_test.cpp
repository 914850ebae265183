// --retention-days: the pruning thread drops raw reports past the cut-off as soon as it starts,
// the figures stay, and stopping it does not wait for the next pass.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "core/days.h"
#include "store/oracle.h"
#include "store/retention.h"
#include "store/store_backends.h"

namespace tallyscope::server::testing {
namespace {

class RetentionTest : public ::testing::TestWithParam<Backend> {};

TEST_P(RetentionTest, DropsOldRawReportsAtStartKeepsTheFiguresAndRemembersRecentIds) {
    ReportingDays days("UTC");
    StoreLocation where(GetParam());
    auto store = where.open(days);
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch()).count();
    std::vector<Report> reports;
    for (int age : {40, 31, 29, 1}) {  // days
        reports.push_back(makeReport(now - age * 86400000LL, ReportKind::AppEvent, "D" + std::to_string(age), "k", "",
                                     "app_start", "t"));
        reports.back().reportId = std::string(age < 10 ? 31 : 30, 'a') + std::to_string(age);
    }
    store->append(reports);
    const int from = days.today() - 45, to = days.today();
    const auto before = flat(store->daily("k", from, to, std::nullopt));

    std::mutex m;
    std::condition_variable cv;
    std::int64_t dropped = 0;
    const auto started = std::chrono::steady_clock::now();
    {
        RetentionPruner pruner(*store, 30, [&](std::int64_t n, const std::string& error) {
            EXPECT_EQ(error, "");
            std::lock_guard<std::mutex> lock(m);
            dropped = n;
            cv.notify_all();
        });
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(30), [&] { return dropped != 0; }));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30)) << "stopping is prompt";
    EXPECT_EQ(dropped, 2);
    std::vector<std::string> left;
    store->exportReports("k", from, to, [&](const Report& r) {
        left.push_back(r.deviceId);
        return true;
    });
    EXPECT_EQ(left, (std::vector<std::string>{"D29", "D1"}));
    EXPECT_EQ(flat(store->daily("k", from, to, std::nullopt)), before);
    EXPECT_EQ(store->activeDevices("k", from, to, std::nullopt), 4);

    // Sent again: the pruned report of 31 days ago is still known by its id (the window is 35
    // days), the one of 40 days ago is not and counts as new.
    const AppendResult again = store->append(reports);
    EXPECT_EQ(again.stored, 1u);
    EXPECT_EQ(again.repeats, 3u);
    EXPECT_EQ(store->daily("k", days.dayOf(now - 40 * 86400000LL), days.dayOf(now - 40 * 86400000LL), std::nullopt)[0].appEvents, 2);
}

INSTANTIATE_TEST_SUITE_P(Backends, RetentionTest, ::testing::Values(Backend::Sqlite, Backend::Postgres), backendName);

}  // namespace
}  // namespace tallyscope::server::testing
