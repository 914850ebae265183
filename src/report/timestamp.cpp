#include "report/timestamp.h"

#include <chrono>
#include <cstdio>
#include <ctime>

namespace {

bool toLocal(std::time_t now, std::tm& out)
{
#ifdef _WIN32
    return localtime_s(&out, &now) == 0;
#else
    return localtime_r(&now, &out) != nullptr;
#endif
}

}  // namespace

std::string localTimestamp()
{
    // Breaking the time down is most of a report's cost on some C runtimes; within one second the
    // text cannot change. The cache is the process's: the exports call this under the state lock.
    static std::time_t cachedSecond = static_cast<std::time_t>(-1);
    static char cachedText[64];
    // The same second time() gives, read from the system clock: Windows' msvcrt spends about 17 us
    // in time() (it consults the time-zone settings on every call), eight times a whole report.
    std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    if (now != static_cast<std::time_t>(-1) && now == cachedSecond) return cachedText;
    std::tm local{};
    // A clock or zone the C runtime cannot break down still yields a well-formed 19-character value.
    if (now == static_cast<std::time_t>(-1) || !toLocal(now, local)) return "1970-01-01 00:00:00";
    char* text = cachedText;
    std::snprintf(text, sizeof cachedText, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    cachedSecond = now;
    return text;
}
