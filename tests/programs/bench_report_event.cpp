// Host-thread cost of ReportAppEvent through the real DLL under Wine: batches of app-event and
// action reports, median nanoseconds per call over the batches; then the same action report from
// 8 threads at once, median over every thread's batches.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "tallyscope.h"

namespace {

constexpr int kBatches = 15, kPerBatch = 500;

template <typename Call>
std::vector<double> nsPerCallOfEachBatch(Call call)
{
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
    return perCall;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
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
    auto action = [&] { report("export_pdf", "two pages & a cover", 0); };
    double appEvent = median(nsPerCallOfEachBatch([&] { report("app_start", nullptr, 0); }));
    double single = median(nsPerCallOfEachBatch(action));

    constexpr int kThreads = 8;
    std::vector<std::vector<double>> perThread(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] { perThread[t] = nsPerCallOfEachBatch(action); });
    for (std::thread& thread : threads) thread.join();
    std::vector<double> all;
    for (const auto& batches : perThread) all.insert(all.end(), batches.begin(), batches.end());

    std::fprintf(stderr, "ReportAppEvent app-event report: median %.0f ns per call\n", appEvent);
    std::fprintf(stderr, "ReportAppEvent action report:    median %.0f ns per call\n", single);
    std::fprintf(stderr, "ReportAppEvent action report, %d threads at once: median %.0f ns per call and thread\n",
                 kThreads, median(all));
    stop();
    return 0;
}
