#include "report/report_builders.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "inventory/machine_inventory.h"
#include "report/ansi_text.h"
#include "report/url_escape.h"
#include "service/report_queue.h"
#include "service/service_state.h"

namespace {

constexpr std::size_t kAnsiScratchBytes = 2048;

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using BodyBuffer = std::unique_ptr<char, FreeDeleter>;

// Appends to the fixed body buffer. Once something does not fit, the body is closed: a value is
// cut only between whole characters or escapes, and nothing after it is written, so the server
// never sees a torn %xx sequence or a key without its value.
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
        char* scratch = escapeScratch();
        std::size_t length = urlEscape(value, scratch, kEscapeBufferBytes);
        if (length > room()) {
            length = urlEscape(value, scratch, room() + 1);
            full_ = true;
        }
        std::memcpy(buffer_ + used_, scratch, length);
        used_ += length;
    }

    void escapedWide(const wchar_t* value)
    {
        static char ansiScratch[kAnsiScratchBytes];
        toAnsi(value, ansiScratch, sizeof ansiScratch);
        escaped(ansiScratch);
    }

private:
    std::size_t room() const { return kBodyBufferBytes - 1 - used_; }

    char* buffer_;
    std::size_t used_ = 0;
    bool full_ = false;
};

bool configured()
{
    ServiceState& state = serviceState();
    if (state.serviceRunning == 0 || state.appKey[0] == '\0') {
        state.lastErrorCode = kErrorNotRunning;
        return false;
    }
    return true;
}

bool validArgument(const char* text) { return text != nullptr && strnlen(text, kMaxArgumentChars + 1) <= kMaxArgumentChars; }

BodyBuffer allocateBody()
{
    BodyBuffer body(static_cast<char*>(std::calloc(kBodyBufferBytes, 1)));
    if (!body) serviceState().lastErrorCode = kErrorNoMemory;
    return body;
}

int queue(const BodyBuffer& body)
{
    if (enqueueReport(body.get()) == EnqueueResult::Queued) return 1;
    serviceState().lastErrorCode = kErrorNoMemory;
    return 0;
}

// The Param forms: a JSON-like object whose double quotes travel as %22.
int buildParamReport(const char* fourthKey, const char* fourthValue, const char* fifthKey, const char* fifthValue)
{
    BodyBuffer body = allocateBody();
    if (!body) return 0;
    ServiceState& state = serviceState();
    BodyWriter out(body.get());
    out.literal("Param={");
    const char* keys[] = {"deviceid", "appkey", "channelid", fourthKey, fifthKey};
    const char* values[] = {state.deviceIdAnsi, state.appKey, state.channelId, fourthValue, fifthValue};
    for (int i = 0; i < 5; ++i) {
        out.literal("%22");
        out.literal(keys[i]);
        out.literal("%22:%22");
        out.escaped(values[i]);
        out.literal(i < 4 ? "%22," : "%22");
    }
    out.literal("}");
    return queue(body);
}

}  // namespace

int buildDeviceInfoReport()
{
    if (!configured()) return 0;
    fillMachineInventory();
    return queueDeviceInfoReport(machineInventory());
}

int queueDeviceInfoReport(const MachineInventory& inventory)
{
    BodyBuffer body = allocateBody();
    if (!body) return 0;
    ServiceState& state = serviceState();
    BodyWriter out(body.get());
    out.literal("devicecode=");
    out.escapedWide(state.deviceIdWide);
    out.literal("&appkey=");
    out.escaped(state.appKey);
    out.literal("&channelid=");
    out.escaped(state.channelId);
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
    return queue(body);
}

int buildAppEventReport(const char* eventName, const char* timestamp)
{
    if (!configured()) return 0;
    if (!validArgument(eventName) || !validArgument(timestamp)) {
        serviceState().lastErrorCode = kErrorBadArgument;
        return 0;
    }
    return buildParamReport("installtype", eventName, "time", timestamp);
}

int buildActionReport(const char* eventName, const char* eventContent)
{
    if (!configured()) return 0;
    if (!validArgument(eventName) || !validArgument(eventContent)) {
        serviceState().lastErrorCode = kErrorBadArgument;
        return 0;
    }
    return buildParamReport("actionname", eventName, "actioncontent", eventContent);
}
