// From a posted body to the Report the store keeps: parse by field order, then decode the text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/text_decoder.h"
#include "core/report.h"

namespace tallyscope::server {

struct DecodedBody {
    std::optional<Report> report;  // arrivedMs left 0 for the caller to stamp
    std::string reason;            // one line, set when report is empty
};

DecodedBody decodeReportBody(std::string_view body, TextDecoder& decoder);
// The same, taking the body into the report instead of copying it (on a refusal it stays).
DecodedBody decodeReportBody(std::string&& body, TextDecoder& decoder);

}  // namespace tallyscope::server
