// A scriptable host for end-to-end tests: loads the DLL of its own pointer size the way an
// application does and runs the steps given on its command line, printing each result on standard
// output.
//   load | free | set KEY CHANNEL | report NAME CONTENT FLUSH | repeat N NAME CONTENT | ("-" is NULL)
//   stop | timedstop (prints "host: stop took N ms") | quiet (no more lines from the host itself)
//   sleep MS | exit CODE (ExitProcess now) | return (leave main)
//   stream THREADS COUNT PERIOD_MS TAG [KILL_MS]   THREADS threads each report COUNT actions named
//                "stream_event" with the content TAG-<thread>-<n>, one every PERIOD_MS, printing
//                "accepted <content> <tick ms>" for each one ReportAppEvent took; with KILL_MS the
//                process ends itself with TerminateProcess that long after the start (printing
//                "host: killed at <tick ms>" first), as a crash would
//   squat KIND   holds the name "WorkEvent" the way another program could: mutex, semaphore,
//                locked-event (an event nobody else may open) or manual-event (signalled, manual reset)
#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tallyscope.h"

namespace {

HMODULE g_library = nullptr;
TallySetAppInfoFn g_set = nullptr;
TallyReportAppEventFn g_report = nullptr;
TallyStopTallyscopeFn g_stop = nullptr;

bool load()
{
    g_library = LoadLibraryA(TALLYSCOPE_DLL_NAME);
    if (g_library == nullptr) return false;
    g_set = reinterpret_cast<TallySetAppInfoFn>(reinterpret_cast<void*>(GetProcAddress(g_library, "SetAppInfo")));
    g_report =
        reinterpret_cast<TallyReportAppEventFn>(reinterpret_cast<void*>(GetProcAddress(g_library, "ReportAppEvent")));
    g_stop =
        reinterpret_cast<TallyStopTallyscopeFn>(reinterpret_cast<void*>(GetProcAddress(g_library, "StopTallyscope")));
    return g_set != nullptr && g_report != nullptr && g_stop != nullptr;
}

HANDLE squat(const std::string& kind)
{
    if (kind == "mutex") return CreateMutexW(nullptr, FALSE, L"WorkEvent");
    if (kind == "semaphore") return CreateSemaphoreW(nullptr, 0, 1, L"WorkEvent");
    if (kind == "manual-event") return CreateEventW(nullptr, TRUE, TRUE, L"WorkEvent");
    if (kind == "locked-event") {
        // An empty access list: the creator keeps its handle, every later open is denied.
        static SECURITY_DESCRIPTOR descriptor;
        static ACL emptyList;
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
            !InitializeAcl(&emptyList, sizeof emptyList, ACL_REVISION) ||
            !SetSecurityDescriptorDacl(&descriptor, TRUE, &emptyList, FALSE)) {
            return nullptr;
        }
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
        return CreateEventW(&attributes, FALSE, FALSE, L"WorkEvent");
    }
    return nullptr;
}

const char* optional(const char* arg) { return std::strcmp(arg, "-") == 0 ? nullptr : arg; }

bool g_quiet = false;

void say(const char* format, ...)
{
    if (g_quiet) return;
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

struct Stream {
    int thread;
    int count;
    DWORD period;
    std::string tag;
};

CRITICAL_SECTION g_printLock;

DWORD WINAPI streamMain(LPVOID parameter)
{
    const Stream& s = *static_cast<const Stream*>(parameter);
    for (int n = 0; n < s.count; ++n) {
        const std::string content = s.tag + "-" + std::to_string(s.thread) + "-" + std::to_string(n);
        if (g_report("stream_event", content.c_str(), 0) == 1) {
            // Printed under a lock and flushed at once: a kill leaves whole lines only.
            EnterCriticalSection(&g_printLock);
            std::printf("accepted %s %llu\n", content.c_str(), static_cast<unsigned long long>(GetTickCount64()));
            std::fflush(stdout);
            LeaveCriticalSection(&g_printLock);
        }
        Sleep(s.period);
    }
    return 0;
}

void stream(int threads, int count, DWORD period, const std::string& tag, DWORD killAfter)
{
    InitializeCriticalSection(&g_printLock);
    Stream* streams = new Stream[threads];
    HANDLE* handles = new HANDLE[threads];
    for (int t = 0; t < threads; ++t) {
        streams[t] = Stream{t, count, period, tag};
        handles[t] = CreateThread(nullptr, 0, streamMain, &streams[t], 0, nullptr);
    }
    if (killAfter != 0 && WaitForMultipleObjects(threads, handles, TRUE, killAfter) == WAIT_TIMEOUT) {
        EnterCriticalSection(&g_printLock);
        std::printf("host: killed at %llu\n", static_cast<unsigned long long>(GetTickCount64()));
        std::fflush(stdout);
        TerminateProcess(GetCurrentProcess(), 9);
    }
    WaitForMultipleObjects(threads, handles, TRUE, INFINITE);
    for (int t = 0; t < threads; ++t) CloseHandle(handles[t]);
    delete[] handles;
    delete[] streams;
    say("host: streamed\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (!load()) {
        say("host: load failed\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        std::string step = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (step == "load") {
            say("host: load %d\n", load() ? 1 : 0);
        } else if (step == "free") {
            say("host: free %d\n", FreeLibrary(g_library) ? 1 : 0);
            g_library = nullptr;
        } else if (step == "set") {
            const char* key = optional(next());
            const char* channel = optional(next());
            say("host: set %d\n", g_set(key, channel));
        } else if (step == "report") {
            const char* name = optional(next());
            const char* content = optional(next());
            int flush = std::atoi(next());
            say("host: report %d\n", g_report(name, content, flush));
        } else if (step == "repeat") {
            int count = std::atoi(next());
            std::string name = next();
            std::string content = next();
            int ok = 0;
            for (int n = 0; n < count; ++n) ok += g_report(name.c_str(), (content + std::to_string(n)).c_str(), 0);
            say("host: repeat %d\n", ok);
        } else if (step == "stream") {
            const int threads = std::atoi(next());
            const int count = std::atoi(next());
            const DWORD period = static_cast<DWORD>(std::atoi(next()));
            const std::string tag = next();
            const DWORD killAfter = i + 1 < argc && std::isdigit(static_cast<unsigned char>(argv[i + 1][0]))
                                        ? static_cast<DWORD>(std::atoi(next()))
                                        : 0;
            stream(threads, count, period, tag, killAfter);
        } else if (step == "squat") {
            say("host: squat %d\n", squat(next()) != nullptr ? 1 : 0);  // held until the process ends
        } else if (step == "stop") {
            g_stop();
            say("host: stopped\n");
        } else if (step == "timedstop") {
            const ULONGLONG started = GetTickCount64();
            g_stop();
            say("host: stop took %llu ms\n", static_cast<unsigned long long>(GetTickCount64() - started));
        } else if (step == "quiet") {
            g_quiet = true;
        } else if (step == "sleep") {
            Sleep(static_cast<DWORD>(std::atoi(next())));
        } else if (step == "exit") {
            say("host: exit\n");
            ExitProcess(static_cast<UINT>(std::atoi(next())));
        } else if (step == "return") {
            say("host: return\n");
            return 0;
        } else {
            say("host: unknown step %s\n", step.c_str());
            return 2;
        }
    }
    say("host: end\n");
    return 0;
}
