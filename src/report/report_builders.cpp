#include "report/report_builders.h"

#include <cstdlib>
#include <cstring>

#include "inventory/machine_inventory.h"
#include "report/ansi_text.h"
#include "report/url_escape.h"

namespace {

constexpr std::size_t kAnsiScratchBytes = 2048;

bool startsWithNoCase(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        char c = *text;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *prefix) return false;
    }
    return true;
}

// Appends to the fixed body buffer. Once something does not fit, the body is closed: a value is
// cut only between whole characters or escapes, and nothing after it is written, so the server
// never sees a torn %xx sequence or a key without its value. The scratch buffers are the writer's
// own, so bodies can be built on several threads at once.
class BodyWriter {
public:
    explicit BodyWriter(char* buffer) : buffer_(buffer) {}

    void literal(const char* text)
    {
        std::size_t length = std::strlen(text);
        if (full_ || length > room()) {
            full_ = true;
            return;
        }
        std::memcpy(buffer_ + used_, text, length);
        used_ += length;
    }

    void escaped(const char* value)
    {
        if (full_) return;
        std::size_t length = urlEscape(value, escapeScratch_, sizeof escapeScratch_);
        if (length > room()) {
            length = urlEscape(value, escapeScratch_, room() + 1);
            full_ = true;
        }
        std::memcpy(buffer_ + used_, escapeScratch_, length);
        used_ += length;
    }

    void escapedWide(const wchar_t* value)
    {
        toAnsi(value, ansiScratch_, sizeof ansiScratch_);
        escaped(ansiScratch_);
    }

private:
    std::size_t room() const { return kBodyBytes - 1 - used_; }

    char* buffer_;
    std::size_t used_ = 0;
    bool full_ = false;
    char escapeScratch_[kEscapeBufferBytes];
    char ansiScratch_[kAnsiScratchBytes];
};

bool validArgument(const char* text) { return text != nullptr && strnlen(text, kMaxArgumentChars + 1) <= kMaxArgumentChars; }

BuiltReport failed(ReportFailure why)
{
    BuiltReport report;
    report.failure = why;
    return report;
}

BuiltReport allocateBody()
{
    BuiltReport report;
    report.body.reset(static_cast<char*>(std::calloc(kBodyBytes, 1)));
    if (!report.body) report.failure = ReportFailure::NoMemory;
    return report;
}

// The Param forms: a JSON-like object whose double quotes travel as %22.
BuiltReport buildParamReport(const ReportOrigin& origin, const char* fourthKey, const char* fourthValue,
                             const char* fifthKey, const char* fifthValue)
{
    BuiltReport report = allocateBody();
    if (!report.body) return report;
    BodyWriter out(report.body.get());
    out.literal("Param={");
    const char* keys[] = {"deviceid", "appkey", "channelid", fourthKey, fifthKey};
    const char* values[] = {origin.deviceId.ansi, origin.appKey, origin.channelId, fourthValue, fifthValue};
    for (int i = 0; i < 5; ++i) {
        out.literal("%22");
        out.literal(keys[i]);
        out.literal("%22:%22");
        out.escaped(values[i]);
        out.literal(i < 4 ? "%22," : "%22");
    }
    out.literal("}");
    return report;
}

}  // namespace

ReportKind chooseReport(const char* eventName)
{
    if (!startsWithNoCase(eventName, "app_")) return ReportKind::Action;
    if (startsWithNoCase(eventName, "app_device_info")) return ReportKind::DeviceInfo;
    return ReportKind::AppEvent;
}

bool originConfigured(const ReportOrigin& origin) { return origin.appKey[0] != '\0'; }

BuiltReport buildDeviceInfoReport(const ReportOrigin& origin, const MachineInventory& inventory)
{
    if (!originConfigured(origin)) return failed(ReportFailure::NotConfigured);
    BuiltReport report = allocateBody();
    if (!report.body) return report;
    BodyWriter out(report.body.get());
    out.literal("devicecode=");
    out.escapedWide(origin.deviceId.wide);
    out.literal("&appkey=");
    out.escaped(origin.appKey);
    out.literal("&channelid=");
    out.escaped(origin.channelId);
    const struct {
        const char* key;
        const wchar_t* value;
    } pairs[] = {
        {"&pcosname=", inventory.osCaption},      {"&mac=", inventory.macAddress},
        {"&pcosversion=", inventory.osVersion},   {"&pcname=", inventory.computerName},
        {"&pcusername=", inventory.userName},     {"&windowssid=", inventory.accountSid},
        {"&pccpuid=", inventory.cpuId},           {"&harddiskid=", inventory.diskSerial},
        {"&mainboardcode=", inventory.boardSerial},
    };
    for (const auto& pair : pairs) {
        out.literal(pair.key);
        out.escapedWide(pair.value);
    }
    return report;
}

BuiltReport buildAppEventReport(const ReportOrigin& origin, const char* eventName, const char* timestamp)
{
    if (!originConfigured(origin)) return failed(ReportFailure::NotConfigured);
    if (!validArgument(eventName) || !validArgument(timestamp)) return failed(ReportFailure::BadArgument);
    return buildParamReport(origin, "installtype", eventName, "time", timestamp);
}

BuiltReport buildActionReport(const ReportOrigin& origin, const char* eventName, const char* eventContent)
{
    if (!originConfigured(origin)) return failed(ReportFailure::NotConfigured);
    if (!validArgument(eventName) || !validArgument(eventContent)) return failed(ReportFailure::BadArgument);
    return buildParamReport(origin, "actionname", eventName, "actioncontent", eventContent);
}
