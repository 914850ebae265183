// Host-thread cost of ReportAppEvent through the real DLL under Wine: batches of app-event and
// action reports, median nanoseconds per call over the batches.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "tallyscope.h"

namespace {

template <typename Call>
double medianNsPerCall(Call call)
{
    constexpr int kBatches = 15, kPerBatch = 500;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    std::vector<double> perCall;
    for (int b = 0; b < kBatches; ++b) {
        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        for (int i = 0; i < kPerBatch; ++i) call();
        QueryPerformanceCounter(&end);
        perCall.push_back(double(end.QuadPart - start.QuadPart) * 1e9 / double(frequency.QuadPart) / kPerBatch);
    }
    std::sort(perCall.begin(), perCall.end());
    return perCall[perCall.size() / 2];
}

}  // namespace

int main()
{
    HMODULE library = LoadLibraryW(L"tallyscope64.dll");
    if (library == nullptr) return 2;
    auto set = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetAppInfo")));
    auto report =
        reinterpret_cast<TallyReportAppEventFn>(reinterpret_cast<void*>(GetProcAddress(library, "ReportAppEvent")));
    auto stop =
        reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(library, "StopTallyscope")));
    if (set == nullptr || report == nullptr || stop == nullptr || set("bench-key", "bench-channel") != 1) return 2;
    double appEvent = medianNsPerCall([&] { report("app_start", nullptr, 0); });
    double action = medianNsPerCall([&] { report("export_pdf", "two pages & a cover", 0); });
    std::fprintf(stderr, "ReportAppEvent app-event report: median %.0f ns per call\n", appEvent);
    std::fprintf(stderr, "ReportAppEvent action report:    median %.0f ns per call\n", action);
    stop();
    return 0;
}
