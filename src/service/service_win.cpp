#include "service/service.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "http/post_form.h"
#include "report/device_identity.h"
#include "service/report_queue.h"
#include "service/service_state.h"
#include "win_handles.h"

namespace {

constexpr wchar_t kWakeEventName[] = L"WorkEvent";
constexpr DWORD kTickPeriodMs = 3000;
constexpr std::size_t kUploadUrlUnits = 128;
// A wake that finds "WorkEvent" still signalled is either a burst of flushes or a same-named
// manual-reset event that stays signalled; pausing this long before the next pass keeps the
// latter from turning the worker into a busy loop.
constexpr DWORD kRewakePauseMs = 50;

// The worker and the timer callback run code of this module, so the module holds a reference on
// itself from start to stop: a host that frees the library without stopping it first leaves the
// service running (and posting) instead of unmapping code under a live thread.
HMODULE g_pinnedModule = nullptr;

bool pinModule()
{
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&pinModule),
                              &g_pinnedModule) != 0;
}

void unpinModule()
{
    if (g_pinnedModule != nullptr) FreeLibrary(std::exchange(g_pinnedModule, nullptr));
}

void closeAndClear(void*& handle)
{
    win::UniqueHandle owner(std::exchange(handle, kNoHandle));
}

void showStartError()
{
    DWORD code = GetLastError();
    win::UniqueLocal systemText;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPWSTR>(systemText.put()), 0, nullptr);
    const wchar_t* text = length != 0 && systemText.get() != nullptr ? static_cast<const wchar_t*>(systemText.get()) : L"";
    std::size_t units = std::wcslen(text) + std::wcslen(L"CreateThread") + 40;
    std::vector<wchar_t> message(units, L'\0');
    _snwprintf(message.data(), units - 1, L"%ls failed with error %d: %ls", L"CreateThread", static_cast<int>(code),
               text);
    MessageBoxW(nullptr, message.data(), L"Error", MB_OK);
}

void CALLBACK onTimerTick(PVOID, BOOLEAN)
{
    HANDLE wake = serviceState().wakeEvent;
    if (win::UniqueHandle::valid(wake)) SetEvent(wake);
}

// The next queued body, or nullptr. The queue is created on first use, and a queue that cannot be
// created (out of memory) simply has nothing to post: nothing may escape the worker's thread.
char* popNextBody() noexcept
{
    try {
        return getReportQueue().popFront();
    } catch (...) {
        return nullptr;
    }
}

void drainQueue(const std::wstring& uploadUrl)
{
    while (char* body = popNextBody()) {
        std::printf("POST DATA: %s\n", body);
        std::fflush(stdout);
        try {
            postForm(uploadUrl, body, static_cast<uint32_t>(std::strlen(body)));
        } catch (...) {
            // A post that fails in any way loses that one report, never the host process.
        }
        std::free(body);
    }
}

DWORD WINAPI workerMain(LPVOID)
{
    wchar_t uploadUrl[kUploadUrlUnits] = {};
    _snwprintf(uploadUrl, kUploadUrlUnits - 1, L"http://%hs/stat/pc.php", TALLYSCOPE_STAT_HOST);
    std::wstring url;
    try {
        url = uploadUrl;
    } catch (...) {
        return 0xFFFFFFFF;
    }

    win::UniqueHandle wake(OpenEventW(EVENT_ALL_ACCESS, FALSE, kWakeEventName));
    if (!wake) return 0xFFFFFFFF;
    HANDLE waits[2] = {serviceState().stopEvent, wake.get()};

    bool passPending = false;
    for (;;) {
        if (!passPending) {
            DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (woken != WAIT_OBJECT_0 && woken != WAIT_OBJECT_0 + 1) {
                // The wait itself is broken: post what is there and end rather than loop.
                drainQueue(url);
                break;
            }
        }
        passPending = false;
        drainQueue(url);
        if (serviceState().exitRequested.load()) break;
        if (WaitForSingleObject(wake.get(), 0) == WAIT_OBJECT_0) {
            WaitForSingleObject(serviceState().stopEvent, kRewakePauseMs);
            passPending = true;
        }
    }
    return 0;
}

}  // namespace

void signalWakeEvent()
{
    HANDLE wake = serviceState().wakeEvent;
    if (win::UniqueHandle::valid(wake)) SetEvent(wake);
}

int startService()
{
    ServiceState& state = serviceState();
    if (state.serviceRunning == 1) return 1;

    win::UniqueHandle wake(CreateEventW(nullptr, FALSE, FALSE, kWakeEventName));
    if (!wake) return 0;
    win::UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop) return 0;
    if (!pinModule()) return 0;
    state.wakeEvent = wake.get();
    state.stopEvent = stop.get();
    state.exitRequested = 0;

    DWORD threadId = 0;
    win::UniqueHandle worker(CreateThread(nullptr, 0, workerMain, nullptr, 0, &threadId));
    if (!worker) {
        showStartError();
        state.wakeEvent = kNoHandle;
        state.stopEvent = kNoHandle;
        unpinModule();
        return 0;
    }
    state.workerThread = worker.get();
    state.workerThreadId = threadId;

    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, onTimerTick, nullptr, 0, kTickPeriodMs, WT_EXECUTEINTIMERTHREAD)) {
        state.exitRequested = 1;
        SetEvent(stop.get());
        WaitForSingleObject(worker.get(), INFINITE);
        state.wakeEvent = kNoHandle;
        state.stopEvent = kNoHandle;
        state.workerThread = kNoHandle;
        state.workerThreadId = 0;
        unpinModule();
        return 0;
    }
    state.tickTimer = timer;
    wake.release();
    stop.release();
    worker.release();
    state.serviceRunning = 1;
    initDeviceId();
    return 1;
}

int stopService()
{
    ServiceState& state = serviceState();
    if (state.serviceRunning == 0) {
        state.lastErrorCode = kErrorNotRunning;
        return 0;
    }
    // Waits for a tick that is running right now, so none can touch the event after it is closed.
    if (win::UniqueHandle::valid(state.tickTimer)) DeleteTimerQueueTimer(nullptr, state.tickTimer, INVALID_HANDLE_VALUE);
    state.tickTimer = kNoHandle;

    state.exitRequested = 1;
    signalWakeEvent();
    if (win::UniqueHandle::valid(state.stopEvent)) SetEvent(state.stopEvent);
    if (win::UniqueHandle::valid(state.workerThread)) WaitForSingleObject(state.workerThread, INFINITE);

    closeAndClear(state.wakeEvent);
    closeAndClear(state.stopEvent);
    closeAndClear(state.workerThread);
    state.workerThreadId = 0;
    destroyReportQueue();
    state.serviceRunning = 0;
    unpinModule();
    return 1;
}
