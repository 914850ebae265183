#include "core/report_body.h"

namespace tallyscope::server {
namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

BodyParse refuse(std::string reason)
{
    BodyParse out;
    out.reason = std::move(reason);
    return out;
}

// A piece of the body quoted in a reason: short, printable ASCII, one line.
std::string quoted(std::string_view text)
{
    std::string out(text.substr(0, 32));
    for (char& c : out)
        if (c < 0x20 || c > 0x7E) c = '?';
    return "'" + out + "'";
}

bool consume(std::string_view& text, std::string_view prefix)
{
    if (text.substr(0, prefix.size()) != prefix) return false;
    text.remove_prefix(prefix.size());
    return true;
}

// Param={%22deviceid%22:%22V%22,%22appkey%22:%22V%22,...,%22time%22:%22V%22}
BodyParse parseParamBody(std::string_view body)
{
    constexpr std::string_view kOpen = "Param={";
    if (!consume(body, kOpen)) return refuse("body is neither a Param object nor device information");
    if (body.empty() || body.back() != '}') return refuse("Param object does not end with '}'");
    body.remove_suffix(1);

    static constexpr std::array<std::string_view, 3> kCommon = {"deviceid", "appkey", "channelid"};
    BodyParse out;
    RawReport& report = out.report.emplace();  // built in place: twelve strings to move otherwise
    std::size_t field = 0;
    while (true) {
        std::size_t comma = body.find(',');
        std::string_view item = body.substr(0, comma);
        if (field >= 5) return refuse("Param object has more than five fields");

        if (!consume(item, "%22")) return refuse("Param field " + std::to_string(field + 1) + " does not start with %22");
        std::size_t keyEnd = item.find("%22:%22");
        if (keyEnd == std::string_view::npos)
            return refuse("Param field " + std::to_string(field + 1) + " has no %22:%22 after its key");
        std::string_view key = item.substr(0, keyEnd);
        item.remove_prefix(keyEnd + 7);
        if (item.size() < 3 || item.substr(item.size() - 3) != "%22")
            return refuse("Param field " + std::to_string(field + 1) + " does not end with %22");
        item.remove_suffix(3);

        std::string_view expected;
        if (field < 3) {
            expected = kCommon[field];
        } else if (field == 3) {
            if (key == "installtype") report.kind = ReportKind::AppEvent;
            else if (key == "actionname") report.kind = ReportKind::Action;
            expected = report.kind == ReportKind::AppEvent ? "installtype" : "actionname";
        } else {
            expected = report.kind == ReportKind::AppEvent ? "time" : "actioncontent";
        }
        if (key != expected)
            return refuse("Param field " + std::to_string(field + 1) + " is " + quoted(key) + ", expected '" +
                          std::string(expected) + "'");
        report.values[field++] = percentDecode(item);
        if (comma == std::string_view::npos) break;
        body.remove_prefix(comma + 1);
    }
    if (field != 5) return refuse("Param object has " + std::to_string(field) + " fields, expected five");
    report.count = 5;
    return out;
}

// devicecode=V&appkey=V&channelid=V&pcosname=V&...&mainboardcode=V
BodyParse parseDeviceInfoBody(std::string_view body)
{
    static constexpr std::array<std::string_view, 12> kKeys = {
        "devicecode", "appkey", "channelid", "pcosname", "mac", "pcosversion",
        "pcname", "pcusername", "windowssid", "pccpuid", "harddiskid", "mainboardcode"};
    static_assert(kKeys.size() == 3 + kInventoryKeys.size());
    BodyParse out;
    RawReport& report = out.report.emplace();
    report.kind = ReportKind::DeviceInfo;
    std::size_t pair = 0;
    while (true) {
        std::size_t amp = body.find('&');
        std::string_view item = body.substr(0, amp);
        if (pair >= kKeys.size()) return refuse("device information has more than twelve pairs");
        std::size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return refuse("device information pair " + std::to_string(pair + 1) + " has no '='");
        std::string_view key = item.substr(0, eq);
        if (key != kKeys[pair])
            return refuse("device information pair " + std::to_string(pair + 1) + " is " + quoted(key) +
                          ", expected '" + std::string(kKeys[pair]) + "'");
        report.values[pair++] = percentDecode(item.substr(eq + 1));
        if (amp == std::string_view::npos) break;
        body.remove_prefix(amp + 1);
    }
    if (pair < 2) return refuse("device information without an appkey");
    report.count = pair;
    return out;
}

}  // namespace

std::string percentDecode(std::string_view text)
{
    if (text.find('%') == std::string_view::npos) return std::string(text);
    std::string out;
    out.reserve(text.size());
    // The text between escapes goes over in one piece.
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t mark = text.find('%', i);
        out.append(text.substr(i, mark - i));
        if (mark == std::string_view::npos) break;
        i = mark + 1;
        if (mark + 2 < text.size()) {
            int high = hexValue(text[mark + 1]);
            int low = hexValue(text[mark + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i = mark + 3;
                continue;
            }
        }
        out.push_back('%');
    }
    return out;
}

BodyParse parseReportBody(std::string_view body)
{
    if (body.substr(0, 11) == "devicecode=") {
        // The library cuts a body that outgrows its buffer after a whole value or escape; only a
        // body that long may stop before the last pair. Absent values stay empty.
        BodyParse parsed = parseDeviceInfoBody(body);
        if (parsed.report && parsed.report->count < 12 && body.size() < kCutBodyMinChars)
            return refuse("device information has " + std::to_string(parsed.report->count) +
                          " of twelve pairs and is too short to have been cut");
        return parsed;
    }
    return parseParamBody(body);
}

}  // namespace tallyscope::server
