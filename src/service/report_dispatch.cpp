#include "service/report_dispatch.h"

namespace {

bool startsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

}  // namespace

ReportKind chooseReport(const char* eventName)
{
    if (!startsWithNoCase(eventName, "app_")) return ReportKind::Action;
    if (startsWithNoCase(eventName, "app_device_info")) return ReportKind::DeviceInfo;
    return ReportKind::AppEvent;
}
