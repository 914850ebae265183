// The upload loop's ordering, with the post and the waits supplied by the test.
#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service/report_queue.h"
#include "service/upload_loop.h"

namespace {

// Answers the loop's waits from the test's script and writes every step into one log, together
// with the posts.
struct ScriptedSignals : UploadSignals {
    std::vector<std::string>& log;
    std::vector<Wake> waits;                    // one per waitForWork, in order
    std::function<bool()> pending = [] { return false; };
    std::function<void()> onPause = [] {};

    explicit ScriptedSignals(std::vector<std::string>& sharedLog) : log(sharedLog) {}

    Wake waitForWork() override
    {
        log.push_back("wait");
        if (waits.empty()) throw std::logic_error("the loop waited more often than the script allows");
        Wake next = waits.front();
        waits.erase(waits.begin());
        return next;
    }
    bool takePendingWake() override
    {
        bool taken = pending();
        log.push_back(taken ? "pending" : "idle");
        return taken;
    }
    void pauseBeforeNextPass() override
    {
        log.push_back("pause");
        onPause();
    }
};

struct UploadLoop : ::testing::Test {
    std::vector<std::string> log;
    std::atomic<bool> exitRequested{false};
    ScriptedSignals signals{log};
    std::function<void(const std::string&)> duringPost = [](const std::string&) {};

    void SetUp() override { destroyReportQueue(); }
    void TearDown() override { destroyReportQueue(); }

    void run()
    {
        runUploadLoop(signals, exitRequested, [this](const char* body, uint32_t length) {
            ASSERT_EQ(std::string(body).size(), length);
            log.push_back(std::string("post ") + body);
            duringPost(body);
        });
    }
};

TEST_F(UploadLoop, EveryBodyQueuedBeforeTheStopIsPostedInOrderAndTheLoopEndsAfterTheNextDrain)
{
    for (const char* body : {"a", "b", "c"}) enqueueReport(body);
    // The stop comes while "b" is being posted, after one more body was queued; "b" fails.
    duringPost = [this](const std::string& body) {
        if (body != "b") return;
        enqueueReport("d");
        exitRequested = true;
        throw std::runtime_error("post failed");
    };
    signals.waits = {UploadSignals::Wake::Work, UploadSignals::Wake::Work};
    run();
    EXPECT_EQ(log, (std::vector<std::string>{"wait", "post a", "post b", "post c", "post d", "idle", "wait"}));
    EXPECT_EQ(getReportQueue().size(), 0u);
}

TEST_F(UploadLoop, AWakeDuringADrainIsAnsweredAfterAPauseAndABrokenWaitEndsAfterOneLastDrain)
{
    enqueueReport("a");
    int pendingWakes = 1;
    signals.pending = [&] { return pendingWakes-- > 0; };
    signals.onPause = [] { enqueueReport("b"); };
    signals.waits = {UploadSignals::Wake::Work, UploadSignals::Wake::Broken};
    duringPost = [](const std::string& body) {
        if (body == "b") enqueueReport("c");  // queued during the second pass: still in it
    };
    run();
    EXPECT_EQ(log, (std::vector<std::string>{"wait", "post a", "pending", "pause", "post b", "post c", "idle", "wait"}));

    // A broken wait drains what is there and ends: no further wait is asked for.
    log.clear();
    enqueueReport("e");
    signals.waits = {UploadSignals::Wake::Broken};
    run();
    EXPECT_EQ(log, (std::vector<std::string>{"wait", "post e"}));
}

}  // namespace
