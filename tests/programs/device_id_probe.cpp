// Derives the device identifier the way a start does (initDeviceId, static core) and prints the
// ANSI code page and both forms kept for the reports, one "key=value" line each.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "report/device_identity.h"
#include "service/service_state.h"

int main()
{
    ServiceState& state = serviceState();
    std::memset(state.deviceIdAnsi, 'Z', sizeof state.deviceIdAnsi);  // nothing stale may survive
    initDeviceId();
    char wide[kDeviceIdWideUnits] = {};
    for (std::size_t i = 0; i < kDeviceIdWideUnits && state.deviceIdWide[i] != 0; ++i) {
        wide[i] = state.deviceIdWide[i] < 128 ? static_cast<char>(state.deviceIdWide[i]) : '?';
    }
    std::printf("acp=%u\nwide=%s\nansi=%s\n", GetACP(), wide, state.deviceIdAnsi);
    return 0;
}
