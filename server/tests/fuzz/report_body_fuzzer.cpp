// libFuzzer target over the report body reader and the text decoder; the test suite builds it
// with clang and runs it briefly over the seed corpus beside it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/report_body.h"
#include "core/report_decoding.h"
#include "core/text_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static tallyscope::server::TextDecoder windows1252("WINDOWS-1252");
    static tallyscope::server::TextDecoder gbk("GBK");
    std::string_view body(reinterpret_cast<const char*>(data), size);
    auto decoded = tallyscope::server::decodeReportBody(body, (size & 1) ? gbk : windows1252);
    if (decoded.report) {
        // Whatever is accepted is stored as UTF-8 text.
        const auto& r = *decoded.report;
        for (const std::string* value : {&r.deviceId, &r.appKey, &r.channel, &r.name, &r.content})
            if (!tallyscope::server::isValidUtf8(*value)) __builtin_trap();
        for (const std::string& value : r.inventory)
            if (!tallyscope::server::isValidUtf8(value)) __builtin_trap();
        if (r.body != body) __builtin_trap();
    } else {
        // A refusal carries a one-line reason in printable ASCII: it goes back in the answer.
        if (decoded.reason.empty()) __builtin_trap();
        for (char c : decoded.reason)
            if (c < 0x20 || c > 0x7E) __builtin_trap();
    }
    return 0;
}
