// Reads the three report bodies the client library posts, byte for byte as it builds them.
// Pure functions over bytes: no sockets, no storage, no locale.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "core/report.h"

namespace tallyscope::server {

// A body the library builds into a 2048-byte buffer; a device-information body that did not fit
// is cut after a whole value or escape, so it is at least this long.
inline constexpr std::size_t kBodyBufferChars = 2047;
inline constexpr std::size_t kLongestDeviceInfoKeyLiteral = 15;  // "&mainboardcode="
inline constexpr std::size_t kCutBodyMinChars = kBodyBufferChars - kLongestDeviceInfoKeyLiteral;

// The values of one body, percent-decoded but still in the host's 8-bit text.
struct RawReport {
    ReportKind kind = ReportKind::AppEvent;
    // AppEvent/Action: deviceid, appkey, channelid, name, content/time.
    // DeviceInfo: devicecode, appkey, channelid, then the nine inventory values.
    std::array<std::string, 12> values;
    std::size_t count = 0;  // values present in the body
};

struct BodyParse {
    std::optional<RawReport> report;
    std::string reason;  // one line, set when report is empty
};

// Decodes the escapes the library writes: `%` followed by two hex digits becomes that byte; any
// other `%` stays as it is, because the library never escapes `%` itself.
std::string percentDecode(std::string_view text);

// Splits a body into its values by the known field order. Values can hold a decoded `"`, `,` or
// `:`; the delimiters cannot occur inside a value because the library escapes `,`, `&` and `=`.
BodyParse parseReportBody(std::string_view body);

}  // namespace tallyscope::server
