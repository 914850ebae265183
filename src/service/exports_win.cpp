// The three functions a host sees. Each checks its arguments, calls into the core and catches
// everything: no exception and no C++ type crosses the DLL boundary.
//
// Any number of host threads may call them at once. The shared state is read and written under its
// one lock (ServiceState::lock), and a report is built and queued under it in about a microsecond.
// What blocks: a stop, until the worker has posted what was queued; a start, while the device
// identifier is derived, and a start waits for a stop that is running; a device-information report,
// while the inventory is read from the machine. None of them holds the lock meanwhile, so reports
// from other threads go on (during a stop they fail with code 1).
#include <windows.h>

#include <cstring>
#include <mutex>

#include "common/field_copy.h"
#include "inventory/machine_inventory.h"
#include "report/report_builders.h"
#include "report/timestamp.h"
#include "service/report_queue.h"
#include "service/service.h"
#include "service/service_state.h"
#include "tallyscope.h"

namespace {

using Guard = std::lock_guard<std::mutex>;

// Serialises starts and stops, which take their time: a start waits for a running stop to end
// rather than creating a second worker beside the one still draining.
std::mutex& lifecycleLock()
{
    static std::mutex lock;
    return lock;
}

// Called under the state lock.
bool storeAppInfo(ServiceState& state, const char* appKey, const char* channelId)
{
    ReportOrigin& origin = state.origin;
    if (appKey == nullptr) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    std::memset(origin.appKey, 0, sizeof origin.appKey);
    if (strnlen(appKey, kAppKeyBytes) >= kAppKeyBytes) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    copyToField(origin.appKey, sizeof origin.appKey, appKey);
    std::memset(origin.channelId, 0, sizeof origin.channelId);
    if (channelId == nullptr) return true;
    if (strnlen(channelId, kChannelBytes) >= kChannelBytes) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    copyToField(origin.channelId, sizeof origin.channelId, channelId);
    return true;
}

ErrorCode errorFor(ReportFailure failure)
{
    switch (failure) {
    case ReportFailure::BadArgument:
        return kErrorBadArgument;
    case ReportFailure::NoMemory:
        return kErrorNoMemory;
    case ReportFailure::NotConfigured:
    default:
        return kErrorNotRunning;
    }
}

BuiltReport buildReport(ReportKind kind, const ReportOrigin& origin, const char* eventName, const char* eventContent)
{
    switch (kind) {
    case ReportKind::DeviceInfo:
        return buildDeviceInfoReport(origin, machineInventory());
    case ReportKind::AppEvent:
        return buildAppEventReport(origin, eventName, localTimestamp().c_str());
    case ReportKind::Action:
    default:
        return buildActionReport(origin, eventName, eventContent);
    }
}

// Builds and queues one report; on failure records why in lastErrorCode. Called under the state
// lock, so a stop that has begun lets no further report in and every report that returns true is
// in the queue before the stop's last drain.
bool queueReport(ServiceState& state, ReportKind kind, const char* eventName, const char* eventContent)
{
    if (!state.serviceRunning) {
        state.lastErrorCode = kErrorNotRunning;
        return false;
    }
    BuiltReport report = buildReport(kind, state.origin, eventName, eventContent);
    if (!report.body) {
        state.lastErrorCode = errorFor(report.failure);
        return false;
    }
    // A built body always fits the queue; only its copy can fail.
    if (enqueueReport(report.body.get()) != EnqueueResult::Queued) {
        state.lastErrorCode = kErrorNoMemory;
        return false;
    }
    return true;
}

// The device-information report reads the machine first, without the lock: into a copy of the
// process's inventory, which keeps a value a source cannot give this time. The copy goes back under
// the lock when the report is built, so a fill on another thread never tears it.
bool refreshInventory(ServiceState& state, MachineInventory& fresh)
{
    {
        Guard guard(state.lock);
        if (!state.serviceRunning || !originConfigured(state.origin)) return false;  // fails below with code 1
        fresh = machineInventory();
    }
    fillMachineInventory(fresh);
    return true;
}

}  // namespace

extern "C" unsigned char __stdcall SetAppInfo(const char* appKey, const char* channelId)
{
    try {
        Guard lifecycle(lifecycleLock());
        ServiceState& state = serviceState();
        {
            Guard guard(state.lock);
            if (!storeAppInfo(state, appKey, channelId)) return 0;
        }
        bool started = startService() != 0;
        Guard guard(state.lock);
        state.startedByHost = started;
        return started ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" unsigned char __stdcall ReportAppEvent(const char* eventName, const char* eventContent, int flushNow)
{
    try {
        ServiceState& state = serviceState();
        if (eventName == nullptr) {
            Guard guard(state.lock);
            state.lastErrorCode = kErrorBadArgument;
            return 0;
        }
        if (std::strlen(eventName) <= kMinEventNameChars) return 0;

        const ReportKind kind = chooseReport(eventName);
        MachineInventory fresh;
        const bool refreshed = kind == ReportKind::DeviceInfo && refreshInventory(state, fresh);

        Guard guard(state.lock);
        if (refreshed) machineInventory() = fresh;
        bool queued = queueReport(state, kind, eventName, eventContent);
        if ((flushNow & 0xFF) == 0) return queued ? 1 : 0;
        if (state.serviceRunning) {
            signalWakeEvent();
            // The flush is signalled either way, but a report that was not queued is a failure.
            return queued ? 1 : 0;
        }
        state.lastErrorCode = kErrorNotRunning;
        return 0;
    } catch (...) {
        return 0;
    }
}

extern "C" void __stdcall StopTallyscope(void)
{
    try {
        Guard lifecycle(lifecycleLock());
        ServiceState& state = serviceState();
        {
            Guard guard(state.lock);
            if (!state.startedByHost) return;
            state.startedByHost = false;
            if (state.serviceRunning)
                signalWakeEvent();
            else
                state.lastErrorCode = kErrorNotRunning;
        }
        stopService();
        Sleep(100);
    } catch (...) {
    }
}

// The entry point does nothing of its own. A running service holds a reference on this module
// (see startService), so a FreeLibrary without StopTallyscope never unloads code under the worker;
// and at process exit the worker has already been ended by the system, so there is nothing to wait
// for and nothing must be waited on under the loader lock.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
