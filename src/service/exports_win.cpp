// The three functions a host sees. Each checks its arguments, calls into the core and catches
// everything: no exception and no C++ type crosses the DLL boundary.
#include <windows.h>

#include <cstring>

#include "common/field_copy.h"
#include "inventory/machine_inventory.h"
#include "report/report_builders.h"
#include "report/timestamp.h"
#include "service/report_queue.h"
#include "service/service.h"
#include "service/service_state.h"
#include "tallyscope.h"

namespace {

bool storeAppInfo(const char* appKey, const char* channelId)
{
    ServiceState& state = serviceState();
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

// Builds the report the name asks for. The device-information report first refreshes the
// inventory from the machine, on this thread.
BuiltReport buildReport(const ReportOrigin& origin, const char* eventName, const char* eventContent)
{
    switch (chooseReport(eventName)) {
    case ReportKind::DeviceInfo:
        if (!originConfigured(origin)) return buildDeviceInfoReport(origin, machineInventory());
        fillMachineInventory(machineInventory());
        return buildDeviceInfoReport(origin, machineInventory());
    case ReportKind::AppEvent:
        return buildAppEventReport(origin, eventName, localTimestamp().c_str());
    case ReportKind::Action:
    default:
        return buildActionReport(origin, eventName, eventContent);
    }
}

// Builds and queues one report; on failure records why in lastErrorCode.
bool queueReport(const char* eventName, const char* eventContent)
{
    ServiceState& state = serviceState();
    if (!state.serviceRunning) {
        state.lastErrorCode = kErrorNotRunning;
        return false;
    }
    BuiltReport report = buildReport(state.origin, eventName, eventContent);
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

}  // namespace

extern "C" unsigned char __stdcall SetAppInfo(const char* appKey, const char* channelId)
{
    try {
        if (!storeAppInfo(appKey, channelId)) return 0;
        bool started = startService() != 0;
        serviceState().startedByHost = started;
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
            state.lastErrorCode = kErrorBadArgument;
            return 0;
        }
        if (std::strlen(eventName) <= kMinEventNameChars) return 0;
        bool queued = queueReport(eventName, eventContent);
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
        ServiceState& state = serviceState();
        if (!state.startedByHost) return;
        state.startedByHost = false;
        if (state.serviceRunning)
            signalWakeEvent();
        else
            state.lastErrorCode = kErrorNotRunning;
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
