#include "service/report_id.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>

namespace {

std::once_flag g_drawn;
uint64_t g_high = 0;
uint64_t g_lowStart = 0;
std::atomic<uint64_t> g_counter{0};

void drawStart()
{
    uint64_t bits[2] = {0, 0};
    if (!drawSystemRandom(bits, sizeof bits)) {
        // No generator: the clock still keeps processes apart far better than a constant would.
        bits[0] = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
        bits[1] = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) * 0x9E3779B97F4A7C15u;
    }
    // A zero high half would let the first id read as "none".
    g_high = bits[0] != 0 ? bits[0] : 1;
    g_lowStart = bits[1];
}

}  // namespace

std::string ReportId::hex() const
{
    if (empty()) return std::string();
    char text[33];
    std::snprintf(text, sizeof text, "%08lx%08lx%08lx%08lx", static_cast<unsigned long>(high >> 32),
                  static_cast<unsigned long>(high & 0xFFFFFFFFu), static_cast<unsigned long>(low >> 32),
                  static_cast<unsigned long>(low & 0xFFFFFFFFu));
    return std::string(text, 32);
}

void prepareReportIds() { std::call_once(g_drawn, drawStart); }

ReportId nextReportId()
{
    prepareReportIds();
    ReportId id;
    id.high = g_high;
    id.low = g_lowStart + g_counter.fetch_add(1, std::memory_order_relaxed);
    return id;
}

bool isReportIdText(const std::string& text)
{
    if (text.size() != 32) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}
