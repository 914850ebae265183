#include "core/report_decoding.h"

#include "core/report_body.h"

namespace tallyscope::server {

namespace {

DecodedBody decode(std::string_view body, TextDecoder& decoder)
{
    DecodedBody out;
    BodyParse parsed = parseReportBody(body);
    if (!parsed.report) {
        out.reason = std::move(parsed.reason);
        return out;
    }
    RawReport& raw = *parsed.report;
    // The library's values are NUL-terminated strings, so a NUL byte means the body was made by
    // something else; refusing it also keeps every stored value a valid text in every backend.
    for (std::size_t i = 0; i < raw.count; ++i)
        if (raw.values[i].find('\0') != std::string::npos) {
            out.reason = "value " + std::to_string(i + 1) + " holds a NUL byte";
            return out;
        }
    if (raw.values[1].empty()) {
        out.reason = "appkey is empty";
        return out;
    }
    if (raw.values[0].empty()) {
        out.reason = "device identifier is empty";
        return out;
    }

    Report& report = out.report.emplace();  // built in place: a report is fifteen strings to move
    report.kind = raw.kind;
    report.deviceId = decoder.toUtf8(std::move(raw.values[0]));
    report.appKey = decoder.toUtf8(std::move(raw.values[1]));
    report.channel = decoder.toUtf8(std::move(raw.values[2]));
    if (raw.kind == ReportKind::DeviceInfo) {
        for (std::size_t i = 0; i < report.inventory.size(); ++i)
            report.inventory[i] = decoder.toUtf8(std::move(raw.values[3 + i]));
    } else {
        report.name = decoder.toUtf8(std::move(raw.values[3]));
        report.content = decoder.toUtf8(std::move(raw.values[4]));
    }
    return out;
}

}  // namespace

DecodedBody decodeReportBody(std::string_view body, TextDecoder& decoder)
{
    DecodedBody out = decode(body, decoder);
    if (out.report) out.report->body = std::string(body);
    return out;
}

DecodedBody decodeReportBody(std::string&& body, TextDecoder& decoder)
{
    DecodedBody out = decode(body, decoder);
    if (out.report) out.report->body = std::move(body);
    return out;
}

}  // namespace tallyscope::server
