// The one process-wide record of the library, shared by the exports, the report builders, the
// start/stop sequences and (for the queue and exitRequested only) the upload worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

class ReportQueue;

constexpr std::size_t kAppKeyBytes = 64;
constexpr std::size_t kChannelBytes = 64;
constexpr std::size_t kDeviceIdWideUnits = 260;
constexpr std::size_t kDeviceIdAnsiBytes = 33;

// lastErrorCode values.
enum ErrorCode : int32_t {
    kErrorNotRunning = 1,   // not running, or no key
    kErrorNoMemory = 2,     // a body buffer or its queued copy could not be allocated
    kErrorBadArgument = 6,  // null or over-long text
};

// Windows' "no handle" value (INVALID_HANDLE_VALUE); NULL is treated as no handle as well.
inline void* const kNoHandle = reinterpret_cast<void*>(~static_cast<std::uintptr_t>(0));
inline bool isHandle(void* h) { return h != nullptr && h != kNoHandle; }

struct ServiceState {
    char appKey[kAppKeyBytes] = {};
    char channelId[kChannelBytes] = {};
    int32_t serviceRunning = 0;
    uint8_t startedByHost = 0;
    std::atomic<uint8_t> exitRequested{0};
    int32_t lastErrorCode = 0;
    void* wakeEvent = kNoHandle;     // creator's handle of the shared "WorkEvent"
    void* stopEvent = kNoHandle;     // private to this process's worker: the stop never depends on
                                     // a signal that another process's worker could consume
    void* workerThread = kNoHandle;
    uint32_t workerThreadId = 0;
    void* tickTimer = kNoHandle;
    std::atomic<ReportQueue*> reportQueue{nullptr};
    wchar_t deviceIdWide[kDeviceIdWideUnits] = {};
    char deviceIdAnsi[kDeviceIdAnsiBytes] = {};
};

ServiceState& serviceState();

// Copies text into a fixed field: never writes past it, always terminates, zero-fills the rest.
void copyToField(char* field, std::size_t fieldBytes, const char* text);
void copyToField(wchar_t* field, std::size_t fieldUnits, const wchar_t* text);
