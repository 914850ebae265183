// Host-thread cost of refreshing the machine inventory under the current WMI service: the fill on a
// thread outside COM, the fill on a thread in a single-threaded apartment, and a whole
// device-information report through tallyscope64.dll when it sits next to this program.
//   inventory_timing.exe [ROUNDS]     (default 11; one untimed round first)
// The fill's own lines go to standard output as usual; the medians follow them at the end.
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "inventory/machine_inventory.h"
#include "tallyscope.h"

namespace {

double nowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double medianMs(int rounds, const std::function<void()>& work)
{
    work();
    std::vector<double> samples;
    for (int i = 0; i < rounds; ++i) {
        double start = nowMs();
        work();
        samples.push_back(nowMs() - start);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 11;
    double outsideCom = medianMs(rounds, [] { fillMachineInventory(); });

    double singleThreaded = 0;
    std::thread sta([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        singleThreaded = medianMs(rounds, [] { fillMachineInventory(); });
        CoUninitialize();
    });
    sta.join();

    double report = -1;
    HMODULE library = LoadLibraryW(L"tallyscope64.dll");
    if (library != nullptr) {
        auto set = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetAppInfo")));
        auto reportEvent =
            reinterpret_cast<TallyReportAppEventFn>(reinterpret_cast<void*>(GetProcAddress(library, "ReportAppEvent")));
        auto stop =
            reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(library, "StopTallyscope")));
        if (set != nullptr && reportEvent != nullptr && stop != nullptr && set("timing", "timing")) {
            report = medianMs(rounds, [&] { reportEvent("app_device_info", nullptr, 0); });
            stop();
        }
    }

    std::printf("inventory_timing: rounds %d\n", rounds);
    std::printf("inventory_timing: fill, thread outside COM: median %.1f ms\n", outsideCom);
    std::printf("inventory_timing: fill, single-threaded apartment: median %.1f ms\n", singleThreaded);
    if (report >= 0)
        std::printf("inventory_timing: ReportAppEvent(\"app_device_info\", NULL, 0): median %.1f ms\n", report);
    else
        std::printf("inventory_timing: tallyscope64.dll not usable, no report timing\n");
    std::fflush(stdout);
    return 0;
}
