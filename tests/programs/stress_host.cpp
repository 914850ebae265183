// Many host threads through tallyscope64.dll at once, for the concurrency tests.
//   stress_host report KEY THREADS PER_THREAD
//       Starts the service with KEY and channel "chan". Every thread makes PER_THREAD reports: each
//       tenth an application event "app_t<i>", the others actions "t<i>_click" with content
//       "n<k>", every seventh with a flush; threads 0 and 1 add one "app_device_info" report each.
//       After the threads have ended, one line per report that returned 1:
//           ok action <name> <content> | ok event <name> | ok device
//       then the stop, and "host: stopped".
//   stress_host churn MILLISECONDS
//       Two threads start and stop the service over and over while four threads report, until the
//       time is up; then a stop and "churn: done starts=<n> reports=<n>".
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tallyscope.h"

namespace {

TallySetAppInfoFn g_set = nullptr;
TallyReportAppEventFn g_report = nullptr;
TallyStopTallyscopeFn g_stop = nullptr;

bool load()
{
    HMODULE library = LoadLibraryW(L"tallyscope64.dll");
    if (library == nullptr) return false;
    auto find = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(library, name)); };
    g_set = reinterpret_cast<TallySetAppInfoFn>(find("SetAppInfo"));
    g_report = reinterpret_cast<TallyReportAppEventFn>(find("ReportAppEvent"));
    g_stop = reinterpret_cast<TallyStopTallyscopeFn>(find("StopTallyscope"));
    return g_set != nullptr && g_report != nullptr && g_stop != nullptr;
}

int reportMany(const char* key, int threads, int perThread)
{
    if (g_set(key, "chan") != 1) return 3;
    std::vector<std::vector<std::string>> accepted(static_cast<size_t>(threads));
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([t, perThread, &accepted] {
            std::vector<std::string>& mine = accepted[static_cast<size_t>(t)];
            const std::string action = "t" + std::to_string(t) + "_click";
            const std::string event = "app_t" + std::to_string(t);
            if (t < 2 && g_report("app_device_info", nullptr, 1) == 1) mine.push_back("ok device");
            for (int k = 0; k < perThread; ++k) {
                const int flush = k % 7 == 0 ? 1 : 0;
                if (k % 10 == 9) {
                    if (g_report(event.c_str(), nullptr, flush) == 1) mine.push_back("ok event " + event);
                    continue;
                }
                const std::string content = "n" + std::to_string(k);
                if (g_report(action.c_str(), content.c_str(), flush) == 1)
                    mine.push_back("ok action " + action + " " + content);
            }
        });
    }
    for (std::thread& worker : workers) worker.join();
    for (const auto& lines : accepted)
        for (const std::string& line : lines) std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    g_stop();
    std::printf("host: stopped\n");
    return 0;
}

int churn(DWORD milliseconds)
{
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    std::atomic<int> starts{0}, reports{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            while (GetTickCount64() < deadline) {
                if (g_set("churn", "chan") == 1) ++starts;
                Sleep(static_cast<DWORD>(5 * t));
                g_stop();
            }
        });
    }
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; GetTickCount64() < deadline; ++k) {
                const char* name = t == 0 && k % 50 == 0 ? "app_device_info" : (k % 2 ? "app_churn" : "churn_click");
                reports += g_report(name, "x", k % 5 == 0);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    g_stop();
    std::printf("churn: done starts=%d reports=%d\n", starts.load(), reports.load());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (!load()) {
        std::printf("host: load failed\n");
        return 2;
    }
    if (argc == 5 && std::strcmp(argv[1], "report") == 0)
        return reportMany(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    if (argc == 3 && std::strcmp(argv[1], "churn") == 0) return churn(static_cast<DWORD>(std::atoi(argv[2])));
    std::fprintf(stderr, "usage: stress_host report KEY THREADS PER_THREAD | stress_host churn MILLISECONDS\n");
    return 2;
}
