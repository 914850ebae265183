#include "core/report_id.h"

namespace tallyscope::server {
namespace {

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool isReportId(std::string_view text) {
    if (text.size() != kReportIdDigits) return false;
    for (char c : text)
        if (nibble(c) < 0) return false;
    return true;
}

std::string reportIdToBytes(std::string_view hex) {
    if (hex.size() != kReportIdDigits) return {};
    std::string out(kReportIdBytes, '\0');
    for (std::size_t i = 0; i < kReportIdBytes; ++i) {
        const int high = nibble(hex[2 * i]), low = nibble(hex[2 * i + 1]);
        if ((high | low) < 0) return {};
        out[i] = static_cast<char>(high << 4 | low);
    }
    return out;
}

std::string reportIdFromBytes(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    if (bytes.size() != kReportIdBytes) return {};
    std::string out;
    out.reserve(kReportIdDigits);
    for (char b : bytes) {
        const auto v = static_cast<unsigned char>(b);
        out += digits[v >> 4];
        out += digits[v & 0x0f];
    }
    return out;
}

}  // namespace tallyscope::server
