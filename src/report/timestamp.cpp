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
    std::tm local{};
    std::time_t now = std::time(nullptr);
    // A clock or zone the C runtime cannot break down still yields a well-formed 19-character value.
    if (now == static_cast<std::time_t>(-1) || !toLocal(now, local)) return "1970-01-01 00:00:00";
    char text[64];
    std::snprintf(text, sizeof text, "%4.4d-%2.2d-%2.2d %2.2d:%2.2d:%2.2d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}
