// Times the upload worker's drain for the drain benchmark: loads tallyscope64.dll like a host,
// starts the service, queues N action reports without a flush and calls StopTallyscope, which
// returns once every queued body has been posted. Prints
//   queued=N queue_ms=... stop_ms=... total_ms=...
// where total_ms runs from the first report to the return of StopTallyscope.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tallyscope.h"

namespace {

double millisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

int main(int argc, char** argv)
{
    int count = argc > 1 ? std::atoi(argv[1]) : 1024;
    HMODULE library = LoadLibraryW(L"tallyscope64.dll");
    if (library == nullptr) {
        std::fprintf(stderr, "drain_host: cannot load tallyscope64.dll\n");
        return 2;
    }
    auto setAppInfo = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetAppInfo")));
    auto report =
        reinterpret_cast<TallyReportAppEventFn>(reinterpret_cast<void*>(GetProcAddress(library, "ReportAppEvent")));
    auto stop =
        reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(library, "StopTallyscope")));
    if (setAppInfo == nullptr || report == nullptr || stop == nullptr || !setAppInfo("bench-key", "bench-channel")) {
        std::fprintf(stderr, "drain_host: cannot start the service\n");
        return 2;
    }

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    int queued = 0;
    for (int n = 0; n < count; ++n) queued += report("bench_click", std::to_string(n).c_str(), 0);
    double queueMs = millisecondsSince(start);
    LARGE_INTEGER stopStart;
    QueryPerformanceCounter(&stopStart);
    stop();
    double stopMs = millisecondsSince(stopStart);
    double totalMs = millisecondsSince(start);
    // The library's own trace lines go to standard output as well; the result goes to standard
    // error so that the benchmark can find it without them.
    std::fprintf(stderr, "queued=%d queue_ms=%.3f stop_ms=%.3f total_ms=%.3f\n", queued, queueMs, stopMs, totalMs);
    FreeLibrary(library);
    return 0;
}
