#include "service/service.h"

#include <windows.h>

#include <atomic>
#include <cwchar>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/diagnostics.h"
#include "common/field_copy.h"
#include "common/line_writer.h"
#include "report/device_identity.h"
#include "service/bounded_post.h"
#include "service/delivery.h"
#include "service/report_id.h"
#include "service/report_queue.h"
#include "service/service_state.h"
#include "service/upload_loop.h"
#include "spool/spool_store.h"
#include "win_handles.h"

namespace {

constexpr wchar_t kWakeEventName[] = L"WorkEvent";
constexpr DWORD kTickPeriodMs = 3000;
constexpr DWORD kRewakePauseMs = 50;

// Everything a running service holds. startService builds it whole and commits it only when every
// part exists; destroying it stops the service: the timer first (waiting for a tick that is running
// right now), then the worker after its last drain, then the events, and the module reference last.
struct RunningService {
    // The worker and the timer callback run code of this module, so the module holds a reference on
    // itself from start to stop: a host that frees the library without stopping it first leaves the
    // service running (and posting) instead of unmapping code under a live thread.
    win::ModuleReference pin;
    win::UniqueHandle wakeEvent;  // "WorkEvent" (or a private stand-in): ticks, flushes and the stop
                                  // wake the worker
    win::UniqueHandle stopEvent;  // private to this worker: the stop never depends on a signal that
                                  // another process's worker could consume
    std::atomic<bool> exitRequested{false};
    StopDeadline stopDeadline;    // from the stop on, when the worker gives up on the network
    char appKey[kAppKeyBytes] = {};  // whose spool the worker keeps
    win::UniqueHandle workerThread;
    win::TimerQueueTimer tickTimer;

    RunningService() = default;
    RunningService(const RunningService&) = delete;
    RunningService& operator=(const RunningService&) = delete;
    ~RunningService()
    {
        tickTimer.reset();
        if (workerThread) {
            // Taken first: a post in flight is cut at the deadline this sets.
            stopDeadline.request(monotonicMs());
            exitRequested = true;
            SetEvent(wakeEvent.get());
            SetEvent(stopEvent.get());
            WaitForSingleObject(workerThread.get(), INFINITE);
        }
    }
};

// The running service, or null; read and replaced under the state lock. Deliberately never
// destroyed by the run-time library at exit: by then the system has ended the worker, and nothing
// may be waited on under the loader lock.
RunningService* g_running = nullptr;

bool pinModule(win::ModuleReference& pin)
{
    return GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&pinModule),
                              pin.put()) != 0;
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

