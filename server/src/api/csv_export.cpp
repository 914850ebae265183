#include "api/csv_export.h"

#include "core/days.h"

namespace tallyscope::server::api {
namespace {

// A field as RFC 4180 has it, quoted only when it holds a comma, a quote or a line break (a lone
// CR included). Values come from reports anyone may send, so unless `exact` a value a spreadsheet
// would run as a formula (first character =, +, -, @, tab or CR) gets a leading ' that makes it
// text; the body column is written exact, since import reads it back byte for byte.
void appendField(std::string& out, std::string_view value, bool exact = false) {
    constexpr std::string_view kFormulaStarts = "=+-@\t\r";
    const bool formula = !exact && !value.empty() && kFormulaStarts.find(value.front()) != std::string_view::npos;
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
        if (formula) out.push_back('\'');
        out.append(value);
        return;
    }
    out.push_back('"');
    if (formula) out.push_back('\'');
    for (char c : value) {
        if (c == '"') out.push_back('"');
        out.push_back(c);
    }
    out.push_back('"');
}

// Length of the valid UTF-8 sequence starting at text[i], or 0 when it is not one (overlong
// forms, surrogates and code points past U+10FFFF included).
std::size_t utf8Sequence(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : lead >= 0xc2 ? 2 : 0;
    if (length == 0 || lead > 0xf4 || i + length > text.size()) return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    unsigned char second = byte(i + 1);
    if (lead == 0xe0 && second < 0xa0) return 0;  // overlong
    if (lead == 0xed && second >= 0xa0) return 0;  // surrogate
    if (lead == 0xf0 && second < 0x90) return 0;  // overlong
    if (lead == 0xf4 && second >= 0x90) return 0;  // past U+10FFFF
    return length;
}

}  // namespace

std::string_view kindName(ReportKind kind) {
    switch (kind) {
        case ReportKind::AppEvent: return "app_event";
        case ReportKind::Action: return "action";
        case ReportKind::DeviceInfo: return "device_info";
    }
    return "app_event";
}

std::string bodyAsUtf8(std::string_view body) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(body.size());
    for (std::size_t i = 0; i < body.size();) {
        std::size_t length = utf8Sequence(body, i);
        if (length == 0) {
            unsigned char c = static_cast<unsigned char>(body[i]);
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0x0f];
            ++i;
        } else {
            out.append(body.substr(i, length));
            i += length;
        }
    }
    return out;
}

void appendCsvHeader(std::string& out) {
    out += "arrived,kind,deviceid,appkey,channel,name,content";
    for (const char* key : kInventoryKeys) {
        out += ',';
        out += key;
    }
    out += ",body,report_id\r\n";
}

void appendCsvRow(std::string& out, const Report& report) {
    out += ReportingDays::formatUtc(report.arrivedMs);
    out += ',';
    out += kindName(report.kind);
    for (const std::string* field : {&report.deviceId, &report.appKey, &report.channel,
                                     &report.name, &report.content}) {
        out += ',';
        appendField(out, *field);
    }
    for (const std::string& value : report.inventory) {
        out += ',';
        appendField(out, value);
    }
    out += ',';
    appendField(out, bodyAsUtf8(report.body), true);
    out += ',';
    out += report.reportId;  // 32 hex digits or nothing: never needs quoting
    out += "\r\n";
}

}  // namespace tallyscope::server::api
