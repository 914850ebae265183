#include "core/days.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <sys/stat.h>

namespace tallyscope::server {

namespace {

constexpr const char* kZoneInfo = "/usr/share/zoneinfo/";

bool validZoneName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name.front() == '/' || name.find("..") != std::string::npos)
        return false;
    for (char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '/' || c == '_' || c == '-' || c == '+';
        if (!ok) return false;
    }
    struct stat st {};
    std::string path = kZoneInfo + name;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    // A zoneinfo file starts with the magic "TZif"; anything else (tzdata's tables) is not a zone.
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char magic[4] = {};
    bool isZone = std::fread(magic, 1, 4, f) == 4 && magic[0] == 'T' && magic[1] == 'Z' &&
                  magic[2] == 'i' && magic[3] == 'f';
    std::fclose(f);
    return isZone;
}

std::int64_t floorDiv(std::int64_t a, std::int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

int daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int>(doe) - 719468;
}

void civilFromDays(int z, int& year, unsigned& month, unsigned& day) {
    z += 719468;
    const int era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<int>(yoe) + era * 400 + (month <= 2);
}

ReportingDays::ReportingDays(const std::string& zoneName) : zone_(zoneName) {
    if (!validZoneName(zoneName))
        throw std::invalid_argument("unknown time zone \"" + zoneName + "\" (an IANA name such as Europe/Berlin)");
    ::setenv("TZ", zoneName.c_str(), 1);
    ::tzset();
}

int ReportingDays::dayOf(std::int64_t utcMs) const {
    std::time_t t = static_cast<std::time_t>(floorDiv(utcMs, 1000));
    std::tm tm {};
    if (!::localtime_r(&t, &tm)) return static_cast<int>(floorDiv(utcMs, 86400000));
    return daysFromCivil(tm.tm_year + 1900, static_cast<unsigned>(tm.tm_mon + 1), static_cast<unsigned>(tm.tm_mday));
}

std::int64_t ReportingDays::startOf(int day) const {
    // The first second whose local date is `day`: local offsets stay within a day of UTC, so it
    // lies in this window, and the local date only moves forward across it.
    std::int64_t lo = static_cast<std::int64_t>(day) * 86400 - 2 * 86400;
    std::int64_t hi = static_cast<std::int64_t>(day) * 86400 + 2 * 86400;
    while (lo < hi) {
        std::int64_t mid = lo + (hi - lo) / 2;
        if (dayOf(mid * 1000) >= day) hi = mid; else lo = mid + 1;
    }
    return lo * 1000;
}

int ReportingDays::today() const {
    struct timespec ts {};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    return dayOf(static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

std::string ReportingDays::format(int day) {
    int y; unsigned m, d;
    civilFromDays(day, y, m, d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", y, m, d);
    return buf;
}

std::optional<int> ReportingDays::parse(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
    for (int i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    // Digits only, checked above: read as they stand (the store reads an app event's client time so).
    const auto number = [&s](std::size_t at, std::size_t digits) {
        unsigned v = 0;
        for (std::size_t i = at; i < at + digits; ++i) v = v * 10 + static_cast<unsigned>(s[i] - '0');
        return v;
    };
    int y = static_cast<int>(number(0, 4));
    unsigned m = number(5, 2);
    unsigned d = number(8, 2);
    if (m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
    int days = daysFromCivil(y, m, d);
    int ry; unsigned rm, rd;
    civilFromDays(days, ry, rm, rd);
    if (ry != y || rm != m || rd != d) return std::nullopt;  // 2026-02-30 and the like
    return days;
}

std::string ReportingDays::formatUtc(std::int64_t utcMs) {
    std::int64_t secs = floorDiv(utcMs, 1000);
    int day = static_cast<int>(floorDiv(secs, 86400));
    int sod = static_cast<int>(secs - static_cast<std::int64_t>(day) * 86400);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%sT%02d:%02d:%02dZ", format(day).c_str(), sod / 3600, sod / 60 % 60, sod % 60);
    return buf;
}

}  // namespace tallyscope::server