using NtQueryEventFn = LONG(NTAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
struct EventBasicInformation {
    int eventType;  // EVENT_TYPE: 0 manual reset (notification), 1 auto reset (synchronization)
    LONG eventState;
};
constexpr int kEventBasicInformation = 0;
constexpr int kAutoResetEvent = 1;

// False only for an event the system says is manual-reset.
bool isAutoResetEvent(HANDLE event)
{
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto query = ntdll != nullptr ? reinterpret_cast<NtQueryEventFn>(
                                        reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryEvent")))
                                  : nullptr;
    if (query == nullptr) return true;
    EventBasicInformation info{};
    if (query(event, kEventBasicInformation, &info, sizeof info, nullptr) < 0) return true;
    return info.eventType == kAutoResetEvent;
}

// The shared "WorkEvent" whenever it can be created or opened as an auto-reset event. The name is
// a plain one in the logon session's namespace, so another program may already hold it: as a mutex
// or semaphore, as an event we may not open, or as a manual-reset event that would keep the worker
// waking. A private unnamed event then keeps the service running; a flush from another process no
// longer wakes this worker, the tick still does.
HANDLE createWakeEvent()
{
    win::UniqueHandle shared(CreateEventW(nullptr, FALSE, FALSE, kWakeEventName));
    if (shared && isAutoResetEvent(shared.get())) return shared.release();
    return CreateEventW(nullptr, FALSE, FALSE, nullptr);
}

void CALLBACK onTimerTick(PVOID service, BOOLEAN)
{
    SetEvent(static_cast<RunningService*>(service)->wakeEvent.get());
}

// The upload loop's waits, on the service's two events.
class EventSignals : public UploadSignals {
public:
    explicit EventSignals(const RunningService& service)
        : wake_(service.wakeEvent.get()), stop_(service.stopEvent.get())
    {
    }

    Wake waitForWork() override
    {
        HANDLE waits[2] = {stop_, wake_};
        DWORD woken = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        return woken == WAIT_OBJECT_0 || woken == WAIT_OBJECT_0 + 1 ? Wake::Work : Wake::Broken;
    }
    bool takePendingWake() override { return WaitForSingleObject(wake_, 0) == WAIT_OBJECT_0; }
    void pauseBeforeNextPass() override { WaitForSingleObject(stop_, kRewakePauseMs); }

private:
    HANDLE wake_;
    HANDLE stop_;
};

// The oldest queued report, or false when the queue is empty (or cannot be made).
bool takeQueued(Report& out)
{
    try {
        ReportId id;
        ReportBody body = getReportQueue().popFront(&id);
        if (!body) return false;
        out.body.assign(body.get());
        out.id = id.hex();
        return true;
    } catch (...) {
        return false;
    }
}

DWORD WINAPI workerMain(LPVOID parameter)
{
    RunningService& service = *static_cast<RunningService*>(parameter);
    wchar_t uploadUrl[kUploadUrlUnits] = {};
    _snwprintf(uploadUrl, kUploadUrlUnits - 1, L"%hs://%hs/stat/pc.php", TALLYSCOPE_STAT_SCHEME, TALLYSCOPE_STAT_HOST);
    try {
        const std::wstring url = uploadUrl;
        EventSignals signals(service);
        // The disk is touched here only, on the worker: never on a thread that reports.
        std::unique_ptr<Spool> spool = openSpool(service.appKey);
        BoundedPoster poster(url, service.stopDeadline);
        Delivery delivery(
            spool.get(), monotonicMs, takeQueued,
            [&poster](const Report& report) { return poster.post(report); }, service.stopDeadline);
        delivery.postRuns([&poster](const Delivery::Next& next, const Delivery::Settle& settled) {
            poster.postRun(next, settled);
        });
        poster.whileWaiting([&delivery] { delivery.journalDue(); });
        runUploadLoop(signals, service.exitRequested, [&delivery](bool ending) {
            try {
                if (!ending) {
                    delivery.pass();
                    return;
                }
                // A server known to be down is not tried again at the stop: everything goes to
                // the spool at once.
                if (!delivery.backingOff()) delivery.pass();
                delivery.keepEverything();
            } catch (...) {
                // Out of memory in a pass: what was not sent waits in the queue or the spool.
            }
        });
    } catch (...) {
        return 0xFFFFFFFF;
    }
    return 0;
}

}  // namespace

void signalWakeEvent()
{
    if (g_running != nullptr) SetEvent(g_running->wakeEvent.get());
}

int startService()
{
    ServiceState& state = serviceState();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (state.serviceRunning) return 1;
    }

    std::unique_ptr<RunningService> service(new (std::nothrow) RunningService());
    if (!service) return 0;
    service->wakeEvent.reset(createWakeEvent());
    if (!service->wakeEvent) return 0;
    service->stopEvent.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!service->stopEvent) return 0;
    if (!pinModule(service->pin)) return 0;
    prepareReportIds();
    copyToField(service->appKey, sizeof service->appKey, state.origin.appKey);
    service->workerThread.reset(CreateThread(nullptr, 0, workerMain, service.get(), 0, nullptr));
    if (!service->workerThread) {
        showStartError();
        return 0;
    }
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, onTimerTick, service.get(), 0, kTickPeriodMs, WT_EXECUTEINTIMERTHREAD))
        return 0;  // destroying the record ends the worker again
    service->tickTimer.reset(timer);

    DeviceIdentity identity;
    initDeviceId(identity);
    std::lock_guard<std::mutex> guard(state.lock);
    state.origin.deviceId = identity;
    lines::start();
    g_running = service.release();
    state.serviceRunning = true;
    return 1;
}

int stopService()
{
    ServiceState& state = serviceState();
    std::unique_ptr<RunningService> service;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        if (!state.serviceRunning) {
            state.lastErrorCode = kErrorNotRunning;
            return 0;
        }
        // From here on no report gets into the queue, so the drain below ends.
        state.serviceRunning = false;
        service.reset(std::exchange(g_running, nullptr));
    }
    const uint64_t asked = monotonicMs();
    // Returns once the worker has posted what the network let it post by the stop's deadline and
    // moved everything else to the spool.
    service.reset();
    destroyReportQueue();
    // The diagnostic lines of the last posts, if standard output takes them in time.
    const uint64_t budgetEnd = asked + StopDeadline::kStopBudgetMs;
    const uint64_t now = monotonicMs();
    lines::finish(budgetEnd > now + 200 ? static_cast<uint32_t>(budgetEnd - now) : 200);
    return 1;
}
