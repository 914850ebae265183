// Host-thread cost of SetAppInfo on a fresh service through the real DLL under Wine: the start
// (event, worker, timer) plus the device identifier's derivation and registry check. Each round
// starts a new service and stops it again; the stop (which drains and sleeps 100 ms) is timed
// apart. Prints the first, cold call and the median of the rest, and the derivation alone.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "inventory/fingerprint.h"
#include "tallyscope.h"

namespace {

double millisecondsSince(const LARGE_INTEGER& start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return double(now.QuadPart - start.QuadPart) * 1000.0 / double(frequency.QuadPart);
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 21;
    HMODULE library = LoadLibraryW(L"tallyscope64.dll");
    if (library == nullptr) return 2;
    auto set = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(library, "SetAppInfo")));
    auto stop =
        reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(library, "StopTallyscope")));
    if (set == nullptr || stop == nullptr) return 2;

    std::vector<double> starts, stops;
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        if (set("bench-key", "bench-channel") != 1) return 3;
        starts.push_back(millisecondsSince(t));
        QueryPerformanceCounter(&t);
        stop();
        stops.push_back(millisecondsSince(t));
    }
    std::vector<double> derivations;
    for (int i = 0; i < rounds; ++i) {
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        (void)deriveDeviceId();
        derivations.push_back(millisecondsSince(t));
    }

    const double cold = starts.front();
    starts.erase(starts.begin());
    std::printf("SetAppInfo on a fresh service: first call %.2f ms, median %.2f ms over %zu more starts\n", cold,
                median(starts), starts.size());
    std::printf("StopTallyscope (drain, 100 ms pause): median %.2f ms\n", median(stops));
    std::printf("deriveDeviceId alone: median %.2f ms over %d calls\n", median(derivations), rounds);
    return 0;
}
