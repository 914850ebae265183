// The bounded wait the WMI source puts around calls that have no time-out of their own: a stuck
// call must not hold the caller, and must clean up after itself when it finally returns.
#include "inventory/mta_call.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <memory>

namespace {

struct Observed {
    HANDLE destroyed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD destroyedOnThread = 0;
    bool ranInMta = false;
    int result = 0;
    ~Observed()
    {
        CloseHandle(destroyed);
        CloseHandle(release);
    }
};

class BlockingCall : public MtaCall {
public:
    BlockingCall(Observed& observed, DWORD holdMs) : observed_(observed), holdMs_(holdMs) {}
    ~BlockingCall() override
    {
        observed_.destroyedOnThread = GetCurrentThreadId();
        SetEvent(observed_.destroyed);
    }
    void run() override
    {
        APTTYPE type;
        APTTYPEQUALIFIER qualifier;
        observed_.ranInMta = SUCCEEDED(CoGetApartmentType(&type, &qualifier)) && type == APTTYPE_MTA;
        WaitForSingleObject(observed_.release, holdMs_);
        observed_.result = 42;
    }

private:
    Observed& observed_;
    DWORD holdMs_;
};

TEST(MtaCall, CallThatFinishesInTimeHandsBackItsResult)
{
    Observed observed;
    SetEvent(observed.release);
    auto call = std::make_shared<BlockingCall>(observed, INFINITE);
    ASSERT_TRUE(runMtaCallWithin(call, 10000));
    EXPECT_EQ(observed.result, 42);
    EXPECT_TRUE(observed.ranInMta);
    call.reset();
    EXPECT_EQ(WaitForSingleObject(observed.destroyed, 0), WAIT_OBJECT_0);
}

TEST(MtaCall, StuckCallIsAbandonedAtTheDeadlineAndFinishesAlone)
{
    Observed observed;
    auto call = std::make_shared<BlockingCall>(observed, INFINITE);
    const DWORD started = GetTickCount();
    EXPECT_FALSE(runMtaCallWithin(call, 200));
    const DWORD waited = GetTickCount() - started;
    EXPECT_GE(waited, 150u);
    EXPECT_LT(waited, 5000u);

    // The caller lets go; the call lives on with the helper until it returns.
    call.reset();
    EXPECT_EQ(WaitForSingleObject(observed.destroyed, 0), WAIT_TIMEOUT);
    SetEvent(observed.release);
    ASSERT_EQ(WaitForSingleObject(observed.destroyed, 10000), WAIT_OBJECT_0);
    EXPECT_NE(observed.destroyedOnThread, GetCurrentThreadId());
    EXPECT_EQ(observed.result, 42);
}

TEST(MtaCall, CallerInASingleThreadedApartmentStillGetsTheCallRunInTheMta)
{
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    Observed observed;
    SetEvent(observed.release);
    auto call = std::make_shared<BlockingCall>(observed, INFINITE);
    EXPECT_TRUE(runMtaCallWithin(call, 10000));
    EXPECT_TRUE(observed.ranInMta);
    CoUninitialize();
}

}  // namespace
