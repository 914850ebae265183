// The three functions a host sees. Each checks its arguments, calls into the core and catches
// everything: no exception and no C++ type crosses the DLL boundary.
#include <windows.h>

#include <cstring>

#include "report/report_builders.h"
#include "report/timestamp.h"
#include "service/report_dispatch.h"
#include "service/service.h"
#include "service/service_state.h"
#include "tallyscope.h"

namespace {

bool storeAppInfo(const char* appKey, const char* channelId)
{
    ServiceState& state = serviceState();
    if (appKey == nullptr) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    std::memset(state.appKey, 0, sizeof state.appKey);
    if (strnlen(appKey, kAppKeyBytes) >= kAppKeyBytes) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    copyToField(state.appKey, sizeof state.appKey, appKey);
    std::memset(state.channelId, 0, sizeof state.channelId);
    if (channelId == nullptr) return true;
    if (strnlen(channelId, kChannelBytes) >= kChannelBytes) {
        state.lastErrorCode = kErrorBadArgument;
        return false;
    }
    copyToField(state.channelId, sizeof state.channelId, channelId);
    return true;
}

int buildReport(const char* eventName, const char* eventContent)
{
    switch (chooseReport(eventName)) {
    case ReportKind::DeviceInfo:
        return buildDeviceInfoReport();
    case ReportKind::AppEvent:
        return buildAppEventReport(eventName, localTimestamp().c_str());
    case ReportKind::Action:
    default:
        return buildActionReport(eventName, eventContent);
    }
}

}  // namespace

extern "C" unsigned char __stdcall SetAppInfo(const char* appKey, const char* channelId)
{
    try {
        if (!storeAppInfo(appKey, channelId)) return 0;
        int started = startService();
        serviceState().startedByHost = started != 0 ? 1 : 0;
        return started != 0 ? 1 : 0;
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
        int built = buildReport(eventName, eventContent);
        if ((flushNow & 0xFF) == 0) return built != 0 ? 1 : 0;
        if (state.serviceRunning == 1) {
            signalWakeEvent();
            // The flush is signalled either way, but a report that was not built is a failure.
            return built != 0 ? 1 : 0;
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
        if (state.startedByHost == 0) return;
        state.startedByHost = 0;
        if (state.serviceRunning == 1)
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
