// The exports' checks, results and error codes, and the start/stop sequences, called in-process
// so the tests can read ServiceState.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>

#include "service/report_queue.h"
#include "service/service_state.h"
#include "tallyscope.h"

namespace {

int32_t lastError() { return serviceState().lastErrorCode; }

struct Exports : ::testing::Test {
    void SetUp() override { serviceState().lastErrorCode = 0; }
    void TearDown() override { StopTallyscope(); }
};

TEST_F(Exports, ReportsBeforeAnyStartFailWithCode1WithOrWithoutFlush)
{
    EXPECT_EQ(ReportAppEvent("app_start", nullptr, 0), 0);
    EXPECT_EQ(lastError(), kErrorNotRunning);
    serviceState().lastErrorCode = 0;
    EXPECT_EQ(ReportAppEvent("app_start", nullptr, 1), 0);
    EXPECT_EQ(lastError(), kErrorNotRunning);
}

TEST_F(Exports, ShortOrNullNamesFailWithoutReadingThemFurther)
{
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    serviceState().lastErrorCode = 42;
    EXPECT_EQ(ReportAppEvent("app_", nullptr, 1), 0);
    EXPECT_EQ(ReportAppEvent("", nullptr, 0), 0);
    EXPECT_EQ(lastError(), 42);
    EXPECT_EQ(ReportAppEvent(nullptr, "content", 1), 0);
    EXPECT_EQ(lastError(), kErrorBadArgument);
}

TEST_F(Exports, SetAppInfoChecksKeyAndChannelLengths)
{
    EXPECT_EQ(SetAppInfo(nullptr, "chan"), 0);
    EXPECT_EQ(lastError(), kErrorBadArgument);
    EXPECT_FALSE(serviceState().serviceRunning);

    std::string key64(64, 'k');
    EXPECT_EQ(SetAppInfo(key64.c_str(), "chan"), 0);
    EXPECT_STREQ(serviceState().origin.appKey, "");

    std::string key63(63, 'k');
    ASSERT_EQ(SetAppInfo(key63.c_str(), nullptr), 1);
    EXPECT_EQ(std::string(serviceState().origin.appKey), key63);
    EXPECT_STREQ(serviceState().origin.channelId, "");

    // Invalid arguments while running: refused, but the service keeps running.
    serviceState().lastErrorCode = 0;
    EXPECT_EQ(SetAppInfo("key2", std::string(64, 'c').c_str()), 0);
    EXPECT_EQ(lastError(), kErrorBadArgument);
    EXPECT_STREQ(serviceState().origin.appKey, "key2");
    EXPECT_STREQ(serviceState().origin.channelId, "");
    EXPECT_TRUE(serviceState().serviceRunning);
}

TEST_F(Exports, EmptyKeyStartsTheServiceButEveryReportFailsWithCode1)
{
    ASSERT_EQ(SetAppInfo("", "chan"), 1);
    EXPECT_TRUE(serviceState().serviceRunning);
    EXPECT_EQ(ReportAppEvent("app_start", nullptr, 0), 0);
    EXPECT_EQ(lastError(), kErrorNotRunning);
}

TEST_F(Exports, FlushReturnsTheBuildersResult)
{
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    EXPECT_EQ(ReportAppEvent("click", nullptr, 1), 0);  // null content: nothing built
    EXPECT_EQ(lastError(), kErrorBadArgument);
    EXPECT_EQ(ReportAppEvent("click", "x", 0x100), 1);  // only the low byte of flushNow counts
    EXPECT_EQ(ReportAppEvent("click", "x", 1), 1);
    EXPECT_EQ(ReportAppEvent("app_install", nullptr, 1), 1);
}

TEST_F(Exports, StopWithoutStartOrTwiceDoesNothing)
{
    serviceState().lastErrorCode = 42;
    StopTallyscope();
    EXPECT_EQ(lastError(), 42);
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    StopTallyscope();
    EXPECT_FALSE(serviceState().serviceRunning);
    StopTallyscope();
    EXPECT_EQ(lastError(), 42);
    EXPECT_STREQ(serviceState().origin.appKey, "key");  // key and channel outlive the stop
}

TEST_F(Exports, StartStopCyclesLeakNoHandleAndLeaveNoStaleState)
{
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);  // warm-up: the first start loads what stays loaded
    ReportAppEvent("app_start", nullptr, 1);
    StopTallyscope();
    DWORD before = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int cycle = 0; cycle < 5; ++cycle) {
        ASSERT_EQ(SetAppInfo("key", "chan"), 1);
        ReportAppEvent("app_start", nullptr, 1);
        StopTallyscope();
        EXPECT_FALSE(reportQueueExists());
    }
    DWORD after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

TEST_F(Exports, ANameHeldByAnotherKindOfObjectLeavesTheServiceOnAPrivateEventThatAFlushStillWakes)
{
    HANDLE squatter = CreateMutexW(nullptr, FALSE, L"WorkEvent");
    ASSERT_NE(squatter, nullptr);
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    Sleep(300);  // the start's tick has passed; the next one is 3 s away
    ASSERT_EQ(ReportAppEvent("click", "x", 1), 1);
    for (int i = 0; i < 100 && getReportQueue().size() != 0; ++i) Sleep(10);
    EXPECT_EQ(getReportQueue().size(), 0u) << "the flush did not wake the worker";
    StopTallyscope();
    EXPECT_FALSE(serviceState().serviceRunning);
    CloseHandle(squatter);
}

ULONGLONG processCpuMs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) { return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
    return ms(kernel) + ms(user);
}

TEST_F(Exports, AStuckSignalledManualResetWorkEventDoesNotMakeTheWorkerSpin)
{
    HANDLE stuck = CreateEventW(nullptr, TRUE, TRUE, L"WorkEvent");
    ASSERT_NE(stuck, nullptr);
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    ULONGLONG cpuBefore = processCpuMs();
    Sleep(1500);
    ULONGLONG cpuUsed = processCpuMs() - cpuBefore;
    EXPECT_LT(cpuUsed, 300u) << "the worker busy-loops on a signalled event";
    StopTallyscope();
    EXPECT_FALSE(serviceState().serviceRunning);
    CloseHandle(stuck);
}

TEST_F(Exports, StopDoesNotDependOnTheSharedEventWhenAnotherWorkerConsumesItsSignals)
{
    ASSERT_EQ(SetAppInfo("key", "chan"), 1);
    // Stands in for another process's worker: it opens "WorkEvent" and swallows every signal.
    HANDLE thief = OpenEventW(EVENT_ALL_ACCESS, FALSE, L"WorkEvent");
    ASSERT_NE(thief, nullptr);
    volatile bool done = false;
    std::thread consumer([&] {
        while (!done) WaitForSingleObject(thief, 10);
    });
    Sleep(200);
    for (int i = 0; i < 3; ++i) ReportAppEvent("click", "x", 0);
    StopTallyscope();
    EXPECT_FALSE(serviceState().serviceRunning);
    done = true;
    consumer.join();
    CloseHandle(thief);
}

TEST_F(Exports, ManyQuickStartStopCyclesSurviveTheTimer)
{
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(SetAppInfo("key", "chan"), 1);
        StopTallyscope();
    }
}

}  // namespace
