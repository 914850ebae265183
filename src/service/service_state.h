// The one process-wide record of the library that the exports read and write: what the host
// registered, this start's device identifier, whether the service runs, and the last error. The
// platform objects of a running service are the service code's own (service_win.cpp).
#pragma once

#include <cstdint>
#include <mutex>

#include "report/report_builders.h"

// lastErrorCode values.
enum ErrorCode : int32_t {
    kErrorNotRunning = 1,   // not running, or no key
    kErrorNoMemory = 2,     // a body buffer or its queued copy could not be allocated
    kErrorBadArgument = 6,  // null or over-long text
};

struct ServiceState {
    // Guards every field below, the process's MachineInventory record and the running service's
    // wake-up handle. Held only for constant work (a body is built under it in about a microsecond),
    // never across a stop's drain, a start or an inventory fill, so no export waits on another for
    // longer than that.
    std::mutex lock;
    ReportOrigin origin;  // key and channel from SetAppInfo, identifier from the start
    bool serviceRunning = false;
    bool startedByHost = false;
    int32_t lastErrorCode = 0;
};

ServiceState& serviceState();
