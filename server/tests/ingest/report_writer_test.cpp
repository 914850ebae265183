#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ingest/report_writer.h"

namespace {

using namespace tallyscope::server;
using namespace std::chrono_literals;

// A store that records each transaction and can be held inside append or made to fail.
class GateStore : public Store {
public:
    AppendResult append(const std::vector<Report>& reports) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [this] { return !held; });
        if (failNext) {
            failNext = false;
            throw StoreError("disk full");
        }
        transactions.push_back(reports.size());
        for (const Report& r : reports) stored.push_back(r.content);
        return {reports.size(), 0};
    }
    void reject(const Rejected& rejected) override
    {
        std::lock_guard<std::mutex> lock(mutex);
        rejected_.push_back(rejected.reason);
    }
    std::vector<Rejected> rejects(int) override { return {}; }
    std::vector<AppSummary> apps() override { return {}; }
    bool hasApp(const std::string&) override { return false; }
    std::vector<DayFigures> daily(const std::string&, int, int, const std::optional<std::string>&) override { return {}; }
    std::vector<TopRow> top(const TopQuery&) override { return {}; }
    std::vector<Cohort> retention(const std::string&, int, int, int, const std::optional<std::string>&) override
    {
        return {};
    }
    std::optional<DeviceSummary> device(const std::string&, const std::string&) override { return {}; }
    bool eraseDevice(const std::string&, const std::string&) override { return false; }
    void exportReports(const std::string&, int, int, const ReportSink&) override {}
    std::int64_t prune(std::int64_t) override { return 0; }

    void hold()
    {
        std::lock_guard<std::mutex> lock(mutex);
        held = true;
        entered = false;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        held = false;
        changed.notify_all();
    }
    void waitEntered()
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 10s, [this] { return entered; }));
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool entered = false;
    bool failNext = false;
    std::vector<std::size_t> transactions;
    std::vector<std::string> stored;
    std::vector<std::string> rejected_;
};

Report reportNumbered(int n)
{
    Report r;
    r.kind = ReportKind::Action;
    r.deviceId = "d";
    r.appKey = "k";
    r.content = std::to_string(n);
    return r;
}

struct Outcomes {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<std::string, bool>> answered;  // content, committed

    ReportWriter::Done doneFor(int n)
    {
        return [this, n](bool committed) {
            std::lock_guard<std::mutex> lock(mutex);
            answered.emplace_back(std::to_string(n), committed);
            changed.notify_all();
        };
    }
    std::size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return answered.size();
    }
    bool waitFor(std::size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [&] { return answered.size() >= n; });
    }
};

TEST(ReportWriter, AnswersOnlyAfterTheCommitAndGroupsWaitingReportsIntoOneTransaction)
{
    GateStore store;
    Outcomes outcomes;
    ReportWriter writer(store, {});

    store.hold();
    ASSERT_TRUE(writer.submit(reportNumbered(0), outcomes.doneFor(0)));
    store.waitEntered();  // the first transaction is open and held
    for (int n = 1; n <= 300; ++n) ASSERT_TRUE(writer.submit(reportNumbered(n), outcomes.doneFor(n)));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(outcomes.count(), 0u) << "a report was acknowledged before its commit returned";

    store.release();
    ASSERT_TRUE(outcomes.waitFor(301));
    // One transaction for the first report, one for the 300 that queued behind it.
    EXPECT_EQ(store.transactions, (std::vector<std::size_t>{1, 300}));
    for (const auto& [content, committed] : outcomes.answered) EXPECT_TRUE(committed) << content;
    EXPECT_EQ(store.stored.size(), 301u);
    EXPECT_EQ(store.stored.front(), "0");
    EXPECT_EQ(store.stored.back(), "300");
    EXPECT_EQ(writer.counters().committed, 301u);
}

TEST(ReportWriter, AFailedCommitAnswersFalseAndTheNextCommitRecovers)
{
    GateStore store;
    Outcomes outcomes;
    ReportWriter writer(store, {});

    store.failNext = true;
    ASSERT_TRUE(writer.submit(reportNumbered(1), outcomes.doneFor(1)));
    ASSERT_TRUE(outcomes.waitFor(1));
    EXPECT_FALSE(outcomes.answered[0].second);
    EXPECT_FALSE(writer.healthy());

    ASSERT_TRUE(writer.submit(reportNumbered(2), outcomes.doneFor(2)));
    ASSERT_TRUE(outcomes.waitFor(2));
    EXPECT_TRUE(outcomes.answered[1].second);
    EXPECT_TRUE(writer.healthy());
    EXPECT_EQ(store.stored, (std::vector<std::string>{"2"}));
    EXPECT_EQ(writer.counters().failed, 1u);
}

TEST(ReportWriter, TheQueueIsBoundedAndStopCommitsEverythingAlreadyQueued)
{
    GateStore store;
    Outcomes outcomes;
    ReportWriter::Limits limits;
    limits.maxQueued = 10;
    limits.maxBatch = 4;
    limits.maxRejects = 2;
    ReportWriter writer(store, limits);

    store.hold();
    ASSERT_TRUE(writer.submit(reportNumbered(0), outcomes.doneFor(0)));
    store.waitEntered();
    int accepted = 1;
    for (int n = 1; n <= 25; ++n) accepted += writer.submit(reportNumbered(n), outcomes.doneFor(n)) ? 1 : 0;
    EXPECT_EQ(accepted, 11) << "one in the held transaction plus ten queued";
    for (int n = 0; n < 5; ++n) writer.submitRejected({0, "reason " + std::to_string(n), "body"});

    std::thread stopper([&] { writer.stop(); });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(writer.submit(reportNumbered(99), outcomes.doneFor(99))) << "stopping refuses new reports";
    store.release();
    stopper.join();

    EXPECT_EQ(outcomes.count(), 11u) << "stop returned before answering what was queued";
    EXPECT_EQ(store.stored.size(), 11u);
    EXPECT_EQ(store.transactions, (std::vector<std::size_t>{1, 4, 4, 2}));
    EXPECT_EQ(store.rejected_, (std::vector<std::string>{"reason 0", "reason 1"}));
    EXPECT_EQ(writer.counters().rejectsDropped, 3u);
}

}  // namespace
