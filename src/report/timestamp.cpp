#include "report/timestamp.h"

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
    // text cannot change. Only the host's thread builds reports, so the cache needs no lock.
    static std::time_t cachedSecond = static_cast<std::time_t>(-1);
    static char cachedText[64];
    std::time_t now = std::time(nullptr);
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
