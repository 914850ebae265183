// PostgreSQL's text columns cannot hold NUL. A decoded %00 in a key, name or value is kept as
// U+FFFD there; the raw body keeps the bytes.
#pragma once

#include <string>

namespace tallyscope::server::store {

inline std::string pgText(const std::string& s) {
    if (s.find('\0') == std::string::npos) return s;
    std::string out;
    for (char c : s) {
        if (c == '\0') out += "\xEF\xBF\xBD";
        else out += c;
    }
    return out;
}

}  // namespace tallyscope::server::store
